#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/testbed/TestBed.h"

// qip-discover's conclusions as a script sees them: standard error redirected, the exit
// status the only sign of what happened.
namespace {

// A folder with an xdg-open that writes the URL it was given to "opened" beside it.
class RecordingOpener {
public:
    RecordingOpener() {
        char folder[] = "/tmp/qip-opener-XXXXXX";
        if (mkdtemp(folder) != nullptr) mFolder = folder;
        std::ofstream(mFolder + "/xdg-open") << "#!/bin/sh\necho \"$1\" > '" << mFolder << "/opened'\n";
        chmod((mFolder + "/xdg-open").c_str(), 0755);
    }
    ~RecordingOpener() {
        unlink((mFolder + "/opened").c_str());
        unlink((mFolder + "/xdg-open").c_str());
        rmdir(mFolder.c_str());
    }
    std::string Path() const { return "PATH=" + mFolder + ":/usr/bin:/bin"; }
    std::string Opened() const {
        std::string url;
        std::getline(std::ifstream(mFolder + "/opened"), url);
        return url;
    }

private:
    std::string mFolder;
};

}  // namespace

// Standard error goes to a file, as in most scripts: the page outcome is still the refusal,
// not a mistaken "error".
TEST(DiscoverResultsTestBed, PageOutcomeDoesNotDependOnWhereStandardErrorGoes) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.70/24"}), {"--address", "192.0.2.70/24", "--no-http"}), 0);
    std::string output, errors;
    ASSERT_EQ(bed.Run(bed.GetHostNamespace(), {"sh", "-c", "exec \"$0\" --json --wait 4 2>/dev/null",
                                               TestBed::BinaryPath("qip-discover")}, &output, 30000, &errors), 0);
    const nlohmann::json device = nlohmann::json::parse(output.substr(0, output.find('\n')));
    EXPECT_EQ(device["Page"], "refused") << output;
}

// --wait-for naming one device makes --open open that one, whoever else answered; with two
// devices and none named, nothing is opened and the exit status says so.
TEST(DiscoverResultsTestBed, OpenOpensTheDeviceWaitedForAndSaysWhenItOpensNothing) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.71/24"}), {"--address", "192.0.2.71/24", "--id", "one"}), 0);
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.72/24"}), {"--address", "192.0.2.72/24", "--id", "two",
                                                                    "--answer-delay", "300"}), 0);
    std::string output, errors;
    {
        RecordingOpener opener;
        EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"env", opener.Path(), TestBed::BinaryPath("qip-discover"),
                                                   "--no-ssid", "--wait-for", "two", "--open"}, &output, 30000, &errors), 0)
            << errors;
        EXPECT_EQ(opener.Opened(), "http://192.0.2.72/");
    }
    RecordingOpener opener;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"env", opener.Path(), TestBed::BinaryPath("qip-discover"), "--no-ssid",
                                               "--count", "2", "--wait", "10", "--open"}, &output, 30000, &errors), 5)
        << output;
    EXPECT_EQ(opener.Opened(), "");
    EXPECT_NE(errors.find("2 devices found and no --wait-for names one; not opening a page"), std::string::npos)
        << errors;
}

// A search too short to hear anything says so rather than blaming a firewall, also when
// answers of a wanted and other devices come in while the program makes its report (held
// there through a test seam for longer than the devices take to answer): the diagnosis
// counts what the listing saw, never "no device found" beside a wanted device answering.
TEST(DiscoverResultsTestBed, ZeroWaitSaysItListenedTooShortlyToHearAnything) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.73/24", "192.0.2.74/24"}),
                                 {"--address", "192.0.2.73/24", "--type", "QipBox", "--answer-delay", "2000",
                                  "--device", "--address", "192.0.2.74/24", "--ids", "3", "--answer-delay", "2000"}),
              0);
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(),
                      {"env", "QIP_DISCOVER_TEST_HOLD_REPORT_MS=4000", TestBed::BinaryPath("qip-discover"), "--wait",
                       "0", "--type", "QipBox"},
                      &output, 30000, &errors),
              1);
    EXPECT_NE(errors.find("too short to hear any answer: give --wait 1 or more"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("answered"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("firewall"), std::string::npos) << errors;
}

// The nftables commands the diagnosis suggests, as a user pastes them (without sudo).
std::vector<std::string> SuggestedNftCommands(const std::string& diagnosis) {
    std::vector<std::string> commands;
    std::istringstream lines(diagnosis.substr(diagnosis.find("Allow: nftables: ") + 17));
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("sudo nft ");
        if (at == std::string::npos) break;
        commands.push_back(line.substr(at + 5));
    }
    return commands;
}

TEST(DiscoverResultsTestBed, TheFirewallCommandsOfTheDiagnosisLetTheAnswersInWhereverTheyAreRun) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string host = bed.GetHostNamespace();
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.75/24"}), {"--address", "192.0.2.75/24", "--id", "walled"}), 0);
    // A firewall that lets in only what answers this machine's own connections: the devices'
    // answers to a broadcast are none of those.
    std::string output, errors;
    ASSERT_EQ(bed.Run(host, {"nft", "add table inet filter; add chain inet filter input { type filter hook input "
                                    "priority 0; policy drop; }; add rule inet filter input ct state established "
                                    "accept; add rule inet filter input iif lo accept; add rule inet filter input "
                                    "drop"},
                      &output, 15000, &errors), 0) << errors;
    EXPECT_EQ(bed.Run(host, {"qip-discover", "--no-ssid", "--wait", "1"}, &output, 30000, &errors), 1) << errors;
    const std::vector<std::string> commands = SuggestedNftCommands(errors);
    ASSERT_EQ(commands.size(), 3u) << errors;
    for (const std::string& command : commands) {
        EXPECT_EQ(bed.Run(host, {"sh", "-c", command}, &output, 15000, &errors), 0)
            << command << "\n" << errors;
    }
    EXPECT_EQ(bed.Run(host, {"qip-discover", "--no-ssid", "--wait", "1"}, &output, 30000, &errors), 0) << errors;
    EXPECT_NE(output.find("walled"), std::string::npos) << output;

    // A table without an input chain, where a lone rule fails: the same commands hold.
    ASSERT_EQ(bed.Run(host, {"nft", "flush ruleset; add table inet filter"}, &output, 15000, &errors), 0) << errors;
    for (const std::string& command : commands) {
        EXPECT_EQ(bed.Run(host, {"sh", "-c", command}, &output, 15000, &errors), 0)
            << command << "\n" << errors;
    }
}
