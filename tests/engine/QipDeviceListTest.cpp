// The device list's records: how hellos add, refresh and replace them, how they age, and
// how the list announces changes and hands out snapshots.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ksp/KspClock.h"
#include "qip/QipDeviceList.h"
#include "tests/engine/DeviceListTestSupport.h"

TEST(DeviceList, HelloAppendsRefreshesOrReplacesInPlace) {
    QipDeviceList list(nullptr);
    ChangeRecorder recorder(list, true);
    list.SetChangeHandler(&recorder);
    EXPECT_TRUE(list.Snapshot().empty());
    const time_t now = Future();
    list.OnHello(MakeHello("a", "p1", "/a", "198.51.100.9"), "192.0.2.1", now);
    list.OnHello(MakeHello("b", "p1", "/old"), "192.0.2.2", now);
    list.OnHello(MakeHello("c", "p1"), "192.0.2.3", now);

    // Same id, address and packet id: only the time moves, whatever else the hello says.
    list.OnHello(MakeHello("a", "p1", "/new", "203.0.113.5"), "192.0.2.1", now + 7);
    // A new packet id: a new record, with a new status page client, where the old one stood.
    list.OnHello(MakeHello("b", "p2", "/new"), "192.0.2.2", now + 4);

    const std::vector<QipDevice> devices = list.Snapshot();
    EXPECT_EQ(Ids(devices),
              (std::vector<std::string>{"a@192.0.2.1", "b@192.0.2.2", "c@192.0.2.3"}));
    EXPECT_EQ(devices[0].GetLastResponseTime(), now + 7);
    EXPECT_EQ(devices[0].GetSysInfo()->GetUrl(), "/a");
    EXPECT_EQ(devices[0].GetSysInfo()->GetHost(), "192.0.2.1");
    EXPECT_EQ(devices[0].GetIpAddress(), "198.51.100.9");
    EXPECT_EQ(devices[1].GetPacketId(), "p2");
    EXPECT_EQ(devices[1].GetLastResponseTime(), now + 4);
    EXPECT_EQ(devices[1].GetSysInfo()->GetUrl(), "/new");
    EXPECT_EQ(devices[2].GetLastResponseTime(), now);
    // One call per change, each already seeing it: the lock is released before the call.
    EXPECT_EQ(recorder.Sizes(), (std::vector<size_t>{1, 2, 3, 3}));

    list.SetChangeHandler(nullptr);
    list.OnHello(MakeHello("d", "p1"), "192.0.2.4", now);
    EXPECT_EQ(recorder.Calls(), 4u);
}

TEST(DeviceList, RecordsAreKeyedByDeviceIdAndSourceAddressAndAgeApart) {
    QipDeviceList list(nullptr);
    const time_t now = Future();
    list.OnHello(MakeHello("dev", "p1"), "192.0.2.1", now);
    list.OnHello(MakeHello("dev", "p1"), "192.0.2.2", now + 20);
    list.OnHello(MakeHello("other", "p1"), "192.0.2.1", now + 20);
    // Matching ignores the address the device states about itself.
    list.OnHello(MakeHello("dev", "p1", "/status.txt", "203.0.113.1"), "192.0.2.2", now + 20);
    list.OnHello(MakeHello("", "p1"), "192.0.2.9", now + 20);

    EXPECT_EQ(Ids(list.Snapshot()), (std::vector<std::string>{"dev@192.0.2.1", "dev@192.0.2.2",
                                                              "other@192.0.2.1", "@192.0.2.9"}));

    list.RemoveExpired(now + 31);
    EXPECT_EQ(Ids(list.Snapshot()),
              (std::vector<std::string>{"dev@192.0.2.2", "other@192.0.2.1", "@192.0.2.9"}));
}

// The wall clock steps (NTP, a manual change) while the monotonic clock runs on: records age
// by the monotonic one and still show the wall-clock time of their last answer.
TEST(DeviceList, AWallClockStepNeitherRemovesALiveDeviceNorKeepsASilentOne) {
    QipDeviceList list(nullptr);
    const time_t monotonic = Future();
    const time_t wall = monotonic + 5000;
    list.OnHello(MakeHello("live", "p"), "192.0.2.1", wall, monotonic);
    // The silent one restarted (a new packet id) just before it fell silent: its new record
    // ages by the same clock.
    list.OnHello(MakeHello("silent", "p0"), "192.0.2.2", wall - 20, monotonic - 20);
    list.OnHello(MakeHello("silent", "p"), "192.0.2.2", wall, monotonic);

    // Forward by two minutes, 3 s after the answers: nothing has been silent for long.
    list.RemoveExpired(monotonic + 3);
    EXPECT_EQ(Ids(list.Snapshot()), (std::vector<std::string>{"live@192.0.2.1", "silent@192.0.2.2"}));
    list.OnHello(MakeHello("live", "p"), "192.0.2.1", wall + 120 + 10, monotonic + 10);
    list.RemoveExpired(monotonic + 12);
    ASSERT_EQ(list.Snapshot().size(), 2u);
    EXPECT_EQ(list.Snapshot()[0].GetLastResponseTime(), wall + 130);

    // Back by an hour: the silent one goes 30 to 33 s after its last answer all the same.
    list.OnHello(MakeHello("live", "p"), "192.0.2.1", wall - 3600 + 20, monotonic + 20);
    list.RemoveExpired(monotonic + 30);
    EXPECT_EQ(list.Snapshot().size(), 2u);
    list.RemoveExpired(monotonic + 33);
    const std::vector<QipDevice> devices = list.Snapshot();
    EXPECT_EQ(Ids(devices), std::vector<std::string>{"live@192.0.2.1"});
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].GetLastResponseTime(), wall - 3580);
    EXPECT_EQ(devices[0].GetLastResponseMonotonic(), monotonic + 20);
}

TEST(DeviceList, PassRemovesEveryRecordSilentForMoreThanThirtySecondsAtOnce) {
    QipDeviceList list(nullptr);
    ChangeRecorder recorder(list, true);
    const time_t now = Future();
    list.OnHello(MakeHello("old-1", "p"), "192.0.2.1", now);
    list.OnHello(MakeHello("fresh", "p"), "192.0.2.1", now + 20);
    list.OnHello(MakeHello("old-2", "p"), "192.0.2.1", now);
    list.OnHello(MakeHello("old-3", "p"), "192.0.2.1", now);
    list.OnHello(MakeHello("edge", "p"), "192.0.2.1", now + 1);
    list.SetChangeHandler(&recorder);

    list.RemoveExpired(now + 30);  // nothing is older than 30 s: no change, no call
    EXPECT_EQ(list.Snapshot().size(), 5u);
    EXPECT_EQ(recorder.Calls(), 0u);

    list.RemoveExpired(now + 31);  // exactly 30 s for "edge": it stays
    EXPECT_EQ(Ids(list.Snapshot()),
              (std::vector<std::string>{"fresh@192.0.2.1", "edge@192.0.2.1"}));
    EXPECT_EQ(recorder.Sizes(), std::vector<size_t>{2});

    list.RemoveExpired(now + 32);  // the last record of the list
    EXPECT_EQ(Ids(list.Snapshot()), std::vector<std::string>{"fresh@192.0.2.1"});
    EXPECT_EQ(recorder.Sizes(), (std::vector<size_t>{2, 1}));
}

TEST(DeviceList, SnapshotIsAnIndependentCopy) {
    QipDeviceList list(nullptr);
    const time_t now = Future();
    list.OnHello(MakeHello("a", "p1"), "192.0.2.1", now);
    std::vector<QipDevice> before = list.Snapshot();

    before[0].GetSysInfo()->ParsePage("<status>\n<wlan>\n<ssid>net</ssid>\n</wlan>\n</status>\n");
    ASSERT_EQ(before[0].GetSysInfo()->GetValue("status/wlan/ssid"), "net");
    list.OnHello(MakeHello("a", "p2"), "192.0.2.1", now + 1);
    list.OnHello(MakeHello("b", "p1"), "192.0.2.1", now + 1);
    list.RemoveExpired(now + 40);

    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].GetPacketId(), "p1");
    EXPECT_EQ(before[0].GetLastResponseTime(), now);
    EXPECT_TRUE(list.Snapshot().empty());

    list.OnHello(MakeHello("a", "p1"), "192.0.2.1", now + 40);
    const std::vector<QipDevice> after = list.Snapshot();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_TRUE(after[0].GetSysInfo()->GetValues().empty());
}

TEST(DeviceList, WaitForChangeReturnsAfterAChange) {
    QipDeviceList list(nullptr);
    std::mutex lock;
    std::condition_variable woken;
    bool returned = false;  // guarded by lock
    std::thread waiter([&] {
        list.WaitForChange();
        std::lock_guard<std::mutex> guard(lock);
        returned = true;
        woken.notify_all();
    });

    // A signal with nobody waiting is lost, so keep changing the list until the waiter,
    // whenever it got into its wait, has been woken by one of the changes.
    const time_t now = Future();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    bool done = false;
    for (int i = 0; !done && std::chrono::steady_clock::now() < limit; ++i) {
        list.OnHello(MakeHello("dev-" + std::to_string(i), "p"), "192.0.2.1", now);
        std::unique_lock<std::mutex> guard(lock);
        done = woken.wait_for(guard, std::chrono::milliseconds(20), [&] { return returned; });
    }
    if (!done) {
        list.OnHello(MakeHello("last", "p"), "192.0.2.1", now);  // let the thread end
    }
    waiter.join();
    EXPECT_TRUE(done);
}

TEST(DeviceList, AgeingThreadRunsWithoutClientAndStopsPromptly) {
    auto list = std::make_unique<QipDeviceList>(nullptr);
    ChangeRecorder recorder(*list, true);
    list->OnHello(MakeHello("silent", "p"), "192.0.2.1", KspMonotonicSeconds() - 60);
    list->SetChangeHandler(&recorder);

    // The first pass comes about 3 seconds after construction.
    ASSERT_TRUE(recorder.WaitForCalls(1, std::chrono::seconds(15)));
    EXPECT_EQ(recorder.Sizes(), std::vector<size_t>{0});

    const auto start = std::chrono::steady_clock::now();
    list.reset();
    // The ageing pause is 3 s; a stop must not wait it out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}
