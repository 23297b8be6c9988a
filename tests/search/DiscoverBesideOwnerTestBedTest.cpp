#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/search/DiscoverTestBedSupport.h"
#include "tests/testbed/TestBed.h"

// qip-discover run once alone and once beside another program that owns the port (and so
// as its subscriber): the user must get the same listing, exit status, diagnosis and time.
using namespace discover_test;

namespace {

// A host name the bed's host namespace resolves from a hosts file of its own, which
// `ip netns exec` puts in place of /etc/hosts for what it runs.
class HostsFile {
public:
    HostsFile(const TestBed& bed, const std::string& line) : mDirectory("/etc/netns/" + bed.GetHostNamespace()) {
        mkdir("/etc/netns", 0755);
        mkdir(mDirectory.c_str(), 0755);
        std::ofstream(mDirectory + "/hosts") << "127.0.0.1 localhost\n" << line << "\n";
    }
    ~HostsFile() {
        unlink((mDirectory + "/hosts").c_str());
        rmdir(mDirectory.c_str());
    }

private:
    std::string mDirectory;
};

struct Outcome {
    int mStatus = -1;
    std::string mOutput;  // its lines sorted: rows come in the order heard
    std::string mErrors;
    double mSeconds = 0;
};

std::string SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const std::string& line : lines) sorted += line + "\n";
    return sorted;
}

struct Scenario {
    std::vector<std::string> mArgs;
    int mStatus;
    const char* mOutputHas;  // a part of standard output, or of standard error when exiting 1
};

}  // namespace

TEST(DiscoverBesideOwnerTestBed, EveryScenarioEndsAsAloneWithTheSameListingStatusAndTime) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string host = bed.GetHostNamespace();
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}), {"--address", "192.0.2.20/24", "--id", "near"}), 0);
    ASSERT_GT(bed.StartSimulator(bed.AddDeviceBehindRouter({"198.51.100.20/24"}),
                                 {"--address", "198.51.100.20/24", "--id", "far"}),
              0);
    HostsFile hosts(bed, "198.51.100.20 far-router.example");
    const std::vector<Scenario> scenarios = {
        {{"--json", "--wait", "4"}, 0, "\"DeviceId\":\"near\""},
        {{"--json", "--no-ssid", "--wait", "60", "--wait-for", "near"}, 0, "\"DeviceId\":\"near\""},
        {{"--no-ssid", "--wait", "60", "--count", "1"}, 0, "192.0.2.20"},
        {{"--json", "--no-ssid", "--wait", "3", "--probe", "198.51.100.20"}, 0, "\"DeviceId\":\"far\""},
        {{"--json", "--no-ssid", "--wait", "3", "--probe", "far-router.example"}, 0, "\"DeviceId\":\"far\""},
        {{"--no-ssid", "--wait", "60", "--count", "2", "--probe", "198.51.100.0/24"}, 0, "198.51.100.20"},
        // Nobody at the address probed: the run ends after the wait with the diagnosis.
        {{"--no-ssid", "--wait", "3", "--type", "Absent", "--probe", "198.51.100.99"}, 1,
         "Nothing answered from the networks probed (198.51.100.99)"},
        {{"--json", "--no-ssid", "--wait", "1.5", "--wait-for", "near", "--wait-for", "absent"}, 1,
         "qip-discover: not heard: absent\n"},
        {{"--no-ssid", "--wait", "1.5", "--count", "3", "--probe", "198.51.100.20"}, 1,
         "qip-discover: 2 of 3 devices heard\n"},
    };
    std::vector<Outcome> alone;
    const auto run = [&](const Scenario& scenario) {
        // Through `ip netns exec`, which puts the bed's hosts file in place.
        std::vector<std::string> argv{"ip", "netns", "exec", host, TestBed::BinaryPath("qip-discover")};
        argv.insert(argv.end(), scenario.mArgs.begin(), scenario.mArgs.end());
        // What is compared is the search: the store's times of each run would differ.
        argv.push_back("--no-store");
        Outcome outcome;
        const Clock::time_point start = Clock::now();
        outcome.mStatus = bed.Run("", argv, &outcome.mOutput, TestBed::cDefaultTimeoutMs, &outcome.mErrors);
        outcome.mSeconds = SecondsSince(start);
        // The times a device was first and last seen are the run's own.
        static const std::regex cSeen("\"(first|last)_seen\":\"[^\"]*\"");
        outcome.mOutput = SortedLines(std::regex_replace(outcome.mOutput, cSeen, "\"$1_seen\":\"T\""));
        return outcome;
    };
    for (const Scenario& scenario : scenarios) alone.push_back(run(scenario));

    const pid_t owner = bed.Start(host, {"qip-discover", "--watch", "--no-ssid", "--verbose"});
    ASSERT_GT(owner, 0);
    for (int i = 0; i < 150 && bed.GetOutput(owner).find("appeared near") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(bed.GetOutput(owner).find("owned by this program"), std::string::npos) << bed.GetOutput(owner);
    for (size_t i = 0; i < scenarios.size(); ++i) {
        const Scenario& scenario = scenarios[i];
        std::string args;
        for (const std::string& arg : scenario.mArgs) args += " " + arg;
        const Outcome beside = run(scenario);
        EXPECT_EQ(alone[i].mStatus, scenario.mStatus) << args << "\n" << alone[i].mErrors;
        EXPECT_EQ(beside.mStatus, scenario.mStatus) << args << " beside an owner\n" << beside.mErrors;
        const std::string& shown = scenario.mStatus == 0 ? alone[i].mOutput : alone[i].mErrors;
        EXPECT_NE(shown.find(scenario.mOutputHas), std::string::npos) << args << "\n" << shown;
        EXPECT_EQ(beside.mOutput, alone[i].mOutput) << args;
        // The diagnosis says how this program hears the port, and nothing else differs.
        std::string errors = beside.mErrors;
        const std::string role = "UDP port 19375: subscribed to process " + std::to_string(owner) +
                                 ", which owns it and shares every answer.\n";
        if (scenario.mStatus == 1 && errors.find("Likely causes") != std::string::npos) {
            EXPECT_NE(errors.find(role), std::string::npos) << args << "\n" << errors;
            if (errors.find(role) != std::string::npos) errors.erase(errors.find(role), role.size());
        }
        EXPECT_EQ(errors, alone[i].mErrors) << args;
        // The same rules end both; a loaded machine may take a little longer either way.
        EXPECT_NEAR(beside.mSeconds, alone[i].mSeconds, 1.5) << args;
    }
    EXPECT_EQ(bed.GetOutput(owner).find("gone"), std::string::npos) << bed.GetOutput(owner);
}
