// qip-exporter against clients that try to wear it down, the real program in the test bed
// (root): slow request heads and silent connections from many addresses, password guessers
// from many addresses, and a storm of reloads while clients scrape over HTTPS.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/exporter/ExporterBenchSupport.h"
#include "bench/process/BenchProcess.h"
#include "tests/exporter/HostileClients.h"
#include "tests/exporter/PasswordGuessers.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// 192.0.2.(first)... `count` of them, with "/24" when `cidr`.
std::vector<std::string> Addresses(int first, int count, bool cidr) {
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i) addresses.push_back("192.0.2." + std::to_string(first + i) + (cidr ? "/24" : ""));
    return addresses;
}

// A temporary folder, removed with everything in it.
struct Folder {
    std::string mPath;
    Folder() {
        char name[] = "/tmp/qip-bench-web-XXXXXX";
        if (mkdtemp(name) != nullptr) mPath = name;
    }
    ~Folder() {
        std::error_code ignored;
        if (!mPath.empty()) std::filesystem::remove_all(mPath, ignored);
    }
};

// The real program on the test bed's host while 1,000 clients spread over 64 addresses
// send a request head one header line a second and never end it, and 1,000 more over 64
// other addresses hold connections open without a byte (each reconnecting a second after
// the server closes it); with the argument 1 over HTTPS with a password, where those
// clients never finish (or begin) a handshake. Manual time: the slowest of 20 scrapes,
// which must each take under a second; its memory against idle and its descriptors, and
// what is left once the clients are gone.
void BM_ExporterHostileClients(benchmark::State& state) {
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        state.SkipWithError(("test bed unavailable: " + reason).c_str());
        return;
    }
    Folder web;
    std::string folder;
    if (state.range(0) == 1) {
        if (web.mPath.empty() || !MakeWebConfig(web.mPath, true, 10)) {
            state.SkipWithError("cannot make the certificates (openssl)");
            return;
        }
        folder = web.mPath;
    }
    TestBed bed;
    const std::string slowHost = bed.AddDevice(Addresses(100, 64, true));
    const std::string idleHost = bed.AddDevice(Addresses(170, 64, true));
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
        HostileClients slow(slowHost, "192.0.2.1", 19376, 0, 1000, Addresses(100, 64, false));
        HostileClients idle(idleHost, "192.0.2.1", 19376, 1000, 0, Addresses(170, 64, false));
        slow.Start();
        idle.Start();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        for (int i = 0; i < 20; ++i) {
            const Clock::time_point begin = Clock::now();
            const bool ok = ScrapeOnce(folder);
            const double ms = MsSince(begin);
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
}
BENCHMARK(BM_ExporterHostileClients)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// 200 wrong passwords a second from 64 addresses for 30 s against a password of bcrypt
// cost 12 (plain HTTP), while the monitoring server's client, whose password was checked
// before, scrapes once a second. Manual time: the slowest of its 30 scrapes, which must
// each take under a second; the exporter's CPU use in cores, and how the guesses were
// answered (401 after a hash, 429 without one).
void BM_ExporterPasswordGuessers(benchmark::State& state) {
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        state.SkipWithError(("test bed unavailable: " + reason).c_str());
        return;
    }
    Folder web;
    if (web.mPath.empty() || !MakeWebConfig(web.mPath, false, 12)) {
        state.SkipWithError("cannot make the web configuration (crypt)");
        return;
    }
    TestBed bed;
    const std::string guessHost = bed.AddDevice(Addresses(100, 64, true));
    BenchProcess exporter(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-exporter"), "--listen", "192.0.2.1:19376",
                                                   "--no-ssid", "--web-config", web.mPath + "/web.yml"});
    if (guessHost.empty() || !exporter.Start()) {
        state.SkipWithError("qip-exporter or the guessers' host did not start");
        return;
    }
    TestBed::EnterHost host(bed);
    for (int i = 0; i < 150 && !ScrapeOnce(web.mPath, false); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    int succeeded = 0;
    double slowestMs = 0;
    double cores = 0;
    PasswordGuessers guessers(guessHost, Addresses(100, 64, false), "192.0.2.1", 19376, 200);
    for (auto _ : state) {
        guessers.Start();
        const double cpuBefore = exporter.GetCpuMs();
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < 30; ++i) {
            const Clock::time_point begin = Clock::now();
            const bool ok = ScrapeOnce(web.mPath, false);
            const double ms = MsSince(begin);
            if (ok && ms < 1000) ++succeeded;
            slowestMs = std::max(slowestMs, ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, 1000 * (i + 1) - static_cast<int>(MsSince(start)))));
        }
        cores = (exporter.GetCpuMs() - cpuBefore) / MsSince(start);
        guessers.Stop();
        state.SetIterationTime(slowestMs / 1000);
    }
    state.counters["scrapes_ok_of_30"] = succeeded;
    state.counters["slowest_ms"] = slowestMs;
    state.counters["exporter_cores"] = cores;
    state.counters["guesses_sent"] = static_cast<double>(guessers.GetSent());
    state.counters["answered_401"] = static_cast<double>(guessers.GetUnauthorized());
    state.counters["answered_429"] = static_cast<double>(guessers.GetBusy());
    state.counters["answered_other"] = static_cast<double>(guessers.GetOther());
    exporter.Signal(SIGTERM);
    exporter.Wait(5000);
}
BENCHMARK(BM_ExporterPasswordGuessers)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// 200 SIGHUPs 10 ms apart while four clients scrape over HTTPS with a password (bcrypt
// cost 10), each curl five scrapes over one connection, one curl after another. Manual
// time: the storm; the scrapes served and failed, and the exporter's threads before,
// at most during, and 12 s after it (the replaced servers gone).
void BM_ExporterReloads(benchmark::State& state) {
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        state.SkipWithError(("test bed unavailable: " + reason).c_str());
        return;
    }
    Folder web;
    if (web.mPath.empty() || !MakeWebConfig(web.mPath, true, 10)) {
        state.SkipWithError("cannot make the certificates (openssl)");
        return;
    }
    TestBed bed;
    BenchProcess exporter(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-exporter"), "--listen", "192.0.2.1:19376",
                                                   "--no-ssid", "--web-config", web.mPath + "/web.yml"});
    if (!exporter.Start()) {
        state.SkipWithError("qip-exporter did not start");
        return;
    }
    {
        TestBed::EnterHost host(bed);
        for (int i = 0; i < 150 && !ScrapeOnce(web.mPath); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    const size_t idleThreads = CountThreads(exporter.GetPid());
    size_t mostThreads = idleThreads;
    std::atomic<int> served(0);
    std::atomic<int> failed(0);
    for (auto _ : state) {
        std::atomic<bool> reloading(true);
        std::vector<std::thread> clients;
        for (int c = 0; c < 4; ++c) {
            clients.emplace_back([&] {
                TestBed::EnterHost inside(bed);
                const std::string url = " -o /dev/null https://192.0.2.1:19376/metrics";
                const std::string command = "curl -s -w '%{http_code}\\n' --max-time 10 -u bench:bench --cacert " +
                                            web.mPath + "/ca.crt" + url + url + url + url + url;
                while (reloading.load()) {
                    FILE* pipe = popen(command.c_str(), "r");
                    if (pipe == nullptr) continue;
                    char line[64];
                    while (fgets(line, sizeof line, pipe) != nullptr) {
                        if (strncmp(line, "200", 3) == 0) {
                            ++served;
                        } else {
                            ++failed;
                        }
                    }
                    pclose(pipe);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < 200; ++i) {
            exporter.Signal(SIGHUP);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (i % 10 == 0) mostThreads = std::max(mostThreads, CountThreads(exporter.GetPid()));
        }
        state.SetIterationTime(MsSince(start) / 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        reloading = false;
        for (std::thread& t : clients) t.join();
    }
    std::this_thread::sleep_for(std::chrono::seconds(12));
    state.counters["scrapes_served"] = served.load();
    state.counters["scrapes_failed"] = failed.load();
    state.counters["threads_idle"] = static_cast<double>(idleThreads);
    state.counters["threads_most"] = static_cast<double>(mostThreads);
    state.counters["threads_after"] = static_cast<double>(CountThreads(exporter.GetPid()));
    exporter.Signal(SIGTERM);
    exporter.Wait(5000);
}
BENCHMARK(BM_ExporterReloads)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace
