#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tools/discover/QipDiscoverFormat.h"
#include "tools/discover/QipDiscoverOptions.h"
#include "tools/discover/QipListenEnd.h"

namespace {

bool Parse(std::vector<const char*> args, QipDiscoverOptions& options) {
    args.insert(args.begin(), "qip-discover");
    std::string error;
    bool ok = options.Parse(static_cast<int>(args.size()), args.data(), error);
    EXPECT_EQ(ok, error.empty()) << error;
    return ok;
}

}  // namespace

TEST(DiscoverOptions, ReadsBothOptionFormsAndRejectsMalformedOrConflictingOnes) {
    QipDiscoverOptions options;
    ASSERT_TRUE(Parse({"--type", "Router", "--type=Bridge", "--wait=0.5", "--json", "--no-ssid", "--open"}, options));
    EXPECT_EQ(options.mTypes, (std::vector<std::string>{"Router", "Bridge"}));
    EXPECT_EQ(options.mWaitSeconds, 0.5);
    EXPECT_TRUE(options.mJson && options.mNoSsid && options.mOpen && !options.mWatch);
    EXPECT_EQ(options.GetEffectiveSettleMs(), QipDiscoverOptions::cDefaultSettleMs);

    QipDiscoverOptions targets;  // "--" ends the options; ids may look like options after "="
    ASSERT_TRUE(Parse({"--wait-for", "a", "--wait-for=-b", "--count=3", "--no-settle", "--"}, targets));
    EXPECT_EQ(targets.mWaitFor, (std::vector<std::string>{"a", "-b"}));
    EXPECT_EQ(targets.mCount, 3u);
    EXPECT_EQ(targets.GetEffectiveSettleMs(), 0);
    QipDiscoverOptions settle;
    ASSERT_TRUE(Parse({"--settle", "50", "--wait", "10"}, settle));
    EXPECT_EQ(settle.GetEffectiveSettleMs(), 50);
    EXPECT_EQ(settle.GetWaitMs(), 10000);

    const std::vector<std::vector<const char*>> bad = {
        {"--wait"}, {"--wait", "-1"}, {"--wait", "3s"}, {"--wait", "nan"}, {"--wait", "1e9"}, {"--type="},
        {"--json=yes"}, {"--frobnicate"}, {"extra"}, {"--watch", "--open"}, {"--watch", "--wait", "2"},
        {"--settle", "49"}, {"--settle", "10001"}, {"--settle", "300ms"}, {"--settle", "+300"}, {"--count", "0"},
        {"--count", "4097"}, {"--count", "2x"}, {"--wait-for="}, {"--watch", "--settle", "300"},
        {"--watch", "--no-settle"}, {"--watch", "--wait-for", "a"}, {"--watch", "--count", "1"},
        {"--settle", "300", "--no-settle"}, {"--settle", "300", "--count", "2"}, {"--", "extra"}, {"-x"},
        {"--probe", "198.51.0.0/15"}, {"--probe=224.0.0.1"}, {"--probe", "198.51.100"}, {"--probe"},
        {"--probe-rate", "0"}, {"--probe-rate", "50001"}, {"--probe-rate=2k"},
    };
    for (const std::vector<const char*>& args : bad) {
        QipDiscoverOptions rejected;
        std::vector<const char*> argv = args;
        argv.insert(argv.begin(), "qip-discover");
        std::string error;
        EXPECT_FALSE(rejected.Parse(static_cast<int>(argv.size()), argv.data(), error)) << args[0];
        // The message names what was wrong.
        const std::string named = std::string(args.back()).substr(0, std::string(args.back()).find('='));
        EXPECT_TRUE(error.find(named) != std::string::npos || error.find(args[0]) != std::string::npos)
            << error;
    }
}

TEST(DiscoverOptions, ProbeTargetsAreKeptInOrderAndABadOneIsNamedWithItsFault) {
    QipDiscoverOptions options;
    EXPECT_EQ(options.mProbeRate, 2000u);
    ASSERT_TRUE(Parse({"--probe", "198.51.100.0/24", "--probe=lab-router.example", "--probe-rate", "50000",
                       "--watch"}, options));
    ASSERT_EQ(options.mProbeTargets.size(), 2u);
    EXPECT_EQ(options.mProbeTargets[0].GetCount(), 254u);
    EXPECT_EQ(options.mProbeTargets[1].GetText(), "lab-router.example");
    EXPECT_EQ(options.mProbeRate, 50000u);

    QipDiscoverOptions bad;
    const char* argv[] = {"qip-discover", "--probe", "203.0.113.0/24", "--probe", "10.0.0.0/8"};
    std::string error;
    ASSERT_FALSE(bad.Parse(5, argv, error));
    EXPECT_EQ(error, "--probe '10.0.0.0/8': a prefix shorter than /16 is too large a range (65,534 "
                     "addresses at most)");
}

TEST(DiscoverFormat, JsonAndTerminalTextCarryAnyDeviceBytesSafely) {
    const std::string controls("a\"b\\c\n\x01\x7f\xC2\x9B", 10);  // C1 CSI last
    // é is kept; a stray byte, an overlong form, a surrogate and a cut-off sequence are not.
    const std::string id = controls + "\xC3\xA9" + "\xFF" + "\xC0\xAF" + "\xED\xA0\x80" + "\xE2\x82";
    DeviceDescriber::Description device{"Router", id, "Caf\xC3\xA9", "192.0.2.7", "x"};
    const std::string line = QipDiscoverFormat::JsonObject(QipDiscoverFormat::DeviceFields(device));
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.find("\xC2\x9B"), std::string::npos);  // escaped, not raw
    nlohmann::json parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed.size(), 5u);
    EXPECT_EQ(parsed["SSID"], "Caf\xC3\xA9");
    std::string r = "\xEF\xBF\xBD";  // one per byte that starts no well-formed sequence
    EXPECT_EQ(parsed["DeviceId"], controls + "\xC3\xA9" + r + r + r + r + r + r + r + r);
    // Times in --watch lines: ISO 8601 with the offset, either side of UTC.
    struct tm local = {};
    local.tm_year = 126, local.tm_mon = 11, local.tm_mday = 8, local.tm_hour = 1, local.tm_min = 2, local.tm_sec = 3;
    local.tm_gmtoff = 3600 + 1800;
    EXPECT_EQ(QipDiscoverFormat::IsoTime(local, 45), "2026-12-08T01:02:03.045+01:30");
    local.tm_gmtoff = -5 * 3600;
    EXPECT_EQ(QipDiscoverFormat::IsoTime(local, 999), "2026-12-08T01:02:03.999-05:00");
    // Text for a terminal carries no control character a device could steer it with.
    EXPECT_EQ(QipDiscoverFormat::TerminalText("\x1b[31m\xC2\x9B!\xFF"), "?[31m?!" + r);
}

namespace {

QipListenEnd::Rules Rules(long long waitMs, long long settleMs, std::vector<std::string> waitFor = {},
                          size_t count = 0) {
    QipListenEnd::Rules rules;
    rules.mWaitMs = waitMs;
    rules.mSettleMs = settleMs;
    rules.mWaitFor = waitFor;
    rules.mCount = count;
    return rules;
}

}  // namespace

TEST(DiscoverListenEnd, SettlesOnlyAfterAnAnswerAndOnlyNewRecordsRestartTheSettleTime) {
    QipListenEnd end(Rules(3000, 400), 1000);
    EXPECT_EQ(end.GetState(3000), QipListenEnd::cListening);  // nothing heard: no settling
    EXPECT_EQ(end.NextDeadline(), 4000);
    EXPECT_TRUE(end.OnRecord("a", "192.0.2.20", 1100));
    EXPECT_EQ(end.NextDeadline(), 1500);
    EXPECT_TRUE(end.OnRecord("b", "192.0.2.21", 1200));        // a new id
    EXPECT_TRUE(end.OnRecord("a", "198.51.100.20", 1450));     // a known id from a new address
    EXPECT_FALSE(end.OnRecord("a", "192.0.2.20", 1800));       // a refresh is no new record
    EXPECT_EQ(end.GetState(1849), QipListenEnd::cListening);
    EXPECT_EQ(end.NextDeadline(), 1850);
    EXPECT_EQ(end.GetState(1850), QipListenEnd::cSettled);
    EXPECT_EQ(end.GetDeviceCount(), 2u);

    QipListenEnd trickle(Rules(3000, 400), 0);  // answers that never settle end with the wait
    for (long long t = 0; t < 3000; t += 300) trickle.OnRecord("d" + std::to_string(t), "192.0.2.9", t);
    EXPECT_EQ(trickle.NextDeadline(), 3000);
    EXPECT_EQ(trickle.GetState(3000), QipListenEnd::cWaitOver);
    QipListenEnd unsettled(Rules(3000, 0), 0);  // --no-settle
    unsettled.OnRecord("a", "192.0.2.20", 10);
    EXPECT_EQ(unsettled.GetState(2999), QipListenEnd::cListening);
    EXPECT_EQ(unsettled.GetState(3000), QipListenEnd::cWaitOver);
}

TEST(DiscoverListenEnd, WaitForAndCountEndAsSoonAsMetWithoutSettlingAndNameWhatIsMissing) {
    QipListenEnd ids(Rules(5000, 0, {"x", "y", "x"}), 0);
    ids.OnRecord("x", "192.0.2.20", 100);
    ids.OnRecord("z", "192.0.2.22", 200);
    EXPECT_EQ(ids.GetState(4000), QipListenEnd::cListening);  // z settled long ago: no matter
    EXPECT_EQ(ids.MissingIds(), std::vector<std::string>{"y"});
    EXPECT_EQ(ids.NextDeadline(), 5000);
    ids.OnRecord("y", "192.0.2.21", 4100);
    EXPECT_EQ(ids.GetState(4100), QipListenEnd::cSatisfied);
    EXPECT_TRUE(ids.MissingIds().empty());

    QipListenEnd count(Rules(5000, 0, {}, 2), 0);
    count.OnRecord("a", "192.0.2.20", 100);
    count.OnRecord("a", "198.51.100.20", 200);  // one device from two addresses counts once
    EXPECT_EQ(count.GetState(4999), QipListenEnd::cListening);
    EXPECT_EQ(count.GetState(5000), QipListenEnd::cWaitOver);
    EXPECT_FALSE(count.IsTargetMet());
    count.OnRecord("b", "192.0.2.21", 5000);
    EXPECT_EQ(count.GetState(5000), QipListenEnd::cSatisfied);

    QipListenEnd both(Rules(5000, 0, {"b"}, 2), 0);  // every target must be met
    both.OnRecord("b", "192.0.2.21", 10);
    EXPECT_EQ(both.GetState(10), QipListenEnd::cListening);
    both.OnRecord("c", "192.0.2.22", 20);
    EXPECT_EQ(both.GetState(20), QipListenEnd::cSatisfied);
}

TEST(DiscoverListenEnd, WithProbesTheWaitAndTheSettleTimeCountFromTheLastProbe) {
    QipListenEnd::Rules rules = Rules(1000, 400);
    rules.mHoldForProbes = true;
    QipListenEnd end(rules, 0);
    end.OnRecord("near", "192.0.2.20", 50);  // answered the broadcast at once
    EXPECT_EQ(end.GetState(5000), QipListenEnd::cListening) << "neither settles nor ends mid-sweep";
    // A sweep may last longer than the wait; no deadline may fall due before it ends.
    EXPECT_GT(end.NextDeadline(), 5000);
    end.OnProbesSent(6000);
    EXPECT_FALSE(end.IsHoldingForProbes());
    EXPECT_EQ(end.NextDeadline(), 6400);
    EXPECT_EQ(end.GetState(6399), QipListenEnd::cListening);
    end.OnRecord("far", "198.51.100.20", 6300);  // an answer to one of the last probes
    EXPECT_EQ(end.GetState(6699), QipListenEnd::cListening);
    EXPECT_EQ(end.GetState(6700), QipListenEnd::cSettled);

    QipListenEnd silent(rules, 0);
    silent.OnProbesSent(6000);
    EXPECT_EQ(silent.GetState(6999), QipListenEnd::cListening);
    EXPECT_EQ(silent.GetState(7000), QipListenEnd::cWaitOver);

    QipListenEnd::Rules wanted = Rules(1000, 0, {"far"});
    wanted.mHoldForProbes = true;
    QipListenEnd early(wanted, 0);  // a device asked for by id ends it even mid-sweep
    early.OnRecord("far", "198.51.100.20", 3000);
    EXPECT_EQ(early.GetState(3000), QipListenEnd::cSatisfied);
}
