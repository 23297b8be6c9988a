// A flood of hellos with distinct ids while qip-discover --watch keeps a device listed.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process/FigureSupport.h"
#include "bench/process/BenchProcess.h"
#include "bench/process/HelloFlood.h"
#include "tests/testbed/TestBed.h"

// ---- a flood of hellos with distinct ids while a listed device keeps answering ----

void FloodFigure(const FigureOptions& options) {
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

