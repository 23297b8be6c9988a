#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/search/DiscoverTestBedSupport.h"
#include "tests/testbed/TestBed.h"
#include "tests/testbed/TestFolder.h"

using discover_test::JsonLines;

// qip-discover and the user's store of known devices, run as a user or a script runs it, with
// XDG_STATE_HOME pointing at a folder of the test's own.
namespace {

class StateHome {
public:
    const std::string& Folder() const { return mFolder.Get(); }
    std::string Store() const { return Folder() + "/qipfinder/devices.sqlite"; }
    // argv for qip-discover with `args` and this state home.
    std::vector<std::string> Discover(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"env", "XDG_STATE_HOME=" + Folder(), TestBed::BinaryPath("qip-discover")};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

private:
    TestFolder mFolder{"qip-state"};
};

size_t CountLines(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    return lines;
}

const std::vector<std::string> cSearch{"--json", "--count", "1", "--wait", "10"};

}  // namespace

TEST(DiscoverStoreTestBed, KnownLabelForgetAndNoStoreAsScriptsUseThem) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.80/24"}), {"--address", "192.0.2.80/24", "--id", "one",
                                                                    "--ssid", "Office"}), 0);
    StateHome home;
    const std::string host = bed.GetHostNamespace();
    std::string output, errors;
    EXPECT_EQ(bed.Run(host, home.Discover({"--known"}), &output, 15000, &errors), 1);
    EXPECT_EQ(errors, "qip-discover: no device is known yet\n");

    // A search remembers what it found and says when it was first and last seen.
    ASSERT_EQ(bed.Run(host, home.Discover(cSearch), &output, 30000, &errors), 0) << errors;
    std::vector<nlohmann::json> found = JsonLines(output);
    ASSERT_EQ(found.size(), 1u) << output;
    EXPECT_EQ(found[0]["label"], "");
    EXPECT_FALSE(found[0]["first_seen"].get<std::string>().empty());
    EXPECT_EQ(found[0]["first_seen"], found[0]["last_seen"]);
    EXPECT_EQ(output.find("LABEL"), std::string::npos);

    // --known sends nothing: the device is listed from the store with its SSID of last time.
    ASSERT_EQ(bed.Run(host, home.Discover({"--known", "--json"}), &output, 15000, &errors), 0) << errors;
    found = JsonLines(output);
    ASSERT_EQ(found.size(), 1u) << output;
    EXPECT_EQ(found[0]["DeviceId"], "one");
    EXPECT_EQ(found[0]["SSID"], "Office");
    EXPECT_EQ(found[0]["DeviceIP"], "192.0.2.80");

    EXPECT_EQ(bed.Run(host, home.Discover({"--label", "one", "Office AP"}), &output, 15000, &errors), 0) << errors;
    EXPECT_EQ(bed.Run(host, home.Discover({"--label", "nobody", "x"}), &output, 15000, &errors), 1);
    EXPECT_EQ(bed.Run(host, home.Discover({"--label", "one", std::string(65, 'x')}), &output, 15000, &errors), 2);
    EXPECT_NE(errors.find("at most 64 characters"), std::string::npos) << errors;

    ASSERT_EQ(bed.Run(host, home.Discover({"--count", "1", "--wait", "10"}), &output, 30000, &errors), 0) << errors;
    EXPECT_EQ(output.substr(0, output.find('\n')), "ID   TYPE    ADDRESS     SSID    LABEL") << output;
    EXPECT_NE(output.find("Office AP"), std::string::npos) << output;
    ASSERT_EQ(bed.Run(host, home.Discover({"--known"}), &output, 15000, &errors), 0) << errors;
    EXPECT_NE(output.find("just now   Office AP"), std::string::npos) << output;

    // --no-store neither reads the label nor makes a store where there is none.
    ASSERT_EQ(bed.Run(host, home.Discover({"--no-store", "--count", "1", "--wait", "10"}), &output, 30000, &errors), 0);
    EXPECT_EQ(output.find("Office AP"), std::string::npos) << output;
    StateHome empty;
    ASSERT_EQ(bed.Run(host, empty.Discover({"--no-store", "--json", "--count", "1", "--wait", "10"}), &output, 30000,
                      &errors), 0);
    EXPECT_EQ(JsonLines(output).size(), 1u);
    struct stat info;
    EXPECT_NE(stat((empty.Folder() + "/qipfinder").c_str(), &info), 0) << "--no-store made a store";

    EXPECT_EQ(bed.Run(host, home.Discover({"--forget", "one"}), &output, 15000, &errors), 0) << errors;
    EXPECT_EQ(bed.Run(host, home.Discover({"--known"}), &output, 15000, &errors), 1);
    EXPECT_EQ(bed.Run(host, home.Discover({"--forget", "one"}), &output, 15000, &errors), 1);
}

// A damaged store, a read-only folder and a store another program holds locked: each time the
// device is found as without a store, and one line says what is wrong with the store.
TEST(DiscoverStoreTestBed, BrokenStoreCostsDiscoveryNothingAndIsSaidOnce) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.81/24"}), {"--address", "192.0.2.81/24", "--id", "one"}), 0);
    const std::string host = bed.GetHostNamespace();
    std::string output, errors;
    const auto expectFoundWithOneLine = [&](const char* what, const std::string& line) {
        const std::vector<nlohmann::json> found = JsonLines(output);
        EXPECT_EQ(found.size(), 1u) << what << ": " << output;
        if (!found.empty()) {
            EXPECT_EQ(found[0]["DeviceId"], "one") << what;
        }
        EXPECT_EQ(CountLines(errors), 1u) << what << ": " << errors;
        EXPECT_NE(errors.find(line), std::string::npos) << what << ": " << errors;
    };
    {
        StateHome home;
        ASSERT_EQ(system(("mkdir -p '" + home.Folder() + "/qipfinder'").c_str()), 0);
        std::ofstream(home.Store()) << std::string(4096, '\x7f');
        EXPECT_EQ(bed.Run(host, home.Discover(cSearch), &output, 30000, &errors), 0);
        expectFoundWithOneLine("damaged", "qip-discover: devices.sqlite is damaged; saved as devices.sqlite.damaged-");
        EXPECT_EQ(bed.Run(host, home.Discover({"--known"}), &output, 15000, &errors), 0) << "not started afresh";
    }
    {
        // Read-only as a read-only mount makes it (root ignores permission bits): the labels
        // are still shown, nothing is written.
        StateHome home;
        ASSERT_EQ(bed.Run(host, home.Discover(cSearch), &output, 30000, &errors), 0) << errors;
        ASSERT_EQ(bed.Run(host, home.Discover({"--label", "one", "Office AP"}), &output, 15000, &errors), 0) << errors;
        const std::vector<std::string> argv{"unshare", "-m", "sh", "-c",
            "mount --bind -o ro \"$0\" \"$0\" && exec env XDG_STATE_HOME=\"$1\" \"$2\" --json --count 1 --wait 10",
            home.Folder() + "/qipfinder", home.Folder(), TestBed::BinaryPath("qip-discover")};
        EXPECT_EQ(bed.Run(host, argv, &output, 30000, &errors), 0);
        expectFoundWithOneLine("read-only", "cannot be written; known devices are shown but not updated");
        const std::vector<nlohmann::json> found = JsonLines(output);
        if (!found.empty()) {
            EXPECT_EQ(found[0]["label"], "Office AP");
        }
    }
    {
        StateHome home;
        ASSERT_EQ(bed.Run(host, home.Discover(cSearch), &output, 30000, &errors), 0) << errors;
        sqlite3* holder = nullptr;
        ASSERT_EQ(sqlite3_open(home.Store().c_str(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM devices WHERE 0;",
                               nullptr, nullptr, nullptr), SQLITE_OK);
        EXPECT_EQ(bed.Run(host, home.Discover(cSearch), &output, 30000, &errors), 0);
        expectFoundWithOneLine("locked", "qip-discover: devices.sqlite is locked by another program");
        sqlite3_close(holder);
    }
}
