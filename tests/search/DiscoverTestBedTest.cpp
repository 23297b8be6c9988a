#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>
#include <utility>

#include "qip/QipPacket.h"
#include "tests/search/DiscoverTestBedSupport.h"
#include "tests/testbed/TestBed.h"

// qip-discover as a user runs it, inside the bed's host namespace, against simulators.
using namespace discover_test;

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
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--quiet", "--wait", "1.5"}, &output), 1);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(seconds >= 1.5 && seconds < 10) << seconds;
    EXPECT_EQ(output, "qip-discover: no device found\n");

    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.40/24"}), {"--address", "192.0.2.40/24"}), 0);
    FakeBrowser browser;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"env", browser.Path(), TestBed::BinaryPath("qip-discover"),
                                               "--open", "--no-ssid", "--wait", cWaitForAnswers}, &output, 30000), 0)
        << output;
    EXPECT_EQ(browser.Opened(), "http://192.0.2.40/");
    // An opener that fails makes it exit 3.
    FakeBrowser failing(0, 1);
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"env", failing.Path(), TestBed::BinaryPath("qip-discover"),
                                               "--open", "--no-ssid", "--wait", cWaitForAnswers}, &output, 30000), 3)
        << output;
    EXPECT_EQ(failing.Opened(), "http://192.0.2.40/");

    // With two devices found it opens none of them.
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.41/24"}), {"--address", "192.0.2.41/24", "--id", "second"}),
              0);
    FakeBrowser unused;
    bed.Run(bed.GetHostNamespace(), {"env", unused.Path(), TestBed::BinaryPath("qip-discover"), "--open", "--no-ssid",
                                     "--count", "2", "--wait", cWaitForAnswers}, &output, 30000);
    EXPECT_NE(output.find("192.0.2.41"), std::string::npos) << output;
    EXPECT_NE(output.find("192.0.2.40"), std::string::npos) << output;
    EXPECT_EQ(unused.Opened(), "");
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
    EXPECT_EQ(events[0]["Time"].get<std::string>().size(), std::string("2026-12-08T01:02:03.045+01:00").size());
}

// The default ends listening once the answers have settled, long before a generous --wait.
TEST(DiscoverTestBed, EndsOnceTheAnswersSettle) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_TRUE(StartTwoDevices(bed));
    std::string output, errors;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--json", "--wait", "60"}, &output, 30000, &errors), 0)
        << errors;
    EXPECT_LT(SecondsSince(start), 20);
    std::vector<std::string> ids = Ids(output);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"one", "two"})) << output;
}

// --wait-for ends when its ids are heard (0), or at --wait naming the missing ones (1).
TEST(DiscoverTestBed, WaitForEndsWhenTheIdsAreHeardAndNamesTheMissingOnes) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_TRUE(StartTwoDevices(bed));
    std::string output, errors;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--json", "--no-ssid", "--wait", "60", "--wait-for", "two"},
                      &output, 30000, &errors), 0) << errors;
    EXPECT_LT(SecondsSince(start), 20);
    EXPECT_NE(Ids(output).size(), 0u);
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--json", "--no-ssid", "--wait", "1.5", "--wait-for", "two",
                                               "--wait-for=absent"}, &output, 30000, &errors), 1);
    EXPECT_EQ(Ids(output).size(), 2u) << output;
    EXPECT_EQ(errors, "qip-discover: not heard: absent\n");
}

// --count ends when that many devices are heard (0), or at --wait with fewer (1).
TEST(DiscoverTestBed, CountEndsWhenThatManyAreHeard) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_TRUE(StartTwoDevices(bed));
    std::string output, errors;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--no-ssid", "--wait", "60", "--count", "2"},
                      &output, 30000, &errors), 0) << errors;
    EXPECT_LT(SecondsSince(start), 20);
    EXPECT_NE(output.find("192.0.2.31"), std::string::npos) << output;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--no-ssid", "--wait", "1.5", "--count", "3"},
                      &output, 30000, &errors), 1);
    EXPECT_EQ(errors, "qip-discover: 2 of 3 devices heard\n");
}

// A signal while listening, or while a status page is being read (here one that never
// answers), ends the program at once with 128 + the signal, having printed and opened nothing.
TEST(DiscoverTestBed, SignalWhileListeningOrReadingPagesEndsAtOncePrintingAndOpeningNothing) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.45/24"}), {"--address", "192.0.2.45/24", "--id", "hang",
                                                                    "--http-hang"}), 0);
    FakeBrowser browser;
    // Listening 1 s, the page holds the program when the signal comes; listening a whole
    // minute, the signal comes while it listens.
    for (const std::pair<int, const char*>& round : {std::make_pair(SIGINT, "1"), std::make_pair(SIGTERM, "1"),
                                                      std::make_pair(SIGINT, "60"), std::make_pair(SIGTERM, "60")}) {
        const int signalNumber = round.first;
        // Standard output and error to a file of the test's own, to be read after the end.
        const pid_t discover = bed.Start(bed.GetHostNamespace(), {"sh", "-c", "exec \"$@\" > \"$0\" 2>&1",
                                                                  browser.File("log"), "env", browser.Path(),
                                                                  TestBed::BinaryPath("qip-discover"), "--open",
                                                                  "--no-settle", "--wait", round.second});
        ASSERT_GT(discover, 0);
        // Heard at once; from the end of the listening its page holds the program for 3 s.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        kill(discover, signalNumber);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        // Stopping sends SIGTERM itself: a program deaf to signals is killed (137) after 15 s.
        EXPECT_EQ(bed.Stop(discover, 15000), 128 + signalNumber) << "--wait " << round.second;
        std::ifstream log(browser.File("log"));
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), "");
        EXPECT_EQ(browser.Opened(), "");
    }
}

// A flood of changes while the program waits on a page that never answers must not crowd
// out the signal that ends it.
TEST(DiscoverTestBed, WatchEndsOnSignalDuringAFloodOfChanges) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string device = bed.AddDevice({"192.0.2.46/24"});
    ASSERT_GT(bed.StartSimulator(device, {"--address", "192.0.2.46/24", "--id", "flood", "--http-hang"}), 0);
    const pid_t watch = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch"});
    ASSERT_GT(watch, 0);
    int sender = -1;
    {
        TestBed::EnterHost inDevice(device);
        ASSERT_TRUE(inDevice.IsEntered());
        sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ASSERT_GE(sender, 0);
    std::atomic<bool> flooding(true);
    std::thread flood([&] {  // the same device with a new packet id each time: a change each
        sockaddr_in host{};
        host.sin_family = AF_INET;
        host.sin_port = htons(19375);
        inet_pton(AF_INET, TestBed::cHostAddress, &host.sin_addr);
        unsigned char packets[2][1472];
        unsigned long sizes[2];
        for (int i = 0; i < 2; ++i) {
            sizes[i] = QipPacketHello("QAP-1", "flood", "192.0.2.46", "255.255.255.0", "/status",
                                      std::to_string(i)).Serialize(packets[i], sizeof packets[i]);
        }
        for (unsigned n = 0; flooding; ++n) {
            sendto(sender, packets[n % 2], sizes[n % 2], 0, reinterpret_cast<sockaddr*>(&host), sizeof host);
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::string output = bed.GetOutput(watch);
    const int status = bed.Stop(watch, 5000);
    flooding = false;
    flood.join();
    close(sender);
    EXPECT_EQ(status, 0);
    EXPECT_NE(output.find("appeared flood"), std::string::npos) << output;
}

// Output that cannot be written is an error, not a success.
TEST(DiscoverTestBed, OutputThatCannotBeWrittenExitsFourSayingSo) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.47/24"}), {"--address", "192.0.2.47/24", "--id", "w"}), 0);
    for (const std::pair<const char*, const char*>& redirect :
         {std::make_pair("> /dev/full", "No space left on device"), std::make_pair(">&-", "Bad file descriptor")}) {
        std::string output, errors;
        EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"sh", "-c", std::string("exec \"$0\" --json --wait 2 ") +
                                                   redirect.first, TestBed::BinaryPath("qip-discover")},
                          &output, 30000, &errors), 4) << redirect.first;
        EXPECT_EQ(errors, std::string("qip-discover: write error: ") + redirect.second + "\n");
    }
}

// Only another type answers: exit 1, and the diagnosis names what did answer.
TEST(DiscoverTestBed, NothingWantedFoundSaysWhichTypesAnswered) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.60/24"}), {"--address", "192.0.2.60/24", "--type", "Camera"}), 0);
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--type", "QipBox", "--wait", "1.5"}, &output, 30000,
                      &errors), 1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(errors.find("qip-discover: no device found\n"), 0u) << errors;
    EXPECT_NE(errors.find("1 device answered, of type Camera (1); none of type QipBox"), std::string::npos) << errors;
    EXPECT_NE(errors.find("br0"), std::string::npos) << errors;  // the interface tried
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--type", "QipBox", "--wait", "1.5", "--quiet"}, &output,
                      30000, &errors), 1);
    EXPECT_EQ(errors, "qip-discover: no device found\n");
}

// A device heard from an address on none of the host's networks is not reachable; one whose
// hello states another address gets a note; both in JSON and in the table's NOTES.
TEST(DiscoverTestBed, MarksDevicesOnOtherSubnetsAndHellosThatDisagree) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"198.51.100.20/24"}), {"--address", "198.51.100.20/24", "--id", "far",
                                                                       "--listen", TestBed::cHostBroadcast}), 0);
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.61/24"}), {"--address", "192.0.2.61/24", "--id", "liar",
                                                                    "--hello-ip", "203.0.113.9"}), 0);
    std::string output, errors;
    ASSERT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--json", "--count", "2", "--wait", "10"}, &output, 30000,
                      &errors), 0) << errors;
    std::map<std::string, nlohmann::json> byId;
    for (const nlohmann::json& device : JsonLines(output)) byId[device["DeviceId"]] = device;
    ASSERT_EQ(byId.size(), 2u) << output;
    EXPECT_EQ(byId["far"]["Reachable"], false);
    EXPECT_EQ(byId["far"]["DeviceIP"], "198.51.100.20");
    EXPECT_EQ(byId["liar"]["Reachable"], true);
    EXPECT_EQ(byId["liar"]["Page"], "ok");
    EXPECT_FALSE(byId["far"].contains("Note"));
    EXPECT_NE(byId["liar"]["Note"].get<std::string>().find("203.0.113.9"), std::string::npos) << output;
    ASSERT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--count", "2", "--wait", "10"}, &output, 30000, &errors), 0);
    EXPECT_NE(output.find("NOTES"), std::string::npos) << output;
    EXPECT_NE(output.find("other subnet: its page may not open"), std::string::npos) << output;
}

// A second program on the port (sharing it) is named in a warning, also with --watch.
TEST(DiscoverTestBed, SharedPortIsReported) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    int holder = -1;
    {
        TestBed::EnterHost host(bed);
        ASSERT_TRUE(host.IsEntered());
        holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(19375);
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--wait", "0.5"}, &output, 15000, &errors), 1);
    EXPECT_NE(errors.find("warning: another program also holds UDP port 19375"), std::string::npos) << errors;
    const pid_t watch = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch"});
    for (int i = 0; i < 100 && bed.GetOutput(watch).find("warning") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(bed.GetOutput(watch).find("warning: another program also holds"), std::string::npos);
    bed.Stop(watch);
    close(holder);
}

TEST(DiscoverTestBed, UnknownInterfaceIsAUsageErrorListingTheValidNames) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--interface", "br0", "--interface", "nope0"}, &output,
                      15000, &errors), 2);
    EXPECT_EQ(output, "");
    EXPECT_NE(errors.find("unknown interface 'nope0'; this machine has: "), std::string::npos) << errors;
    EXPECT_NE(errors.find("br0"), std::string::npos) << errors;
    EXPECT_NE(errors.find("lo"), std::string::npos) << errors;
}
