// The real program under Xvfb (an 800x600 screen) in the test bed, with simulated devices, a stand-in browser
// and a probe that reads what the window shows.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/testbed/TestBed.h"
#include "tests/testbed/XvfbServer.h"

namespace fs = std::filesystem;

namespace {

const char* const cTestBundle = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleName</key>
	<string>QipFinder</string>
	<key>DeviceKennung</key>
	<array><string>QipSim</string></array>
	<key>QipTimeout</key>
	<integer>1</integer>
</dict>
</plist>
)";

std::string ReadText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text, bool executable = false) {
    std::ofstream(path) << text;
    if (executable) {
        chmod(path.c_str(), 0755);
    }
}

// One copy of the program in a bundle of its own, an X server in the bed's host namespace,
// and the environment the program runs with.
class ProgramRig {
public:
    // `language`: the LANG the program runs with; `screen`: the X screen's size.
    explicit ProgramRig(TestBed& bed, const std::string& language = "C.UTF-8",
                        const std::string& screen = "800x600x24")
        : mBed(bed), mServer(bed, "Xvfb", screen), mLanguage(language) {
        char pattern[] = "/tmp/qipfinder-test-XXXXXX";
        mRoot = mkdtemp(pattern);
        fs::create_directories(mRoot / "bin");
        fs::create_directories(mRoot / "share/qipfinder");
        fs::create_directories(mRoot / "path");
        fs::copy_file(TestBed::BinaryPath("qipfinder"), mRoot / "bin/qipfinder");
        WriteText(mRoot / "share/qipfinder/Info.plist", cTestBundle);
        for (const char* qm : {"qipfinder_en.qm", "qipfinder_de.qm", "qipfinder.svg"}) {
            fs::copy_file(fs::path(QIPFINDER_BUNDLE_DIR) / qm, mRoot / "share/qipfinder" / qm);
        }
        fs::copy(fs::path(QIPFINDER_BUNDLE_DIR) / "help", mRoot / "share/qipfinder/help");
        WriteText(mRoot / "path/xdg-open",
                  "#!/bin/sh\necho \"$1\" >> '" + (mRoot / "opened.txt").string() + "'\n", true);
    }

    ~ProgramRig() {
        std::error_code ignored;
        fs::remove_all(mRoot, ignored);
    }

    bool IsReady() const { return mServer.IsReady(); }
    // Replaces the bundle's Info.plist.
    void WriteBundle(const std::string& text) const {
        WriteText(mRoot / "share/qipfinder/Info.plist", text);
    }

    // argv of `program` run with a clean environment on the rig's display, English texts,
    // the stand-in browser first on PATH and the probe loaded.
    std::vector<std::string> Command(const std::vector<std::string>& program,
                                     bool withBrowser = true) const {
        // Without a browser the path holds nothing that could open a page.
        const std::string path =
            withBrowser ? (mRoot / "path").string() + ":/usr/bin:/bin" : (mRoot / "bin").string();
        std::vector<std::string> argv{"/usr/bin/env", "-i", "PATH=" + path,
                                      "HOME=" + mRoot.string(), "DISPLAY=" + mServer.GetDisplay(),
                                      "LANG=" + mLanguage, "QT_QPA_PLATFORM=xcb",
                                      "QT_PLUGIN_PATH=" + std::string(QIPFINDER_PROBE_DIR),
                                      "QT_QPA_GENERIC_PLUGINS=qipprobe:" + ProbeFile().string()};
        // Sanitizer settings of the build under test apply to the program too.
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
            if (const char* value = std::getenv(name)) {
                argv.push_back(std::string(name) + "=" + value);
            }
        }
        argv.insert(argv.end(), program.begin(), program.end());
        return argv;
    }
    std::vector<std::string> ProgramCommand(bool withBrowser = true) const {
        return Command({(mRoot / "bin/qipfinder").string()}, withBrowser);
    }
    // Replaces the stand-in browser: it still notes each address, then ends with `status`.
    void SetOpenerStatus(int status) const {
        WriteText(mRoot / "path/xdg-open",
                  "#!/bin/sh\necho \"$1\" >> '" + (mRoot / "opened.txt").string() + "'\nexit " +
                      std::to_string(status) + "\n",
                  true);
    }
    // Replaces the stand-in browser with one that stays in the foreground, as a browser
    // started by the opener may; StopBrowser ends it.
    void SetOpenerKeepsRunning() const {
        WriteText(mRoot / "path/xdg-open",
                  "#!/bin/sh\necho \"$1\" >> '" + (mRoot / "opened.txt").string() + "'\necho $$ > '" +
                      (mRoot / "browser.pid").string() + "'\nexec sleep 30 </dev/null >/dev/null 2>&1\n",
                  true);
    }
    void StopBrowser() const {
        const std::string pid = ReadText(mRoot / "browser.pid");
        if (!pid.empty()) {
            kill(std::stoi(pid), SIGTERM);
        }
    }
    // Has the probe click the button of that name in the running program.
    void Press(const std::string& button) const {
        WriteText(ProbeFile().string() + ".press", button);
    }

    fs::path ProbeFile() const { return mRoot / "probe.txt"; }
    fs::path SettingsFile() const { return mRoot / ".config/qipfinder/qipfinder.ini"; }
    std::string Opened() const { return ReadText(mRoot / "opened.txt"); }

    // Waits up to 15 s until the probe shows every text in `wanted`; the last probe text.
    std::string WaitForWindow(const std::vector<std::string>& wanted) const {
        std::string shown;
        for (int i = 0; i < 150; ++i) {
            shown = ReadText(ProbeFile());
            bool all = true;
            for (const std::string& text : wanted) {
                all = all && shown.find(text) != std::string::npos;
            }
            if (all) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return shown;
    }

    // Saves the screen under <build>/test-artifacts/<name>; true on success.
    bool Screenshot(const std::string& name) {
        const fs::path folder = fs::path(QIPFINDER_ARTIFACT_DIR);
        fs::create_directories(folder);
        std::string output;
        return mBed.Run(mBed.GetHostNamespace(),
                        Command({TestBed::BinaryPath("qip-screen-grab"), (folder / name).string()}),
                        &output) == 0;
    }

private:
    TestBed& mBed;
    XvfbServer mServer;
    std::string mLanguage;
    fs::path mRoot;
};

// Waits up to 15 s until the process has ended by itself (a zombie or gone).
bool EndsByItself(pid_t pid) {
    for (int i = 0; i < 150; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) {
            return true;
        }
        const size_t close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

struct ProgramTest : ::testing::Test {
    // A simulated device of its own namespace; its simulator's pid in mSimulators[id].
    void AddDevice(const std::string& address, const std::string& id, const std::string& ssid,
                   const std::string& type = "QipSim") {
        const std::string ns = mBed.AddDevice({address + "/24"});
        ASSERT_FALSE(ns.empty());
        const pid_t simulator = mBed.StartSimulator(
            ns, {"--id", id, "--address", address, "--ssid", ssid, "--type", type});
        ASSERT_GT(simulator, 0);
        mSimulators[id] = simulator;
    }
    // Starts the program, waits until the window shows every text of `wanted` and saves a
    // screenshot; the texts it showed last.
    std::string ShowsAfterStart(ProgramRig& rig, const std::vector<std::string>& wanted,
                                const std::string& screenshot) {
        const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
        const std::string shown = program > 0 ? rig.WaitForWindow(wanted) : "";
        EXPECT_TRUE(rig.Screenshot(screenshot));
        EXPECT_EQ(rig.Opened(), "");
        mBed.Stop(program);
        return shown;
    }

    TestBed mBed;
    std::map<std::string, pid_t> mSimulators;
};

}  // namespace

#define QIP_REQUIRE_PROGRAM_RIG(rig)   \
    QIP_REQUIRE_TESTBED();             \
    ASSERT_TRUE(mBed.IsReady());       \
    ProgramRig rig(mBed);              \
    ASSERT_TRUE(rig.IsReady())

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

TEST_F(ProgramTest, TwoDevicesAreListedByNameWithTheirTextsAsTheyAre) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    AddDevice("192.0.2.21", "dev-1", "Office");
    AddDevice("192.0.2.22", "dev-2", "<b>Lab");
    const std::vector<std::string> wanted{
        "table deviceTable 2\n", "row <b>Lab | 192.0.2.22 | QipSim | dev-2 | ",
        "row Office | 192.0.2.21 | QipSim | dev-1 | ", "label messageLabel 0 Choose a device",
        "label addressLabel 0 Opens http://192.0.2.2"};
    const std::string shown = ShowsAfterStart(rig, wanted, "table.png");
    for (const std::string& text : wanted) {
        EXPECT_NE(shown.find(text), std::string::npos) << text << " not in:\n" << shown;
    }
    EXPECT_EQ(shown.find("progress"), std::string::npos) << shown;
}

TEST_F(ProgramTest, AboutBoxShowsNameDescriptionLicenceAndAnUncutTitle) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    rig.WaitForWindow({"progress progressIndicator"});
    rig.Press("actionAbout");
    const std::string shown =
        rig.WaitForWindow({"window About QipFinder", "Released under the MIT licence."});
    EXPECT_TRUE(rig.Screenshot("about.png"));
    mBed.Stop(program);
    EXPECT_NE(shown.find("window About QipFinder"), std::string::npos) << shown;
    EXPECT_NE(shown.find("opens their configuration page.\nReleased under the MIT licence."),
              std::string::npos)
        << shown;
}

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

// Waits up to 15 s until the probe in the running program has taken a press.
void WaitForPress(const ProgramRig& rig) {
    for (int i = 0; i < 150 && fs::exists(rig.ProbeFile().string() + ".press"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
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

const char* const cNoDeviceFound = "label messageLabel 0 No device found.\n";

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

TEST_F(ProgramTest, ADeviceSwitchedOnWhileTheTableIsShownAppearsWithoutAKeyPress) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    AddDevice("192.0.2.21", "dev-1", "Office");
    AddDevice("192.0.2.22", "dev-2", "Lab");
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    ASSERT_NE(rig.WaitForWindow({"table deviceTable 2\n"}).find("table deviceTable 2\n"),
              std::string::npos);
    // It answers the client's next round, at most ten seconds on; F5 is not pressed.
    AddDevice("192.0.2.23", "dev-3", "Hall");
    const std::string shown = rig.WaitForWindow({"table deviceTable 3\n", "row Hall | 192.0.2.23 |"});
    EXPECT_NE(shown.find("table deviceTable 3\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("row Hall | 192.0.2.23 |"), std::string::npos) << shown;
    mBed.Stop(program);
    EXPECT_EQ(rig.Opened(), "");
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

TEST_F(ProgramTest, HelpOpensTheInstalledPage) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    rig.WaitForWindow({"progress progressIndicator"});
    rig.Press("actionHelp");
    for (int i = 0; i < 150 && rig.Opened().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(rig.Opened().find("/share/qipfinder/help/index.html"), std::string::npos) << rig.Opened();
    mBed.Stop(program);
}

TEST_F(ProgramTest, TheTableAtTwoScreenSizesInBothLanguagesKeepsTheRememberedSize) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    AddDevice("192.0.2.21", "00:11:22:33:44:55", "Office");
    AddDevice("192.0.2.22", "00:11:22:33:44:66", "Büro 3. OG – Küche Nordflügel");
    AddDevice("192.0.2.23", "00:11:22:33:44:77", "Lab");
    for (const auto& [language, tag] : {std::pair<std::string, std::string>{"C.UTF-8", "en"}, {"de_DE.UTF-8", "de"}}) {
        for (const char* screen : {"800x600", "1920x1080"}) {
            ProgramRig rig(mBed, language, std::string(screen) + "x24");
            ASSERT_TRUE(rig.IsReady());
            if (std::string(screen) == "1920x1080") {
                // As a user left it last time.
                fs::create_directories(rig.SettingsFile().parent_path());
                WriteText(rig.SettingsFile(), "[Window]\nPosition=@Point(0 0)\nTableSize=@Size(1800 1000)\n");
            }
            const std::string shown =
                ShowsAfterStart(rig, {"table deviceTable 3\n", "row Lab |", "row Office |"},
                                std::string("table-") + tag + "-" + screen + ".png");
            EXPECT_NE(shown.find("row Lab |"), std::string::npos) << shown;
        }
    }
}

// The program on a session bus of its own with its accessibility on, read through AT-SPI.
class AtspiProgram {
public:
    AtspiProgram(TestBed& bed, const ProgramRig& rig) : mBed(bed), mRig(rig) {
        const std::string address = (rig.ProbeFile().parent_path() / "bus.txt").string();
        std::vector<std::string> command = rig.ProgramCommand();
        command.insert(command.begin() + 2, "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1");
        const std::string program = command.back();
        command.pop_back();
        command.insert(command.end(), {QIPFINDER_DBUS_RUN_SESSION, "--", "sh", "-c",
                                       "echo \"$DBUS_SESSION_BUS_ADDRESS\" > '" + address + "'; exec '" + program + "'"});
        mProgram = bed.Start(bed.GetHostNamespace(), command);
        for (int i = 0; i < 150 && mBus.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            mBus = ReadText(address);
            while (!mBus.empty() && mBus.back() == '\n') mBus.pop_back();
        }
    }
    // Quits the program, so that the session ends with it and takes its bus daemons along.
    ~AtspiProgram() {
        if (mProgram <= 0) return;
        mRig.Press("actionQuit");
        EXPECT_TRUE(EndsByItself(mProgram));
        mBed.Stop(mProgram);
    }
    bool IsRunning() const { return mProgram > 0 && !mBus.empty(); }

    // Waits (`seconds` at most) until the window, read as a screen reader reads it, shows
    // every text of `wanted` ("!text": not; "announced text": spoken unasked meanwhile, see
    // AtspiWindow.py); first types `filter` into the filter when given. The last reading; a
    // GoogleTest failure when something wanted never showed.
    std::string Reads(const std::vector<std::string>& wanted, const std::string& filter = "",
                      int seconds = 15) {
        std::vector<std::string> command{"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "HOME=/tmp",
                                         "DBUS_SESSION_BUS_ADDRESS=" + mBus, QIPFINDER_SYSTEM_PYTHON,
                                         QIPFINDER_ATSPI_SCRIPT, "qipfinder", "--wait",
                                         std::to_string(seconds)};
        if (!filter.empty()) command.insert(command.end(), {"--filter", filter});
        command.insert(command.end(), wanted.begin(), wanted.end());
        std::string output;
        std::string errors;
        EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), command, &output, (seconds + 15) * 1000, &errors), 0)
            << output << errors;
        return output;
    }

private:
    TestBed& mBed;
    const ProgramRig& mRig;
    pid_t mProgram = -1;
    std::string mBus;
};

TEST_F(ProgramTest, AScreenReaderReadsTheTableAsDevicesComeAndGoAndTheStateAsItChanges) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    AddDevice("192.0.2.21", "dev-1", "Office");
    AddDevice("192.0.2.22", "dev-2", "Lab");
    AtspiProgram program(mBed, rig);
    ASSERT_TRUE(program.IsRunning());
    program.Reads({"label | Choose a device to configure: |", "table | Devices |", "rows 2\n",
                   "row Lab | 192.0.2.22 | QipSim | dev-2 |", "row Office | 192.0.2.21 |",
                   "!push button | Search Again"});
    // Switched on while the table is read: it appears without a key press.
    AddDevice("192.0.2.23", "dev-3", "Hall");
    program.Reads({"rows 3\n", "row Hall | 192.0.2.23 | QipSim | dev-3 |"});

    // A second launch ends at once; the one program left has its window raised again.
    rig.Press("actionMinimize");
    WaitForPress(rig);
    program.Reads({"applications 1\n", "!active window QipFinder"});
    std::string said;
    EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), rig.ProgramCommand(), &said), 0) << said;
    EXPECT_NE(said.find("already running"), std::string::npos) << said;
    program.Reads({"applications 1\n", "active window QipFinder\n", "rows 3\n"});

    // Switched off: its row leaves 30 to 33 s after its last answer, without a key press.
    mBed.Stop(mSimulators["dev-1"]);
    program.Reads({"rows 2\n", "!| dev-1 |", "row Hall |", "row Lab |"}, "", 60);
    program.Reads({"rows 1\n", "row Lab |"}, "Lab");
    // The last ones go: the window says nothing is found, and a screen reader says so unasked.
    mBed.Stop(mSimulators["dev-2"]);
    mBed.Stop(mSimulators["dev-3"]);
    program.Reads({"label | No device found. |", "!table | Devices |", "announced No device found."},
                  "", 60);
    EXPECT_EQ(rig.Opened(), "");
}
