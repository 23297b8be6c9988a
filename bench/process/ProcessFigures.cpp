// Whole-process figures: what a user waits for from start to exit, and what the programs
// keep up with when many answers arrive at once. Every figure runs the real programs
// against simulated devices in the network-namespace test bed (root needed; without it
// each figure says so and is skipped). Prints Markdown tables on standard output.
//
//   process-figures [--only NAME,...] [--runs N] [--flood-seconds S]
//
// (--help lists the figures' names.)
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
#include "bench/process/HostileFigures.h"
#include "bench/process/ProbeFigures.h"
#include "bench/process/QipfinderFigures.h"
#include "bench/process/HelloFlood.h"
#include "tests/testbed/TestBed.h"

namespace {

using Options = FigureOptions;

const char* const cNetworks[3] = {"192.0.2", "198.51.100", "203.0.113"};

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

// Every name --only takes; the usage line is made from it, so that it names them all.
const char* const cFigureNames[] = {
    "discover",   "qipfinder", "qipfinder-table", "burst",      "flood",
    "probe",      "probe-names", "share",         "share-warm", "share-handover",
    "share-flood", "share-silent", "churn",       "deadname"};

std::string FigureNames() {
    std::string names;
    for (const char* name : cFigureNames) names += (names.empty() ? "" : ",") + std::string(name);
    return names;
}

bool IsFigureName(const std::string& name) {
    for (const char* known : cFigureNames) {
        if (name == known) return true;
    }
    return false;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") return false;
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        if (flag == "--only") {
            std::istringstream names(value);
            for (std::string name; std::getline(names, name, ',');) {
                if (!IsFigureName(name)) {
                    std::fprintf(stderr, "process-figures: no figure '%s'\n", name.c_str());
                    return false;
                }
                options->mOnly.insert(name);
            }
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
        std::fprintf(stderr, "Usage: process-figures [--only %s] [--runs N] [--flood-seconds S]\n",
                     FigureNames().c_str());
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
    if (options.Wants("qipfinder-table")) QipfinderTableFigure(options);
    if (options.Wants("burst")) BurstFigure(options);
    if (options.Wants("flood")) FloodFigure(options);
    if (options.Wants("share") || options.Wants("share-warm") || options.Wants("share-handover") ||
        options.Wants("share-flood") || options.Wants("share-silent")) {
        ShareFigure(options);
    }
    if (options.Wants("probe") || options.Wants("probe-names")) ProbeFigures(options);
    HostileFigures(options);
    return 0;
}
