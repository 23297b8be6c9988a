#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/testbed/TestBed.h"

// qip-discover as a user runs it, inside the bed's host namespace, against simulators.
// Where devices must be found the wait spans the client's second broadcast (10 s after the
// first): answers to the first one can arrive before the device list is attached and are
// then dropped by the client.
namespace {

const char* const cWaitPastSecondBroadcast = "11";

using Clock = std::chrono::steady_clock;

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line));  // throws, failing the test, on bad JSON
    }
    return objects;
}

// A directory holding an `xdg-open` that writes its arguments to `opened`.
class FakeBrowser {
public:
    FakeBrowser() {
        char pattern[] = "/tmp/qip-browser-XXXXXX";
        mDirectory = mkdtemp(pattern);
        std::ofstream script(mDirectory + "/xdg-open");
        script << "#!/bin/sh\necho \"$@\" > '" << mDirectory << "/opened'\n";
        script.close();
        chmod((mDirectory + "/xdg-open").c_str(), 0755);
    }
    ~FakeBrowser() {
        unlink((mDirectory + "/opened").c_str());
        unlink((mDirectory + "/xdg-open").c_str());
        rmdir(mDirectory.c_str());
    }
    std::string Path() const { return "PATH=" + mDirectory + ":/usr/bin:/bin"; }
    std::string Opened() const {
        std::ifstream file(mDirectory + "/opened");
        std::string line;
        std::getline(file, line);
        return line;
    }

private:
    std::string mDirectory;
};

}  // namespace

TEST(DiscoverTestBed, JsonListsTheWantedSimulatedDevicesAndExitsZero) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::vector<std::pair<std::string, std::vector<std::string>>> devices = {
        {"192.0.2.20/24", {"--type", "Router", "--id", "dev-a", "--ssid", "Office \"1\""}},
        {"192.0.2.21/24", {"--type", "Router", "--id", "dev-b", "--ssid", "Lab"}},
        {"192.0.2.22/24", {"--type", "Printer", "--id", "dev-c"}},
    };
    for (const auto& device : devices) {
        std::vector<std::string> args = device.second;
        args.insert(args.end(), {"--address", device.first});
        ASSERT_GT(bed.StartSimulator(bed.AddDevice({device.first}), args), 0);
    }
    std::string output;
    std::string errors;
    ASSERT_EQ(bed.Run(bed.GetHostNamespace(),
                      {"qip-discover", "--json", "--type", "Router", "--wait", cWaitPastSecondBroadcast},
                      &output, 30000, &errors),
              0)
        << errors;
    std::map<std::string, nlohmann::json> byId;
    for (const nlohmann::json& device : JsonLines(output)) byId[device["DeviceId"]] = device;
    ASSERT_EQ(byId.size(), 2u) << output;
    EXPECT_EQ(byId["dev-a"]["DeviceIP"], "192.0.2.20");
    EXPECT_EQ(byId["dev-a"]["SSID"], "Office \"1\"");
    EXPECT_EQ(byId["dev-a"]["DisplayString"], "dev-a - Router - SSID:\"Office \"1\"\"");
    EXPECT_EQ(byId["dev-b"]["DeviceType"], "Router");
    EXPECT_EQ(byId["dev-b"]["SSID"], "Lab");
}

TEST(DiscoverTestBed, WithoutDevicesExitsOneAfterTheWaitAndWithTheOnlyOneOpensItsPage) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string output;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--wait", "1.5"}, &output), 1);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 1.5);
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(output, "qip-discover: no device found\n");

    const std::string device = bed.AddDevice({"192.0.2.40/24"});
    ASSERT_GT(bed.StartSimulator(device, {"--id", "only", "--address", "192.0.2.40/24"}), 0);
    FakeBrowser browser;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(),
                      {"env", browser.Path(), TestBed::BinaryPath("qip-discover"), "--open",
                       "--no-ssid", "--wait", cWaitPastSecondBroadcast},
                      &output, 30000),
              0)
        << output;
    EXPECT_EQ(browser.Opened(), "http://192.0.2.40/");
}

TEST(DiscoverTestBed, PortHeldByAnotherProgramExitsTwoSayingSo) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    // Bound without SO_REUSEADDR, as a foreign program would, so no one can share the port.
    int holder = -1;
    {
        TestBed::EnterHost host(bed);
        ASSERT_TRUE(host.IsEntered());
        holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(19375);
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    std::string output;
    std::string errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--wait", "1"}, &output, 15000,
                      &errors),
              2);
    EXPECT_NE(errors.find("cannot open UDP port 19375"), std::string::npos) << errors;
    EXPECT_EQ(output, "");
    close(holder);
}

TEST(DiscoverTestBed, WatchPrintsEachChangeAsItHappensAndEndsCleanlyOnSignal) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string device = bed.AddDevice({"192.0.2.50/24"});
    // A new packet id with every answer, so each broadcast after the first heard brings a change.
    ASSERT_GT(bed.StartSimulator(device, {"--id", "w", "--type", "Router", "--ssid", "Home",
                                          "--address", "192.0.2.50/24", "--packet-id-every", "1"}),
              0);
    const pid_t watch = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch", "--json"});
    ASSERT_GT(watch, 0);
    std::vector<nlohmann::json> events;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(40);
    while (Clock::now() < deadline) {
        std::string output = bed.GetOutput(watch);
        // Only complete lines that are JSON objects; standard error shares the log.
        events.clear();
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line[0] == '{') events.push_back(nlohmann::json::parse(line));
        }
        if (events.size() >= 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(bed.Stop(watch), 0);
    ASSERT_GE(events.size(), 2u) << bed.GetOutput(watch);
    EXPECT_EQ(events[0]["event"], "appeared");
    EXPECT_EQ(events[0]["DeviceId"], "w");
    EXPECT_EQ(events[0]["DeviceIP"], "192.0.2.50");
    EXPECT_EQ(events[0]["SSID"], "Home");
    EXPECT_EQ(events[1]["event"], "changed");
    EXPECT_NE(events[1]["PacketId"], events[0]["PacketId"]);
}
