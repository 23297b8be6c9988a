// Hostile hosts and a dead name server against the exporter and qip-discover.
#include "bench/process/HostileFigures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process/BenchProcess.h"
#include "qip/QipClient.h"
#include "qip/QipPacket.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The value of the series of `text` whose line starts with `series`, -1 when none.
double Value(const std::string& text, const std::string& series) {
    const std::string::size_type at = text.find("\n" + series);
    if (at == std::string::npos) return -1;
    const std::string::size_type end = text.find('\n', at + 1);
    const std::string line = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    const std::string::size_type last = line.rfind(' ');
    return last == std::string::npos ? -1 : std::atof(line.c_str() + last + 1);
}

std::string Scrape(TestBed& bed, const std::string& url) {
    std::string metrics;
    bed.Run(bed.GetHostNamespace(), {"curl", "-sf", "--max-time", "5", url}, &metrics, 8000);
    return metrics;
}

// One host answering for `ids` devices in turn at `rate` datagrams a second, every answer
// with a packet id of its own, until `stop`; returns the datagrams sent.
unsigned long long Churn(const std::string& namespaceName, const std::string& source, unsigned ids, double rate,
                         const std::atomic<bool>& stop) {
    TestBed::EnterHost inside(namespaceName);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(QipClient::cPort);
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(QipClient::cPort);
    inet_pton(AF_INET, TestBed::cHostAddress, &to.sin_addr);
    unsigned long long sent = 0;
    const Clock::time_point start = Clock::now();
    unsigned char buffer[QipClient::cBufferSize];
    while (!stop.load()) {
        const unsigned long long due = static_cast<unsigned long long>(SecondsSince(start) * rate);
        for (; sent < due; ++sent) {
            const QipPacketHello hello("QipSim", "churn-" + std::to_string(sent % ids), source, "255.255.255.0",
                                       "/status.txt", std::to_string(sent));
            const unsigned long length = hello.Serialize(buffer, sizeof buffer);
            sendto(fd, buffer, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(fd);
    return sent;
}

void ChurnFigure(const FigureOptions& options) {
    std::printf("### One host answering for 4,096 ids with a new packet id each time\n\n");
    const double cRate = 820;
    const unsigned cIds = 4096;
    const int cRealAfterS = 10;
    TestBed bed;
    const std::string churnNs = bed.AddDevice({"192.0.2.40/24"});
    const std::string realNs = bed.AddDevice({"192.0.2.20/24"});
    const std::string url = "http://127.0.0.1:19376/metrics";
    BenchProcess exporter(bed.GetHostNamespace(),
                          {TestBed::BinaryPath("qip-exporter"), "--listen", "127.0.0.1:19376"});
    if (churnNs.empty() || realNs.empty() || !exporter.Start()) {
        std::printf("Skipped: the test bed or the exporter did not start.\n\n");
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpuBefore = exporter.GetCpuMs();
    std::atomic<bool> stop(false);
    unsigned long long sent = 0;
    const Clock::time_point start = Clock::now();
    std::thread sender([&] { sent = Churn(churnNs, "192.0.2.40", cIds, cRate, stop); });
    std::this_thread::sleep_for(std::chrono::seconds(cRealAfterS));
    const Clock::time_point switchedOn = Clock::now();
    bed.StartSimulator(realNs, {"--address", "192.0.2.20/24", "--id", "real", "--ssid", "Real"});
    const std::string realSeries = "qip_device_info{device_id=\"real\",device_type=\"QipSim\",address=\"192.0.2.20\",ssid=\"Real\"} 1";
    double realAfterS = -1;
    while (SecondsSince(start) < options.mFloodSeconds) {
        if (realAfterS < 0 && Scrape(bed, url).find(realSeries) != std::string::npos) realAfterS = SecondsSince(switchedOn);
        std::this_thread::sleep_for(std::chrono::milliseconds(realAfterS < 0 ? 200 : 1000));
    }
    stop.store(true);
    sender.join();
    const double seconds = SecondsSince(start);
    const double cpuMs = exporter.GetCpuMs() - cpuBefore;
    const std::string metrics = Scrape(bed, url);
    exporter.Signal(SIGTERM);
    exporter.Wait(5000);
    double reads = 0;
    for (const char* outcome : {"ok", "refused", "timeout"}) {
        const double count = Value(metrics, std::string("qip_status_page_reads_total{outcome=\"") + outcome + "\"}");
        if (count > 0) reads += count;
    }
    std::printf("`qip-exporter` (default options) while one host (192.0.2.40) answers for %u device ids in turn,\n"
                "every answer with a new packet id, at %.0f datagrams/s for %.0f s; it serves no status page,\n"
                "so each read towards it is refused. A simulated device (192.0.2.20) is switched on %d s into it.\n\n",
                cIds, cRate, seconds, cRealAfterS);
    std::printf("| Measured | Value |\n|---|---|\n");
    std::printf("| Hellos sent | %llu (%.0f/s) |\n", sent, sent / seconds);
    std::printf("| Exporter CPU time | %.2f s: **%.1f%% of one core** |\n", cpuMs / 1000, 100 * cpuMs / 1000 / seconds);
    std::printf("| Status page reads (all, both hosts) | %.0f in %.0f s |\n", reads, seconds);
    std::printf("| Real device's series | %s |\n",
                realAfterS < 0 ? "**never appeared**"
                               : ("**after " + std::to_string(realAfterS).substr(0, 4) + " s**, " +
                                  (metrics.find(realSeries) != std::string::npos ? "still there at the end" : "gone at the end"))
                                     .c_str());
    std::printf("| qip_devices_left_out_total | %.0f |\n", Value(metrics, "qip_devices_left_out_total"));
    std::printf("| qip_devices{device_type=\"QipSim\"} at the end | %.0f |\n", Value(metrics, "qip_devices{device_type=\"QipSim\"}"));
    std::printf("\nMeasured with %s.\n\n", Load().c_str());
}

void DeadNameServerFigure() {
    std::printf("### A name server that never answers\n\n");
    TestBed bed;
    const std::string host = bed.GetHostNamespace();
    // A socket on 127.0.0.1:53 that nobody reads, named in the resolv.conf that
    // `ip netns exec` puts in place for the programs it runs.
    int fd = -1;
    {
        TestBed::EnterHost inside(bed);
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            fd = -1;
        }
    }
    const std::string directory = "/etc/netns/" + host;
    mkdir("/etc/netns", 0755);
    mkdir(directory.c_str(), 0755);
    std::ofstream(directory + "/resolv.conf") << "nameserver 127.0.0.1\n";
    BenchProcess watch("", {"/usr/sbin/ip", "netns", "exec", host, TestBed::BinaryPath("qip-discover"), "--watch", "-v",
                            "--probe", "lab-router.example", "--probe", "b.example", "--probe", "c.example"});
    std::vector<double> sentAt;
    if (fd >= 0 && watch.Start()) {
        const Clock::time_point start = Clock::now();
        size_t seen = 0;
        while (sentAt.size() < 4 && SecondsSince(start) < 50) {
            const std::string errors = watch.GetErrors();
            size_t count = 0;
            for (auto at = errors.find("sent whoisthere to 192.0.2.255"); at != std::string::npos;
                 at = errors.find("sent whoisthere to 192.0.2.255", at + 1)) {
                ++count;
            }
            for (; seen < count; ++seen) sentAt.push_back(watch.GetWallMs() / 1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    const double stopAt = watch.GetWallMs();
    watch.Signal(SIGTERM);
    const bool ended = watch.Wait(30000);
    const double quitMs = watch.GetWallMs() - stopAt;
    unlink((directory + "/resolv.conf").c_str());
    rmdir(directory.c_str());
    if (fd >= 0) close(fd);
    if (sentAt.size() < 2) {
        std::printf("Skipped: fewer than two broadcasts were seen (%zu).\n\n", sentAt.size());
        return;
    }
    std::printf("`qip-discover --watch -v` probing three host names (lab-router.example, b.example,\n"
                "c.example) through a name server that takes every question and never answers.\n\n");
    std::printf("| Measured | Value |\n|---|---|\n");
    std::string times;
    for (double at : sentAt) times += (times.empty() ? "" : ", ") + std::to_string(at).substr(0, 4) + " s";
    std::printf("| Broadcasts at (from start) | %s |\n", times.c_str());
    double longest = 0;
    for (size_t i = 1; i < sentAt.size(); ++i) longest = std::max(longest, sentAt[i] - sentAt[i - 1]);
    std::printf("| Longest gap between broadcasts | **%.1f s** |\n", longest);
    if (ended) {
        std::printf("| SIGTERM to exit | **%.1f ms** |\n", quitMs);
    } else {
        std::printf("| SIGTERM to exit | **more than 30 s** |\n");
    }
    std::printf("\nMeasured with %s.\n\n", Load().c_str());
}

}  // namespace

void HostileFigures(const FigureOptions& options) {
    if (options.Wants("churn")) ChurnFigure(options);
    if (options.Wants("deadname")) DeadNameServerFigure();
}
