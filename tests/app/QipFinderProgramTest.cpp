// The real program opening pages and ending: alone with one device, beyond a router, when
// the page cannot be opened or the browser fails, on Quit, Help and a second launch.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/app/ProgramRig.h"
#include "tests/testbed/TestBed.h"

TEST_F(ProgramTest, OneDeviceOpensItsPageAndEnds) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    AddDevice("192.0.2.21", "dev-1", "Office");
    // The browser stays: the program ends once it counts as launched, not when it exits.
    rig.SetOpenerKeepsRunning();
    std::string output;
    EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), rig.ProgramCommand(), &output, 15000), 0) << output;
    rig.StopBrowser();
    EXPECT_EQ(rig.Opened(), "http://192.0.2.21/\n");
}

TEST_F(ProgramTest, QipProbeTargetsReachADeviceBehindARouterAndOpenItsPage) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    const std::string far = mBed.AddDeviceBehindRouter({"198.51.100.20/24"});
    ASSERT_FALSE(far.empty());
    ASSERT_GT(mBed.StartSimulator(far, {"--id", "far", "--address", "198.51.100.20", "--ssid", "Far",
                                        "--type", "QipSim"}),
              0);
    std::string bundle = cTestBundle;
    bundle.insert(bundle.find("</dict>"),
                  "\t<key>QipProbeTargets</key>\n\t<array><string>198.51.100.0/24</string>"
                  "<string>10.0.0.0/8</string></array>\n");
    rig.WriteBundle(bundle);
    std::string output;
    EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), rig.ProgramCommand(), &output, 15000), 0) << output;
    EXPECT_NE(output.find("QipProbeTargets: '10.0.0.0/8' skipped"), std::string::npos) << output;
    for (int i = 0; i < 50 && rig.Opened().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(rig.Opened(), "http://198.51.100.20/\n");
}

TEST_F(ProgramTest, APageThatCannotBeOpenedShowsItsAddressAndTheProgramGoesOn) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    AddDevice("192.0.2.21", "dev-1", "Office");
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand(false));
    ASSERT_GT(program, 0);
    const std::string shown =
        rig.WaitForWindow({"edit pageAddress http://192.0.2.21/\n", "no web browser was found",
                           "table deviceTable 1\n"});
    EXPECT_TRUE(rig.Screenshot("not-opened.png"));
    EXPECT_NE(shown.find("edit pageAddress http://192.0.2.21/\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("table deviceTable 1\n"), std::string::npos) << shown;
    // Still running: Stop has to end it.
    EXPECT_EQ(mBed.Stop(program), 128 + SIGTERM);
}

TEST_F(ProgramTest, QuitWhileFortyStatusPagesHangEndsAtOnceAndOpensNothing) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    const std::string ns = mBed.AddDevice({"192.0.2.21/24"});
    ASSERT_FALSE(ns.empty());
    ASSERT_GT(mBed.StartSimulator(ns, {"--id", "hang", "--ids", "40", "--address", "192.0.2.21",
                                       "--http-hang"}),
              0);
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    // The first poll, one second after start, begins reading forty pages that never come.
    rig.WaitForWindow({"progress progressIndicator"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    const auto pressed = std::chrono::steady_clock::now();
    rig.Press("actionQuit");
    // The probe runs on the event loop: it takes the press only while the loop runs.
    WaitForPress(rig);
    const auto taken = std::chrono::steady_clock::now();
    EXPECT_TRUE(EndsByItself(program));
    const auto ended = std::chrono::steady_clock::now();
    EXPECT_LT(taken - pressed, std::chrono::milliseconds(1500)) << "the window was frozen";
    EXPECT_LT(ended - taken, std::chrono::milliseconds(1500)) << "quitting waited for the pages";
    EXPECT_EQ(mBed.Stop(program), 0);
    EXPECT_EQ(rig.Opened(), "");
}

TEST_F(ProgramTest, AFailingBrowserIsSaidWithTheAddressAndTheExitStatusTellsIt) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    rig.SetOpenerStatus(3);  // xdg-open's status when no browser is set up
    AddDevice("192.0.2.21", "dev-1", "Office");
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    const std::string shown = rig.WaitForWindow({"edit pageAddress http://192.0.2.21/\n",
                                                 "status 3", "table deviceTable 1\n"});
    EXPECT_TRUE(rig.Screenshot("browser-failed.png"));
    EXPECT_NE(shown.find("edit pageAddress http://192.0.2.21/\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("status 3"), std::string::npos) << shown;
    EXPECT_EQ(rig.Opened(), "http://192.0.2.21/\n");
    rig.Press("actionQuit");
    EXPECT_TRUE(EndsByItself(program));
    EXPECT_EQ(mBed.Stop(program), 3) << "the page was never opened";
}

TEST_F(ProgramTest, ALoneDeviceOpensWhenTheAnswersSettleThoughItsPageHangs) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    const std::string ns = mBed.AddDevice({"192.0.2.21/24"});
    ASSERT_FALSE(ns.empty());
    ASSERT_GT(mBed.StartSimulator(ns, {"--id", "dev-1", "--address", "192.0.2.21", "--http-hang"}), 0);
    const auto started = std::chrono::steady_clock::now();
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    for (int i = 0; i < 1500 && rig.Opened().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(rig.Opened(), "http://192.0.2.21/\n");
    // A page read would have taken its whole five-second budget first.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4500));
    EXPECT_TRUE(EndsByItself(program));
    EXPECT_EQ(mBed.Stop(program), 0);
}

TEST_F(ProgramTest, ASecondLaunchEndsAtOnceAndThePlacementIsRemembered) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    AddDevice("192.0.2.21", "dev-1", "Office");
    AddDevice("192.0.2.22", "dev-2", "Lab");
    const pid_t first = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(first, 0);
    ASSERT_NE(rig.WaitForWindow({"table deviceTable 2\n"}).find("table deviceTable 2\n"),
              std::string::npos);
    std::string said;
    EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), rig.ProgramCommand(), &said), 0) << said;
    EXPECT_NE(said.find("already running"), std::string::npos) << said;
    rig.Press("actionQuit");
    EXPECT_TRUE(EndsByItself(first));
    EXPECT_EQ(mBed.Stop(first), 0);
    const std::string settings = ReadText(rig.SettingsFile());
    for (const char* key : {"Position=", "TableSize=", "Columns="}) {
        EXPECT_NE(settings.find(key), std::string::npos) << key << " not in:\n" << settings;
    }
}

// The help of the user's language opens (English for a language without one), with its
// tables as tables.
TEST_F(ProgramTest, HelpOpensTheInstalledPageOfTheUsersLanguage) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    for (const auto& [language, page, heading] :
         {std::tuple<std::string, std::string, std::string>{"de_DE.UTF-8", "index.de.html",
                                                            "<h1 id=\"hilfe-zu-qipfinder\">"},
          {"fr_FR.UTF-8", "index.html", "<h1 id=\"qipfinder-help\">"}}) {
        ProgramRig rig(mBed, language);
        ASSERT_TRUE(rig.IsReady());
        const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
        ASSERT_GT(program, 0);
        rig.WaitForWindow({"progress progressIndicator"});
        rig.Press("actionHelp");
        for (int i = 0; i < 150 && rig.Opened().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        mBed.Stop(program);
        const std::string opened = rig.Opened();
        const size_t at = opened.find("/share/qipfinder/help/" + page);
        ASSERT_NE(at, std::string::npos) << language << ": " << opened;
        const std::string url = opened.substr(0, opened.find('\n'));
        const std::string shown = ReadText(url.substr(url.find("/")));
        EXPECT_NE(shown.find(heading), std::string::npos) << language << ": " << url;
        EXPECT_NE(shown.find("<table>"), std::string::npos) << url;
    }
}
