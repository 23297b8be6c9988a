// The device list against a plain reference over long random runs, and at its limits: a
// full list and a sender with thousands of ids.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "qip/QipDeviceList.h"
#include "tests/engine/DeviceListTestSupport.h"

namespace {

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
