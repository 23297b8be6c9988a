#include "describe/DeviceDescriber.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "describe/DeviceNetworkCheck.h"
#include "describe/QipDiagnosis.h"
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

// The grouping as the poll cycle states it: a walk of the whole snapshot per new wanted id.
TEST(DeviceDescriber, LinearGroupingMatchesTheLiteralRuleOnRandomSnapshots) {
    const std::vector<KspNetworkInterface> interfaces = {
        KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0"),
        KspNetworkInterface("eth1", "198.51.100.1", "255.255.255.128")};
    const DeviceDescriber describer({"A", "B"}, interfaces);
    std::mt19937 random(11);
    for (int run = 0; run < 200; ++run) {
        std::vector<QipDevice> snapshot;
        const int size = static_cast<int>(random() % 60);
        for (int i = 0; i < size; ++i) {
            const char* types[] = {"A", "B", "C"};
            const char* sources[] = {"192.0.2.5", "198.51.100.200", "203.0.113.4", "198.51.100.9"};
            snapshot.push_back(Device(types[random() % 3], "id-" + std::to_string(random() % 12),
                                      sources[random() % 4]));
        }
        std::vector<DeviceDescriber::Group> expected;
        for (uint32_t e = 0; e < snapshot.size(); ++e) {
            if (!describer.IsWanted(snapshot[e].GetDeviceType())) continue;
            bool known = false;
            for (const auto& group : expected) known = known || snapshot[group.front()].GetDeviceId() == snapshot[e].GetDeviceId();
            if (known) continue;
            DeviceDescriber::Group group;
            for (uint32_t p = 0; p < snapshot.size(); ++p) {
                if (snapshot[p].GetDeviceId() != snapshot[e].GetDeviceId()) continue;
                if (describer.IsReachable(snapshot[p].GetLastSourceAddress())) group.insert(group.begin(), p);
                else group.push_back(p);
            }
            expected.push_back(group);
        }
        ASSERT_EQ(describer.GroupDevices(snapshot), expected) << "run " << run;
    }
}

TEST(DeviceDescriber, DescriptionSaysWhereTheDeviceStandsAndHowItsPageWent) {
    DeviceDescriber describer({"Router"}, cLan);
    std::vector<QipDevice> snapshot = {
        QipDevice(QipPacketHello("Router", "near", "192.168.1.7", "255.255.255.0", "/s", "1"), "192.168.1.7"),
        QipDevice(QipPacketHello("Router", "liar", "10.0.0.5", "255.0.0.0", "/s", "1"), "192.168.1.8"),
        QipDevice(QipPacketHello("Router", "far", "203.0.113.9", "255.255.255.0", "/s", "1"), "203.0.113.9")};
    const std::vector<DeviceDescriber::Description> devices = describer.Describe(snapshot, false);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_TRUE(devices[0].mIsReachable);
    EXPECT_EQ(devices[0].mNetwork, "eth0");
    EXPECT_EQ(devices[0].mHelloNote, "");
    EXPECT_EQ(devices[1].mHelloNote, "says 10.0.0.5/8");
    EXPECT_FALSE(devices[2].mIsReachable);
    EXPECT_EQ(devices[2].mNetwork, "");
    EXPECT_EQ(devices[2].mHelloNote, "");  // off every local network only the address counts
    for (const auto& device : devices) EXPECT_EQ(device.mPageOutcome, "skipped");

    // Same address, another netmask than the network it was heard on; unreadable texts.
    EXPECT_EQ(DeviceNetworkCheck::CheckHello(cLan, "192.168.1.7", "192.168.1.7", "255.255.0.0"), "says 192.168.1.7/16");
    EXPECT_EQ(DeviceNetworkCheck::CheckHello(cLan, "192.168.1.7", "x", "255.255.255.0"), "says \"x\" netmask \"255.255.255.0\"");
    EXPECT_EQ(DeviceNetworkCheck::CheckHello(cLan, "203.0.113.9", "10.0.0.5", "255.0.0.0"), "says 10.0.0.5/8");
    // Its own address in another spelling (octal parts) is no disagreement.
    EXPECT_EQ(DeviceNetworkCheck::CheckHello(cLan, "192.168.1.7", "0300.0250.1.7", "255.255.255.0"), "");

    EXPECT_EQ(SysInfo::DescribeStatus("HTTP/1.0 404 Not Found\r\n\r\n"), "http 404");
    EXPECT_EQ(SysInfo::DescribeStatus("HTTP/1.1 500 Oops\r\n"), "http 500");
    EXPECT_EQ(SysInfo::DescribeStatus("HTTP/1.0 200 OK\n"), "bad answer");  // no CRLF
    EXPECT_EQ(SysInfo::DescribeStatus("<html>"), "bad answer");
}

namespace {

std::vector<std::string> CauseNames(const QipDiagnosis::Result& result) {
    std::vector<std::string> names;
    for (const QipDiagnosis::Cause& cause : result.mCauses) names.push_back(QipDiagnosis::CauseName(cause.mId));
    return names;
}

QipDiagnosis::Input WiredInput() {
    QipDiagnosis::Input input;
    input.mTried = {KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0")};
    input.mSkipped = {{"lo", "127.0.0.1", "255.0.0.0", KspNetworkInterface::cSkipLoopback}};
    input.mWantedTypes = {"QipBox"};
    return input;
}

}  // namespace

TEST(QipDiagnosis, OtherTypesThatAnsweredComeFirstAndClearTheFirewall) {
    QipDiagnosis::Input input = WiredInput();
    input.mDevicesByType = {{"Camera", 1}, {"Plug", 1}};
    QipDiagnosis::Result result = QipDiagnosis::Diagnose(input);
    EXPECT_EQ(result.mAnswered, 2u);
    EXPECT_EQ(result.mWanted, 0u);
    EXPECT_EQ(QipDiagnosis::DescribeAnswers(input, result),
              "2 devices answered, of type Camera (1) and Plug (1); none of type QipBox");
    EXPECT_EQ(CauseNames(result), (std::vector<std::string>{"other-type", "other-network", "vpn-or-bridge",
                                                            "wifi-isolation", "device-off", "firewall"}));
    EXPECT_EQ(result.mCauses[0].mSubjects, (std::vector<std::string>{"Camera", "Plug"}));

    // A type that differs only in letter case is named first; a shared port leads.
    input.mDevicesByType["qipbox"] = 1;
    input.mIsPortShared = true;
    result = QipDiagnosis::Diagnose(input);
    EXPECT_EQ(CauseNames(result)[0], "port-shared");
    EXPECT_EQ(result.mCauses[1].mSubjects.front(), "qipbox");
    const std::string text = QipDiagnosis::Text(input, result);
    EXPECT_NE(text.find("Interfaces tried: eth0 192.0.2.1/24 (broadcast 192.0.2.255)\n"), std::string::npos);
    EXPECT_NE(text.find("Skipped: lo (loopback)\n"), std::string::npos);
    EXPECT_NE(text.find("Warning: another program holds UDP port 19375"), std::string::npos);
    EXPECT_NE(text.find("1. Another program"), std::string::npos);
}

TEST(QipDiagnosis, SilenceOrdersTheCausesByWhatTheMachineHas) {
    // Nothing answered on a wired network: the firewall first, the device last.
    QipDiagnosis::Input input = WiredInput();
    QipDiagnosis::Result result = QipDiagnosis::Diagnose(input);
    EXPECT_EQ(QipDiagnosis::DescribeAnswers(input, result), "No device answered.");
    EXPECT_EQ(CauseNames(result), (std::vector<std::string>{"firewall", "other-network", "vpn-or-bridge",
                                                            "wifi-isolation", "device-off"}));
    const std::string text = QipDiagnosis::Text(input, result);
    // Whole nftables commands: a machine whose table has no input chain needs them all.
    for (const char* command : {"sudo nft add table inet filter\n",
                                "sudo nft add chain inet filter input '{ type filter hook input priority 0; }'\n",
                                "sudo nft insert rule inet filter input udp dport 19375 accept\n",
                                "sudo ufw allow 19375/udp", "sudo firewall-cmd --add-port=19375/udp"}) {
        EXPECT_NE(text.find(command), std::string::npos) << command;
    }
    EXPECT_LT(text.find("1. A firewall"), text.find("2. The device is on another network"));

    // Wi-Fi and a tunnel: the tunnel moves up, the access point keeps its place.
    input.mTried.push_back(KspNetworkInterface("wlan0", "198.51.100.4", "255.255.255.0"));
    input.mSkipped.push_back({"wg0", "203.0.113.2", "255.255.255.255", KspNetworkInterface::cSkipNoBroadcast});
    input.mWhoIsThereFromOthers = 2;  // another client's question got through: not the firewall
    input.mWhoIsThereSources = {"198.51.100.9"};
    result = QipDiagnosis::Diagnose(input);
    EXPECT_EQ(CauseNames(result), (std::vector<std::string>{"vpn-or-bridge", "other-network", "wifi-isolation",
                                                            "device-off", "firewall"}));
    EXPECT_EQ(result.mCauses[0].mSubjects, std::vector<std::string>{"wg0"});
    EXPECT_EQ(result.mCauses[2].mSubjects, std::vector<std::string>{"wlan0"});

    // Unreadable datagrams arrived: incoming traffic gets through, so the firewall goes last.
    input = WiredInput();
    input.mMalformed = 1;
    EXPECT_EQ(CauseNames(QipDiagnosis::Diagnose(input)),
              (std::vector<std::string>{"unreadable", "other-network", "vpn-or-bridge", "wifi-isolation",
                                        "device-off", "firewall"}));

    // No socket: nothing else matters. No interface: said first.
    input.mIsSocketOpen = false;
    EXPECT_EQ(CauseNames(QipDiagnosis::Diagnose(input)), std::vector<std::string>{"socket-not-open"});
    input = WiredInput();
    input.mTried.clear();
    input.mKernelDrops = 3;
    EXPECT_EQ(CauseNames(QipDiagnosis::Diagnose(input)), (std::vector<std::string>{"no-interface", "receive-buffer"}));
}
