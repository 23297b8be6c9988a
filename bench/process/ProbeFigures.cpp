#include "bench/process/ProbeFigures.h"

#include <cstdio>
#include <string>
#include <vector>

#include "bench/process/BenchProcess.h"
#include "tests/testbed/TestBed.h"

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

}  // namespace

void ProbeFigures(const FigureOptions& options) {
    if (!DiscoverKnows("--probe")) {
        std::printf("### Probing\n\nSkipped: this build of qip-discover has no --probe.\n\n");
        return;
    }
    RouterFigure(options);
    LoopbackSweepFigure(options);
}
