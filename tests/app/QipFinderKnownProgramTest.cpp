// The real program and the user's store of known devices: listed at start before they
// answer, live in place once they do, and a label given with F2 kept for the next start.
#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <vector>

#include "store/QipDeviceStore.h"
#include "tests/app/ProgramRig.h"
#include "tests/testbed/TestBed.h"

namespace {

bool Shows(const std::string& shown, const std::string& text) { return shown.find(text) != std::string::npos; }

}  // namespace

TEST_F(ProgramTest, KnownDevicesShowAtStartGoLiveInPlaceAndKeepTheirF2Label) {
    QIP_REQUIRE_PROGRAM_RIG(rig);
    const fs::path home = rig.ProbeFile().parent_path();
    {
        // A run three days ago saw dev-1; a printer is known too, but not a wanted type.
        QipDeviceStore store((home / ".local/state/qipfinder/devices.sqlite").string(), "test");
        store.Note("dev-1", "QipSim", "192.0.2.21", "Office", time(nullptr) - 3 * 86400 - 60);
        store.Note("printer", "Printer", "192.0.2.29", "", time(nullptr));
        ASSERT_TRUE(store.Flush());
    }
    const std::string host = mBed.GetHostNamespace();
    pid_t program = mBed.Start(host, rig.ProgramCommand());
    ASSERT_GT(program, 0);
    const std::string known = "row Office (last time) | 192.0.2.21 | QipSim | dev-1 | last seen 3 days ago | ";
    std::string shown = rig.WaitForWindow({"progress progressIndicator", known});
    EXPECT_TRUE(Shows(shown, "progress progressIndicator") && Shows(shown, known)) << "not listed while searching:\n"
                                                                                     << shown;
    EXPECT_FALSE(Shows(shown, "printer")) << shown;

    // Two devices answer at once (one simulator for both), then the known one: it goes live
    // in its row, and no page opens by itself.
    const std::string both = mBed.AddDevice({"192.0.2.22/24", "192.0.2.23/24"});
    ASSERT_GT(mBed.StartSimulator(both, {"--id", "dev-2", "--address", "192.0.2.22", "--ssid", "Lab", "--type",
                                         "QipSim", "--device", "--id", "dev-3", "--address", "192.0.2.23",
                                         "--ssid", "Hall", "--type", "QipSim"}), 0);
    shown = rig.WaitForWindow({"table deviceTable 3\n", "row Lab | 192.0.2.22 |", known});
    EXPECT_TRUE(Shows(shown, "table deviceTable 3\n") && Shows(shown, known)) << shown;
    AddDevice("192.0.2.21", "dev-1", "Office");
    shown = rig.WaitForWindow({"table deviceTable 3\n", "row Office | 192.0.2.21 | QipSim | dev-1 | "});
    EXPECT_TRUE(Shows(shown, "row Office | 192.0.2.21 | QipSim | dev-1 | ")) << shown;
    EXPECT_FALSE(Shows(shown, "last seen")) << shown;
    EXPECT_TRUE(Shows(shown, "table deviceTable 3\n")) << "not in place:\n" << shown;

    // F2 on the chosen row, a name, Enter: the name replaces the SSID and fills the Label column.
    WriteText(rig.ProbeFile().string() + ".keys", "F2\ntext Hall AP\nReturn\n");
    shown = rig.WaitForWindow({"row Hall AP | ", " | Hall AP\n"});
    ASSERT_TRUE(Shows(shown, "row Hall AP | ")) << shown;
    rig.Press("actionQuit");
    EXPECT_TRUE(EndsByItself(program));
    mBed.Stop(program);

    program = mBed.Start(host, rig.ProgramCommand());
    ASSERT_GT(program, 0);
    shown = rig.WaitForWindow({"table deviceTable 3\n", "row Hall AP | "});
    EXPECT_TRUE(Shows(shown, "row Hall AP | ") && Shows(shown, " | Hall AP\n")) << "label not kept:\n" << shown;
    EXPECT_TRUE(rig.Screenshot("known-devices.png"));
    rig.Press("actionQuit");
    EXPECT_TRUE(EndsByItself(program));
    mBed.Stop(program);
    EXPECT_EQ(rig.Opened(), "");
}
