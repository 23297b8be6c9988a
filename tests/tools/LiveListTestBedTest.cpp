#include <gtest/gtest.h>

#include <string>

#include "tests/testbed/TestBed.h"

// qip-live-list as a user runs it, inside the bed's host namespace, against a simulator.

TEST(LiveListTestBed, ShowsHostileDeviceTextsWithoutTheirControlCharacters) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    // Clears the screen and retitles the window when printed as it came.
    const std::string hostileType = "Qip\x1b[2J\x1b]0;owned\a";
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}),
                                 {"--address", "192.0.2.20/24", "--type", hostileType, "--id",
                                  "id\xc2\x9b" "1m", "--packet-id", "7\r"}),
              0);
    std::string output, errors;
    ASSERT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-live-list", "3"}, &output, 15000, &errors), 0)
        << errors;
    EXPECT_NE(output.find("Qip?[2J?]0;owned?"), std::string::npos) << output;
    EXPECT_NE(output.find("id?1m"), std::string::npos) << output;
    EXPECT_NE(output.find("packet 7?"), std::string::npos) << output;
    for (char c : output) {
        EXPECT_FALSE((c >= 0 && c < 0x20 && c != '\n') || c == 0x7f)
            << "control character " << int(c) << " in:\n" << output;
    }
}
