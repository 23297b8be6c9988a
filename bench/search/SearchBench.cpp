// One poll tick of the search while a quarter of the devices never answer their status page
// request, against simulated devices in the network-namespace test bed (root needed; skipped
// otherwise). Whole programs from start to exit are timed by bench/process.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/Qip.h"
#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "tests/testbed/TestBed.h"

namespace {

bool BedAvailable(benchmark::State& state) {
    std::string reason;
    if (TestBed::IsAvailable(&reason)) return true;
    state.SkipWithError(("test bed unavailable: " + reason).c_str());
    return false;
}

// Hands every tick the same snapshot, taken once from a real device list.
class FixedSnapshot : public Qip::SnapshotSource {
public:
    std::vector<QipDevice> mDevices;
    std::vector<QipDevice> TakeSnapshot() override { return mDevices; }
};

class CountingDelegate : public QipDelegate {
public:
    long mDevices = 0;
    void deviceFound(const QVariantList& devices) override { mDevices = devices.size(); }
};

void BM_PollTick(benchmark::State& state) {
    if (!BedAvailable(state)) return;
    const int count = static_cast<int>(state.range(0));
    TestBed bed;
    if (!bed.IsReady()) return state.SkipWithError("test bed not built");
    // One simulator holds every device, each on its own address; every fourth one accepts
    // its status page request and never answers.
    std::vector<std::string> cidrs;
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
        const std::string cidr = "192.0.2." + std::to_string(100 + i) + "/24";
        cidrs.push_back(cidr);
        args.insert(args.end(), {"--device", "--type", "Router", "--address", cidr});
        if (i % 4 == 3) args.push_back("--http-hang");
    }
    if (bed.StartSimulator(bed.AddDevice(cidrs), args) <= 0) {
        return state.SkipWithError("simulator did not start");
    }
    TestBed::EnterHost host(bed);
    if (!host.IsEntered()) return state.SkipWithError("cannot enter the host namespace");

    FixedSnapshot source;
    {
        std::unique_ptr<QipClient> client(new QipClient());
        std::unique_ptr<QipDeviceList> list(new QipDeviceList(client.get()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
        while (list->Snapshot().size() < static_cast<size_t>(count) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        source.mDevices = list->Snapshot();
        client.reset();  // before the list, which it feeds
    }
    if (source.mDevices.size() != static_cast<size_t>(count)) {
        return state.SkipWithError("not every simulated device answered");
    }
    gInterfaces = KspNetworkInterface::Enumerate();
    CountingDelegate delegate;
    Qip qip(&delegate, {"Router"}, 10);
    qip.setSnapshotSource(&source);
    for (auto _ : state) {
        qip.timerCallback();
    }
    state.counters["devices"] = static_cast<double>(delegate.mDevices);
    gInterfaces.clear();
}
BENCHMARK(BM_PollTick)->Arg(1)->Arg(16)->Arg(64)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
