// One hostile host against the programs, in the network-namespace test bed: memory under a
// flood of every device type and id it may send (each id as long as a datagram allows), the
// standard-error lines under a flood of malformed datagrams, and how soon qip-discover ends
// on SIGTERM while its page opener blocks. The bounds are in docs/reliability.md.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "qip/QipClient.h"
#include "qip/QipPacket.h"
#include "qip/QipReceiveCounts.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool BedReady(benchmark::State& state, const TestBed& bed) {
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        state.SkipWithError(("test bed unavailable: " + reason).c_str());
        return false;
    }
    if (!bed.IsReady()) state.SkipWithError("test bed not built");
    return bed.IsReady();
}

// Set when a figure could not be measured: the benchmark shows the error instead of a
// number and the program ends with status 1, so that make bench fails.
bool gUnmeasured = false;

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when it cannot be read.
long StatusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

bool HasEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::string::size_type paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] == 'Z';
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// Sends `count` datagrams made by `make` from `source` in `namespaceName` to the host's port,
// a short pause every 256 so that the kernel keeps them; returns how many went out.
long Send(const std::string& namespaceName, const std::string& source, long count,
          const std::function<std::string(long)>& make) {
    TestBed::EnterHost device(namespaceName);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(QipClient::cPort);
    inet_pton(AF_INET, TestBed::cHostAddress, &to.sin_addr);
    long sent = 0;
    for (long n = 0; n < count; ++n) {
        const std::string datagram = make(n);
        if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) ++sent;
        if (n % 256 == 255) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    close(fd);
    return sent;
}

// Every type the counts tell apart, each with as many distinct ids of about 1,380 bytes.
std::string LongIdHello(long n) {
    const long types = static_cast<long>(QipReceiveCounts::cMaxTypes);
    char id[1381];
    snprintf(id, sizeof id, "%015ld-%01364d", n, 0);
    unsigned char buffer[QipClient::cBufferSize];
    const unsigned long length = QipPacketHello("Unwanted-" + std::to_string(n % types), id, "192.0.2.20",
                                                "255.255.255.0", "/status.xml", "1")
                                     .Serialize(buffer, sizeof buffer);
    return std::string(reinterpret_cast<const char*>(buffer), length);
}

// Argument 0: qip-discover --watch --type Nothing; 1: qipfinder (offscreen, the shipped
// Info.plist). Growth of the peak resident set over the figure 2 s after start.
void BM_ReceiveCountAttack(benchmark::State& state) {
    TestBed bed;
    if (!BedReady(state, bed)) return;
    const bool desktop = state.range(0) == 1;
    state.SetLabel(desktop ? "qipfinder" : "qip-discover --watch");
    const std::string ns = bed.AddDevice({"192.0.2.20/24"});
    const pid_t program =
        desktop ? bed.Start(bed.GetHostNamespace(), {"env", "QT_QPA_PLATFORM=offscreen", TestBed::BinaryPath("qipfinder")})
                : bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch", "--type", "Nothing", "--no-ssid"});
    if (program <= 0) return state.SkipWithError("program did not start");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long idleKb = StatusKb(program, "VmRSS");
    const long hellos = static_cast<long>(QipReceiveCounts::cMaxTypes * QipReceiveCounts::cMaxIdsPerType);
    long sent = 0;
    for (auto _ : state) {
        sent = Send(ns, "192.0.2.20", hellos, LongIdHello);
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    const long peakKb = StatusKb(program, "VmHWM");
    bed.Stop(program);
    state.counters["sent"] = static_cast<double>(sent);
    if (idleKb < 0 || peakKb < 0) {
        gUnmeasured = true;
        return state.SkipWithError("cannot measure the memory: no VmRSS or VmHWM in /proc/<pid>/status");
    }
    state.counters["idle_mb"] = idleKb / 1024.0;
    state.counters["growth_mb"] = (peakKb - idleKb) / 1024.0;
}
BENCHMARK(BM_ReceiveCountAttack)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// 100,000 malformed datagrams, the three kinds in turn: lines on qip-discover's standard error.
void BM_MalformedFlood(benchmark::State& state) {
    TestBed bed;
    if (!BedReady(state, bed)) return;
    const std::string ns = bed.AddDevice({"192.0.2.20/24"});
    const pid_t watch = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch", "--no-ssid"});
    if (watch <= 0) return state.SkipWithError("qip-discover did not start");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    static const std::string kinds[] = {std::string("hello\0a\0b\0", 10), std::string("whoisthere\0a\0", 13),
                                        std::string("hello\0a", 7)};
    long sent = 0;
    for (auto _ : state) {
        sent = Send(ns, "192.0.2.20", 100000, [](long n) { return kinds[n % 3]; });
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const std::string output = bed.GetOutput(watch);
    bed.Stop(watch);
    state.counters["sent"] = static_cast<double>(sent);
    state.counters["stderr_lines"] = static_cast<double>(CountOf(output, "\n"));
}
BENCHMARK(BM_MalformedFlood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// qip-discover --open with an xdg-open that blocks (as some do until the browser closes):
// SIGTERM to the program alone, time to its end and its status.
void BM_SigtermWhileOpenerBlocks(benchmark::State& state) {
    TestBed bed;
    if (!BedReady(state, bed)) return;
    if (bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}), {"--address", "192.0.2.20/24"}) <= 0)
        return state.SkipWithError("simulator did not start");
    char folder[] = "/tmp/qip-opener-XXXXXX";
    if (mkdtemp(folder) == nullptr) return state.SkipWithError("no folder");
    const std::string dir = folder;
    std::ofstream(dir + "/xdg-open") << "#!/bin/sh\necho $$ > '" << dir << "/pid'\nexec sleep 60\n";
    chmod((dir + "/xdg-open").c_str(), 0755);
    double exitMs = -1;
    int status = -1;
    for (auto _ : state) {
        const pid_t discover = bed.Start(bed.GetHostNamespace(), {"env", "PATH=" + dir + ":/usr/bin:/bin",
                                                                  TestBed::BinaryPath("qip-discover"), "--open",
                                                                  "--no-ssid", "--wait", "4"});
        for (const Clock::time_point start = Clock::now(); access((dir + "/pid").c_str(), F_OK) != 0 && MsSince(start) < 15000;)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const Clock::time_point start = Clock::now();
        kill(discover, SIGTERM);
        while (!HasEnded(discover) && MsSince(start) < 30000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        exitMs = MsSince(start);
        status = bed.Stop(discover);
    }
    std::ifstream pidFile(dir + "/pid");
    pid_t opener = 0;
    if (pidFile >> opener && opener > 0) kill(opener, SIGKILL);
    for (const char* file : {"/pid", "/xdg-open"}) unlink((dir + file).c_str());
    rmdir(dir.c_str());
    state.counters["sigterm_to_exit_ms"] = exitMs;
    state.counters["exit_status"] = status;
}
BENCHMARK(BM_SigtermWhileOpenerBlocks)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return gUnmeasured ? 1 : 0;
}
