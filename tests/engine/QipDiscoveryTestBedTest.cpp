#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps every state the list announces, stamped with the moment of the announcement.
class ListWatcher : public QipDeviceList::ChangeHandler {
public:
    struct State {
        Clock::time_point mAt;
        std::vector<QipDevice> mDevices;
    };
    using Predicate = std::function<bool(const std::vector<QipDevice>&)>;

    // Hellos may already be flowing, so the state as it stands once the handler is set is
    // kept as well: a change made just before would otherwise never be seen.
    void Attach(QipDeviceList* list) {
        mList = list;
        mList->SetChangeHandler(this);
        OnChange();
    }
    void OnChange() override {
        State state{Clock::now(), mList->Snapshot()};
        std::lock_guard<std::mutex> guard(mLock);
        mStates.push_back(state);
        mChanged.notify_all();
    }
    // The first announced state from `from` on that satisfies `wanted`, waiting up to
    // `limit`; false when none did in time.
    bool WaitFor(const Predicate& wanted, std::chrono::seconds limit, State* found,
                 size_t from = 0) {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, limit, [&] {
            for (size_t i = from; i < mStates.size(); ++i) {
                if (wanted(mStates[i].mDevices)) {
                    *found = mStates[i];
                    return true;
                }
            }
            return false;
        });
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(mLock);
        return mStates.size();
    }

private:
    QipDeviceList* mList = nullptr;
    std::mutex mLock;  // guards mStates
    std::condition_variable mChanged;
    std::vector<State> mStates;
};

// The real client on the discovery port inside the bed's host namespace, feeding a list.
// The client goes before the list, as the list requires.
class HostDiscovery {
public:
    explicit HostDiscovery(const TestBed& bed) {
        TestBed::EnterHost host(bed);
        mIsReady = host.IsEntered();
        if (!mIsReady) {
            return;
        }
        mClient = std::make_unique<QipClient>();
        mList = std::make_unique<QipDeviceList>(mClient.get());
        mWatcher.Attach(mList.get());
        mIsReady = mClient->IsSocketOpen();
    }
    ~HostDiscovery() {
        mClient.reset();
        mList.reset();
    }
    bool IsReady() const { return mIsReady; }
    ListWatcher& Watcher() { return mWatcher; }
    QipDeviceList& List() { return *mList; }

private:
    ListWatcher mWatcher;
    std::unique_ptr<QipClient> mClient;
    std::unique_ptr<QipDeviceList> mList;
    bool mIsReady = false;
};

std::vector<std::string> Keys(const std::vector<QipDevice>& devices) {
    std::vector<std::string> keys;
    for (const QipDevice& device : devices) {
        keys.push_back(device.GetDeviceId() + "@" + device.GetLastSourceAddress());
    }
    return keys;
}

ListWatcher::Predicate HasKeys(std::vector<std::string> wanted) {
    return [wanted](const std::vector<QipDevice>& devices) {
        std::vector<std::string> keys = Keys(devices);
        for (const std::string& key : wanted) {
            if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
                return false;
            }
        }
        return true;
    };
}

}  // namespace

TEST(DiscoveryTestBed, DevicesReachTheListOncePerSourceAddress) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string single = bed.AddDevice({"192.0.2.20/24"});
    const std::string dual = bed.AddDevice({"192.0.2.30/24", "198.51.100.30/24"});
    ASSERT_GT(bed.StartSimulator(single, {"--id", "single", "--address", "192.0.2.20/24",
                                          "--hello-ip", "203.0.113.50"}), 0);
    ASSERT_GT(bed.StartSimulator(dual, {"--id", "dual", "--address", "192.0.2.30/24",
                                        "--address", "198.51.100.30/24"}), 0);

    HostDiscovery discovery(bed);
    ASSERT_TRUE(discovery.IsReady());
    ListWatcher::State state;
    ASSERT_TRUE(discovery.Watcher().WaitFor(
        HasKeys({"single@192.0.2.20", "dual@192.0.2.30", "dual@198.51.100.30"}),
        std::chrono::seconds(25), &state));

    ASSERT_EQ(state.mDevices.size(), 3u);
    for (const QipDevice& device : state.mDevices) {
        // The record and its status page client use the sender, not what the device states.
        EXPECT_EQ(device.GetSysInfo()->GetHost(), device.GetLastSourceAddress());
        if (device.GetDeviceId() == "single") {
            EXPECT_EQ(device.GetIpAddress(), "203.0.113.50");
        }
    }
}

TEST(DiscoveryTestBed, NewPacketIdReplacesTheRecordWhereItStands) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string changing = bed.AddDevice({"192.0.2.40/24"});
    const std::string steady = bed.AddDevice({"192.0.2.41/24"});
    // A new packet id with every answer, i.e. with every broadcast cycle of the client.
    ASSERT_GT(bed.StartSimulator(changing, {"--id", "changing", "--address", "192.0.2.40/24",
                                            "--packet-id", "1", "--packet-id-every", "1"}), 0);

    HostDiscovery discovery(bed);
    ASSERT_TRUE(discovery.IsReady());
    ListWatcher& watcher = discovery.Watcher();
    ListWatcher::State state;
    ASSERT_TRUE(watcher.WaitFor(HasKeys({"changing@192.0.2.40"}), std::chrono::seconds(25),
                                &state));
    const std::string firstPacketId = state.mDevices[0].GetPacketId();

    // The second device joins behind the first; after that, the first changes its packet id
    // at least once more while the second is present.
    ASSERT_GT(bed.StartSimulator(steady, {"--id", "steady", "--address", "192.0.2.41/24"}), 0);
    ASSERT_TRUE(watcher.WaitFor(HasKeys({"changing@192.0.2.40", "steady@192.0.2.41"}),
                                std::chrono::seconds(25), &state));
    const std::string joinedPacketId = state.mDevices[0].GetPacketId();
    const size_t afterJoin = watcher.Count();
    ASSERT_TRUE(watcher.WaitFor(
        [&](const std::vector<QipDevice>& devices) {
            for (const QipDevice& device : devices) {
                if (device.GetDeviceId() == "changing" &&
                    device.GetPacketId() != joinedPacketId) {
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(25), &state, afterJoin));

    EXPECT_EQ(Keys(state.mDevices),
              (std::vector<std::string>{"changing@192.0.2.40", "steady@192.0.2.41"}));
    EXPECT_NE(state.mDevices[0].GetPacketId(), firstPacketId);
}

TEST(DiscoveryTestBed, SilentDeviceLeavesTheListThirtyToThirtyThreeSecondsLater) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string device = bed.AddDevice({"192.0.2.50/24"});

    // Discovery runs before the device does, so the device's one answer cannot arrive
    // before the list listens: it hears only the client's second broadcast, 10 s after the
    // client started, and is silent by the third.
    HostDiscovery discovery(bed);
    ASSERT_TRUE(discovery.IsReady());
    ASSERT_GT(bed.StartSimulator(device, {"--id", "quiet", "--address", "192.0.2.50/24",
                                          "--silent-after", "15"}), 0);
    ListWatcher& watcher = discovery.Watcher();
    ListWatcher::State heard;
    ASSERT_TRUE(watcher.WaitFor(HasKeys({"quiet@192.0.2.50"}), std::chrono::seconds(25), &heard));

    // A slow start can let the device answer one broadcast more than planned, so the
    // silence is measured from the last answer the list recorded (refreshes announce
    // nothing, hence the polling), to the first moment the record is gone.
    time_t lastAnswer = 0;
    time_t goneAt = 0;
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(70);
    while (goneAt == 0 && Clock::now() < limit) {
        const std::vector<QipDevice> devices = discovery.List().Snapshot();
        if (devices.empty()) {
            goneAt = time(nullptr);
        } else {
            lastAnswer = std::max(lastAnswer, devices.front().GetLastResponseTime());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ASSERT_NE(goneAt, 0) << "the silent device was never removed";
    const long silence = static_cast<long>(goneAt - lastAnswer);
    RecordProperty("silence_before_removal_s", std::to_string(silence));
    // Removed by the first ageing pass more than 30 whole seconds after the answer: 31 to
    // 33 s, plus the polling step; the upper bound leaves room for a slow machine.
    EXPECT_GE(silence, 31);
    EXPECT_LE(silence, 40);
}
