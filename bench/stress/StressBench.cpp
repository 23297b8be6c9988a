// The program under stress, against simulated devices in the network-namespace test bed:
// a thousand client start/stop cycles, a flood of 100,000 hellos with distinct ids, each
// kind of hostile status page, and one host answering with many ids whose pages are full of
// tiny values. Each benchmark reports its figures as counters; the bounds the program must
// keep are in docs/reliability.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "qip/QipPacket.h"
#include "sysinfo/SysInfo.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool BedAvailable(benchmark::State& state) {
    std::string reason;
    if (TestBed::IsAvailable(&reason)) return true;
    state.SkipWithError(("test bed unavailable: " + reason).c_str());
    return false;
}

// Set when a figure could not be measured: its benchmark then shows the error instead of a
// number, and the program ends with status 1, so that make bench fails rather than print a
// figure nobody measured.
bool gUnmeasured = false;

void Unmeasured(benchmark::State& state, const std::string& what) {
    gUnmeasured = true;
    state.SkipWithError(("cannot measure " + what).c_str());
}

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); nothing when it cannot be read.
std::optional<long> StatusKb(const std::string& pid, const std::string& field) {
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) return std::stol(line.substr(field.size() + 1));
    }
    return std::nullopt;
}

// The growth in MB from `before` to `after` as counter `name`, or the benchmark's error.
void SetGrowth(benchmark::State& state, const char* name, std::optional<long> before, std::optional<long> after) {
    if (!before || !after) return Unmeasured(state, std::string(name) + ": no VmRSS or VmHWM in /proc/<pid>/status");
    state.counters[name] = (*after - *before) / 1024.0;
}

// True once `pid` has ended (a zombie not yet reaped counts as ended).
bool HasEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::string::size_type paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] == 'Z' ||
           text[paren + 2] == 'X';
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (std::string::size_type at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// "Maximum resident set size (kbytes): N" of /usr/bin/time -v as counter `name`, in MB, or
// the benchmark's error when the line is missing (the Debian package time not installed).
void SetPeakMb(benchmark::State& state, const char* name, const std::string& timeOutput) {
    const std::string key = "Maximum resident set size (kbytes): ";
    const std::string::size_type at = timeOutput.find(key);
    if (at == std::string::npos) {
        return Unmeasured(state, std::string(name) + ": no peak memory from /usr/bin/time -v (package time)");
    }
    state.counters[name] = std::stod(timeOutput.substr(at + key.size())) / 1024.0;
}

// ---------------------------------------------------------------------------------------
// A client with its device list, created and destroyed again and again.

void BM_ClientCycles(benchmark::State& state) {
    if (!BedAvailable(state)) return;
    TestBed bed;
    if (!bed.IsReady()) return state.SkipWithError("test bed not built");
    TestBed::EnterHost host(bed);
    std::vector<double> times;
    for (auto _ : state) {
        times.clear();
        for (long cycle = 0; cycle < state.range(0); ++cycle) {
            const Clock::time_point start = Clock::now();
            {
                std::unique_ptr<QipClient> client(new QipClient());
                QipDeviceList list(client.get());
                client.reset();  // the owner's rule: the client goes before its list
            }
            times.push_back(MsSince(start));
        }
    }
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times[times.size() / 2];
    state.counters["slowest_ms"] = times.back();
    state.counters["over_1s"] = static_cast<double>(std::count_if(times.begin(), times.end(), [](double t) { return t > 1000; }));
}
BENCHMARK(BM_ClientCycles)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------------------
// 100,000 hellos with distinct ids from one sender, as fast as it can send them.

const long cFloodHellos = 100000;

// Sends the flood from `namespaceName` to the host; returns how many went out.
long Flood(const std::string& namespaceName, const std::string& source) {
    TestBed::EnterHost device(namespaceName);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(19375);
    inet_pton(AF_INET, TestBed::cHostAddress, &to.sin_addr);
    long sent = 0;
    for (long n = 0; n < cFloodHellos; ++n) {
        unsigned char buffer[QipClient::cBufferSize];
        const unsigned long length =
            QipPacketHello("QipBox", "flood-" + std::to_string(n), source, "255.255.255.0", "/status.xml", "1")
                .Serialize(buffer, sizeof buffer);
        if (sendto(fd, buffer, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) ++sent;
    }
    close(fd);
    return sent;
}

// The list in this process: records never past the cap, memory growth, the "full" lines.
void BM_HelloFloodList(benchmark::State& state) {
    if (!BedAvailable(state)) return;
    TestBed bed;
    if (!bed.IsReady()) return state.SkipWithError("test bed not built");
    const std::string ns = bed.AddDevice({"192.0.2.20/24"});
    std::unique_ptr<QipClient> client;
    std::unique_ptr<QipDeviceList> list;
    {
        TestBed::EnterHost host(bed);
        client.reset(new QipClient());
        list.reset(new QipDeviceList(client.get()));
    }
    // Standard error goes to a file for the flood, to count the list's complaints.
    char errorsPath[] = "/tmp/qip-flood-XXXXXX";
    const int errorsFile = mkstemp(errorsPath);
    fflush(stderr);
    const int savedStderr = dup(2);
    dup2(errorsFile, 2);
    const std::optional<long> rssBefore = StatusKb("self", "VmRSS");
    size_t maxRecords = 0;
    long sent = 0;
    double floodMs = 0;
    for (auto _ : state) {
        std::atomic<bool> done(false);
        const Clock::time_point start = Clock::now();
        std::thread sender([&] {
            sent = Flood(ns, "192.0.2.20");
            done = true;
        });
        while (!done) {
            maxRecords = std::max(maxRecords, list->Snapshot().size());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        sender.join();
        floodMs = MsSince(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // what is queued arrives
        maxRecords = std::max(maxRecords, list->Snapshot().size());
    }
    const std::optional<long> rssAfter = StatusKb("self", "VmHWM");
    client.reset();
    list.reset();
    fflush(stderr);
    dup2(savedStderr, 2);
    close(savedStderr);
    std::ifstream errorsIn(errorsPath);
    const std::string errors((std::istreambuf_iterator<char>(errorsIn)), std::istreambuf_iterator<char>());
    close(errorsFile);
    unlink(errorsPath);
    state.counters["sent"] = static_cast<double>(sent);
    state.counters["flood_ms"] = floodMs;
    state.counters["max_records"] = static_cast<double>(maxRecords);
    SetGrowth(state, "rss_growth_mb", rssBefore, rssAfter);
    state.counters["full_lines"] = static_cast<double>(CountOf(errors, "Device list full"));
    state.counters["crowded_lines"] = static_cast<double>(CountOf(errors, "answers for more than 256 devices"));
}
BENCHMARK(BM_HelloFloodList)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// qip-discover --watch under the same flood: its memory, its "full" lines and how soon it
// ends after SIGINT.
void BM_HelloFloodWatch(benchmark::State& state) {
    if (!BedAvailable(state)) return;
    TestBed bed;
    if (!bed.IsReady()) return state.SkipWithError("test bed not built");
    const std::string ns = bed.AddDevice({"192.0.2.20/24"});
    const pid_t watch = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch", "--no-ssid"});
    if (watch <= 0) return state.SkipWithError("qip-discover did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const std::string pid = std::to_string(watch);
    const std::optional<long> rssBefore = StatusKb(pid, "VmRSS");
    double exitMs = 0;
    for (auto _ : state) {
        Flood(ns, "192.0.2.20");
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        SetGrowth(state, "rss_growth_mb", rssBefore, StatusKb(pid, "VmHWM"));
        const Clock::time_point start = Clock::now();
        kill(watch, SIGINT);
        while (!HasEnded(watch) && MsSince(start) < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        exitMs = MsSince(start);
    }
    const std::string output = bed.GetOutput(watch);
    state.counters["full_lines"] = static_cast<double>(CountOf(output, "Device list full"));
    state.counters["crowded_lines"] = static_cast<double>(CountOf(output, "answers for more than 256 devices"));
    state.counters["sigint_to_exit_ms"] = exitMs;
    state.counters["exit_status"] = bed.Stop(watch);
}
BENCHMARK(BM_HelloFloodWatch)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------------------
// Hostile status pages, one kind per argument: how long one fetch takes against its bound,
// what it keeps, and qip-discover's peak memory against the same device.

struct Hostile {
    const char* mName;
    std::vector<std::string> mFlags;
    double mBoundMs;  // the connection attempt's 2 s, or the answer's 3 s
};

const Hostile cHostile[] = {
    {"silent", {"--http-fault", "silent"}, 3000},     {"trickle", {"--http-fault", "trickle"}, 3000},
    {"endless", {"--http-fault", "endless"}, 3000},   {"garbage", {"--http-fault", "garbage"}, 3000},
    {"reset", {"--http-fault", "reset"}, 3000},       {"nested", {"--http-fault", "nested"}, 3000},
    {"no-accept", {"--http-fault", "no-accept"}, 2000},
};

void BM_HostilePage(benchmark::State& state) {
    const Hostile& hostile = cHostile[state.range(0)];
    state.SetLabel(hostile.mName);
    if (!BedAvailable(state)) return;
    TestBed bed;
    if (!bed.IsReady()) return state.SkipWithError("test bed not built");
    const std::string ns = bed.AddDevice({"192.0.2.20/24"});
    std::vector<std::string> args = {"--address", "192.0.2.20", "--type", "QipBox"};
    args.insert(args.end(), hostile.mFlags.begin(), hostile.mFlags.end());
    if (bed.StartSimulator(ns, args) <= 0) return state.SkipWithError("simulator did not start");
    double fetchMs = 0;
    size_t values = 0;
    bool ok = false;
    const std::optional<long> rssBefore = StatusKb("self", "VmRSS");
    for (auto _ : state) {
        TestBed::EnterHost host(bed);
        SysInfo info("192.0.2.20", "/status.xml");
        const Clock::time_point start = Clock::now();
        ok = info.Fetch();
        fetchMs = MsSince(start);
        values = info.GetValues().size();
    }
    state.counters["fetch_ms"] = fetchMs;
    state.counters["bound_ms"] = hostile.mBoundMs;
    state.counters["within_bound"] = fetchMs <= hostile.mBoundMs * 1.1;
    state.counters["ok"] = ok;
    state.counters["values"] = static_cast<double>(values);
    SetGrowth(state, "rss_growth_mb", rssBefore, StatusKb("self", "VmRSS"));
    std::string output, errors;
    const Clock::time_point start = Clock::now();
    const int status = bed.Run(bed.GetHostNamespace(), {"/usr/bin/time", "-v", TestBed::BinaryPath("qip-discover"),
                                                        "--wait", "2"},
                               &output, 30000, &errors);
    state.counters["discover_ms"] = MsSince(start);
    state.counters["discover_status"] = status;
    SetPeakMb(state, "discover_peak_mb", errors);
}
BENCHMARK(BM_HostilePage)->DenseRange(0, 6)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------------------
// One host answering with N ids, each page 64 KiB of about 9,000 tiny distinct values:
// qip-discover's peak memory.

void BM_ManyIdsTinyTags(benchmark::State& state) {
    if (!BedAvailable(state)) return;
    TestBed bed;
    if (!bed.IsReady()) return state.SkipWithError("test bed not built");
    const std::string ns = bed.AddDevice({"192.0.2.20/24"});
    const std::string ids = std::to_string(state.range(0));
    if (bed.StartSimulator(ns, {"--address", "192.0.2.20", "--type", "QipBox", "--ids", ids, "--http-fault",
                                "tiny-tags"}) <= 0)
        return state.SkipWithError("simulator did not start");
    std::string output, errors;
    for (auto _ : state) {
        bed.Run(bed.GetHostNamespace(), {"/usr/bin/time", "-v", TestBed::BinaryPath("qip-discover"), "--wait", "2"},
                &output, 60000, &errors);
    }
    SetPeakMb(state, "peak_mb", errors);
    state.counters["devices_listed"] = static_cast<double>(std::max<size_t>(CountOf(output, "\n"), 1) - 1);
}
BENCHMARK(BM_ManyIdsTinyTags)->Arg(256)->Arg(512)->Arg(1024)->Arg(2048)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return gUnmeasured ? 1 : 0;
}
