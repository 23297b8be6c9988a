// One poll tick of the search while a quarter of the devices never answer their status page
// request, against simulated devices in the network-namespace test bed (root needed; skipped
// otherwise), and how long the event loop stands still while a tick reads pages that never
// come (loopback only). Whole programs from start to exit are timed by bench/process.

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/Qip.h"
#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "sysinfo/SysInfo.h"
#include "tests/testbed/TestBed.h"

namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "search-bench";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until `search` has reported the tick it is reading.
void WaitForReport(const Qip& search) {
    while (search.isReading()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

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
    App();
    for (auto _ : state) {
        qip.timerCallback();
        WaitForReport(qip);
    }
    state.counters["devices"] = static_cast<double>(delegate.mDevices);
    gInterfaces.clear();
}
BENCHMARK(BM_PollTick)->Arg(1)->Arg(16)->Arg(64)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// A loopback TCP port that takes connections into its queue and never answers them.
class HangingPort {
public:
    HangingPort() : mFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (mFd >= 0 && bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(mFd, 128) == 0 &&
            getsockname(mFd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            mPort = ntohs(address.sin_port);
        }
    }
    ~HangingPort() {
        if (mFd >= 0) close(mFd);
    }
    unsigned short Port() const { return mPort; }

private:
    int mFd;
    unsigned short mPort = 0;
};

// Every page from the hanging port: the real request, which waits for an answer until its
// bound or the tick's time budget ends it.
class HangingPages : public DeviceDescriber::StatusFetcher {
public:
    explicit HangingPages(unsigned short port) : mPort(port) {}
    void FetchStatus(SysInfo& sysInfo) override {
        sysInfo.SetPort(mPort);
        sysInfo.Fetch();
    }

private:
    unsigned short mPort;
};

// The longest the event loop stood still while one tick read 40 status pages that never
// come, the search's looks running meanwhile: a 10 ms timer notes how late each of its
// ticks is. range(0) 1 reads as the search
// does; 0 reads the same pages on the event loop's own thread, as a tick did before reads
// moved to a worker, for comparison.
void BM_MainThreadStall(benchmark::State& state) {
    const bool onWorker = state.range(0) == 1;
    const int cPages = 40;
    App();
    HangingPort port;
    if (port.Port() == 0) return state.SkipWithError("no loopback port");
    HangingPages pages(port.Port());
    FixedSnapshot source;
    for (int i = 0; i < cPages; ++i) {
        source.mDevices.emplace_back(QipPacketHello("Router", "hang-" + std::to_string(i), "127.0.0.1",
                                                    "255.0.0.0", "/status.xml", "1"),
                                     "127.0.0.1");
    }
    gInterfaces.clear();
    CountingDelegate delegate;
    Qip qip(&delegate, {"Router"}, 10);
    qip.setSnapshotSource(&source);
    qip.setStatusFetcher(&pages);
    // Started, as the program's search is: its looks at the forty devices run on the event
    // loop every 100 ms (then 250 ms) meanwhile, and count towards the stall.
    qip.start();
    double worstMs = 0;
    double readMs = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        qint64 due = 0;
        double worst = 0;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(10);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            worst = std::max(worst, static_cast<double>(now - due));
            due = now + 10;
        });
        clock.start();
        due = 10;
        probe.start();
        bool begun = false;
        QElapsedTimer read;
        QTimer::singleShot(30, &qip, [&] {
            read.start();
            begun = true;
            if (onWorker) {
                qip.timerCallback();
                return;
            }
            DeviceDescriber describer({"Router"}, gInterfaces);
            describer.SetStatusFetcher(&pages);
            std::vector<QipDevice> snapshot = source.mDevices;
            describer.Describe(snapshot);
        });
        // Let the loop run through the read and 100 ms after it.
        qint64 ended = -1;
        while (ended < 0 || clock.elapsed() < ended + 100) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (ended < 0 && begun && !qip.isReading()) {
                ended = clock.elapsed();
                readMs = std::max(readMs, static_cast<double>(read.elapsed()));
            }
        }
        probe.stop();
        worstMs = std::max(worstMs, worst);
    }
    state.counters["stall_ms"] = worstMs;
    state.counters["read_ms"] = readMs;
    state.counters["pages"] = cPages;
}
// From a device's first answer (its entry in the device list) to the search telling the
// window about it, once the table is shown (the answers settled): the search's looks, not
// its polls, bring a row. The window adds the row in the same pass of the event loop.
class HeardDelegate : public QipDelegate {
public:
    int mHeard = 0;
    int mCount = 0;
    void devicesHeard(const QVariantList& devices) override {
        ++mHeard;
        mCount = static_cast<int>(devices.size());
    }
};

void BM_FirstAnswerToRow(benchmark::State& state) {
    App();
    gInterfaces.clear();
    FixedSnapshot source;
    source.mDevices.emplace_back(QipPacketHello("Router", "first", "127.0.0.1", "255.0.0.0", "/s.xml", "1"),
                                 "127.0.0.1");
    HeardDelegate delegate;
    Qip qip(&delegate, {"Router"}, 10);
    qip.setSnapshotSource(&source);
    qip.start();
    auto runUntil = [](const std::function<bool()>& done) {
        QElapsedTimer waited;
        waited.start();
        while (!done() && waited.elapsed() < 15000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
    };
    runUntil([&delegate] { return delegate.mHeard > 0; });
    if (delegate.mHeard == 0) return state.SkipWithError("the answers never settled");
    double worstMs = 0;
    int i = 0;
    for (auto _ : state) {
        const int before = delegate.mCount;
        QElapsedTimer answered;
        answered.start();
        source.mDevices.emplace_back(
            QipPacketHello("Router", "later-" + std::to_string(i++), "127.0.0.1", "255.0.0.0", "/s.xml", "1"),
            "127.0.0.1");
        runUntil([&delegate, before] { return delegate.mCount > before; });
        worstMs = std::max(worstMs, static_cast<double>(answered.nsecsElapsed()) / 1e6);
    }
    state.counters["worst_ms"] = worstMs;
}
BENCHMARK(BM_FirstAnswerToRow)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(BM_MainThreadStall)->Arg(1)->Arg(0)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
