#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ksp/KspClock.h"
#include "qip/QipDeviceList.h"

namespace {

// The list's own ageing thread ages against the real monotonic clock; records stamped this
// far in its future are never touched by it, so only the passes a test makes itself remove
// anything.
time_t Future() {
    return KspMonotonicSeconds() + 1000000;
}

QipPacketHello MakeHello(const std::string& deviceId, const std::string& packetId,
                         const std::string& statusUrl = "/status.txt",
                         const std::string& ipField = "198.51.100.77") {
    return QipPacketHello("QAP-1", deviceId, ipField, "255.255.255.0", statusUrl, packetId);
}

// Counts announcements and, when asked, looks at the list from inside the announcement,
// which works only if the list's lock has been released by then.
class ChangeRecorder : public QipDeviceList::ChangeHandler {
public:
    ChangeRecorder(QipDeviceList& list, bool snapshotOnChange)
        : mList(list), mSnapshotOnChange(snapshotOnChange) {}

    void OnChange() override {
        const size_t size = mSnapshotOnChange ? mList.Snapshot().size() : 0;
        std::lock_guard<std::mutex> guard(mLock);
        mSizes.push_back(size);
        mChanged.notify_all();
    }
    size_t Calls() {
        std::lock_guard<std::mutex> guard(mLock);
        return mSizes.size();
    }
    std::vector<size_t> Sizes() {
        std::lock_guard<std::mutex> guard(mLock);
        return mSizes;
    }
    bool WaitForCalls(size_t count, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, limit, [&] { return mSizes.size() >= count; });
    }

private:
    QipDeviceList& mList;
    const bool mSnapshotOnChange;
    std::mutex mLock;  // guards mSizes
    std::condition_variable mChanged;
    std::vector<size_t> mSizes;
};

std::vector<std::string> Ids(const std::vector<QipDevice>& devices) {
    std::vector<std::string> ids;
    for (const QipDevice& device : devices) {
        ids.push_back(device.GetDeviceId() + "@" + device.GetLastSourceAddress());
    }
    return ids;
}

// The list's rules written as plainly as they read: a walk over every record per hello.
class ReferenceList {
public:
    struct Record {
        std::string mId;
        std::string mSource;
        std::string mPacketId;
        time_t mTime;
    };
    // True when the hello changed the list.
    bool OnHello(const std::string& id, const std::string& source, const std::string& packetId,
                 time_t now) {
        Record* match = nullptr;
        for (Record& record : mRecords) {
            if (record.mId == id && record.mSource == source) match = &record;
        }
        if (match == nullptr) {
            size_t fromSource = 0;
            for (const Record& record : mRecords) fromSource += record.mSource == source ? 1 : 0;
            if (fromSource >= QipDeviceList::cMaxPerSender) return false;
            if (mRecords.size() >= QipDeviceList::cMaxDevices) return false;
            mRecords.push_back({id, source, packetId, now});
            return true;
        }
        const bool isNew = match->mPacketId != packetId;
        *match = {id, source, packetId, now};
        return isNew;
    }
    bool RemoveExpired(time_t now) {
        const size_t before = mRecords.size();
        std::vector<Record> kept;
        for (const Record& record : mRecords) {
            if (!(now > record.mTime + QipDeviceList::cMaxSilenceSeconds)) kept.push_back(record);
        }
        mRecords.swap(kept);
        return mRecords.size() != before;
    }
    const std::vector<Record>& Records() const { return mRecords; }

private:
    std::vector<Record> mRecords;
};

// Runs `steps` random hellos and ageing passes against the list and the reference, comparing
// every `compareEvery` steps; the clock moves on at one step in `clockOdds`. Ids, sources and
// packet ids come from small pools so that refreshes, replacements, second addresses,
// removals and re-additions all happen often. Returns the largest size the list reached.
size_t CompareWithReference(unsigned seed, int steps, int ids, int compareEvery, int clockOdds,
                            int sources = 3) {
    // "Device list full" once a simulated minute is not what is compared here.
    struct QuietStderr {
        QuietStderr() { testing::internal::CaptureStderr(); }
        ~QuietStderr() { testing::internal::GetCapturedStderr(); }
    } quiet;
    std::mt19937 random(seed);
    QipDeviceList list(nullptr);
    ChangeRecorder recorder(list, false);
    list.SetChangeHandler(&recorder);
    ReferenceList reference;
    size_t changes = 0;
    size_t largest = 0;
    time_t now = Future();
    for (int step = 0; step < steps; ++step) {
        if (random() % clockOdds == 0) {
            now += static_cast<time_t>(random() % 6);
        }
        if (random() % 50 == 0) {
            changes += reference.RemoveExpired(now) ? 1 : 0;
            list.RemoveExpired(now);
        } else {
            const std::string id = "id-" + std::to_string(random() % ids);
            const std::string source = "192.0.2." + std::to_string(1 + random() % sources);
            const std::string packetId = "p" + std::to_string(random() % 3 == 0 ? random() % 3 : 0);
            changes += reference.OnHello(id, source, packetId, now) ? 1 : 0;
            list.OnHello(MakeHello(id, packetId), source, now);
        }
        largest = std::max(largest, reference.Records().size());
        if (step % compareEvery != compareEvery - 1 && step != steps - 1) continue;
        const std::vector<QipDevice> devices = list.Snapshot();
        const std::vector<ReferenceList::Record>& expected = reference.Records();
        bool same = devices.size() == expected.size() && recorder.Calls() == changes;
        for (size_t i = 0; same && i < devices.size(); ++i) {
            same = devices[i].GetDeviceId() == expected[i].mId &&
                   devices[i].GetLastSourceAddress() == expected[i].mSource &&
                   devices[i].GetPacketId() == expected[i].mPacketId &&
                   devices[i].GetLastResponseTime() == expected[i].mTime;
        }
        if (!same) {
            ADD_FAILURE() << "seed " << seed << ": list and reference part at step " << step;
            return largest;
        }
    }
    return largest;
}

}  // namespace

TEST(DeviceList, MatchesAPlainReferenceOverLongRandomRuns) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        CompareWithReference(seed, 20000, 40, 1, 8);
    }
}

TEST(DeviceList, MatchesAPlainReferenceWhileFullAndAgeing) {
    // More pairs than the list holds: the cap turns new pairs away until ageing makes room.
    EXPECT_EQ(CompareWithReference(7, 60000, 3000, 500, 400, 20), QipDeviceList::cMaxDevices);
    // Few senders with many ids each: every sender stops at its own share.
    EXPECT_EQ(CompareWithReference(8, 20000, 1000, 500, 400, 2), 2 * QipDeviceList::cMaxPerSender);
}

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

TEST(DeviceList, FullListDropsNewDevicesButKeepsServingKnownOnes) {
    QipDeviceList list(nullptr);
    ChangeRecorder recorder(list, false);
    list.SetChangeHandler(&recorder);
    const time_t now = Future();
    // Each sender its full share, so that only the list's own cap turns anyone away.
    const auto sender = [](size_t i) {
        return "198.51.100." + std::to_string(1 + i / QipDeviceList::cMaxPerSender);
    };
    for (size_t i = 0; i < QipDeviceList::cMaxDevices; ++i) {
        list.OnHello(MakeHello("dev-" + std::to_string(i), "p1"), sender(i), now);
    }
    ASSERT_EQ(recorder.Calls(), QipDeviceList::cMaxDevices);

    testing::internal::CaptureStderr();
    list.OnHello(MakeHello("late-1", "p1"), "192.0.2.1", now + 1);
    list.OnHello(MakeHello("late-2", "p1"), "192.0.2.1", now + 60);  // within the minute
    list.OnHello(MakeHello("dev-0", "p1"), "192.0.2.2", now + 60);    // new address: a new pair
    list.OnHello(MakeHello("dev-5", "p1"), sender(5), now + 10);      // refresh
    list.OnHello(MakeHello("dev-7", "p2"), sender(7), now + 10);      // replacement
    list.OnHello(MakeHello("late-3", "p1"), "192.0.2.1", now + 61);   // a minute later
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_EQ(errors, "Device list full\nDevice list full (repeated 2 times in 60 s)\n");
    const std::vector<QipDevice> devices = list.Snapshot();
    ASSERT_EQ(devices.size(), QipDeviceList::cMaxDevices);
    EXPECT_EQ(devices[5].GetLastResponseTime(), now + 10);
    EXPECT_EQ(devices[7].GetPacketId(), "p2");
    EXPECT_EQ(devices.back().GetDeviceId(), "dev-" + std::to_string(devices.size() - 1));
    EXPECT_EQ(recorder.Calls(), QipDeviceList::cMaxDevices + 1);

    // Room made by ageing is available to new devices again.
    list.RemoveExpired(now + 31);
    list.OnHello(MakeHello("late-4", "p1"), "192.0.2.1", now + 31);
    EXPECT_EQ(Ids(list.Snapshot()), (std::vector<std::string>{"dev-5@" + sender(5), "dev-7@" + sender(7),
                                                              "late-4@192.0.2.1"}));
    EXPECT_EQ(list.GetLeftOutCount(), 4u);
    EXPECT_TRUE(list.GetCrowdedSenders().empty());
}

TEST(DeviceList, OneSenderWithThousandsOfIdsLeavesRoomForRealDevices) {
    QipDeviceList list(nullptr);
    const time_t now = Future();
    testing::internal::CaptureStderr();
    // Two floods of every id, a second apart, then half a minute on.
    for (time_t at : {now, now + 1, now + 61}) {
        for (size_t i = 0; i < QipDeviceList::cMaxDevices; ++i) {
            list.OnHello(MakeHello("flood-" + std::to_string(i), "p1"), "203.0.113.3", at);
        }
        list.OnHello(MakeHello("real", "p1"), "192.0.2.20", at);
    }
    // A sender with a few ids of its own (a gateway) is not held back.
    list.OnHello(MakeHello("behind-1", "p1"), "192.0.2.30", now + 61);
    list.OnHello(MakeHello("behind-2", "p1"), "192.0.2.30", now + 61);
    const std::string errors = testing::internal::GetCapturedStderr();

    const std::vector<std::string> ids = Ids(list.Snapshot());
    ASSERT_EQ(ids.size(), QipDeviceList::cMaxPerSender + 3);
    EXPECT_EQ(ids[QipDeviceList::cMaxPerSender], "real@192.0.2.20");
    EXPECT_EQ(ids.back(), "behind-2@192.0.2.30");
    // Said at once, then a minute on with what was held back in between.
    const std::string line = "203.0.113.3 answers for more than 256 devices; the rest are left out";
    EXPECT_EQ(errors.find(line + "\n"), errors.rfind(line + "\n")) << errors;
    EXPECT_NE(errors.find(line + "\n"), std::string::npos) << errors;
    const uint64_t leftOut = 3 * (QipDeviceList::cMaxDevices - QipDeviceList::cMaxPerSender);
    ASSERT_EQ(list.GetCrowdedSenders().size(), 1u);
    EXPECT_EQ(list.GetCrowdedSenders()[0].mAddress, "203.0.113.3");
    EXPECT_EQ(list.GetCrowdedSenders()[0].mLeftOut, leftOut);
    EXPECT_EQ(list.GetLeftOutCount(), leftOut);
    const uint64_t between = 2 * (QipDeviceList::cMaxDevices - QipDeviceList::cMaxPerSender) - 1;
    EXPECT_NE(errors.find(line + " (repeated " + std::to_string(between) + " times in 60 s)\n"),
              std::string::npos) << errors;

    // Once its records age out, the sender's share is free again.
    list.RemoveExpired(now + 61 + QipDeviceList::cMaxSilenceSeconds + 1);
    list.OnHello(MakeHello("flood-late", "p1"), "203.0.113.3", now + 100);
    EXPECT_EQ(Ids(list.Snapshot()), (std::vector<std::string>{"flood-late@203.0.113.3"}));
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
