#include "describe/DeviceDescriber.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "sysinfo/SysInfo.h"

// Addresses are data only: the fake fetchers read no page over the network.
namespace {

QipDevice Device(const std::string& type, const std::string& id, const std::string& source) {
    return QipDevice(QipPacketHello(type, id, "203.0.113.99", "255.255.255.0", "/s.xml", "1"), source);
}

const std::vector<KspNetworkInterface> cLan = {KspNetworkInterface("eth0", "192.168.1.10", "255.255.255.0")};

// Serves an SSID for the hosts it knows; the others' pages cannot be read.
class FakeFetcher : public DeviceDescriber::StatusFetcher {
public:
    std::map<std::string, std::string> mSsids;
    std::vector<std::string> mHosts;
    std::mutex mLock;  // guards mHosts
    void FetchStatus(SysInfo& sysInfo) override {
        std::lock_guard<std::mutex> guard(mLock);
        mHosts.push_back(sysInfo.GetHost());
        if (mSsids.count(sysInfo.GetHost()) == 0) return;
        sysInfo.ParsePage("<status>\n<id>9</id>\n<wlan>\n<ssid>" + mSsids[sysInfo.GetHost()] +
                          "</ssid>\n</wlan>\n</status>\n");
    }
};

// Holds every page read until released, counting the reads per host; a released read
// finds the SSID "Read".
class HeldFetcher : public DeviceDescriber::StatusFetcher {
public:
    std::mutex mLock;  // guards everything below
    std::condition_variable mChanged;
    bool mReleased = false;
    std::map<std::string, int> mReads;
    void FetchStatus(SysInfo& sysInfo) override {
        std::unique_lock<std::mutex> lock(mLock);
        ++mReads[sysInfo.GetHost()];
        mChanged.notify_all();
        mChanged.wait_for(lock, std::chrono::seconds(15), [this] { return mReleased; });
        sysInfo.ParsePage("<status>\n<wlan>\n<ssid>Read</ssid>\n</wlan>\n</status>\n");
    }
};

}  // namespace

TEST(DeviceDescriber, GroupsReachableEntriesFirstLatestFirstThenUnreachableInSnapshotOrder) {
    std::vector<QipDevice> snapshot = {
        Device("Router", "A", "10.0.0.1"),    Device("Router", "A", "192.168.1.5"),
        Device("Router", "B", "192.168.1.9"), Device("Router", "A", "192.168.1.6"),
        Device("Router", "A", "not an ip"),
    };
    std::vector<DeviceDescriber::Group> groups = DeviceDescriber({"Router"}, cLan).GroupDevices(snapshot);
    EXPECT_EQ(groups, (std::vector<DeviceDescriber::Group>{{3, 1, 0, 4}, {2}}));
    // Without interfaces nothing is reachable: snapshot order, the earliest entry first.
    EXPECT_EQ(DeviceDescriber({"Router"}, {}).GroupDevices(snapshot)[0], (DeviceDescriber::Group{0, 1, 3, 4}));
}

TEST(DeviceDescriber, WantedTypesMatchExactlyAndGroupsHoldEveryEntryOfTheirId) {
    std::vector<QipDevice> snapshot = {
        Device("Printer", "A", "10.0.0.1"),  // unwanted, but its id is wanted below
        Device("Bridge", "B", "10.0.0.2"),  Device("Router", "A", "10.0.0.3"),
        Device("router", "C", "10.0.0.4"),  Device("Router ", "D", "10.0.0.5"),
    };
    DeviceDescriber describer({"Router", "Bridge"}, cLan);
    EXPECT_EQ(describer.GroupDevices(snapshot), (std::vector<DeviceDescriber::Group>{{1}, {0, 2}}));

    DeviceDescriber onlyOthers({"Switch"}, cLan);
    FakeFetcher fetcher;
    onlyOthers.SetStatusFetcher(&fetcher);
    EXPECT_TRUE(onlyOthers.Describe(snapshot).empty());
    EXPECT_TRUE(fetcher.mHosts.empty());
    onlyOthers.SetMatchAnyType(true);
    EXPECT_EQ(onlyOthers.GroupDevices(snapshot).size(), 4u);
}

TEST(DeviceDescriber, DescribesEachDeviceFromItsReachableEntryAndReadsThePageThere) {
    DeviceDescriber describer({"Router"}, cLan);
    FakeFetcher fetcher;
    fetcher.mSsids["192.168.1.7"] = "Office \"5G\"";
    describer.SetStatusFetcher(&fetcher);
    std::vector<QipDevice> snapshot = {Device("Router", "00:11", "198.51.100.7"), Device("Router", "00:11", "192.168.1.7"),
                                       Device("Router", "00:22", "192.168.1.8")};  // page unreadable
    std::vector<QipDevice> unread = snapshot;
    std::vector<DeviceDescriber::Description> devices = describer.Describe(snapshot);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].mDeviceType + "|" + devices[0].mDeviceId + "|" + devices[0].mDeviceIp, "Router|00:11|192.168.1.7");
    EXPECT_EQ(devices[0].mSsid, "Office \"5G\"");
    EXPECT_EQ(devices[0].mDisplayString, "00:11 - Router - SSID:\"Office \"5G\"\"");
    EXPECT_EQ(devices[1].mDisplayString, "00:22 - Router - SSID:\"\"");
    // Only the SSID of a page read stays in memory.
    EXPECT_EQ(snapshot[1].GetSysInfo()->GetValues().size(), 1u);
    std::sort(fetcher.mHosts.begin(), fetcher.mHosts.end());
    EXPECT_EQ(fetcher.mHosts, (std::vector<std::string>{"192.168.1.7", "192.168.1.8"}));

    fetcher.mHosts.clear();
    EXPECT_EQ(describer.Describe(unread, false)[0].mSsid, "");
    EXPECT_TRUE(fetcher.mHosts.empty());
}

// Reads are held until the test has counted them: a reader past the bound would start
// while the others are held; each page must be read exactly once.
TEST(DeviceDescriber, ReadsPagesConcurrentlyButNeverMoreThanTheBoundAtOnce) {
    const size_t count = 40, bound = DeviceDescriber::cMaxConcurrentFetches;
    std::vector<QipDevice> snapshot;
    for (size_t i = 0; i < count; ++i) snapshot.push_back(Device("R", std::to_string(i), "192.0.2." + std::to_string(i)));
    HeldFetcher fetcher;
    DeviceDescriber describer({"R"}, {});
    describer.SetStatusFetcher(&fetcher);
    size_t described = 0;
    std::thread tick([&] { described = describer.Describe(snapshot).size(); });
    {
        std::unique_lock<std::mutex> lock(fetcher.mLock);
        fetcher.mChanged.wait_for(lock, std::chrono::seconds(15), [&] { return fetcher.mReads.size() >= bound; });
        fetcher.mChanged.wait_for(lock, std::chrono::milliseconds(200), [&] { return fetcher.mReads.size() > bound; });
        EXPECT_EQ(fetcher.mReads.size(), bound);
        fetcher.mReleased = true;
        fetcher.mChanged.notify_all();
    }
    tick.join();
    EXPECT_EQ(described, count);
    EXPECT_EQ(fetcher.mReads.size(), count);
    for (const auto& read : fetcher.mReads) EXPECT_EQ(read.second, 1) << read.first;
}

TEST(DeviceDescriber, BeginsNoPageAfterTheTimeBudgetAndStillDescribesEveryDevice) {
    const size_t count = 40, bound = DeviceDescriber::cMaxConcurrentFetches;
    std::vector<QipDevice> snapshot;
    for (size_t i = 0; i < count; ++i) snapshot.push_back(Device("R", std::to_string(i), "192.0.2." + std::to_string(i)));
    HeldFetcher fetcher;
    DeviceDescriber describer({"R"}, {});
    describer.SetStatusFetcher(&fetcher);
    describer.SetTimeBudget(100);
    std::vector<DeviceDescriber::Description> described;
    std::thread tick([&] { described = describer.Describe(snapshot); });
    {
        std::unique_lock<std::mutex> lock(fetcher.mLock);
        fetcher.mChanged.wait_for(lock, std::chrono::seconds(15), [&] { return fetcher.mReads.size() >= bound; });
    }
    // The first pages outlast the budget, so nothing claimed after them may be read.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    {
        std::lock_guard<std::mutex> lock(fetcher.mLock);
        fetcher.mReleased = true;
        fetcher.mChanged.notify_all();
    }
    tick.join();
    EXPECT_EQ(fetcher.mReads.size(), bound);
    ASSERT_EQ(described.size(), count);
    size_t withSsid = 0;
    for (const DeviceDescriber::Description& d : described) withSsid += d.mSsid == "Read" ? 1 : 0;
    EXPECT_EQ(withSsid, bound);
    EXPECT_EQ(described.back().mDisplayString, "39 - R - SSID:\"\"");
}
