#include <gtest/gtest.h>

#include <errno.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "ksp/KspNetworkInterface.h"

TEST(KspNetworkInterface, BroadcastAddressAndReachabilityFollowTheSubnet)
{
    struct Case {
        const char* ip;
        const char* netmask;
        const char* broadcast;
    } cases[] = {
        {"192.168.1.10", "255.255.255.0", "192.168.1.255"},
        {"127.0.0.1", "255.0.0.0", "127.255.255.255"},
        {"198.51.100.7", "255.255.255.255", "198.51.100.7"},
        {"203.0.113.9", "0.0.0.0", "255.255.255.255"},
    };
    for (const Case& c : cases) {
        const KspNetworkInterface record("eth0", c.ip, c.netmask);
        EXPECT_EQ(record.MakeBroadcastAddress(), c.broadcast) << c.ip << "/" << c.netmask;
        EXPECT_TRUE(record.IsReachable(c.ip));
        EXPECT_TRUE(record.IsReachable(c.broadcast));
    }

    const KspNetworkInterface lan("eth0", "192.168.1.10", "255.255.255.0");
    EXPECT_TRUE(lan.IsReachable("192.168.1.0"));
    EXPECT_TRUE(lan.IsReachable("0xc0.0xa8.1.20"));  // every inet_aton form counts
    EXPECT_FALSE(lan.IsReachable("192.168.2.10"));
    EXPECT_FALSE(lan.IsReachable(""));
    EXPECT_FALSE(lan.IsReachable("192.168.1.300"));
}

TEST(KspNetworkInterface, UnknownNameGivesAnEmptyRecordThatReachesEverything)
{
    const KspNetworkInterface missing("no-such-interface", static_cast<const ifaddrs*>(nullptr));
    EXPECT_EQ(missing.GetName(), "");
    EXPECT_EQ(missing.GetIpAddress(), "0.0.0.0");
    EXPECT_EQ(missing.GetNetmask(), "0.0.0.0");
    EXPECT_EQ(missing.MakeBroadcastAddress(), "255.255.255.255");
    EXPECT_TRUE(missing.IsReachable("203.0.113.1"));
    EXPECT_EQ(missing.GetInterfaceNumber(), 0);
    EXPECT_EQ(missing.GetMacAddress(), "00:00:00:00:00:00");
}

TEST(KspNetworkInterface, EntryWithoutNetmaskIsReadAsNetmaskZero)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1
    ifaddrs entry{};
    entry.ifa_name = const_cast<char*>("tun0");
    entry.ifa_addr = reinterpret_cast<sockaddr*>(&address);
    const KspNetworkInterface record("tun0", &entry);
    EXPECT_EQ(record.GetIpAddress(), "192.0.2.1");
    EXPECT_EQ(record.GetNetmask(), "0.0.0.0");
}

TEST(KspNetworkInterface, EnumerateListsLoopbackAndLookupByNameAgrees)
{
    const std::vector<KspNetworkInterface> all = KspNetworkInterface::Enumerate();
    const KspNetworkInterface* loopback = nullptr;
    for (const KspNetworkInterface& record : all) {
        if (record.GetIpAddress() == "127.0.0.1") {
            loopback = &record;
        }
    }
    ASSERT_NE(loopback, nullptr);
    EXPECT_EQ(loopback->GetNetmask(), "255.0.0.0");
    EXPECT_EQ(loopback->MakeBroadcastAddress(), "127.255.255.255");
    EXPECT_EQ(KspNetworkInterface(loopback->GetName(), nullptr).GetIpAddress(), "127.0.0.1");
}

// In a network namespace of its own: two addresses on one interface that is down.
TEST(KspNetworkInterface, DownInterfaceWithTwoAddressesGivesTwoRecordsInOrder)
{
    std::string problem;
    std::vector<KspNetworkInterface> records;
    // Only this helper thread enters the new namespace; it vanishes when the thread ends.
    std::thread inside([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            problem = std::string("cannot create a network namespace: ") + strerror(errno);
            return;
        }
        const int status = system("PATH=/usr/sbin:/sbin:$PATH; "
                                  "ip addr add 192.0.2.1/24 dev lo && "
                                  "ip addr add 198.51.100.7/25 dev lo");
        if (status != 0) {
            problem = "the ip command could not add the test addresses";
            return;
        }
        records = KspNetworkInterface::Enumerate();
    });
    inside.join();
    if (!problem.empty()) {
        const char* ci = getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") {
            FAIL() << problem << " (needs root and iproute2)";
        }
        GTEST_SKIP() << problem << " (needs root and iproute2)";
    }
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].GetName(), "lo");
    EXPECT_EQ(records[0].GetIpAddress(), "192.0.2.1");
    EXPECT_EQ(records[0].MakeBroadcastAddress(), "192.0.2.255");
    EXPECT_EQ(records[1].GetName(), "lo");
    EXPECT_EQ(records[1].GetNetmask(), "255.255.255.128");
    EXPECT_EQ(records[1].MakeBroadcastAddress(), "198.51.100.127");
}
