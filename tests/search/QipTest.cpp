#include "app/Qip.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

#include "sysinfo/SysInfo.h"

// The searches here take their snapshots from a SnapshotSource, so start() opens no socket,
// and their status pages come from a fake fetcher: nothing is sent anywhere. Addresses are
// data only.
namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "search_qt_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

QipDevice Device(const std::string& type, const std::string& id, const std::string& source) {
    return QipDevice(QipPacketHello(type, id, "203.0.113.99", "255.255.255.0", "/status.xml", "1"),
                     source);
}

class Source : public Qip::SnapshotSource {
public:
    std::vector<QipDevice> mDevices;
    std::vector<QipDevice> TakeSnapshot() override { return mDevices; }
};

// Every page holds this SSID; the host that was asked is recorded.
class Pages : public DeviceDescriber::StatusFetcher {
public:
    std::string mSsid = "Office";
    std::vector<std::string> mHosts;  // written by one fetch thread at a time in these tests
    void FetchStatus(SysInfo& sysInfo) override {
        mHosts.push_back(sysInfo.GetHost());
        sysInfo.ParsePage("<status>\n<wlan>\n<ssid>" + mSsid + "</ssid>\n</wlan>\n</status>\n");
    }
};

class Delegate : public QipDelegate {
public:
    int mNotFound = 0;
    std::vector<QVariantList> mFound;
    std::function<void()> mOnReport;
    void deviceFound(const QVariantList& devices) override {
        mFound.push_back(devices);
        if (mOnReport) mOnReport();
    }
    void deviceNotFound() override {
        ++mNotFound;
        if (mOnReport) mOnReport();
    }
};

// A search that sends nothing, started.
struct Search {
    Delegate mDelegate;
    Source mSource;
    Pages mPages;
    Qip mQip;
    explicit Search(const QVariant& timeout, const QStringList& types = {"Router"})
        : mQip(&mDelegate, types, timeout) {
        App();
        mQip.setSnapshotSource(&mSource);
        mQip.setStatusFetcher(&mPages);
        mQip.start();
    }
};

}  // namespace

TEST(QipTimer, IntervalIsTheTimeoutWithItsFractionCutAndTenWhenBelowOne) {
    const std::vector<std::pair<QVariant, int>> cases = {
        {10, 10}, {7.9, 7}, {QStringLiteral("7.9"), 7}, {1, 1}, {0.99, 10}, {0, 10},
        {-3, 10}, {QVariant(), 10}, {QStringLiteral("soon"), 10}, {1e12, INT_MAX / 1000},
    };
    for (const auto& c : cases) {
        Search search(c.first);
        ASSERT_NE(search.mQip.timer(), nullptr) << c.first.toString().toStdString();
        EXPECT_EQ(search.mQip.timer()->interval(), c.second * 1000) << c.first.toString().toStdString();
        EXPECT_TRUE(search.mQip.timer()->isActive());
        EXPECT_FALSE(search.mQip.timer()->isSingleShot());
    }
}

TEST(QipTimer, SuspendResumeStopAndRepeatedCallsFollowTheLifecycle) {
    App();
    Delegate delegate;
    Qip created(&delegate, {"Router"}, 10);
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
    qip.suspend();
    EXPECT_EQ(qip.timer(), nullptr);
    qip.resume();
    ASSERT_NE(qip.timer(), nullptr);
    EXPECT_EQ(qip.timer()->interval(), 2000);  // whatever the timeout

    qip.stop();
    EXPECT_EQ(qip.timer(), nullptr);
    qip.resume();
    qip.start();
    EXPECT_EQ(qip.timer(), nullptr);
}

TEST(QipPoll, EveryEmptyTickFromTheThirdReportsAndResumeRestartsTheCount) {
    Search search(10);
    Qip& qip = search.mQip;
    Delegate& delegate = search.mDelegate;
    qip.timerCallback();
    qip.timerCallback();
    EXPECT_EQ(delegate.mNotFound, 0);
    search.mSource.mDevices = {Device("Router", "A", "192.168.1.5")};
    qip.timerCallback();  // a tick with entries neither resets nor counts
    EXPECT_EQ(delegate.mFound.size(), 1u);
    search.mSource.mDevices.clear();
    qip.timerCallback();
    EXPECT_EQ(delegate.mNotFound, 1);
    qip.timerCallback();
    EXPECT_EQ(delegate.mNotFound, 2);

    qip.suspend();
    qip.resume();
    EXPECT_EQ(qip.counter(), 0u);
    qip.timerCallback();
    qip.timerCallback();
    EXPECT_EQ(delegate.mNotFound, 2);
    qip.timerCallback();
    EXPECT_EQ(delegate.mNotFound, 3);
}

TEST(QipPoll, ReportsOneDictionaryPerWantedDeviceAtItsReachableAddress) {
    Search search(10);
    gInterfaces = {KspNetworkInterface("eth0", "192.168.1.10", "255.255.255.0")};
    search.mSource.mDevices = {
        Device("Router", "dev\xFF", "10.9.9.9"),  // id not UTF-8; heard from outside too
        Device("Printer", "P", "192.168.1.3"),
        Device("Router", "dev\xFF", "192.168.1.7"),
    };
    search.mQip.timerCallback();
    ASSERT_EQ(search.mDelegate.mFound.size(), 1u);
    const QVariantList& devices = search.mDelegate.mFound[0];
    ASSERT_EQ(devices.size(), 1);
    const QVariantMap device = devices[0].toMap();
    EXPECT_EQ(device.keys(), (QStringList{"DeviceIP", "DeviceId", "DeviceType", "DisplayString", "SSID"}));
    EXPECT_EQ(device["DeviceType"].toString(), "Router");
    EXPECT_EQ(device["DeviceId"].toString(), QString::fromUtf8("dev\xEF\xBF\xBD"));
    EXPECT_EQ(device["DeviceIP"].toString(), "192.168.1.7");
    EXPECT_EQ(device["SSID"].toString(), "Office");
    EXPECT_EQ(device["DisplayString"].toString(),
              QString::fromUtf8("dev\xEF\xBF\xBD - Router - SSID:\"Office\""));
    EXPECT_EQ(search.mPages.mHosts, std::vector<std::string>{"192.168.1.7"});

    search.mSource.mDevices = {Device("router", "P", "192.168.1.3")};  // case counts
    search.mQip.timerCallback();
    ASSERT_EQ(search.mDelegate.mFound.size(), 2u);
    EXPECT_TRUE(search.mDelegate.mFound[1].isEmpty());
    gInterfaces.clear();
}

TEST(QipTimer, TicksOnTheEventLoopUntilTheDelegateSuspendsFromItsReport) {
    Search search(1);
    search.mDelegate.mOnReport = [&search] {
        search.mQip.suspend();  // deletes the timer whose tick is running
        QCoreApplication::quit();
    };
    QTimer::singleShot(15000, &App(), &QCoreApplication::quit);
    QElapsedTimer clock;
    clock.start();
    App().exec();
    EXPECT_EQ(search.mDelegate.mNotFound, 1);
    EXPECT_EQ(search.mQip.counter(), 3u);  // the third one-second tick reported
    EXPECT_GE(clock.elapsed(), 2500);
    EXPECT_EQ(search.mQip.timer(), nullptr);
}
