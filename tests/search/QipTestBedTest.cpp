#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <thread>

#include "app/Qip.h"
#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "tests/testbed/TestBed.h"

// The real search inside the bed's host namespace. The test thread stays there throughout,
// so the client, the ticks and their status page requests all run inside the bed.
namespace {

typedef std::function<bool(const QVariantList&)> Wanted;

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "search_qt_testbed_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until a report satisfies the wish or 25 s have passed.
class Waiter : public QipDelegate {
public:
    Wanted mWanted;
    QVariantList mReport;
    bool mMet = false;
    // When set, the first decision (devicesHeard) ends the wait too, its time noted.
    bool mIsFirstHeardWanted = false;
    QElapsedTimer mSinceStart;
    qint64 mFirstHeardMs = -1;
    void devicesHeard(const QVariantList& devices) override {
        if (!mIsFirstHeardWanted || mFirstHeardMs >= 0 || devices.isEmpty()) return;
        mFirstHeardMs = mSinceStart.elapsed();
        mMet = true;
        mReport = devices;
        QCoreApplication::quit();
    }
    void deviceFound(const QVariantList& devices) override {
        if (mMet || !mWanted(devices)) return;
        mMet = true;
        mReport = devices;
        QCoreApplication::quit();
    }
    bool Wait(const Wanted& wanted) {
        QCoreApplication& app = App();
        mWanted = wanted;
        mMet = false;
        QTimer guard;  // ends with this wait, unlike a single shot
        QObject::connect(&guard, &QTimer::timeout, &app, &QCoreApplication::quit);
        guard.start(25000);
        app.exec();
        return mMet;
    }
    QVariantMap Device(const QString& id) const {
        for (const QVariant& device : mReport) {
            if (device.toMap()["DeviceId"] == id) return device.toMap();
        }
        return QVariantMap();
    }
};

}  // namespace

TEST(QipTestBed, ReportsTheWantedSimulatedDevicesWithTheirSsids) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::vector<std::vector<std::string>> devices = {
        {"a", "192.0.2.20/24", "Router"}, {"b", "192.0.2.21/24", "Router"}, {"c", "192.0.2.22/24", "Printer"}};
    for (const std::vector<std::string>& d : devices) {
        ASSERT_GT(bed.StartSimulator(bed.AddDevice({d[1]}), {"--id", d[0], "--address", d[1], "--type", d[2],
                                                             "--ssid", "ssid-" + d[0]}), 0);
    }
    TestBed::EnterHost host(bed);
    ASSERT_TRUE(host.IsEntered());
    Waiter waiter;
    App();
    Qip qip(&waiter, {"Router"}, 1);
    qip.start();
    ASSERT_TRUE(waiter.Wait([](const QVariantList& devices) { return devices.size() >= 2; }));
    ASSERT_EQ(waiter.mReport.size(), 2);
    const QVariantMap a = waiter.Device("a");
    EXPECT_EQ(a["DeviceType"].toString() + " " + a["DeviceIP"].toString() + " " + a["SSID"].toString(),
              "Router 192.0.2.20 ssid-a");
    EXPECT_EQ(a["DisplayString"].toString(), "a - Router - SSID:\"ssid-a\"");
    EXPECT_EQ(waiter.Device("b")["SSID"].toString(), "ssid-b");
}

// The device is first heard only from outside every local subnet, then also from inside:
// the later, reachable entry must win, and its page (not the other's) be read.
TEST(QipTestBed, PrefersTheReachableAddressAndReadsThePageThere) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"198.51.100.30/24"}),
                                 {"--id", "dual", "--ssid", "Far", "--address", "198.51.100.30/24", "--listen",
                                  TestBed::cHostBroadcast}), 0);
    const std::string near = bed.AddDevice({"192.0.2.30/24"});
    TestBed::EnterHost host(bed);
    ASSERT_TRUE(host.IsEntered());
    Waiter waiter;
    App();
    Qip qip(&waiter, {"QipSim"}, 1);
    qip.start();
    ASSERT_TRUE(waiter.Wait([](const QVariantList& devices) { return devices.size() == 1; }));
    EXPECT_EQ(waiter.Device("dual")["DeviceIP"].toString() + " " + waiter.Device("dual")["SSID"].toString(),
              "198.51.100.30 Far");

    ASSERT_GT(bed.StartSimulator(near, {"--id", "dual", "--ssid", "Near", "--address", "192.0.2.30/24"}), 0);
    ASSERT_TRUE(waiter.Wait([](const QVariantList& devices) {
        return devices.size() == 1 && devices[0].toMap()["DeviceIP"] == "192.0.2.30";
    }));
    EXPECT_EQ(waiter.Device("dual")["SSID"].toString(), "Near");
}

// Beside a program that already owns the port and heard the device, the search subscribes
// and has the device at once: its first decision does not wait out a cold search's first
// second (which it could never beat, as a cold search is never settled sooner).
TEST(QipTestBed, BesideAnOwnerThatHeardTheDeviceTheFirstDecisionComesBeforeAColdOnesFirstSecond) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}),
                                 {"--id", "known", "--address", "192.0.2.20/24", "--type", "Router"}),
              0);
    TestBed::EnterHost host(bed);
    ASSERT_TRUE(host.IsEntered());
    QipClient owner;
    QipDeviceList ownerList(&owner);
    for (int i = 0; i < 1500 && ownerList.Snapshot().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(ownerList.Snapshot().size(), 1u);
    Waiter waiter;
    waiter.mIsFirstHeardWanted = true;
    App();
    Qip qip(&waiter, {"Router"}, 10);
    waiter.mSinceStart.start();
    qip.start();
    ASSERT_TRUE(waiter.Wait([](const QVariantList& devices) { return !devices.isEmpty(); }));
    EXPECT_GE(waiter.mFirstHeardMs, 0);
    EXPECT_LT(waiter.mFirstHeardMs, QipSettle::cEarliestMs);
    EXPECT_EQ(waiter.mReport[0].toMap()["DeviceId"], "known");
}
