#include "app/DeviceDescriber.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "sysinfo/SysInfo.h"

// Addresses here are data only: the fake fetcher reads no page over the network.
namespace {

QipDevice Device(const std::string& type, const std::string& id, const std::string& source) {
    return QipDevice(QipPacketHello(type, id, "203.0.113.99", "255.255.255.0", "/status.xml", "1"),
                     source);
}

std::vector<KspNetworkInterface> Lan() {
    return {KspNetworkInterface("eth0", "192.168.1.10", "255.255.255.0")};
}

// Fills a status page from a table keyed by host (no entry: the page could not be read).
class FakeFetcher : public DeviceDescriber::StatusFetcher {
public:
    std::map<std::string, std::string> mSsids;
    std::vector<std::string> mHosts;
    std::mutex mHostsLock;  // guards mHosts

    void FetchStatus(SysInfo& sysInfo) override {
        {
            std::lock_guard<std::mutex> guard(mHostsLock);
            mHosts.push_back(sysInfo.GetHost());
        }
        std::map<std::string, std::string>::const_iterator it = mSsids.find(sysInfo.GetHost());
        if (it == mSsids.end()) return;
        sysInfo.ParsePage("<status>\n<wlan>\n<ssid>" + it->second + "</ssid>\n</wlan>\n</status>\n");
    }
};

}  // namespace

TEST(DeviceDescriber, GroupsReachableEntriesFirstLatestFirstThenUnreachableInSnapshotOrder) {
    DeviceDescriber describer({"Router"}, Lan());
    std::vector<QipDevice> snapshot = {
        Device("Router", "A", "10.0.0.1"),     // 0 unreachable
        Device("Router", "A", "192.168.1.5"),  // 1 reachable
        Device("Router", "B", "192.168.1.9"),  // 2
        Device("Router", "A", "192.168.1.6"),  // 3 reachable
        Device("Router", "A", "not an ip"),    // 4 unreachable
    };
    std::vector<DeviceDescriber::Group> groups = describer.GroupDevices(snapshot);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0], (DeviceDescriber::Group{3, 1, 0, 4}));
    EXPECT_EQ(groups[1], (DeviceDescriber::Group{2}));

    // Without interfaces nothing is reachable: snapshot order, the earliest entry first.
    DeviceDescriber noInterfaces({"Router"}, {});
    EXPECT_EQ(noInterfaces.GroupDevices(snapshot)[0], (DeviceDescriber::Group{0, 1, 3, 4}));
}

TEST(DeviceDescriber, GroupOrderFollowsWantedEntriesAndGroupsHoldEveryEntryOfTheirId) {
    DeviceDescriber describer({"Router", "Bridge"}, Lan());
    std::vector<QipDevice> snapshot = {
        Device("Printer", "A", "10.0.0.1"),  // unwanted type, but the id becomes wanted below
        Device("Bridge", "B", "10.0.0.2"),
        Device("Router", "A", "10.0.0.3"),
        Device("router", "C", "10.0.0.4"),   // case differs: not wanted
        Device("Router ", "D", "10.0.0.5"),  // trailing blank: not wanted
    };
    std::vector<DeviceDescriber::Group> groups = describer.GroupDevices(snapshot);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0], (DeviceDescriber::Group{1}));
    EXPECT_EQ(groups[1], (DeviceDescriber::Group{0, 2}));

    DeviceDescriber onlyOthers({"Switch"}, Lan());
    FakeFetcher fetcher;
    onlyOthers.SetStatusFetcher(&fetcher);
    EXPECT_TRUE(onlyOthers.Describe(snapshot).empty());
    EXPECT_TRUE(fetcher.mHosts.empty());

    onlyOthers.SetMatchAnyType(true);
    EXPECT_EQ(onlyOthers.GroupDevices(snapshot).size(), 4u);
}

TEST(DeviceDescriber, DescribesEachDeviceFromItsReachableEntryAndReadsThePageThere) {
    DeviceDescriber describer({"Router"}, Lan());
    FakeFetcher fetcher;
    fetcher.mSsids["192.168.1.7"] = "Office \"5G\"";
    describer.SetStatusFetcher(&fetcher);
    std::vector<QipDevice> snapshot = {
        Device("Router", "00:11", "198.51.100.7"),
        Device("Router", "00:11", "192.168.1.7"),
        Device("Router", "00:22", "192.168.1.8"),  // its page cannot be read
    };
    std::vector<DeviceDescriber::Description> devices = describer.Describe(snapshot);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].mDeviceType, "Router");
    EXPECT_EQ(devices[0].mDeviceId, "00:11");
    EXPECT_EQ(devices[0].mDeviceIp, "192.168.1.7");
    EXPECT_EQ(devices[0].mSsid, "Office \"5G\"");
    EXPECT_EQ(devices[0].mDisplayString, "00:11 - Router - SSID:\"Office \"5G\"\"");
    EXPECT_EQ(devices[1].mSsid, "");
    EXPECT_EQ(devices[1].mDisplayString, "00:22 - Router - SSID:\"\"");
    std::sort(fetcher.mHosts.begin(), fetcher.mHosts.end());
    EXPECT_EQ(fetcher.mHosts, (std::vector<std::string>{"192.168.1.7", "192.168.1.8"}));

    fetcher.mHosts.clear();
    std::vector<QipDevice> again = {Device("Router", "00:11", "192.168.1.7")};
    EXPECT_EQ(describer.Describe(again, false)[0].mSsid, "");
    EXPECT_TRUE(fetcher.mHosts.empty());
}

// Reads are held until the test has seen how many run at once: a reader past the bound
// would start while the others are held.
TEST(DeviceDescriber, ReadsPagesConcurrentlyButNeverMoreThanTheBoundAtOnce) {
    class HeldFetcher : public DeviceDescriber::StatusFetcher {
    public:
        std::mutex mLock;  // guards everything below
        std::condition_variable mChanged;
        bool mReleased = false;
        size_t mStarted = 0;
        std::map<std::string, int> mReads;

        void FetchStatus(SysInfo& sysInfo) override {
            std::unique_lock<std::mutex> lock(mLock);
            ++mReads[sysInfo.GetHost()];
            ++mStarted;
            mChanged.notify_all();
            mChanged.wait_for(lock, std::chrono::seconds(15), [this] { return mReleased; });
        }
    };
    const size_t count = 40;
    std::vector<QipDevice> snapshot;
    for (size_t i = 0; i < count; ++i) {
        snapshot.push_back(Device("Router", "id" + std::to_string(i), "192.0.2." + std::to_string(i)));
    }
    HeldFetcher fetcher;
    DeviceDescriber describer({"Router"}, {});
    describer.SetStatusFetcher(&fetcher);
    size_t described = 0;
    std::thread tick([&] { described = describer.Describe(snapshot).size(); });
    {
        std::unique_lock<std::mutex> lock(fetcher.mLock);
        fetcher.mChanged.wait_for(lock, std::chrono::seconds(15), [&] {
            return fetcher.mStarted >= DeviceDescriber::cMaxConcurrentFetches;
        });
        // Give a reader beyond the bound time to show up.
        fetcher.mChanged.wait_for(lock, std::chrono::milliseconds(200), [&] {
            return fetcher.mStarted > DeviceDescriber::cMaxConcurrentFetches;
        });
        EXPECT_EQ(fetcher.mStarted, size_t(DeviceDescriber::cMaxConcurrentFetches));
        fetcher.mReleased = true;
        fetcher.mChanged.notify_all();
    }
    tick.join();
    EXPECT_EQ(described, count);
    EXPECT_EQ(fetcher.mReads.size(), count);
    for (const auto& read : fetcher.mReads) EXPECT_EQ(read.second, 1) << read.first;
}

TEST(DeviceDescriber, GetElementAtIsNullPastTheEnd) {
    std::vector<QipDevice> snapshot = {Device("Router", "A", "x"), Device("Router", "B", "y")};
    ASSERT_NE(DeviceDescriber::GetElementAt(snapshot, 1), nullptr);
    EXPECT_EQ(DeviceDescriber::GetElementAt(snapshot, 1)->GetDeviceId(), "B");
    EXPECT_EQ(DeviceDescriber::GetElementAt(snapshot, 2), nullptr);
    EXPECT_EQ(DeviceDescriber::GetElementAt(std::vector<QipDevice>(), 0), nullptr);
}
