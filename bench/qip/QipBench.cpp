// Costs of the discovery engine's hot paths: a hello against lists of growing size, the
// snapshot a poll takes, and parsing one hello datagram.

#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "qip/QipDeviceList.h"
#include "qip/QipPacket.h"
#include "qip/QipReceiveCounts.h"

namespace {

// Ahead of the real clock, so the list's own ageing thread leaves every record alone.
const time_t gBase = time(nullptr) + 1000000;

QipPacketHello MakeHello(size_t index, const std::string& packetId = "p1") {
    return QipPacketHello("QAP-1", "00:1A:2B:" + std::to_string(100000 + index), "192.0.2.7",
                          "255.255.255.0", "/cgi-bin/status.txt", packetId);
}

std::unique_ptr<QipDeviceList> MakeList(size_t size) {
    auto list = std::make_unique<QipDeviceList>(nullptr);
    for (size_t i = 0; i < size; ++i) {
        list->OnHello(MakeHello(i), "192.0.2.7", gBase);
    }
    return list;
}

void BM_OnHelloRefresh(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::unique_ptr<QipDeviceList> list = MakeList(size);
    const QipPacketHello hello = MakeHello(size - 1);
    const std::string source = "192.0.2.7";
    for (auto _ : state) {
        list->OnHello(hello, source, gBase);
    }
    state.SetItemsProcessed(state.iterations());
}

// Each timed hello appends a new record to a list of size - 1; an untimed ageing pass then
// removes it again so that every iteration sees the same list. That pass re-indexes the
// whole list, so at the largest size the iterations are fixed rather than left to the
// timed total.
void BM_OnHelloNewDevice(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::unique_ptr<QipDeviceList> list = MakeList(size - 1);
    const QipPacketHello hello = MakeHello(size - 1);
    const std::string source = "192.0.2.7";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        list->OnHello(hello, source, gBase - 100);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        list->RemoveExpired(gBase);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Snapshot(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::unique_ptr<QipDeviceList> list = MakeList(size);
    for (auto _ : state) {
        std::vector<QipDevice> devices = list->Snapshot();
        benchmark::DoNotOptimize(devices.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(size));
}

void BM_CreateHello(benchmark::State& state) {
    unsigned char datagram[1472];
    const unsigned long length = MakeHello(1).Serialize(datagram, sizeof datagram);
    for (auto _ : state) {
        std::unique_ptr<QipPacket> packet(QipPacket::Create(datagram, length));
        benchmark::DoNotOptimize(packet.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(length));
}

// What the receive thread adds per hello to tell a user what answered: one distinct-id
// count, for a known id and for a flood of new ids far past what the counts tell apart.
void BM_CountHello(benchmark::State& state) {
    QipReceiveCounts counts;
    std::vector<std::string> ids;
    const size_t distinct = static_cast<size_t>(state.range(0));
    for (size_t i = 0; i < distinct; ++i) {
        ids.push_back(MakeHello(i).GetDeviceId());
    }
    size_t next = 0;
    for (auto _ : state) {
        counts.CountDatagram();
        counts.CountHello("QAP-1", ids[next], false);
        next = next + 1 == distinct ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_CountHello)->Arg(1)->Arg(500000);
BENCHMARK(BM_OnHelloRefresh)->Arg(1)->Arg(64)->Arg(4096);
BENCHMARK(BM_OnHelloNewDevice)->Arg(1)->Arg(64)->UseManualTime();
BENCHMARK(BM_OnHelloNewDevice)->Arg(4096)->UseManualTime()->Iterations(50000);
BENCHMARK(BM_Snapshot)->Arg(1)->Arg(64)->Arg(4096);
BENCHMARK(BM_CreateHello);

BENCHMARK_MAIN();
