// The real program's search states: nothing found and why, only other types, a held or
// shared port, Search Again, and the states in German.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/ProgramRig.h"
#include "tests/testbed/TestBed.h"
#include "tests/testbed/TestBedNameServer.h"

TEST_F(ProgramTest, NoDeviceExplainsWhyAndSearchAgainFindsADeviceSwitchedOnLater) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    // With a one-second poll the third empty poll reports after about three seconds.
    const std::string failure = "label messageLabel 0 No device found.\n";
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    const std::vector<std::string> wanted{failure, "Likely causes:",
                                          "button searchAgainButton 1 Search &Again\n"};
    const std::string shown = rig.WaitForWindow(wanted);
    EXPECT_TRUE(rig.Screenshot("not-found.png"));
    for (const std::string& text : wanted) {
        EXPECT_NE(shown.find(text), std::string::npos) << text << " not in:\n" << shown;
    }
    EXPECT_EQ(shown.find("table deviceTable"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("progress"), std::string::npos) << shown;

    AddDevice("192.0.2.21", "dev-1", "Office");
    // One press must do: the search asks again at once rather than at the client's next
    // broadcast, which three polls 2 s apart would not reach.
    rig.Press("searchAgainButton");
    for (int i = 0; i < 150 && rig.Opened().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(rig.Opened(), "http://192.0.2.21/\n");
    EXPECT_TRUE(EndsByItself(program)) << "the lone device's page ends the program";
    EXPECT_EQ(mBed.Stop(program), 0);
}

TEST_F(ProgramTest, OnlyOtherTypesSayWhatAnswered) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    AddDevice("192.0.2.21", "cam-1", "Office", "Camera");
    const std::vector<std::string> wanted{
        "label messageLabel 0 QipFinder looks for devices of type QipSim. Only devices of other "
        "types answered: Camera (1).\n",
        "label helpLabel 0 If your device is among them,", "button searchAgainButton 1"};
    const std::string shown = ShowsAfterStart(rig, wanted, "other-types.png");
    for (const std::string& text : wanted) {
        EXPECT_NE(shown.find(text), std::string::npos) << text << " not in:\n" << shown;
    }
    EXPECT_EQ(shown.find("table deviceTable"), std::string::npos) << "an empty table:\n" << shown;
}

TEST_F(ProgramTest, AHeldDiscoveryPortIsSaidAtOnce) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    int holder = -1;
    {
        TestBed::EnterHost host(mBed);
        holder = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(19375);
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    const std::string message = "label messageLabel 0 Cannot listen for devices on UDP port 19375.";
    // Well before the three polls that "No device found." would need.
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    const auto start = std::chrono::steady_clock::now();
    const std::string shown = rig.WaitForWindow({message, "may hold UDP port 19375"});
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(rig.Screenshot("port-held.png"));
    EXPECT_NE(shown.find(message), std::string::npos) << shown;
    EXPECT_LT(waited, std::chrono::seconds(3)) << shown;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    mBed.Stop(program);
    close(holder);
    // The client without its port is taken down, not left complaining every second.
    const std::string errors = mBed.GetOutput(program);
    EXPECT_EQ(errors.find("UDP socket not open"), std::string::npos) << errors;
}

TEST_F(ProgramTest, ASharedDiscoveryPortIsNamedWhenNothingIsFound) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    int sharer = -1;
    {
        // Another program that lets others share the port, as the client itself does.
        TestBed::EnterHost host(mBed);
        sharer = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(sharer, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(19375);
        ASSERT_EQ(bind(sharer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    const std::vector<std::string> wanted{"label messageLabel 0 No device found.",
                                          "Another program on this computer also uses UDP port "
                                          "19375."};
    const std::string shown = ShowsAfterStart(rig, wanted, "port-shared.png");
    close(sharer);
    for (const std::string& text : wanted) {
        EXPECT_NE(shown.find(text), std::string::npos) << text << " not in:\n" << shown;
    }
}

TEST_F(ProgramTest, AnOwnerOfAnotherUserIsNamedInGermanWhenNothingIsFound) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    ProgramRig rig(mBed, "de_DE.UTF-8");
    ASSERT_TRUE(rig.IsReady());
    // A stranger took the sharing socket first and would tell of a device of the wanted type.
    const pid_t fake = mBed.Start(mBed.GetHostNamespace(),
                                  {"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups",
                                   TestBed::BinaryPath("qip-test-stranger"), "owner", "fake-1", "203.0.113.66"});
    ASSERT_GT(fake, 0);
    for (int i = 0; i < 150 && mBed.GetOutput(fake).find("serving") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string said = "Den UDP-Port 19375 hält Prozess " + std::to_string(fake) +
                             " des Benutzers nobody, dem dieses Programm nicht vertraut";
    const std::string shown = ShowsAfterStart(rig, {said, "button searchAgainButton 1"}, "untrusted-owner-de.png");
    EXPECT_NE(shown.find(said), std::string::npos) << shown;
    EXPECT_EQ(shown.find("table deviceTable"), std::string::npos) << "the stranger's device listed:\n" << shown;
}

TEST_F(ProgramTest, SearchAgainKeepsAskingSoADeviceSwitchedOnJustAfterThePressIsFound) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    const std::string failure = cNoDeviceFound;
    pid_t simulator = -1;
    // Search Again keeps asking while it looks: a device switched on just after the press is
    // found well before the client's own next round, ten seconds on.
    {
        const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
        ASSERT_GT(program, 0);
        ASSERT_NE(rig.WaitForWindow({failure}).find(failure), std::string::npos);
        rig.Press("searchAgainButton");
        WaitForPress(rig);
        const auto pressed = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        const std::string ns = mBed.AddDevice({"192.0.2.21/24"});
        simulator = mBed.StartSimulator(ns, {"--id", "dev-1", "--address", "192.0.2.21"});
        ASSERT_GT(simulator, 0);
        for (int i = 0; i < 150 && rig.Opened().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(rig.Opened(), "http://192.0.2.21/\n");
        EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(7));
        EXPECT_TRUE(EndsByItself(program));
        EXPECT_EQ(mBed.Stop(program), 0);
    }
}

TEST_F(ProgramTest, AfterNoDeviceFoundTheWindowMovesOnByItselfWhenADeviceAnswers) {
    QIP_REQUIRE_PROGRAM_RIG(second);
    const std::string failure = cNoDeviceFound;
    {
        const pid_t program = mBed.Start(mBed.GetHostNamespace(), second.ProgramCommand());
        ASSERT_GT(program, 0);
        ASSERT_NE(second.WaitForWindow({failure}).find(failure), std::string::npos);
        // The device answers the client's next round, at most ten seconds on.
        AddDevice("192.0.2.22", "dev-2", "Lab");
        for (int i = 0; i < 150 && second.Opened().find("192.0.2.22") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_NE(second.Opened().find("http://192.0.2.22/\n"), std::string::npos) << second.Opened();
        EXPECT_TRUE(EndsByItself(program));
    }
}

TEST_F(ProgramTest, TheNewStatesInGermanSayWhatHappenedWithinTheScreen) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    ProgramRig rig(mBed, "de_DE.UTF-8");
    ASSERT_TRUE(rig.IsReady());
    rig.SetOpenerStatus(3);
    AddDevice("192.0.2.21", "cam-1", "Office", "Camera");
    const std::string otherTypes = "label messageLabel 0 QipFinder sucht Geräte vom Typ QipSim.";
    EXPECT_NE(ShowsAfterStart(rig, {otherTypes, "button searchAgainButton 1"}, "other-types-de.png")
                  .find(otherTypes),
              std::string::npos);
    // Two wanted devices, one of them with a long name, and a browser that fails.
    AddDevice("192.0.2.22", "00:11:22:33:44:55", "Büro 3. OG – Küche Nordflügel");
    AddDevice("192.0.2.23", "00:11:22:33:44:66", "Büro 3. OG – Küche Südflügel");
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    ASSERT_NE(rig.WaitForWindow({"table deviceTable 2\n"}).find("table deviceTable 2"),
              std::string::npos);
    EXPECT_TRUE(rig.Screenshot("table-de.png"));
    rig.Press("configureButton");
    const std::string failed = "Status 3";
    const std::string shown = rig.WaitForWindow({failed, "edit pageAddress http://192.0.2.2"});
    EXPECT_TRUE(rig.Screenshot("browser-failed-de.png"));
    EXPECT_NE(shown.find(failed), std::string::npos) << shown;
    mBed.Stop(program);
}

TEST_F(ProgramTest, ARememberedNameTheNameServerNeverAnswersForIsSaidAsSuchInGerman) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    TestBedNameServer nameServer(mBed);
    ASSERT_TRUE(nameServer.IsReady());
    ProgramRig rig(mBed, "de_DE.UTF-8");
    ASSERT_TRUE(rig.IsReady());
    fs::create_directories(rig.SettingsFile().parent_path());
    WriteText(rig.SettingsFile(), "[General]\nProbeTargets=lab-router.example\n");
    // Through `ip netns exec`, which gives the program the bed's silent name server. The
    // search fails after three one-second polls, before a lookup is given up (4 s): what it
    // says then is what it knows of a name still being looked up.
    std::vector<std::string> argv{"ip", "netns", "exec", mBed.GetHostNamespace()};
    const std::vector<std::string> program = rig.ProgramCommand();
    argv.insert(argv.end(), program.begin(), program.end());
    const pid_t pid = mBed.Start("", argv);
    ASSERT_GT(pid, 0);
    const std::string unresolved = "lab-router.example lässt sich nicht auflösen";
    const std::string shown = rig.WaitForWindow({"label messageLabel 0 Kein Gerät gefunden."});
    EXPECT_TRUE(rig.Screenshot("unresolved-de.png"));
    EXPECT_NE(shown.find(unresolved), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Aus lab-router.example kam keine Antwort"), std::string::npos) << shown;
    mBed.Stop(pid);
}

// Two windows side by side share the port: neither may claim that another program keeps the
// devices from it, also once the second has taken the port over from the first.
TEST_F(ProgramTest, TwoWindowsInGermanSayNothingFalseAboutThePortTheyShare) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    ProgramRig first(mBed, "de_DE.UTF-8");
    ProgramRig second(mBed, "de_DE.UTF-8");
    ASSERT_TRUE(first.IsReady() && second.IsReady());
    AddDevice("192.0.2.21", "cam-1", "Office", "Camera");
    const std::string otherTypes = "label messageLabel 0 QipFinder sucht Geräte vom Typ QipSim.";
    const std::string again = "button searchAgainButton 1";
    const std::string falseClaim = "Ein anderes Programm auf diesem Computer nutzt ebenfalls den UDP-Port";
    const pid_t owner = mBed.Start(mBed.GetHostNamespace(), first.ProgramCommand());
    ASSERT_GT(owner, 0);
    ASSERT_NE(first.WaitForWindow({otherTypes, again}).find(again), std::string::npos);
    const pid_t subscriber = mBed.Start(mBed.GetHostNamespace(), second.ProgramCommand());
    ASSERT_GT(subscriber, 0);
    std::string shown = second.WaitForWindow({otherTypes, again});
    EXPECT_NE(shown.find(otherTypes), std::string::npos) << shown;
    EXPECT_EQ(shown.find(falseClaim), std::string::npos) << shown;
    EXPECT_EQ(first.WaitForWindow({otherTypes}).find(falseClaim), std::string::npos);

    // The first window is quit; the second owns the port now and searches again.
    first.Press("actionQuit");
    EXPECT_TRUE(EndsByItself(owner));
    EXPECT_EQ(mBed.Stop(owner), 0);
    // Ended or still ending: either is said, but never that another program holds the port.
    const std::string log = "(process " + std::to_string(owner) + ") ";
    for (int i = 0; i < 150 && mBed.GetOutput(subscriber).find(log) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(mBed.GetOutput(subscriber).find("; this program owns it now"), std::string::npos)
        << mBed.GetOutput(subscriber);
    second.Press("searchAgainButton");
    WaitForPress(second);
    second.WaitForWindow({"button searchAgainButton 0"});
    shown = second.WaitForWindow({otherTypes, again});
    EXPECT_TRUE(second.Screenshot("port-taken-over-de.png"));
    EXPECT_NE(shown.find(again), std::string::npos) << shown;
    EXPECT_EQ(shown.find(falseClaim), std::string::npos) << shown;
    mBed.Stop(subscriber);
}
