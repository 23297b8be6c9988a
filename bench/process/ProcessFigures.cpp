// Whole-process figures: what a user waits for from start to exit, and what the programs
// keep up with when many answers arrive at once. Every figure runs the real programs
// against simulated devices in the network-namespace test bed (root needed; without it
// each figure says so and is skipped). Prints Markdown tables on standard output.
//
//   process-figures [--only discover,qipfinder,burst,flood] [--runs N] [--flood-seconds S]
//
// Diagnostics of failed runs (a program's standard error) go to standard error; with
// QIP_BENCH_STACKS set, a qipfinder that has not ended after 60 s gets its stacks printed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process/BenchProcess.h"
#include "bench/process/FigureSupport.h"
#include "bench/process/QipfinderFigures.h"
#include "bench/process/HelloFlood.h"
#include "tests/testbed/TestBed.h"

namespace {

using Options = FigureOptions;

const char* const cNetworks[3] = {"192.0.2", "198.51.100", "203.0.113"};

// The UDP counters of the host namespace (/proc/net/snmp is per namespace).
struct UdpCounters {
    unsigned long long mInDatagrams = 0;
    unsigned long long mRcvbufErrors = 0;
    bool mIsRead = false;
};

UdpCounters ReadUdpCounters(TestBed& bed) {
    std::string text;
    UdpCounters counters;
    if (bed.Run(bed.GetHostNamespace(), {"cat", "/proc/net/snmp"}, &text) != 0) return counters;
    std::istringstream lines(text);
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 5, "Udp: ") != 0) continue;
        std::istringstream words(line.substr(5));
        std::vector<std::string> row;
        for (std::string word; words >> word;) row.push_back(word);
        if (names.empty()) {
            names = row;
            continue;
        }
        for (size_t i = 0; i < row.size() && i < names.size(); ++i) {
            if (names[i] == "InDatagrams") counters.mInDatagrams = std::strtoull(row[i].c_str(), nullptr, 10);
            if (names[i] == "RcvbufErrors") counters.mRcvbufErrors = std::strtoull(row[i].c_str(), nullptr, 10);
        }
        counters.mIsRead = true;
        break;
    }
    return counters;
}

// True when `qip-discover --help` names the option, so that a build without it says so
// instead of timing a usage error.
bool DiscoverKnows(const std::string& option) {
    BenchProcess help("", {TestBed::BinaryPath("qip-discover"), "--help"});
    return help.Start() && help.Wait(10000) && help.GetOutput().find(option) != std::string::npos;
}

// Adds `cidrs` to eth0 of a device namespace in one `ip -batch` run: hundreds of separate
// `ip` runs would take longer than the figure.
bool AddAddresses(TestBed& bed, const std::string& namespaceName, const std::vector<std::string>& cidrs) {
    char path[] = "/tmp/qip-bench-addresses-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return false;
    std::string commands;
    for (const std::string& cidr : cidrs) commands += "address add " + cidr + " dev eth0\n";
    bool written = write(fd, commands.data(), commands.size()) == static_cast<ssize_t>(commands.size());
    close(fd);
    std::string output;
    bool added = written && bed.Run("", {"ip", "-n", namespaceName, "-batch", path}, &output, 60000) == 0;
    if (!added) std::fprintf(stderr, "ip -batch failed: %s\n", output.c_str());
    unlink(path);
    return added;
}

// ---- qip-discover, start to exit ----

void DiscoverFigure(const Options& options) {
    std::printf("### qip-discover, start to exit\n\n");
    std::printf("Two simulated devices in the test bed, the second answering each whoisthere 100 ms after\n"
                "the first (qip-device-sim --answer-delay 100); median of %d runs.\n\n", options.mRuns);
    TestBed bed;
    const std::string ns = bed.AddDevice({"192.0.2.20/24", "192.0.2.21/24"});
    if (ns.empty() || bed.StartSimulator(ns, {"--id", "bench-prompt", "--address", "192.0.2.20", "--device", "--id",
                                              "bench-late", "--address", "192.0.2.21", "--answer-delay", "100"}) <= 0) {
        std::printf("Skipped: the simulated devices did not start.\n\n");
        return;
    }
    struct Variant {
        std::string mLabel;
        std::vector<std::string> mArgs;
        std::string mOption;  // must appear in --help
        std::string mTarget;
    };
    const std::vector<Variant> variants = {
        {"default options", {}, "", "at most 700 ms"},
        {"`--no-settle`", {"--no-settle"}, "--no-settle", "(the whole `--wait`, 3 s)"},
        {"`--wait-for bench-late`", {"--wait-for", "bench-late"}, "--wait-for", "at most 300 ms"},
    };
    std::printf("| Options | Each run (ms) | Median | Both devices listed | Target |\n|---|---|---|---|---|\n");
    for (const Variant& variant : variants) {
        if (!variant.mOption.empty() && !DiscoverKnows(variant.mOption)) {
            std::printf("| %s | not in this build of qip-discover | | | %s |\n", variant.mLabel.c_str(),
                        variant.mTarget.c_str());
            continue;
        }
        std::vector<double> times;
        std::vector<std::string> shown;
        int complete = 0;
        for (int run = 0; run < options.mRuns; ++run) {
            std::vector<std::string> argv{TestBed::BinaryPath("qip-discover")};
            argv.insert(argv.end(), variant.mArgs.begin(), variant.mArgs.end());
            BenchProcess discover(bed.GetHostNamespace(), argv);
            if (!discover.Start() || !discover.Wait(30000)) {
                shown.push_back("hung");
                continue;
            }
            const std::string output = discover.GetOutput();
            bool both = output.find("bench-prompt") != std::string::npos && output.find("bench-late") != std::string::npos;
            complete += both && discover.GetExitStatus() == 0 ? 1 : 0;
            times.push_back(discover.GetWallMs());
            shown.push_back(Ms(discover.GetWallMs()) + (discover.GetExitStatus() == 0 ? "" : " (exit " + std::to_string(discover.GetExitStatus()) + ")"));
        }
        std::printf("| %s | %s | **%s ms** | %d of %d runs | %s |\n", variant.mLabel.c_str(), Joined(shown).c_str(),
                    Ms(Median(times)).c_str(), complete, options.mRuns, variant.mTarget.c_str());
    }
    std::printf("\nMeasured with %s.\n\n", Load().c_str());
}

// ---- a burst: hundreds of devices answering one broadcast cycle ----

void BurstFigure(const Options& options) {
    std::printf("### A burst of answers\n\n");
    std::printf("Simulated devices, each on its own address, spread evenly over the three test networks\n"
                "(one namespace and veth pair each, one qip-device-sim each), so that the three broadcasts\n"
                "of one cycle make every device answer within milliseconds. `qip-discover` with default\n"
                "options, %d runs; RcvbufErrors is what the kernel dropped because the socket's receive\n"
                "buffer was full (/proc/net/snmp of the host namespace).\n\n", options.mRuns);
    const int cMaxDevices = 750;
    TestBed bed;
    std::vector<std::string> namespaces;
    bool ready = bed.IsReady() && bed.AddHostAddress("198.51.100.1/24") && bed.AddHostAddress("203.0.113.1/24");
    for (int network = 0; ready && network < 3; ++network) {
        std::vector<std::string> cidrs;
        for (int i = network; i < cMaxDevices; i += 3) cidrs.push_back(std::string(cNetworks[network]) + "." + std::to_string(2 + i / 3) + "/24");
        std::string ns = bed.AddDevice({cidrs[0]});
        ready = !ns.empty() && AddAddresses(bed, ns, std::vector<std::string>(cidrs.begin() + 1, cidrs.end()));
        namespaces.push_back(ns);
    }
    if (!ready) {
        std::printf("Skipped: the three networks could not be built.\n\n");
        return;
    }
    std::printf("| Devices | Listed, each run | RcvbufErrors, each run | Target |\n|---|---|---|---|\n");
    for (int devices : {500, 750}) {
        std::vector<pid_t> simulators;
        for (int network = 0; network < 3; ++network) {
            std::vector<std::string> args;
            for (int i = network; i < devices; i += 3) {
                args.insert(args.end(), {"--device", "--id", "burst-" + std::to_string(i), "--address",
                                         std::string(cNetworks[network]) + "." + std::to_string(2 + i / 3)});
            }
            simulators.push_back(bed.StartSimulator(namespaces[static_cast<size_t>(network)], args));
        }
        if (std::count_if(simulators.begin(), simulators.end(), [](pid_t pid) { return pid <= 0; }) > 0) {
            std::printf("| %d | the simulators did not start | | |\n", devices);
            continue;
        }
        std::vector<std::string> listed, dropped;
        int complete = 0;
        for (int run = 0; run < options.mRuns; ++run) {
            UdpCounters before = ReadUdpCounters(bed);
            BenchProcess discover(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-discover")});
            if (!discover.Start() || !discover.Wait(120000)) {
                listed.push_back("hung");
                continue;
            }
            UdpCounters after = ReadUdpCounters(bed);
            int count = CountLinesWith(discover.GetOutput(), "burst-");
            complete += count == devices ? 1 : 0;
            listed.push_back(std::to_string(count));
            dropped.push_back(before.mIsRead && after.mIsRead ? Grouped(after.mRcvbufErrors - before.mRcvbufErrors) : "?");
        }
        std::printf("| %d | %s | %s | all, every run (%s) |\n", devices, Joined(listed).c_str(), Joined(dropped).c_str(),
                    complete == options.mRuns ? "met" : "missed");
        for (pid_t simulator : simulators) bed.Stop(simulator);
    }
    std::printf("\nMeasured with %s.\n\n", Load().c_str());
}

// ---- a flood of hellos with distinct ids while a listed device keeps answering ----

void FloodFigure(const Options& options) {
    std::printf("### A flood of hellos\n\n");
    const unsigned long cFloodIds = 500000;
    TestBed bed;
    const std::string deviceNs = bed.AddDevice({"192.0.2.20/24"});
    const std::string floodNs = bed.AddDevice({"192.0.2.40/24"});
    if (deviceNs.empty() || floodNs.empty() || bed.StartSimulator(deviceNs, {"--id", "bench-listed", "--address", "192.0.2.20"}) <= 0) {
        std::printf("Skipped: the test bed or the simulated device did not start.\n\n");
        return;
    }
    HelloFlood flood("QipSim", "flood-", cFloodIds, "192.0.2.40");
    BenchProcess watch(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-discover"), "--watch"});
    if (!watch.Start()) return;
    bool listed = false;
    for (int i = 0; i < 100 && !listed; ++i) {
        listed = watch.GetOutput().find("bench-listed") != std::string::npos;
        if (!listed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!listed) {
        std::printf("Skipped: qip-discover --watch did not list the simulated device within 10 s.\n\n");
        return;
    }
    const double cpuBefore = watch.GetCpuMs();
    const UdpCounters before = ReadUdpCounters(bed);
    bool sent = false;
    std::thread sender([&] {
        TestBed::EnterHost inside(floodNs);
        if (inside.IsEntered()) sent = flood.Send(TestBed::cHostAddress, options.mFloodSeconds);
    });
    sender.join();
    // What is still queued is read, and a device lost during the flood would be aged out
    // within one ageing period (3 s) after it: wait that long before judging.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const UdpCounters after = ReadUdpCounters(bed);
    const double cpuMs = watch.GetCpuMs() - cpuBefore;
    watch.Signal(SIGTERM);
    watch.Wait(10000);
    if (!sent) {
        std::printf("Skipped: the flood could not be sent.\n\n");
        return;
    }
    const std::string output = watch.GetOutput();
    int goneLines = 0, listedGone = 0;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 4, "gone") != 0) continue;
        ++goneLines;
        if (line.find("bench-listed") != std::string::npos) ++listedGone;
    }
    const double rate = flood.GetSentCount() / flood.GetSentSeconds();
    std::printf("One sender floods `qip-discover --watch` (default options otherwise) with hellos carrying\n"
                "distinct device ids, cycling through %s of them, as fast as one thread with sendmmsg\n"
                "can, for %.0f s, while a listed simulated device answers each broadcast. Processed is what\n"
                "the kernel delivered to the program's socket (UDP InDatagrams of the host namespace,\n"
                "where qip-discover holds the only UDP socket); dropped is RcvbufErrors there.\n\n",
                Grouped(cFloodIds).c_str(), flood.GetSentSeconds());
    std::printf("| Measured | Value |\n|---|---|\n");
    std::printf("| Flood sent | %s hellos in %.1f s: **%s datagrams/s** |\n", Grouped(flood.GetSentCount()).c_str(),
                flood.GetSentSeconds(), Grouped(static_cast<unsigned long long>(rate)).c_str());
    if (before.mIsRead && after.mIsRead) {
        const unsigned long long processed = after.mInDatagrams - before.mInDatagrams;
        std::printf("| Processed by qip-discover | **%s** (%s/s, %.0f%% of those sent) |\n", Grouped(processed).c_str(),
                    Grouped(static_cast<unsigned long long>(processed / flood.GetSentSeconds())).c_str(),
                    100.0 * processed / std::max(1.0, static_cast<double>(flood.GetSentCount())));
        std::printf("| Dropped by the kernel (receive buffer full) | %s |\n",
                    Grouped(after.mRcvbufErrors - before.mRcvbufErrors).c_str());
    }
    std::printf("| qip-discover CPU time during the flood | %.1f s (%.0f%% of one core) |\n", cpuMs / 1000,
                100 * cpuMs / 1000 / (flood.GetSentSeconds() + 4));
    std::printf("| Lines printed (appeared, changed, gone) | %s, of them %d gone |\n",
                Grouped(static_cast<unsigned long long>(std::count(output.begin(), output.end(), '\n'))).c_str(), goneLines);
    std::printf("| Listed device stayed listed | **%s** |\n", listedGone == 0 ? "yes: no gone for it" : "no: reported gone");
    std::string errors = Trimmed(watch.GetErrors());
    if (!errors.empty()) {
        std::istringstream errorLines(errors);
        std::set<std::string> distinct;
        for (std::string line; std::getline(errorLines, line);) distinct.insert(line);
        std::printf("\nqip-discover's standard error (distinct lines): %s\n", Joined(std::vector<std::string>(distinct.begin(), distinct.end()), " / ").c_str());
    }
    std::printf("\nMeasured with %s.\n\n", Load().c_str());
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") return false;
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        if (flag == "--only") {
            std::istringstream names(value);
            for (std::string name; std::getline(names, name, ',');) options->mOnly.insert(name);
        } else if (flag == "--runs") {
            options->mRuns = std::atoi(value.c_str());
            if (options->mRuns < 1) return false;
        } else if (flag == "--flood-seconds") {
            options->mFloodSeconds = std::atof(value.c_str());
            if (options->mFloodSeconds <= 0) return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "Usage: process-figures [--only discover,qipfinder,burst,flood] [--runs N] [--flood-seconds S]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        std::printf("Skipped: the whole-process figures need the test bed, which is unavailable: %s\n", reason.c_str());
        return 0;
    }
    std::printf("Started with %s.\n\n", Load().c_str());
    if (options.Wants("discover")) DiscoverFigure(options);
    if (options.Wants("qipfinder")) QipfinderFigures(options);
    if (options.Wants("burst")) BurstFigure(options);
    if (options.Wants("flood")) FloodFigure(options);
    return 0;
}
