#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "sysinfo/SysInfo.h"
#include "tests/testbed/TestBed.h"

// The status page client from the bed's host against simulated devices on real port 80.
TEST(SysInfoTestBed, ReadsTheSimulatorsSsidAndFailsCleanlyOnEachFault) {
    QIP_REQUIRE_TESTBED();
    struct Case {
        std::vector<std::string> flags;
        bool ok;
        std::string ssid;
        std::string error;
    };
    const Case cases[] = {
        {{}, true, "Office", ""},
        {{"--http-split", "1200"}, true, "Office", ""},
        {{"--page-size", "70000"}, true, "", ""},  // the SSID lies past the 65,535-byte cap
        {{"--http-status", "404"}, false, "", ""},
        {{"--lf-only"}, false, "", ""},
        {{"--no-http"}, false, "", "connect() failed: Connection refused\n"},
        {{"--http-hang"}, false, "", "recv() failed: Connection timed out\n"},
    };
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::vector<std::string> addresses;
    for (const Case& c : cases) {
        addresses.push_back("192.0.2." + std::to_string(20 + addresses.size()));
        std::vector<std::string> args = {"--id", "dev", "--address", addresses.back() + "/24",
                                         "--ssid", "Office"};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        ASSERT_GT(bed.StartSimulator(bed.AddDevice({addresses.back() + "/24"}), args), 0);
    }
    TestBed::EnterHost host(bed);
    ASSERT_TRUE(host.IsEntered());
    for (size_t i = 0; i < addresses.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.flags.empty() ? "plain" : c.flags[0]);
        SysInfo info(addresses[i], "http://" + addresses[i] + "/status.xml");
        auto start = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        EXPECT_EQ(info.Fetch(), c.ok);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.error);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_EQ(info.GetValue("status/wlan/ssid"), c.ssid);
        EXPECT_EQ(info.GetValues().empty(), !c.ok);
    }
    SysInfo big(addresses[2], "/status.xml");
    int fd = big.OpenConnection();
    ASSERT_GE(fd, 0);
    std::string page;
    EXPECT_TRUE(big.FetchPage(fd, page));
    EXPECT_EQ(page.size(), 65535u);
    close(fd);
}
