#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/search/DiscoverTestBedSupport.h"
#include "tests/testbed/TestBed.h"

// qip-discover against what its surroundings do to it: a wall clock that steps, a page
// opener that never returns.
using namespace discover_test;

// The wall clock steps two minutes forward and then back (as NTP or a manual change does)
// while a device answers every broadcast: the watch must report no false "gone". The step
// comes from libfaketime, which leaves the monotonic clock alone here.
TEST(DiscoverTestBed, AWallClockStepMakesNoLiveDeviceGone) {
    QIP_REQUIRE_TESTBED();
#if defined(__SANITIZE_THREAD__)
    // libfaketime reads its offset file unguarded from every thread and wraps the condition
    // waits ThreadSanitizer models, so a run of it under ThreadSanitizer reports races and
    // double locks of the preloaded library, not of the program; the ageing itself is
    // covered under ThreadSanitizer by DeviceList.AWallClockStep... through its clock seam.
    GTEST_SKIP() << "libfaketime cannot run under ThreadSanitizer";
#endif
    const std::string library = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    ASSERT_EQ(access(library.c_str(), R_OK), 0) << "the faketime package is missing";
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.48/24"}), {"--address", "192.0.2.48/24", "--id", "live"}),
              0);
    FakeBrowser folder;  // only for its folder, which it removes
    const std::string offset = folder.File("log");
    std::ofstream(offset) << "+0\n";
    // A sanitizer's runtime wants to come first; libfaketime works behind it all the same.
    const char* sanitizerOptions = getenv("ASAN_OPTIONS");
    const std::string asanOptions = std::string("ASAN_OPTIONS=") +
                                    (sanitizerOptions != nullptr ? sanitizerOptions + std::string(":") : "") +
                                    "verify_asan_link_order=0";
    const pid_t watch = bed.Start(bed.GetHostNamespace(),
                                  {"env", asanOptions, "LD_PRELOAD=" + library, "FAKETIME_TIMESTAMP_FILE=" + offset,
                                   "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1",
                                   TestBed::BinaryPath("qip-discover"), "--watch", "--no-ssid"});
    ASSERT_GT(watch, 0);
    const Clock::time_point start = Clock::now();
    while (bed.GetOutput(watch).find("appeared live") == std::string::npos && SecondsSince(start) < 15) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(bed.GetOutput(watch).find("appeared live"), std::string::npos) << bed.GetOutput(watch);
    // Each step outlasts an ageing pass (every 3 s) and stays short of the next broadcast.
    for (const char* step : {"+120\n", "+0\n"}) {
        std::ofstream(offset) << step;
        std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    }
    const std::string output = bed.GetOutput(watch);
    EXPECT_EQ(bed.Stop(watch), 0);
    EXPECT_EQ(output.find("gone"), std::string::npos) << output;
}

// An opener that blocks does not hold the program past a signal sent to it alone.
TEST(DiscoverTestBed, SignalWhileTheOpenerBlocksEndsAtOnce) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.47/24"}), {"--address", "192.0.2.47/24"}), 0);
    for (int signalNumber : {SIGINT, SIGTERM}) {
        FakeBrowser browser(60);
        const pid_t discover = bed.Start(bed.GetHostNamespace(), {"env", browser.Path(),
                                                                  TestBed::BinaryPath("qip-discover"), "--open",
                                                                  "--no-ssid", "--wait", cWaitForAnswers});
        ASSERT_GT(discover, 0);
        const Clock::time_point waiting = Clock::now();
        while (browser.Opened().empty() && SecondsSince(waiting) < 15) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(browser.Opened(), "http://192.0.2.47/") << bed.GetOutput(discover);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const Clock::time_point signalled = Clock::now();
        kill(discover, signalNumber);
        // Stop adds a SIGTERM, which must not race the first signal to other threads.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(bed.Stop(discover, 15000), 128 + signalNumber);
        EXPECT_LT(SecondsSince(signalled), 10.0);
    }
}
