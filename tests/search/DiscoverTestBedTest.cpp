#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/testbed/TestBed.h"

// qip-discover as a user runs it, inside the bed's host namespace, against simulators.
// Where devices must be found the wait leaves a slow (sanitized, loaded) machine time for
// the answers to the first broadcast.
namespace {

using Clock = std::chrono::steady_clock;
const char* const cWaitForAnswers = "4";

// The JSON objects among the complete lines of `text` (standard error may share it).
std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line) && !lines.eof();) {
        if (!line.empty() && line[0] == '{') objects.push_back(nlohmann::json::parse(line));
    }
    return objects;
}

}  // namespace

TEST(DiscoverTestBed, JsonListsTheWantedSimulatedDevicesAndExitsZero) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    for (const std::vector<std::string>& device : std::vector<std::vector<std::string>>{
             {"192.0.2.20/24", "Router", "dev-a", "Office \"1\""},
             {"192.0.2.21/24", "Router", "dev-b", "Lab"},
             {"192.0.2.22/24", "Printer", "dev-c", "Print"}}) {
        ASSERT_GT(bed.StartSimulator(bed.AddDevice({device[0]}), {"--address", device[0], "--type", device[1],
                                                                  "--id", device[2], "--ssid", device[3]}), 0);
    }
    std::string output, errors;
    ASSERT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--json", "--type", "Router", "--wait",
                                               cWaitForAnswers}, &output, 30000, &errors), 0) << errors;
    std::map<std::string, nlohmann::json> byId;
    for (const nlohmann::json& device : JsonLines(output)) byId[device["DeviceId"]] = device;
    ASSERT_EQ(byId.size(), 2u) << output;
    EXPECT_EQ(byId["dev-a"]["DeviceIP"], "192.0.2.20");
    EXPECT_EQ(byId["dev-a"]["DisplayString"], "dev-a - Router - SSID:\"Office \"1\"\"");
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
    EXPECT_TRUE(seconds >= 1.5 && seconds < 10) << seconds;
    EXPECT_EQ(output, "qip-discover: no device found\n");

    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.40/24"}), {"--address", "192.0.2.40/24"}), 0);
    char directory[] = "/tmp/qip-browser-XXXXXX";  // holds an xdg-open that notes its argument
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string dir = directory;
    std::ofstream(dir + "/xdg-open") << "#!/bin/sh\necho \"$@\" > '" << dir << "/opened'\n";
    chmod((dir + "/xdg-open").c_str(), 0755);
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"env", "PATH=" + dir + ":/usr/bin:/bin", TestBed::BinaryPath("qip-discover"),
                                               "--open", "--no-ssid", "--wait", cWaitForAnswers}, &output, 30000), 0)
        << output;
    std::string opened;
    std::getline(std::ifstream(dir + "/opened"), opened);
    EXPECT_EQ(opened, "http://192.0.2.40/");
    for (const char* file : {"/opened", "/xdg-open"}) unlink((dir + file).c_str());
    rmdir(directory);
}

TEST(DiscoverTestBed, PortHeldByAnotherProgramExitsTwoSayingSo) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    int holder = -1;  // bound without SO_REUSEADDR, as a program that shares nothing would
    {
        TestBed::EnterHost host(bed);
        ASSERT_TRUE(host.IsEntered());
        holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(19375);
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--wait", "1"}, &output, 15000, &errors), 2);
    EXPECT_NE(errors.find("cannot open UDP port 19375"), std::string::npos) << errors;
    EXPECT_EQ(output, "");
    close(holder);
}

TEST(DiscoverTestBed, WatchPrintsEachChangeAsItHappensAndEndsCleanlyOnSignal) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    // A new packet id with every answer, so each broadcast after the first heard brings a change.
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.50/24"}), {"--id", "w", "--ssid", "Home", "--address",
                                                                    "192.0.2.50/24", "--packet-id-every", "1"}), 0);
    const pid_t watch = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch", "--json"});
    ASSERT_GT(watch, 0);
    std::vector<nlohmann::json> events;
    for (const Clock::time_point end = Clock::now() + std::chrono::seconds(40); Clock::now() < end;) {
        events = JsonLines(bed.GetOutput(watch));
        if (events.size() >= 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(bed.Stop(watch), 0);
    ASSERT_GE(events.size(), 2u) << bed.GetOutput(watch);
    EXPECT_EQ(events[0]["event"], "appeared");
    EXPECT_EQ(events[0]["DeviceIP"], "192.0.2.50");
    EXPECT_EQ(events[0]["SSID"], "Home");
    EXPECT_EQ(events[1]["event"], "changed");
    EXPECT_NE(events[1]["PacketId"], events[0]["PacketId"]);
}
