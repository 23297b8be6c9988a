// How long a person waits for the alert of a device switched off: qip-exporter, Debian's
// Prometheus and Alertmanager with the configurations of docs/monitoring.md and the shipped
// rules, as the alerting test runs them (scrapes and evaluations every second, `for` 3 s,
// grouping after 1 s), from the device's simulator stopped to the webhook's notification.
// Needs root (the test bed); one run of about a minute.

#include <benchmark/benchmark.h>

#include <string>

#include "tests/exporter/MonitoringServers.h"
#include "tests/testbed/TestBed.h"

namespace {

const int cForSeconds = 3;

void BM_DeviceOffToWebhook(benchmark::State& state) {
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        state.SkipWithError(("test bed unavailable: " + reason).c_str());
        return;
    }
    TestBed bed;
    const std::string ns = bed.AddDevice({"192.0.2.20/24"});
    const std::string other = bed.AddDevice({"192.0.2.21/24"});
    const pid_t device = bed.StartSimulator(ns, {"--address", "192.0.2.20/24", "--id", "bench-off"});
    if (device <= 0 || bed.StartSimulator(other, {"--address", "192.0.2.21/24", "--id", "bench-on"}) <= 0 ||
        bed.Start(bed.GetHostNamespace(), {"qip-exporter", "--listen", AlertingChain::cExporter}) <= 0) {
        state.SkipWithError("the devices or the exporter did not start");
        return;
    }
    AlertingChain chain(bed);
    if (!chain.Start(cForSeconds)) {
        state.SkipWithError("Prometheus or Alertmanager did not start");
        return;
    }
    nlohmann::json listed;
    if (chain.GetPrometheus().WaitFor("qip_device_info", 30, [](const nlohmann::json& r) { return r.size() == 2; },
                                      listed) < 0) {
        state.SkipWithError("the devices were not listed within 30 s");
        return;
    }
    double seconds = -1;
    for (auto _ : state) {
        bed.Stop(device);
        const MonitoringClock::time_point off = MonitoringClock::now();
        if (!chain.GetWebhook().WaitForMore(0, 120)) {
            state.SkipWithError("no notification within 120 s");
            break;
        }
        seconds = SecondsSince(off);
        state.SetIterationTime(seconds);
    }
    state.counters["for_s"] = cForSeconds;
    state.counters["off_to_webhook_s"] = seconds;
}
BENCHMARK(BM_DeviceOffToWebhook)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
