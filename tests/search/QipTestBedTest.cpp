#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <functional>

#include "app/Qip.h"
#include "tests/testbed/TestBed.h"

// The real search inside the bed's host namespace. The test thread stays there throughout,
// so the client, the ticks and their status page requests all run inside the bed.
namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "search_qt_testbed_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until a report satisfies `done` or 25 s have passed; that report.
class Waiter : public QipDelegate {
public:
    std::function<bool(const QVariantList&)> mDone;
    QVariantList mReport;
    bool mMet = false;

    void deviceFound(const QVariantList& devices) override {
        if (!mMet && mDone(devices)) {
            mMet = true;
            mReport = devices;
            QCoreApplication::quit();
        }
    }
    bool Wait(std::function<bool(const QVariantList&)> done) {
        mDone = done;
        mMet = false;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &App(), &QCoreApplication::quit);
        guard.start(25000);
        App().exec();
        return mMet;
    }
};

QVariantMap ById(const QVariantList& devices, const QString& id) {
    for (const QVariant& device : devices) {
        if (device.toMap()["DeviceId"] == id) return device.toMap();
    }
    return QVariantMap();
}

}  // namespace

TEST(QipTestBed, ReportsTheWantedSimulatedDevicesWithTheirSsids) {
    QIP_REQUIRE_TESTBED();
    App();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}),
                                 {"--type", "Router", "--id", "dev-a", "--ssid", "Office",
                                  "--address", "192.0.2.20/24"}), 0);
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.21/24"}),
                                 {"--type", "Router", "--id", "dev-b", "--ssid", "Lab",
                                  "--address", "192.0.2.21/24"}), 0);
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.22/24"}),
                                 {"--type", "Printer", "--id", "dev-c", "--address", "192.0.2.22/24"}), 0);
    TestBed::EnterHost host(bed);
    ASSERT_TRUE(host.IsEntered());
    Waiter waiter;
    Qip qip(&waiter, {"Router"}, 1);
    qip.start();
    ASSERT_TRUE(waiter.Wait([](const QVariantList& devices) { return devices.size() >= 2; }));
    ASSERT_EQ(waiter.mReport.size(), 2);
    const QVariantMap a = ById(waiter.mReport, "dev-a");
    EXPECT_EQ(a["DeviceType"].toString(), "Router");
    EXPECT_EQ(a["DeviceIP"].toString(), "192.0.2.20");
    EXPECT_EQ(a["SSID"].toString(), "Office");
    EXPECT_EQ(a["DisplayString"].toString(), "dev-a - Router - SSID:\"Office\"");
    EXPECT_EQ(ById(waiter.mReport, "dev-b")["SSID"].toString(), "Lab");
    qip.stop();
}

// The device is first heard only from outside every local subnet, then also from inside;
// the later, reachable entry must win, and its page (not the other's) be read.
TEST(QipTestBed, PrefersTheReachableAddressAndReadsThePageThere) {
    QIP_REQUIRE_TESTBED();
    App();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"198.51.100.30/24"}),
                                 {"--type", "Router", "--id", "dual", "--ssid", "Far", "--address",
                                  "198.51.100.30/24", "--listen", TestBed::cHostBroadcast}), 0);
    const std::string near = bed.AddDevice({"192.0.2.30/24"});
    ASSERT_FALSE(near.empty());
    TestBed::EnterHost host(bed);
    ASSERT_TRUE(host.IsEntered());
    Waiter waiter;
    Qip qip(&waiter, {"Router"}, 1);
    qip.start();
    ASSERT_TRUE(waiter.Wait([](const QVariantList& devices) { return devices.size() == 1; }));
    EXPECT_EQ(ById(waiter.mReport, "dual")["DeviceIP"].toString(), "198.51.100.30");
    EXPECT_EQ(ById(waiter.mReport, "dual")["SSID"].toString(), "Far");

    ASSERT_GT(bed.StartSimulator(near, {"--type", "Router", "--id", "dual", "--ssid", "Near",
                                  "--address", "192.0.2.30/24"}), 0);
    ASSERT_TRUE(waiter.Wait([](const QVariantList& devices) {
        return ById(devices, "dual")["DeviceIP"] == "192.0.2.30";
    }));
    ASSERT_EQ(waiter.mReport.size(), 1);
    EXPECT_EQ(ById(waiter.mReport, "dual")["SSID"].toString(), "Near");
    qip.stop();
}
