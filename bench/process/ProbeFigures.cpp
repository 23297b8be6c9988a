#include "bench/process/ProbeFigures.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/process/BenchProcess.h"
#include "ksp/KspDescriptor.h"
#include "tests/testbed/TestBed.h"
#include "tests/testbed/TestBedNameServer.h"

namespace {

struct Run {
    double mWallMs = 0;
    double mCpuMs = 0;
    double mPeakKb = 0;
    bool mFound = false;
};

// Runs qip-discover `runs` times in `namespaceName`; a run counts as found when its output
// names `deviceId` and it exits 0.
std::vector<Run> TimeDiscover(const std::string& namespaceName, const std::vector<std::string>& args,
                              const std::string& deviceId, int runs) {
    std::vector<Run> results;
    for (int i = 0; i < runs; ++i) {
        std::vector<std::string> argv{TestBed::BinaryPath("qip-discover")};
        argv.insert(argv.end(), args.begin(), args.end());
        BenchProcess discover(namespaceName, argv);
        Run run;
        if (!discover.Start() || !discover.Wait(120000)) {
            std::fprintf(stderr, "qip-discover %s did not end\n", Joined(args).c_str());
            results.push_back(run);
            continue;
        }
        run.mWallMs = discover.GetWallMs();
        run.mCpuMs = discover.GetCpuMs();
        run.mPeakKb = static_cast<double>(discover.GetPeakRssKb());
        run.mFound = discover.GetExitStatus() == 0 && discover.GetOutput().find(deviceId) != std::string::npos;
        if (!run.mFound && !deviceId.empty()) std::fprintf(stderr, "qip-discover %s: %s\n", Joined(args).c_str(), discover.GetErrors().c_str());
        results.push_back(run);
    }
    return results;
}

std::string EachRun(const std::vector<Run>& runs, bool isDeviceExpected = true) {
    std::vector<std::string> shown;
    for (const Run& run : runs) {
        shown.push_back(Ms(run.mWallMs) + (run.mFound || !isDeviceExpected ? "" : " (not found)"));
    }
    return Joined(shown);
}

double MedianOf(const std::vector<Run>& runs, double Run::*field) {
    std::vector<double> values;
    for (const Run& run : runs) values.push_back(run.*field);
    return Median(values);
}

int FoundCount(const std::vector<Run>& runs) {
    int found = 0;
    for (const Run& run : runs) found += run.mFound ? 1 : 0;
    return found;
}

void RouterFigure(const FigureOptions& options) {
    std::printf("### A device behind a router, found by probing\n\n");
    std::printf("One simulated device on 198.51.100.0/24 behind the test bed's router (which forwards\n"
                "no broadcast); `qip-discover --probe 198.51.100.0/24` from start to exit (254 addresses at\n"
                "2,000 a second), median of %d runs.\n\n", options.mRuns);
    TestBed bed;
    const std::string far = bed.AddDeviceBehindRouter({"198.51.100.20/24"});
    if (far.empty() || bed.StartSimulator(far, {"--id", "bench-far", "--address", "198.51.100.20"}) <= 0) {
        std::printf("Skipped: the simulated device did not start.\n\n");
        return;
    }
    const std::vector<Run> runs = TimeDiscover(bed.GetHostNamespace(), {"--probe", "198.51.100.0/24"}, "bench-far",
                                               options.mRuns);
    std::printf("| Each run (ms) | Median | Found | Target |\n|---|---|---|---|\n");
    std::printf("| %s | **%s ms** | %d of %d runs | at most 800 ms |\n\n", EachRun(runs).c_str(),
                Ms(MedianOf(runs, &Run::mWallMs)).c_str(), FoundCount(runs), options.mRuns);
    std::printf("Measured with %s.\n\n", Load().c_str());
}

void LoopbackSweepFigure(const FigureOptions& options) {
    std::printf("### A /16 sweep on loopback\n\n");
    std::printf("`qip-discover --probe 127.1.0.0/16` (65,534 addresses) with one simulated device on\n"
                "127.1.200.7/32 (so that it hears no broadcast), both in the test bed's host namespace;\n"
                "median of %d runs. The run without probes (nothing found: the whole 3 s wait) is the\n"
                "memory baseline.\n\n", options.mRuns);
    TestBed bed;
    if (!bed.IsReady() ||
        bed.StartSimulator(bed.GetHostNamespace(), {"--id", "bench-loop", "--address", "127.1.200.7/32"}) <= 0) {
        std::printf("Skipped: the simulated device did not start.\n\n");
        return;
    }
    struct Variant {
        std::string mLabel;
        std::vector<std::string> mArgs;
        std::string mDevice;
    };
    const std::vector<Variant> variants = {
        {"no probes (baseline)", {}, ""},
        {"`--probe 127.1.0.0/16` (2,000/s)", {"--probe", "127.1.0.0/16"}, "bench-loop"},
        {"`--probe 127.1.0.0/16 --probe-rate 50000`", {"--probe", "127.1.0.0/16", "--probe-rate", "50000"}, "bench-loop"},
    };
    std::printf("| Options | Each run (ms) | Median | CPU time (median) | Peak memory (median) | Found |\n"
                "|---|---|---|---|---|---|\n");
    double baselineKb = 0;
    for (const Variant& variant : variants) {
        const std::vector<Run> runs = TimeDiscover(bed.GetHostNamespace(), variant.mArgs, variant.mDevice,
                                                   options.mRuns);
        const double peakKb = MedianOf(runs, &Run::mPeakKb);
        std::string found = std::to_string(FoundCount(runs)) + " of " + std::to_string(options.mRuns);
        std::string memory = Grouped(static_cast<unsigned long long>(peakKb)) + " KB";
        if (variant.mDevice.empty()) {
            baselineKb = peakKb;
            found = "(none expected)";
        } else {
            memory += " (" + std::string(peakKb >= baselineKb ? "+" : "-") +
                      Grouped(static_cast<unsigned long long>(peakKb >= baselineKb ? peakKb - baselineKb
                                                                                  : baselineKb - peakKb)) +
                      " KB)";
        }
        std::printf("| %s | %s | **%s ms** | %s ms | %s | %s |\n", variant.mLabel.c_str(),
                    EachRun(runs, !variant.mDevice.empty()).c_str(),
                    Ms(MedianOf(runs, &Run::mWallMs)).c_str(), Ms(MedianOf(runs, &Run::mCpuMs)).c_str(),
                    memory.c_str(), found.c_str());
    }
    std::printf("\nTarget: the device found in every run; memory at most 1 MB above the baseline.\n");
    std::printf("Measured with %s.\n\n", Load().c_str());
}

long long RealtimeNs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// When the first datagram reaches `fd` within `timeoutMs`, on CLOCK_REALTIME; -1 if none does.
long long FirstArrivalNs(int fd, int timeoutMs) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1) return -1;
    const long long arrived = RealtimeNs();
    unsigned char buffer[1500];
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
    return arrived;
}

// The first whoisthere as a device on the host's network receives it, timed from the fork
// of `ip netns exec ... qip-discover` (so the figure holds that program's start too), with
// no name and with two names that a silent name server never answers.
void DeadNameServerFigure(const FigureOptions& options) {
    std::printf("### The first broadcast under a name server that never answers\n\n");
    std::printf("`qip-discover --no-ssid --wait 2 -v` started through `ip netns exec` in the test bed's\n"
                "host namespace, whose resolv.conf names a server that takes every question and never\n"
                "answers; a socket on UDP 19375 in a device namespace on the host's network notes when the\n"
                "first whoisthere arrives, from the fork. %d runs each.\n\n", options.mRuns);
    TestBed bed;
    const std::string device = bed.AddDevice({"192.0.2.30/24"});
    TestBedNameServer nameServer(bed);
    int fd = -1;
    if (!device.empty()) {
        TestBed::EnterHost inside(device);
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(19375);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            fd = -1;
        }
    }
    const KspDescriptor listener(fd);
    if (!nameServer.IsReady() || listener.Get() < 0) {
        std::printf("Skipped: the name server or the listening device could not be set up.\n\n");
        return;
    }
    struct Variant {
        std::string mLabel;
        std::vector<std::string> mProbes;
    };
    const std::vector<Variant> variants = {
        {"no probe target", {}},
        {"`--probe lab-router.example --probe b.example`", {"--probe", "lab-router.example", "--probe", "b.example"}},
    };
    std::printf("| Options | First whoisthere, each run (ms) | Median | Run ends, median | Target |\n"
                "|---|---|---|---|---|\n");
    for (const Variant& variant : variants) {
        std::vector<double> firsts;
        std::vector<double> ends;
        std::vector<std::string> shown;
        for (int i = 0; i < options.mRuns; ++i) {
            std::vector<std::string> argv{"/usr/sbin/ip", "netns", "exec", bed.GetHostNamespace(),
                                          TestBed::BinaryPath("qip-discover"), "--no-ssid", "--wait", "2", "-v"};
            argv.insert(argv.end(), variant.mProbes.begin(), variant.mProbes.end());
            FirstArrivalNs(listener.Get(), 0);  // anything left over
            BenchProcess discover("", argv);
            if (!discover.Start()) continue;
            const long long arrived = FirstArrivalNs(listener.Get(), 15000);
            const bool ended = discover.Wait(30000);
            if (arrived < 0 || !ended) {
                shown.push_back(arrived < 0 ? "(none)" : "(did not end)");
                continue;
            }
            firsts.push_back((arrived - discover.GetStartRealtimeNs()) / 1e6);
            ends.push_back(discover.GetWallMs());
            shown.push_back(Ms(firsts.back()));
        }
        std::printf("| %s | %s | **%s ms** | %s ms | first whoisthere within 50 ms |\n", variant.mLabel.c_str(),
                    Joined(shown).c_str(), firsts.empty() ? "-" : Ms(Median(firsts)).c_str(),
                    ends.empty() ? "-" : Ms(Median(ends)).c_str());
    }
    std::printf("\nMeasured with %s.\n\n", Load().c_str());
}

}  // namespace

void ProbeFigures(const FigureOptions& options) {
    if (!DiscoverKnows("--probe")) {
        std::printf("### Probing\n\nSkipped: this build of qip-discover has no --probe.\n\n");
        return;
    }
    // "probe" is all three; "probe-names" the name server's alone.
    if (options.Wants("probe")) {
        RouterFigure(options);
        LoopbackSweepFigure(options);
    }
    DeadNameServerFigure(options);
}
