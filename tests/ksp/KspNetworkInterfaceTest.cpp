#include <gtest/gtest.h>

#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "ksp/KspNetworkInterface.h"

namespace {

std::string Describe(const KspNetworkInterface& record)
{
    return record.GetName() + " " + record.GetIpAddress() + " " + record.GetNetmask() + " " +
           record.MakeBroadcastAddress();
}

}  // namespace

TEST(KspNetworkInterface, BroadcastAddressAndReachabilityFollowTheSubnet)
{
    const char* cases[][3] = {
        {"192.168.1.10", "255.255.255.0", "192.168.1.255"},
        {"198.51.100.7", "255.255.255.255", "198.51.100.7"},
        {"203.0.113.9", "0.0.0.0", "255.255.255.255"},
    };
    for (const auto& c : cases) {
        const KspNetworkInterface record("eth0", c[0], c[1]);
        EXPECT_EQ(record.MakeBroadcastAddress(), c[2]) << c[0] << "/" << c[1];
        EXPECT_TRUE(record.IsReachable(c[0]) && record.IsReachable(c[2])) << c[0] << "/" << c[1];
    }
    const KspNetworkInterface lan("eth0", "192.168.1.10", "255.255.255.0");
    EXPECT_TRUE(lan.IsReachable("0xc0.0xa8.1.20"));  // every inet_aton form counts
    EXPECT_FALSE(lan.IsReachable("192.168.2.10"));
    EXPECT_FALSE(lan.IsReachable(""));
    EXPECT_FALSE(lan.IsReachable("192.168.1.300"));
}

TEST(KspNetworkInterface, EnumerateListsLoopbackAndLookupByNameFindsItOrGivesAnEmptyRecord)
{
    const std::vector<KspNetworkInterface> all = KspNetworkInterface::Enumerate();
    std::string loopback;
    for (const KspNetworkInterface& record : all) {
        if (record.GetIpAddress() == "127.0.0.1") {
            loopback = Describe(record);
            EXPECT_EQ(KspNetworkInterface(record.GetName(), nullptr).GetIpAddress(), "127.0.0.1");
        }
    }
    EXPECT_EQ(loopback, "lo 127.0.0.1 255.0.0.0 127.255.255.255");

    const KspNetworkInterface missing("no-such-interface", static_cast<const ifaddrs*>(nullptr));
    EXPECT_EQ(Describe(missing), " 0.0.0.0 0.0.0.0 255.255.255.255");
    EXPECT_EQ(missing.GetMacAddress(), "00:00:00:00:00:00");
}

TEST(KspNetworkInterface, EntryWithoutNetmaskIsReadAsNetmaskZero)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0xC0000201);
    ifaddrs entry{};
    entry.ifa_addr = reinterpret_cast<sockaddr*>(&address);
    EXPECT_EQ(Describe(KspNetworkInterface("tun0", &entry)), "tun0 192.0.2.1 0.0.0.0 255.255.255.255");
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
        } else if (system("PATH=/usr/sbin:/sbin:$PATH; ip addr add 192.0.2.1/24 dev lo && "
                          "ip addr add 198.51.100.7/25 dev lo") != 0) {
            problem = "the ip command could not add the test addresses";
        } else {
            records = KspNetworkInterface::Enumerate();
        }
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
    EXPECT_EQ(Describe(records[0]), "lo 192.0.2.1 255.255.255.0 192.0.2.255");
    EXPECT_EQ(Describe(records[1]), "lo 198.51.100.7 255.255.255.128 198.51.100.127");
}

TEST(KspNetworkInterface, FlagsDecideWhatDiscoveryCanUseAndPrefixesAreCounted)
{
    EXPECT_EQ(KspNetworkInterface::Classify(IFF_UP | IFF_RUNNING | IFF_BROADCAST),
              KspNetworkInterface::cUsable);
    EXPECT_EQ(KspNetworkInterface::Classify(IFF_UP | IFF_RUNNING | IFF_LOOPBACK),
              KspNetworkInterface::cSkipLoopback);
    EXPECT_EQ(KspNetworkInterface::Classify(IFF_BROADCAST), KspNetworkInterface::cSkipDown);
    EXPECT_EQ(KspNetworkInterface::Classify(IFF_UP | IFF_BROADCAST), KspNetworkInterface::cSkipNoLink);
    EXPECT_EQ(KspNetworkInterface::Classify(IFF_UP | IFF_RUNNING | IFF_POINTOPOINT),
              KspNetworkInterface::cSkipNoBroadcast);

    EXPECT_EQ(KspNetworkInterface("eth0", "192.0.2.9", "255.255.255.0").DescribeAddress(), "192.0.2.9/24");
    EXPECT_EQ(KspNetworkInterface("eth0", "10.0.0.5", "255.0.0.0").DescribeAddress(), "10.0.0.5/8");
    EXPECT_EQ(KspNetworkInterface("eth0", "10.0.0.5", "0.0.0.0").GetPrefixLength(), 0);
    EXPECT_EQ(KspNetworkInterface("eth0", "10.0.0.5", "255.255.255.255").GetPrefixLength(), 32);
    EXPECT_EQ(KspNetworkInterface("eth0", "10.0.0.5", "255.0.255.0").DescribeAddress(),
              "10.0.0.5 netmask 255.0.255.0");

    // The real list: loopback is always skipped as such, never offered for discovery.
    const KspNetworkInterface::Scan scan = KspNetworkInterface::EnumerateForDiscovery();
    bool loopbackSkipped = false;
    for (const KspNetworkInterface::Skipped& skipped : scan.mSkipped) {
        loopbackSkipped = loopbackSkipped || (skipped.mAddress == "127.0.0.1" &&
                                              skipped.mReason == KspNetworkInterface::cSkipLoopback);
    }
    EXPECT_TRUE(loopbackSkipped);
    for (const KspNetworkInterface& usable : scan.mUsable) {
        EXPECT_NE(usable.GetName(), "lo");
    }
}
