#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tools/discover/QipDiscoverFormat.h"
#include "tools/discover/QipDiscoverOptions.h"

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

    const std::vector<std::vector<const char*>> bad = {
        {"--wait"}, {"--wait", "-1"}, {"--wait", "3s"}, {"--wait", "nan"}, {"--wait", "1e9"}, {"--type="},
        {"--json=yes"}, {"--frobnicate"}, {"extra"}, {"--watch", "--open"}, {"--watch", "--wait", "2"},
    };
    for (const std::vector<const char*>& args : bad) {
        QipDiscoverOptions rejected;
        EXPECT_FALSE(Parse(args, rejected)) << args[0];
    }
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
    // Text for a terminal carries no control character a device could steer it with.
    EXPECT_EQ(QipDiscoverFormat::TerminalText("\x1b[31m\xC2\x9B!\xFF"), "?[31m?!" + r);
}
