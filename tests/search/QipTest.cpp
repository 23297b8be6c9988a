#include "app/Qip.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "sysinfo/SysInfo.h"

// The searches take their snapshots from a SnapshotSource, so start() opens no socket, and
// their pages come from a fake fetcher: nothing is sent anywhere. Addresses are data only.
namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "search_qt_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

QipDevice Device(const std::string& type, const std::string& id, const std::string& source) {
    return QipDevice(QipPacketHello(type, id, "203.0.113.99", "255.255.255.0", "/s.xml", "1"), source);
}

// A started search with a fixed snapshot, pages holding the SSID "Office", and a delegate
// that records its reports.
struct Search : QipDelegate, Qip::SnapshotSource, DeviceDescriber::StatusFetcher {
    std::vector<QipDevice> mDevices;
    std::vector<std::string> mHosts;
    int mNotFound = 0;
    std::vector<QVariantList> mFound;
    std::function<void()> mOnReport = [] {};
    // Replaces the page of "Office" when set; runs on the read's threads.
    std::function<void(SysInfo&)> mFetch;
    Qip mQip;

    explicit Search(const QVariant& timeout) : mQip((App(), this), {"Router"}, timeout) {
        mQip.setSnapshotSource(this);
        mQip.setStatusFetcher(this);
        mSince.start();
        mQip.start();
    }
    std::vector<QipDevice> TakeSnapshot() override { return mDevices; }
    void FetchStatus(SysInfo& sysInfo) override {  // one group per test tick: one thread
        if (mFetch) return mFetch(sysInfo);
        mHosts.push_back(sysInfo.GetHost());
        sysInfo.ParsePage("<status>\n<wlan>\n<ssid>Office</ssid>\n</wlan>\n</status>\n");
    }
    void deviceFound(const QVariantList& devices) override { mFound.push_back(devices); mOnReport(); }
    void deviceNotFound() override { ++mNotFound; mOnReport(); }
    std::vector<QVariantList> mHeard;
    qint64 mFirstHeardMs = -1;
    QElapsedTimer mSince;
    void devicesHeard(const QVariantList& devices) override {
        if (mHeard.empty()) mFirstHeardMs = mSince.elapsed();
        mHeard.push_back(devices);
    }
    // Lets the event loop run until the tick's pages are read and reported (at most 15 s).
    void WaitForReport() {
        QElapsedTimer waited;
        waited.start();
        while (mQip.isReading() && waited.elapsed() < 15000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            QCoreApplication::processEvents();
        }
    }
    void Tick() {
        mQip.timerCallback();
        WaitForReport();
    }
};

// A loopback TCP port that takes connections into its queue and never answers them.
struct HangingPort {
    int mFd = socket(AF_INET, SOCK_STREAM, 0);
    unsigned short mPort = 0;
    HangingPort() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(mFd, 64) == 0 &&
            getsockname(mFd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            mPort = ntohs(address.sin_port);
        }
    }
    ~HangingPort() { close(mFd); }
};

}  // namespace

TEST(QipTimer, IntervalComesFromTheTimeoutAndRepeatedCallsFollowTheLifecycle) {
    const std::vector<std::pair<QVariant, int>> cases = {{10, 10}, {7.9, 7}, {QStringLiteral("7.9"), 7}, {1, 1},
                                                         {0.99, 10}, {-3, 10}, {QVariant(), 10}, {1e12, INT_MAX / 1000}};
    for (const auto& c : cases) {
        Search search(c.first);
        ASSERT_NE(search.mQip.timer(), nullptr);
        EXPECT_EQ(search.mQip.timer()->interval(), c.second * 1000) << c.first.toString().toStdString();
        EXPECT_TRUE(search.mQip.timer()->isActive() && !search.mQip.timer()->isSingleShot());
    }
    Qip created(nullptr, {"Router"}, 10);
    created.resume();
    EXPECT_EQ(created.timer(), nullptr);  // nothing to resume before start

    Search search(10);
    Qip& qip = search.mQip;
    QTimer* first = qip.timer();
    qip.start();
    qip.resume();
    EXPECT_EQ(qip.timer(), first);  // a second start or a resume while polling changes nothing
    qip.suspend();
    EXPECT_EQ(qip.timer(), nullptr);
    qip.resume();
    ASSERT_NE(qip.timer(), nullptr);
    EXPECT_EQ(qip.timer()->interval(), 2000);  // whatever the timeout
    qip.stop();
    qip.resume();
    qip.start();
    EXPECT_EQ(qip.timer(), nullptr);
}

TEST(QipPoll, EveryEmptyTickFromTheThirdReportsAndResumeRestartsTheCount) {
    Search search(10);
    auto ticks = [&search](int n) { while (n-- > 0) search.Tick(); };
    ticks(2);
    EXPECT_EQ(search.mNotFound, 0);
    search.mDevices = {Device("Router", "A", "192.168.1.5")};
    ticks(1);  // a tick with entries neither resets nor counts
    EXPECT_EQ(search.mFound.size(), 1u);
    search.mDevices.clear();
    ticks(2);
    EXPECT_EQ(search.mNotFound, 2);
    search.mQip.suspend();
    search.mQip.resume();
    ticks(2);
    EXPECT_EQ(search.mNotFound, 2);
    ticks(1);
    EXPECT_EQ(search.mNotFound, 3);
}

TEST(QipPoll, ReportsDictionariesOfWantedDevicesWithTextsMadeValid) {
    Search search(10);
    gInterfaces = {KspNetworkInterface("eth0", "192.168.1.10", "255.255.255.0")};
    search.mDevices = {Device("Router", "d\xFF", "10.9.9.9"), Device("Printer", "P", "192.168.1.3"),
                       Device("Router", "d\xFF", "192.168.1.7")};
    search.Tick();
    ASSERT_EQ(search.mFound.size(), 1u);
    ASSERT_EQ(search.mFound[0].size(), 1);
    const QVariantMap device = search.mFound[0][0].toMap();
    EXPECT_EQ(device.keys(), (QStringList{"DeviceIP", "DeviceId", "DeviceType", "DisplayString", "HelloNote", "LastAnswer", "PageOutcome", "SSID"}));
    EXPECT_EQ(device["DeviceIP"].toString() + "|" + device["SSID"].toString(), "192.168.1.7|Office");
    EXPECT_EQ(device["DisplayString"].toString(), QString::fromUtf8("d\xEF\xBF\xBD - Router - SSID:\"Office\""));
    EXPECT_EQ(search.mHosts, std::vector<std::string>{"192.168.1.7"});

    search.mDevices = {Device("router", "P", "192.168.1.3")};  // case counts
    search.Tick();
    ASSERT_EQ(search.mFound.size(), 2u);
    EXPECT_TRUE(search.mFound[1].isEmpty());
    gInterfaces.clear();
}

TEST(QipTimer, TicksOnTheEventLoopUntilTheDelegateSuspendsFromItsReport) {
    Search search(1);
    search.mOnReport = [&search] {
        search.mQip.suspend();  // drops the timer whose tick is running
        QCoreApplication::quit();
    };
    QTimer::singleShot(15000, &App(), &QCoreApplication::quit);
    QElapsedTimer clock;
    clock.start();
    App().exec();
    EXPECT_EQ(search.mNotFound, 1);
    EXPECT_EQ(search.mQip.counter(), 3u);  // the third one-second tick reported
    EXPECT_GE(clock.elapsed(), 2500);
    EXPECT_EQ(search.mQip.timer(), nullptr);
}

TEST(QipRead, PagesAreReadOffTheEventLoopAndATickStillReadingIsNotStartedTwice) {
    Search search(10);
    std::atomic<int> fetches{0};
    std::atomic<bool> release{false};
    search.mFetch = [&](SysInfo& sysInfo) {
        ++fetches;
        // Bounded, so that a search reading on the calling thread fails instead of hanging.
        for (int i = 0; i < 300 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sysInfo.ParsePage("<status>\n<wlan>\n<ssid>Lab</ssid>\n</wlan>\n</status>\n");
    };
    search.mDevices = {Device("Router", "A", "192.168.1.5")};
    QElapsedTimer took;
    took.start();
    search.mQip.timerCallback();
    EXPECT_LT(took.elapsed(), 1000) << "the tick waited for the page";
    EXPECT_TRUE(search.mQip.isReading());
    EXPECT_TRUE(search.mFound.empty());
    search.mQip.timerCallback();  // due while the first still reads
    release = true;
    search.WaitForReport();
    QCoreApplication::processEvents();
    EXPECT_EQ(fetches, 1);
    ASSERT_EQ(search.mFound.size(), 1u);
    ASSERT_EQ(search.mFound[0].size(), 1);
    EXPECT_EQ(search.mFound[0][0].toMap()["SSID"].toString(), "Lab");
    search.Tick();  // and the next tick reads again
    EXPECT_EQ(fetches, 2);
    EXPECT_EQ(search.mFound.size(), 2u);
}

TEST(QipRead, SuspendOrDestructionEndsAHangingReadAtOnceWithoutAReport) {
    HangingPort hanging;
    ASSERT_NE(hanging.mPort, 0);
    for (bool destroy : {false, true}) {
        auto search = std::make_unique<Search>(10);
        search->mFetch = [&hanging](SysInfo& sysInfo) {
            sysInfo.SetPort(hanging.mPort);
            sysInfo.Fetch();  // connects, then waits 3 s for an answer that never comes
        };
        search->mDevices = {Device("Router", "A", "127.0.0.1"), Device("Router", "B", "127.0.0.1")};
        search->mQip.timerCallback();
        ASSERT_TRUE(search->mQip.isReading());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        QElapsedTimer took;
        took.start();
        testing::internal::CaptureStderr();
        if (destroy) {
            search.reset();
        } else {
            search->mQip.suspend();
        }
        EXPECT_LT(took.elapsed(), 1000) << (destroy ? "destruction" : "suspend") << " waited for the page";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        QCoreApplication::processEvents();
        if (search) {
            EXPECT_FALSE(search->mQip.isReading());
            EXPECT_TRUE(search->mFound.empty()) << "the report of a read that was ended";
        }
    }
}

TEST(QipSettle, TheFirstDecisionWaitsForTheAnswersToSettleNotForAPoll) {
    // A lone device heard at once: due at 1 s, not sooner.
    QipSettle lone(0);
    EXPECT_FALSE(lone.Note(50, {"a"}));
    EXPECT_FALSE(lone.Note(999, {"a"}));
    EXPECT_TRUE(lone.Note(1000, {"a"}));
    EXPECT_TRUE(lone.Note(1100, {}));
    // A second device 0.9 s after the first moves the decision to 400 ms after it.
    QipSettle late(0);
    EXPECT_FALSE(late.Note(100, {"a"}));
    EXPECT_FALSE(late.Note(1000, {"a", "b"}));
    EXPECT_FALSE(late.Note(1399, {"a", "b"}));
    EXPECT_TRUE(late.Note(1400, {"a", "b"}));
    // Nothing wanted heard: never due.
    QipSettle none(0);
    EXPECT_FALSE(none.Note(60000, {}));
    // Warm, the owner's records arriving at once: due a short quiet after the last new one,
    // long before a cold search's first second is out, and still never without a device.
    QipSettle warm(0, true);
    EXPECT_FALSE(warm.Note(10, {"a"}));
    EXPECT_FALSE(warm.Note(60, {"a", "b"}));
    EXPECT_FALSE(warm.Note(60 + QipSettle::cWarmQuietMs - 1, {"a", "b"}));
    EXPECT_TRUE(warm.Note(60 + QipSettle::cWarmQuietMs, {"a", "b"}));
    QipSettle warmNone(0, true);
    EXPECT_FALSE(warmNone.Note(60000, {}));
}

TEST(QipLook, DevicesAreHeardOnceSettledAndFollowedWithoutWaitingForAHangingPage) {
    Search search(10);
    gInterfaces = {KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0")};
    std::atomic<bool> release{false};
    search.mFetch = [&release](SysInfo&) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    search.mDevices = {Device("Router", "a", "192.0.2.7"), Device("Printer", "p", "192.0.2.8")};
    search.mQip.timerCallback();  // a poll whose page hangs
    auto runUntil = [](const std::function<bool()>& done) {
        QElapsedTimer waited;
        waited.start();
        while (!done() && waited.elapsed() < 15000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            QCoreApplication::processEvents();
        }
    };
    runUntil([&search] { return !search.mHeard.empty(); });
    ASSERT_EQ(search.mHeard.size(), 1u);
    EXPECT_GE(search.mFirstHeardMs, QipSettle::cEarliestMs);
    ASSERT_EQ(search.mHeard[0].size(), 1);
    const QVariantMap device = search.mHeard[0][0].toMap();
    EXPECT_EQ(device["DeviceId"], "a");
    EXPECT_EQ(device["PageOutcome"], "skipped");
    EXPECT_TRUE(search.mQip.isReading()) << "the page still hangs";
    // A second device is heard, the first ages out: each is told.
    search.mDevices = {Device("Router", "b", "192.0.2.9")};
    runUntil([&search] { return search.mHeard.size() >= 2; });
    ASSERT_EQ(search.mHeard.size(), 2u);
    ASSERT_EQ(search.mHeard[1].size(), 1);
    EXPECT_EQ(search.mHeard[1][0].toMap()["DeviceId"], "b");
    release = true;
    search.WaitForReport();
}

TEST(QipRead, WithMoreDevicesThanOneWaveAPollLeavesPagesReadAMomentAgoAndResumeReadsThemAll) {
    Search search(10);
    std::atomic<int> fetches{0};
    search.mFetch = [&](SysInfo& sysInfo) {
        ++fetches;
        sysInfo.ParsePage("<status>\n<wlan>\n<ssid>Lab</ssid>\n</wlan>\n</status>\n");
    };
    const int devices = static_cast<int>(DeviceDescriber::cMaxConcurrentFetches) + 1;
    for (int i = 0; i < devices; ++i) {
        search.mDevices.push_back(Device("Router", "r" + std::to_string(i), "192.168.1." + std::to_string(10 + i)));
    }
    search.Tick();
    EXPECT_EQ(fetches, devices);
    search.Tick();
    EXPECT_EQ(fetches, devices) << "read a moment ago";
    ASSERT_EQ(search.mFound.size(), 2u);
    ASSERT_EQ(search.mFound[1].size(), devices);
    EXPECT_EQ(search.mFound[1][0].toMap()["PageOutcome"].toString(), "skipped");
    search.mQip.suspend();
    search.mQip.resume();
    search.Tick();
    EXPECT_EQ(fetches, 2 * devices) << "looking again reads every page";
}
