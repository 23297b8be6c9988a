// What qip-exporter costs with a full device list (4,096 records, the list's cap): one
// scrape made in process (metrics built and written as text), one scrape over HTTP through
// the exporter's own server, and the real program in the test bed (root), where 4,096
// devices answer: its scrape time and body, its memory (RSS) and its CPU use while nobody
// scrapes it.

#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <crypt.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <prometheus/text_serializer.h>

#include "bench/process/BenchProcess.h"
#include "bench/process/HelloFlood.h"
#include "describe/DeviceDescriber.h"
#include "qip/QipDeviceList.h"
#include "qip/QipPacket.h"
#include "tests/exporter/HostileClients.h"
#include "tests/testbed/TestBed.h"
#include "tools/exporter/QipExporterHttp.h"
#include "tools/exporter/QipExporterMetrics.h"
#include "tools/exporter/QipExporterPages.h"

namespace {

using Clock = std::chrono::steady_clock;
const size_t cDevices = QipDeviceList::cMaxDevices;
// Ahead of the real clock, so the list's own ageing thread leaves every record alone.
const time_t gSeen = time(nullptr) + 1000000;

// A list of `count` devices with realistic texts, each page read with an SSID.
struct FullList {
    QipDeviceList mList{nullptr};
    QipExporterPages mPages;
    DeviceDescriber mDescriber{{}, {KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0")}};
    std::shared_ptr<QipExporterMetrics> mMetrics;

    explicit FullList(size_t count) {
        mDescriber.SetMatchAnyType(true);
        for (size_t i = 0; i < count; ++i) {
            char id[32];
            snprintf(id, sizeof id, "00:1A:2B:%02zX:%02zX:%02zX", i >> 16 & 0xff, i >> 8 & 0xff, i & 0xff);
            const std::string address = "192.0.2." + std::to_string(i % 250 + 2);
            mList.OnHello(QipPacketHello("QipBox", id, address, "255.255.255.0", "/status.xml", "1"),
                          address, gSeen);
            mPages.Store({id, address, "1"}, "Office network " + std::to_string(i % 40), "ok", 0);
        }
        mMetrics = std::make_shared<QipExporterMetrics>(&mList, nullptr, &mDescriber, &mPages, true,
                                                        std::vector<std::string>(), "bench");
    }
};

// GET `path` from host:port over a fresh connection; the body, empty on failure.
std::string HttpGet(const std::string& host, int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &to.sin_addr);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
        if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t n;
            while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (answer.compare(0, 12, "HTTP/1.1 200") != 0 || body == std::string::npos) return std::string();
    return answer.substr(body + 4);
}

size_t CountInfoSeries(const std::string& body) {
    size_t count = 0;
    for (size_t at = body.find("\nqip_device_info{"); at != std::string::npos;
         at = body.find("\nqip_device_info{", at + 1)) {
        ++count;
    }
    return count;
}

void BM_ScrapeInProcess(benchmark::State& state) {
    FullList full(cDevices);
    size_t bytes = 0;
    for (auto _ : state) {
        std::ostringstream out;
        prometheus::TextSerializer().Serialize(out, full.mMetrics->Collect());
        bytes = out.str().size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["body_kB"] = static_cast<double>(bytes) / 1000;
}
BENCHMARK(BM_ScrapeInProcess)->Unit(benchmark::kMillisecond);

void BM_ScrapeHttp(benchmark::State& state) {
    FullList full(cDevices);
    QipExporterHttp http;
    std::string error;
    if (!http.Start("127.0.0.1:0", full.mMetrics, "bench", QipExporterWebConfig(), error)) {
        state.SkipWithError(("cannot serve: " + error).c_str());
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = HttpGet("127.0.0.1", http.GetPort(), "/metrics").size();
        if (bytes == 0) {
            state.SkipWithError("the scrape failed");
            break;
        }
    }
    state.counters["body_kB"] = static_cast<double>(bytes) / 1000;
}
BENCHMARK(BM_ScrapeHttp)->Unit(benchmark::kMillisecond);

long ReadRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// The real program in the host namespace of the test bed; 4,096 devices answer from 16
// simulated hosts that also serve their status pages (a host answers for at most 256
// devices in the list; each hello sent again every 8 s, so that none ages out). Manual time:
// the median of 20 scrapes.
void BM_ExporterProcess(benchmark::State& state) {
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        state.SkipWithError(("test bed unavailable: " + reason).c_str());
        return;
    }
    TestBed bed;
    const size_t perHost = QipDeviceList::cMaxPerSender;
    const size_t hostCount = (cDevices + perHost - 1) / perHost;
    std::vector<std::string> cidrs;
    std::vector<std::string> simulator;
    for (size_t h = 0; h < hostCount; ++h) {
        const std::string address = "192.0.2." + std::to_string(40 + h);
        cidrs.push_back(address + "/24");
        simulator.insert(simulator.end(),
                         {"--device", "--address", address + "/24", "--id", "bench-pages-" + std::to_string(h)});
    }
    const std::string ns = bed.AddDevice(cidrs);
    if (ns.empty() || bed.StartSimulator(ns, simulator) <= 0) {
        state.SkipWithError("the simulated hosts did not start");
        return;
    }
    BenchProcess exporter(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-exporter"), "--listen", "192.0.2.1:19376"});
    if (!exporter.Start()) {
        state.SkipWithError("qip-exporter did not start");
        return;
    }
    // Each host's simulated device is one of its 256; the flood adds the rest.
    std::vector<std::unique_ptr<HelloFlood>> floods;
    for (size_t h = 0; h < hostCount; ++h) {
        const size_t count = std::min(perHost, cDevices - h * perHost) - 1;
        floods.emplace_back(new HelloFlood("QipSim", "bench-" + std::to_string(h) + "-", count,
                                           "192.0.2." + std::to_string(40 + h)));
    }
    const auto sendAll = [&](double seconds) {
        for (const std::unique_ptr<HelloFlood>& flood : floods) flood->Send(TestBed::cHostAddress, seconds);
    };
    std::atomic<bool> running{true};
    std::thread sender([&] {
        TestBed::EnterHost inside(ns);
        while (inside.IsEntered() && running) {
            sendAll(0.1);
            for (int i = 0; i < 80 && running; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    TestBed::EnterHost host(bed);
    size_t listed = 0;
    const Clock::time_point start = Clock::now();
    while (listed < cDevices && Clock::now() - start < std::chrono::seconds(60)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        listed = CountInfoSeries(HttpGet("192.0.2.1", 19376, "/metrics"));
    }
    const double fillSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> scrapeMs;
    size_t bytes = 0;
    for (auto _ : state) {
        for (int i = 0; i < 20; ++i) {
            const Clock::time_point begin = Clock::now();
            bytes = HttpGet("192.0.2.1", 19376, "/metrics").size();
            scrapeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        }
        std::sort(scrapeMs.begin(), scrapeMs.end());
        state.SetIterationTime(scrapeMs[scrapeMs.size() / 2] / 1000);
    }
    const long rssKb = ReadRssKb(exporter.GetPid());
    // Idle: the hellos were just sent again, so every record stays for the next 20 s, in
    // which nobody scrapes and only the simulated host answers the broadcasts; the exporter
    // broadcasts and ages its list.
    running = false;
    sender.join();
    {
        TestBed::EnterHost inside(ns);
        if (inside.IsEntered()) sendAll(0.05);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpuBefore = exporter.GetCpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(20));
    const double idleCpuPercent = (exporter.GetCpuMs() - cpuBefore) / 20000 * 100;
    const size_t stillListed = CountInfoSeries(HttpGet("192.0.2.1", 19376, "/metrics"));
    const Clock::time_point stop = Clock::now();
    exporter.Signal(SIGTERM);
    const bool ended = exporter.Wait(5000);
    const double stopMs = std::chrono::duration<double, std::milli>(Clock::now() - stop).count();
    state.counters["listed"] = static_cast<double>(listed);
    state.counters["fill_s"] = fillSeconds;
    state.counters["body_kB"] = static_cast<double>(bytes) / 1000;
    state.counters["rss_MB"] = static_cast<double>(rssKb) / 1024;
    state.counters["idle_cpu_pct"] = idleCpuPercent;
    state.counters["stop_ms"] = ended ? stopMs : -1;
    state.counters["idle_listed"] = static_cast<double>(stillListed);
    if (listed < cDevices) state.SkipWithError(("only " + std::to_string(listed) + " devices listed").c_str());
}
BENCHMARK(BM_ExporterProcess)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

size_t CountDescriptors(pid_t pid) {
    size_t count = 0;
    if (DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(folder) != nullptr) ++count;
        closedir(folder);
    }
    return count > 2 ? count - 2 : 0;
}

// A CA, a certificate for 192.0.2.1 and a web configuration with user "bench" (password
// "bench", bcrypt cost 10) in `folder`; false when openssl or crypt(3) failed.
bool MakeWebConfig(const std::string& folder) {
    const std::string script =
        "cd '" + folder + "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
        " -keyout ca.key -out ca.crt -days 2 -subj /CN=ca && openssl req -newkey ec -pkeyopt"
        " ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr -subj /CN=bench &&"
        " printf 'subjectAltName=IP:192.0.2.1\\n' >ext && openssl x509 -req -in server.csr -CA ca.crt"
        " -CAkey ca.key -CAcreateserial -days 2 -extfile ext -out server.crt";
    if (system(("(" + script + ") >/dev/null 2>&1").c_str()) != 0) return false;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    if (crypt_gensalt_rn("$2b$", 10, nullptr, 0, setting, sizeof setting) == nullptr) return false;
    const char* hash = crypt_rn("bench", setting, &data, sizeof data);
    if (hash == nullptr || hash[0] != '$') return false;
    std::ofstream(folder + "/web.yml") << "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                                       << "basic_auth_users:\n  bench: '" << hash << "'\n";
    return true;
}

// One scrape of 192.0.2.1:19376 over a fresh connection: in process over HTTP, or with
// `folder` a curl over HTTPS with the CA and the password (its start included).
bool ScrapeOnce(const std::string& folder) {
    if (folder.empty()) {
        return HttpGet("192.0.2.1", 19376, "/metrics").find("qip_exporter_build_info") != std::string::npos;
    }
    const std::string command = "curl -s -o /dev/null -w '%{http_code}' --max-time 10 --cacert " + folder +
                                "/ca.crt -u bench:bench https://192.0.2.1:19376/metrics";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char code[16] = "";
    const bool read = fgets(code, sizeof code, pipe) != nullptr;
    pclose(pipe);
    return read && strcmp(code, "200") == 0;
}

// The real program on the test bed's host while 64 clients in one device namespace send a
// request head one header line a second and 1,000 in another hold connections open without
// a byte (each reconnecting a second after the server closes it); with the argument 1 over
// HTTPS with a password, where those clients never finish (or begin) a handshake. Manual
// time: the slowest of 20 scrapes, which must each take under a second; its memory against
// idle and its descriptors, and what is left once the clients are gone.
void BM_ExporterHostileClients(benchmark::State& state) {
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        state.SkipWithError(("test bed unavailable: " + reason).c_str());
        return;
    }
    std::string folder;
    char folderName[] = "/tmp/qip-bench-tls-XXXXXX";
    if (state.range(0) == 1) {
        if (mkdtemp(folderName) == nullptr || !MakeWebConfig(folderName)) {
            state.SkipWithError("cannot make the certificates (openssl)");
            return;
        }
        folder = folderName;
    }
    TestBed bed;
    const std::string slowHost = bed.AddDevice({"192.0.2.50/24"});
    const std::string idleHost = bed.AddDevice({"192.0.2.51/24"});
    std::vector<std::string> argv = {TestBed::BinaryPath("qip-exporter"), "--listen", "192.0.2.1:19376", "--no-ssid"};
    if (!folder.empty()) argv.insert(argv.end(), {"--web-config", folder + "/web.yml"});
    BenchProcess exporter(bed.GetHostNamespace(), argv);
    if (slowHost.empty() || idleHost.empty() || !exporter.Start()) {
        state.SkipWithError("qip-exporter or the client hosts did not start");
        return;
    }
    TestBed::EnterHost host(bed);
    for (int i = 0; i < 150 && !ScrapeOnce(folder); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long idleRssKb = ReadRssKb(exporter.GetPid());
    const size_t idleDescriptors = CountDescriptors(exporter.GetPid());
    long mostRssKb = idleRssKb;
    size_t mostDescriptors = idleDescriptors;
    int succeeded = 0;
    double slowestMs = 0;
    size_t connects = 0;
    for (auto _ : state) {
        HostileClients slow(slowHost, "192.0.2.1", 19376, 0, 64);
        HostileClients idle(idleHost, "192.0.2.1", 19376, 1000, 0);
        slow.Start();
        idle.Start();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        for (int i = 0; i < 20; ++i) {
            const Clock::time_point begin = Clock::now();
            const bool ok = ScrapeOnce(folder);
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
            if (ok && ms < 1000) ++succeeded;
            slowestMs = std::max(slowestMs, ms);
            mostRssKb = std::max(mostRssKb, ReadRssKb(exporter.GetPid()));
            mostDescriptors = std::max(mostDescriptors, CountDescriptors(exporter.GetPid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        connects = slow.GetConnects() + idle.GetConnects();
        state.SetIterationTime(slowestMs / 1000);
    }
    std::this_thread::sleep_for(std::chrono::seconds(7));  // past the server's idle timeout
    state.counters["scrapes_ok_of_20"] = succeeded;
    state.counters["slowest_ms"] = slowestMs;
    state.counters["rss_growth_MB"] = static_cast<double>(mostRssKb - idleRssKb) / 1024;
    state.counters["fds_idle"] = static_cast<double>(idleDescriptors);
    state.counters["fds_most"] = static_cast<double>(mostDescriptors);
    state.counters["fds_after"] = static_cast<double>(CountDescriptors(exporter.GetPid()));
    state.counters["client_connects"] = static_cast<double>(connects);
    exporter.Signal(SIGTERM);
    exporter.Wait(5000);
    if (!folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}
BENCHMARK(BM_ExporterHostileClients)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
