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
#include "bench/exporter/ExporterBenchSupport.h"
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

}  // namespace

BENCHMARK_MAIN();
