// Strangers at the shared port: an owner of another user, a stranger's requests, and
// subscribers that never read beside a churn of connections.
#include <gtest/gtest.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ksp/KspDescriptor.h"
#include "tests/engine/PortShareTestSupport.h"
#include "tests/testbed/TestBed.h"

namespace {
// Another user, as a stranger with a shell account on the machine would be.
std::vector<std::string> AsNobody(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"});
    return argv;
}
}  // namespace

TEST(PortShareTestBed, AnOwnerOfAnotherUserIsNotBelievedAndTheRealDeviceIsListed) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string devices = bed.AddDevice({"192.0.2.21/24"});
    ASSERT_GT(bed.StartSimulator(devices, {"--address", "192.0.2.21/24", "--id", "dev-1"}), 0);
    // It took the name before any QIP program started, and tells of a device nobody sent.
    const pid_t fake = bed.Start(bed.GetHostNamespace(),
                                 AsNobody({TestBed::BinaryPath("qip-test-stranger"), "owner", "FAKE-DEVICE-66",
                                           "203.0.113.66"}));
    ASSERT_GT(fake, 0);
    ASSERT_TRUE(WaitForOutput(bed, fake, [](const std::string& out) { return Has(out, "serving"); }))
        << bed.GetOutput(fake);
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(),
                      {"qip-discover", "--no-ssid", "--verbose", "--wait-for", "dev-1"}, &output,
                      TestBed::cDefaultTimeoutMs, &errors),
              0)
        << output << errors;
    EXPECT_TRUE(Has(output, "dev-1")) << output;
    EXPECT_FALSE(Has(output + errors, "FAKE-DEVICE-66")) << output << errors;
    EXPECT_TRUE(Has(errors, "UDP port 19375 is held by process " + std::to_string(fake) +
                                " of user nobody, which this program does not trust; listening alone"))
        << errors;
    // --verbose says what listening alone beside it costs.
    EXPECT_TRUE(Has(errors, "answers to broadcasts reach both")) << errors;
}

TEST(PortShareTestBed, ARootOwnerRefusesStrangersProbesWhichTheyThenSendAndKeepsRoomForItsOwn) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string far = bed.AddDeviceBehindRouter({"198.51.100.20/24"});
    ASSERT_FALSE(far.empty());
    ASSERT_GT(bed.StartSimulator(far, {"--address", "198.51.100.20/24", "--id", "far-1"}), 0);
    const pid_t owner = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) {
        return Has(out, "owned by this program");
    })) << bed.GetOutput(owner);
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(),
                      AsNobody({TestBed::BinaryPath("qip-discover"), "--no-ssid", "--verbose", "--probe", "198.51.100.20",
                                "--wait-for", "far-1"}),
                      &output, TestBed::cDefaultTimeoutMs, &errors),
              0)
        << output << errors;
    EXPECT_TRUE(Has(output, "far-1")) << output << errors;
    EXPECT_TRUE(Has(errors, "subscribed to process " + std::to_string(owner))) << errors;
    EXPECT_TRUE(Has(errors, "takes no requests from this program's user")) << errors;
    // The owner never swept the stranger's target for it.
    EXPECT_FALSE(Has(bed.GetOutput(owner), "probing 198.51.100.20")) << bed.GetOutput(owner);

    // Strangers holding every connection they can get leave room for root's programs.
    const pid_t holder = bed.Start(bed.GetHostNamespace(),
                                   AsNobody({TestBed::BinaryPath("qip-test-stranger"), "hold", "64"}));
    ASSERT_GT(holder, 0);
    EXPECT_TRUE(WaitForOutput(bed, holder, [](const std::string& out) {
        return Has(out, "listen-only 32, full 32");
    })) << bed.GetOutput(holder);
    output.clear();
    errors.clear();
    bed.Run(bed.GetHostNamespace(), {"qip-discover", "--no-ssid", "--verbose", "--wait", "0.5"}, &output,
            TestBed::cDefaultTimeoutMs, &errors);
    EXPECT_TRUE(Has(errors, "subscribed to process " + std::to_string(owner))) << errors;
}

namespace {

size_t CountLines(const std::string& text, const std::string& start) {
    size_t count = 0;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        if (text.compare(at, start.size(), start) == 0) ++count;
        if (text.find('\n', at) == std::string::npos) break;
    }
    return count;
}
}  // namespace

TEST(PortShareTestBed, SubscribersThatNeverReadAndAChurnOfConnectionsCostTheOwnerBoundedMemory) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string devices = bed.AddDevice({"192.0.2.21/24"});
    ASSERT_GT(bed.StartSimulator(devices, {"--address", "192.0.2.21/24", "--id", "dev-1"}), 0);
    const std::string sender = bed.AddDevice({"192.0.2.30/24"});
    ASSERT_FALSE(sender.empty());
    const pid_t owner = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch", "--no-ssid"});
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) { return Has(out, "appeared dev-1 "); }))
        << bed.GetOutput(owner);
    const pid_t reader = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(reader, 0);
    ASSERT_TRUE(WaitForOutput(bed, reader, [](const std::string& out) { return Has(out, "appeared dev-1 "); }))
        << bed.GetOutput(reader);
    // 4,096 records for every newcomer's snapshot, each of a page-sized hello.
    const std::string padding(1000, 'x');
    const auto flood = [&](int round) {
        TestBed::EnterHost inside(sender);
        KspDescriptor fd(socket(AF_INET, SOCK_DGRAM, 0));
        for (int i = 0; i < 4096; ++i) {
            SendUdp(fd.Get(), Hello("rec-" + std::to_string(i), "/" + std::to_string(round) + padding));
            // About 4 MB a second: a reader keeps up, one that never reads does not.
            if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    flood(0);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // nothing to wait on: the owner's list caps a sender
    const long idleKb = TestBed::RssKb(owner);
    ASSERT_GT(idleKb, 0);

    std::vector<std::unique_ptr<KspDescriptor>> silent;
    long peakKb = idleKb;
    size_t heardBefore = 0;
    {
        TestBed::EnterHost inside(bed);
        ASSERT_TRUE(inside.IsEntered());
        for (int i = 0; i < 64; ++i) silent.emplace_back(new KspDescriptor(TestBed::ConnectToShareOwner()));
        heardBefore = CountLines(bed.GetOutput(reader), "qip-discover: heard QipSim dev-1");
        // 4,000 connections a second for 10 s, while every record changes twice.
        std::thread churn([&] {
            TestBed::EnterHost churnInside(bed);
            const auto start = std::chrono::steady_clock::now();
            for (int tick = 0; tick < 1000; ++tick) {
                for (int i = 0; i < 40; ++i) {
                    KspDescriptor fd(TestBed::ConnectToShareOwner());
                }
                std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
            }
        });
        for (int round = 1; round <= 2; ++round) flood(round);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            peakKb = std::max(peakKb, TestBed::RssKb(owner));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        churn.join();
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // AddressSanitizer's quarantine keeps freed memory resident and ThreadSanitizer's shadow
    // doubles it: the bounds are a plain build's; the rest holds in every build.
    EXPECT_LE(peakKb - idleKb, 32 * 1024) << "idle " << idleKb << " kB, peak " << peakKb << " kB";
#endif
    // The device's answers still reach the subscriber that reads (the owner's cycle is 10 s).
    EXPECT_TRUE(WaitForOutput(bed, reader, [&](const std::string& out) {
        return CountLines(out, "qip-discover: heard QipSim dev-1") > heardBefore;
    })) << bed.GetOutput(reader);
    silent.clear();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    long afterKb = TestBed::RssKb(owner);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (afterKb - idleKb > 8 * 1024 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        afterKb = TestBed::RssKb(owner);
    }
    EXPECT_LE(afterKb - idleKb, 8 * 1024) << "idle " << idleKb << " kB, after " << afterKb << " kB";
#endif
#if !defined(__SANITIZE_THREAD__)
    // It kept up, so it was never dropped for those that did not (under ThreadSanitizer the
    // reader itself runs too slowly to keep up with the changes).
    EXPECT_FALSE(Has(bed.GetOutput(reader), "listening alone")) << bed.GetOutput(reader);
#endif
    // A few lines, not one per refused connection.
    EXPECT_LE(CountLines(bed.GetOutput(owner), "Discovery port:"), 6u) << bed.GetOutput(owner);
}
