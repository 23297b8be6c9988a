// The real program's table and window as pictures at two screen sizes in both languages,
// and as a screen reader reads them.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/ProgramRig.h"
#include "tests/testbed/TestBed.h"

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

TEST_F(ProgramTest, AboutBoxShowsNameDescriptionLicenceIconAndAnUncutTitle) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    rig.WaitForWindow({"progress progressIndicator"});
    rig.Press("actionAbout");
    const std::string shown =
        rig.WaitForWindow({"window About QipFinder", "Released under the MIT licence.", "picture "});
    EXPECT_TRUE(rig.Screenshot("about.png"));
    mBed.Stop(program);
    EXPECT_NE(shown.find("window About QipFinder"), std::string::npos) << shown;
    EXPECT_NE(shown.find("opens their configuration page.\nReleased under the MIT licence."),
              std::string::npos)
        << shown;
    // The program's icon beside the text (the window has no other picture).
    EXPECT_NE(shown.find("picture qt_msgboxex_icon_label 64x64"), std::string::npos) << shown;
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
    // Without the store of known devices, which keeps a device switched off listed as known.
    std::string bundle = cTestBundle;
    bundle.replace(bundle.find("</dict>"), 0, "\t<key>QipKnownDevices</key>\n\t<false/>\n");
    rig.WriteBundle(bundle);
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

// At both screen sizes and in both languages, with 3 devices and with 40 (their ids alike
// but for the end): the first size shows every address and device ID whole, with no
// horizontal scroll bar, and on the large screen nothing is cut at all, the longest name
// included.
TEST_F(ProgramTest, TheFirstSizeFitsTheDevicesAndTheScreen) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    AddDevice("192.0.2.21", "AA:BB:CC:00:01:01", "Warehouse – second floor, east wing");
    AddDevice("192.0.2.22", "AA:BB:CC:00:01:02", "Büro 3. OG – Küche Nordflügel");
    AddDevice("192.0.2.123", "AA:BB:CC:00:01:03", "Lab");
    for (const int devices : {3, 40}) {
        if (devices == 40) {
            const std::string ns = mBed.AddDevice({"192.0.2.124/24"});
            ASSERT_FALSE(ns.empty());
            ASSERT_GT(mBed.StartSimulator(ns, {"--id", "AA:BB:CC:00:00", "--ids", "37", "--address",
                                               "192.0.2.124", "--ssid", "Shelf"}),
                      0);
        }
        for (const char* language : {"C.UTF-8", "de_DE.UTF-8"}) {
            for (const std::string screen : {"800x600", "1920x1080"}) {
                ProgramRig rig(mBed, language, screen + "x24");
                ASSERT_TRUE(rig.IsReady());
                const std::string table = "table deviceTable " + std::to_string(devices) + "\n";
                const std::string shown = ShowsAfterStart(
                    rig, {table, "row Warehouse"},
                    "fit-" + std::to_string(devices) + "-" + language + "-" + screen + ".png");
                const std::string where = std::string(language) + " " + screen + " " +
                                          std::to_string(devices) + " devices:\n" + shown;
                ASSERT_NE(shown.find(table), std::string::npos) << where;
                EXPECT_EQ(shown.find("hscroll"), std::string::npos) << where;
                for (const char* column : {" 1\n", " 3\n"}) {
                    for (size_t at = shown.find("cut "); at != std::string::npos;
                         at = shown.find("cut ", at + 1)) {
                        const std::string line = shown.substr(at, shown.find('\n', at) - at + 1);
                        EXPECT_EQ(line.find(column), std::string::npos) << line << where;
                    }
                }
                if (screen == "1920x1080") {
                    EXPECT_EQ(shown.find("cut "), std::string::npos) << where;
                }
            }
        }
    }
}

TEST_F(ProgramTest, InGermanAQuietDeviceKeepsItsNameAndPlaceAndOtherTypesAreShownOnRequest) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    ProgramRig rig(mBed, "de_DE.UTF-8");
    ASSERT_TRUE(rig.IsReady());
    AddDevice("192.0.2.21", "dev-1", "Attic");
    AddDevice("192.0.2.22", "dev-2", "Lab");
    AddDevice("192.0.2.40", "cam-1", "Cam", "Camera");
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    ASSERT_GT(program, 0);
    std::string shown = rig.WaitForWindow({"table deviceTable 2\n", "row Attic | 192.0.2.21 |", "row Lab |"});
    ASSERT_NE(shown.find("row Attic | 192.0.2.21 |"), std::string::npos) << shown;
    // Switched off: its page refuses at the next poll and its answers stop. It keeps its
    // name, says beside it that the read failed, is greyed, and stays first.
    mBed.Stop(mSimulators["dev-1"]);
    const std::string quiet =
        "row Attic (letzter Abruf: Seite abgelehnt) | 192.0.2.21 | QipSim | dev-1 | antwortet seit ";
    shown = rig.WaitForWindow({quiet});
    EXPECT_NE(shown.find(quiet), std::string::npos) << shown;
    EXPECT_LT(shown.find("row Attic"), shown.find("row Lab")) << shown;
    // The camera is listed with its type once asked for.
    rig.Press("actionShowAllTypes");
    shown = rig.WaitForWindow({"table deviceTable 3\n", "| 192.0.2.40 | Camera | cam-1 |"});
    EXPECT_NE(shown.find("| 192.0.2.40 | Camera | cam-1 |"), std::string::npos) << shown;
    EXPECT_TRUE(rig.Screenshot("table-quiet-de.png"));
    mBed.Stop(program);
    EXPECT_EQ(rig.Opened(), "");
}

TEST_F(ProgramTest, AScreenReaderGetsEachRowByItsNameWithControlCharactersMarkedAndAFilterThatMatchesNothing) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    AddDevice("192.0.2.21", "dev-1", "Office");
    AddDevice("192.0.2.22", "bell\x07\x1b[31mred", "Lab");
    AtspiProgram program(mBed, rig);
    ASSERT_TRUE(program.IsRunning());
    program.Reads({"rows 2\n", "row Lab | 192.0.2.22 | QipSim | bell??[31mred |", "row header Lab\n",
                   "row header Office\n", "!row header 1\n"});
    program.Reads({"rows 0\n", "No device matches “zzz”."}, "zzz");
}
