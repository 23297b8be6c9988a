#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tools/discover/QipDeviceChanges.h"
#include "tools/discover/QipDiscoverFormat.h"
#include "tools/discover/QipDiscoverOptions.h"

namespace {

bool Parse(std::vector<const char*> args, QipDiscoverOptions& options, std::string& error) {
    args.insert(args.begin(), "qip-discover");
    return options.Parse(static_cast<int>(args.size()), args.data(), error);
}

QipDeviceChanges::Entry Entry(const std::string& id, const std::string& address,
                              const std::string& packetId) {
    return QipDeviceChanges::Entry{"Router", id, address, packetId};
}

}  // namespace

TEST(DiscoverOptions, ReadsEveryOptionInBothForms) {
    QipDiscoverOptions defaults;
    std::string error;
    ASSERT_TRUE(Parse({}, defaults, error));
    EXPECT_EQ(defaults.mWaitSeconds, 3);
    EXPECT_TRUE(defaults.mTypes.empty());

    QipDiscoverOptions options;
    ASSERT_TRUE(Parse({"--type", "Router", "--type=Bridge", "--wait=0.5", "--json", "--no-ssid",
                       "--open"},
                      options, error))
        << error;
    EXPECT_EQ(options.mTypes, (std::vector<std::string>{"Router", "Bridge"}));
    EXPECT_EQ(options.mWaitSeconds, 0.5);
    EXPECT_TRUE(options.mJson && options.mNoSsid && options.mOpen && !options.mWatch);
}

TEST(DiscoverOptions, RejectsMalformedAndConflictingArguments) {
    const std::vector<std::vector<const char*>> bad = {
        {"--wait"},          {"--wait", "-1"},    {"--wait", "3s"},   {"--wait", "nan"},
        {"--wait", "1e9"},   {"--type"},          {"--type="},        {"--json=yes"},
        {"--frobnicate"},    {"extra"},           {"--watch", "--open"},
        {"--watch", "--wait", "2"},
    };
    for (const std::vector<const char*>& args : bad) {
        QipDiscoverOptions options;
        std::string error;
        EXPECT_FALSE(Parse(args, options, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(DiscoverFormat, JsonCarriesAnyDeviceBytesAsValidJson) {
    const std::string nasty = std::string("a\"b\\c\n\x01\x7f", 8) + "\xC3\xA9" +  // é kept
                              "\xFF" + "\xC0\xAF" + "\xED\xA0\x80" + "\xE2\x82";  // all invalid
    DeviceDescriber::Description device{"Router", nasty, "Caf\xC3\xA9", "192.0.2.7", "x"};
    const std::string line = QipDiscoverFormat::JsonObject(QipDiscoverFormat::DeviceFields(device));
    EXPECT_EQ(line.find('\n'), std::string::npos);
    nlohmann::json parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["DeviceType"], "Router");
    EXPECT_EQ(parsed["SSID"], "Caf\xC3\xA9");
    EXPECT_EQ(parsed["DeviceIP"], "192.0.2.7");
    const std::string id = parsed["DeviceId"];
    EXPECT_EQ(id.substr(0, 8), std::string("a\"b\\c\n\x01\x7f", 8));
    // Each byte that starts no well-formed sequence is one replacement character.
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(id.substr(8), "\xC3\xA9" + r + r + r + r + r + r + r + r);
    EXPECT_EQ(parsed.size(), 5u);
}

TEST(DiscoverFormat, TableAlignsColumnsAndDefusesTerminalControls) {
    std::vector<DeviceDescriber::Description> devices = {
        {"Router", "00:11:22:33:44:55", "Office", "192.0.2.20", ""},
        {"AP", "7", "\x1b[31mred", "198.51.100.200", ""},
    };
    const std::string table = QipDiscoverFormat::Table(devices);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = table.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(table.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
    EXPECT_NE(lines[2].find("?[31mred"), std::string::npos);
    for (const char* column : {"TYPE", "ADDRESS", "SSID"}) {
        const size_t at = lines[0].find(column);
        EXPECT_NE(lines[1][at], ' ') << column;  // a cell starts where its heading does
        EXPECT_EQ(lines[1].substr(at - 2, 2), "  ") << column;
        EXPECT_EQ(lines[2].substr(at - 2, 2), "  ") << column;
    }
    EXPECT_EQ(lines[0].substr(0, 2), "ID");
    EXPECT_TRUE(QipDiscoverFormat::Table({}).empty());
}

TEST(DeviceChanges, ReportsAppearedChangedAndGoneEntriesByIdAndAddress) {
    const std::vector<QipDeviceChanges::Entry> before = {
        Entry("A", "192.0.2.1", "1"), Entry("B", "192.0.2.2", "1"), Entry("A", "192.0.2.3", "1")};
    const std::vector<QipDeviceChanges::Entry> after = {
        Entry("A", "192.0.2.1", "1"), Entry("A", "192.0.2.3", "2"), Entry("B", "192.0.2.9", "1")};
    std::vector<QipDeviceChanges::Change> changes = QipDeviceChanges::Compare(before, after);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].mKind, QipDeviceChanges::cChanged);
    EXPECT_EQ(changes[0].mEntry.mPacketId, "2");
    EXPECT_EQ(changes[0].mPosition, 1u);
    EXPECT_EQ(changes[1].mKind, QipDeviceChanges::cAppeared);
    EXPECT_EQ(changes[1].mEntry.mSourceAddress, "192.0.2.9");
    EXPECT_EQ(changes[2].mKind, QipDeviceChanges::cGone);
    EXPECT_EQ(changes[2].mEntry.mSourceAddress, "192.0.2.2");
    EXPECT_EQ(changes[2].mPosition, 1u);
    EXPECT_TRUE(QipDeviceChanges::Compare(after, after).empty());
}
