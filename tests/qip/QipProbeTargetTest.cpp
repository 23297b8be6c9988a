#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qip/QipClient.h"
#include "qip/QipProbeTarget.h"

namespace {

QipProbeTarget Parsed(const std::string& text) {
    QipProbeTarget target;
    std::string error;
    EXPECT_TRUE(QipProbeTarget::Parse(text, target, error)) << text << ": " << error;
    return target;
}

std::string Refusal(const std::string& text) {
    QipProbeTarget target;
    std::string error;
    EXPECT_FALSE(QipProbeTarget::Parse(text, target, error)) << text;
    return error;
}

}  // namespace

TEST(ProbeTarget, RangesSkipNetworkAndBroadcastBelowSlash31AndClearHostBits) {
    const QipProbeTarget address = Parsed("198.51.100.20");
    EXPECT_EQ(address.GetKind(), QipProbeTarget::cAddress);
    EXPECT_EQ(address.GetCount(), 1u);
    EXPECT_EQ(QipProbeTarget::FormatAddress(address.GetFirst()), "198.51.100.20");

    const QipProbeTarget range = Parsed("198.51.100.77/24");
    EXPECT_EQ(range.GetCount(), 254u);
    EXPECT_EQ(QipProbeTarget::FormatAddress(range.GetFirst()), "198.51.100.1");
    EXPECT_EQ(QipProbeTarget::FormatAddress(range.GetLast()), "198.51.100.254");
    EXPECT_EQ(range.Describe(), "198.51.100.0/24");
    EXPECT_FALSE(range.Contains(range.GetFirst() - 1));  // the network address
    EXPECT_FALSE(range.Contains(range.GetLast() + 1));   // the broadcast address
    EXPECT_TRUE(range.Contains(range.GetAddress(100)));

    EXPECT_EQ(Parsed("198.51.100.8/31").GetCount(), 2u);  // a point-to-point pair: both
    EXPECT_EQ(QipProbeTarget::FormatAddress(Parsed("198.51.100.8/31").GetFirst()), "198.51.100.8");
    EXPECT_EQ(Parsed("198.51.100.9/32").GetCount(), 1u);
    EXPECT_EQ(Parsed("127.1.0.0/16").GetCount(), 65534u);
    EXPECT_EQ(QipProbeTarget::FormatAddress(Parsed("127.1.0.0/16").GetLast()), "127.1.255.254");
}

TEST(ProbeTarget, BadTargetsSayWhatIsWrongAndListsNameTheBadOne) {
    EXPECT_NE(Refusal("198.51.0.0/15").find("shorter than /16"), std::string::npos);
    EXPECT_NE(Refusal("198.51.100.0/33").find("16 to 32"), std::string::npos);
    EXPECT_NE(Refusal("198.51.100.0/").find("16 to 32"), std::string::npos);
    for (const char* malformed : {"198.51.100", "198.51.100.256", "1.2.3.4.5", "198..100.1", "/24"}) {
        EXPECT_NE(Refusal(malformed).find("not an IPv4 address"), std::string::npos) << malformed;
    }
    EXPECT_NE(Refusal("224.0.0.251").find("multicast"), std::string::npos);
    EXPECT_NE(Refusal("239.255.0.0/16").find("multicast"), std::string::npos);
    EXPECT_NE(Refusal("0.0.0.0").find("zero"), std::string::npos);
    EXPECT_NE(Refusal("255.255.255.255").find("broadcast"), std::string::npos);
    for (const char* name : {"", "-lab.example", "lab_router", "a..b", "host.123", "lab example"}) {
        EXPECT_FALSE(Refusal(name).empty()) << name;
    }

    std::vector<QipProbeTarget> targets;
    std::string error;
    EXPECT_FALSE(QipProbeTarget::ParseAll({"198.51.100.0/24", "10.0.0.0/8"}, targets, error));
    EXPECT_EQ(error.find("'10.0.0.0/8': "), 0u) << error;
    EXPECT_TRUE(targets.empty());
    ASSERT_TRUE(QipProbeTarget::ParseAll({"198.51.100.0/24", "lab-router.example."}, targets, error));
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[1].GetKind(), QipProbeTarget::cName);
    EXPECT_FALSE(targets[1].IsResolved());
}

TEST(ProbeTarget, NamesResolveOnceToTheirFirstIpv4Address) {
    QipProbeTarget name = Parsed("localhost");
    std::string error;
    ASSERT_TRUE(name.Resolve(error)) << error;
    EXPECT_EQ(name.GetCount(), 1u);
    EXPECT_EQ(name.GetFirst() >> 24, 127u);
    EXPECT_EQ(name.Describe().find("localhost (127."), 0u) << name.Describe();

    QipProbeTarget missing = Parsed("no-such-host.invalid");
    EXPECT_FALSE(missing.Resolve(error));
    EXPECT_NE(error.find("'no-such-host.invalid'"), std::string::npos) << error;
}

TEST(ProbeTarget, PacingSpreadsProbesEvenlyFromTheFirstAtOnce) {
    EXPECT_EQ(QipClient::ProbesDue(0, 2000, 254), 1u);
    EXPECT_EQ(QipClient::ProbesDue(1, 2000, 254), 3u);
    EXPECT_EQ(QipClient::ProbesDue(126, 2000, 254), 253u);
    EXPECT_EQ(QipClient::ProbesDue(127, 2000, 254), 254u);
    EXPECT_EQ(QipClient::ProbesDue(100000, 2000, 254), 254u);  // never more than there are
    EXPECT_EQ(QipClient::ProbesDue(999, 1, 10), 1u);
    EXPECT_EQ(QipClient::ProbesDue(1000, 1, 10), 2u);
    EXPECT_EQ(QipClient::ProbesDue(-5, 2000, 254), 0u);
    // The due time of a probe is the first whole ms at which ProbesDue counts it.
    for (unsigned long rate : {1ul, 3ul, 2000ul, 50000ul}) {
        for (uint64_t index : {1ull, 2ull, 253ull, 65533ull}) {
            const long long due = QipClient::ProbeDueMs(index, rate);
            EXPECT_GT(QipClient::ProbesDue(due, rate, 70000), index) << rate << " " << index;
            EXPECT_LE(QipClient::ProbesDue(due - 1, rate, 70000), index) << rate << " " << index;
        }
    }
}
