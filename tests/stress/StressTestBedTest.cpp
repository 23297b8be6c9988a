#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "qip/QipPacket.h"
#include "sysinfo/SysInfo.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

const auto cGenerous = std::chrono::seconds(15);

}  // namespace

TEST(Stress, ClientAndListCyclesEachEndPromptly) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    TestBed::EnterHost host(bed);
    // A hundred cycles: enough for ThreadSanitizer to see start and stop race many times.
    for (int cycle = 0; cycle < 100; ++cycle) {
        const Clock::time_point start = Clock::now();
        {
            std::unique_ptr<QipClient> client(new QipClient());
            QipDeviceList list(client.get());
            client.reset();
        }
        ASSERT_LT(Clock::now() - start, cGenerous) << "cycle " << cycle;
    }
}

TEST(Stress, HelloFloodNeverPassesTheCapAndComplainsOnce) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string ns = bed.AddDevice({"192.0.2.20/24"});
    ASSERT_FALSE(ns.empty());
    std::unique_ptr<QipClient> client;
    std::unique_ptr<QipDeviceList> list;
    {
        TestBed::EnterHost host(bed);
        client.reset(new QipClient());
        list.reset(new QipDeviceList(client.get()));
    }
    testing::internal::CaptureStderr();
    std::atomic<bool> done(false);
    std::thread sender([&] {
        TestBed::EnterHost device(ns);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(19375);
        inet_pton(AF_INET, TestBed::cHostAddress, &to.sin_addr);
        // As fast as one sender can, until the list is full and a little beyond: a slow
        // (sanitized) receiver drops much of a flood, so a fixed count might never fill it.
        int beyond = -1;
        for (int n = 0; n < 400000 && beyond != 0; ++n) {
            if (n % 256 == 0 && beyond < 0 && list->Snapshot().size() >= QipDeviceList::cMaxDevices) beyond = 256;
            if (beyond > 0) --beyond;
            unsigned char buffer[QipClient::cBufferSize];
            const unsigned long length =
                QipPacketHello("QipBox", "flood-" + std::to_string(n), "192.0.2.20", "255.255.255.0", "/s", "1")
                    .Serialize(buffer, sizeof buffer);
            sendto(fd, buffer, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        close(fd);
        done = true;
    });
    size_t most = 0;
    while (!done) {
        most = std::max(most, list->Snapshot().size());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    sender.join();
    // What is still queued arrives; a flood that reached the cap has said so.
    const Clock::time_point settle = Clock::now();
    while (list->Snapshot().size() < QipDeviceList::cMaxDevices && Clock::now() - settle < cGenerous) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    most = std::max(most, list->Snapshot().size());
    const Clock::time_point start = Clock::now();
    client.reset();
    list.reset();
    EXPECT_LT(Clock::now() - start, cGenerous);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(most, QipDeviceList::cMaxDevices);
    size_t complaints = 0;
    for (std::string::size_type at = errors.find("Device list full"); at != std::string::npos;
         at = errors.find("Device list full", at + 1))
        ++complaints;
    EXPECT_EQ(complaints, 1u) << "once a minute at most, and the flood takes seconds";
}

TEST(Stress, HostileStatusPagesEndWithinTheirBoundsAndStayBounded) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::vector<std::string> faults = {"silent", "trickle", "endless",  "garbage",
                                             "reset",  "nested",  "no-accept", "tiny-tags"};
    std::vector<std::string> cidrs, args;
    for (size_t i = 0; i < faults.size(); ++i) {
        const std::string address = "192.0.2." + std::to_string(20 + i);
        cidrs.push_back(address + "/24");
        args.insert(args.end(), {"--device", "--address", address, "--http-fault", faults[i]});
    }
    const std::string ns = bed.AddDevice(cidrs);
    ASSERT_GT(bed.StartSimulator(ns, args), 0);
    TestBed::EnterHost host(bed);
    // Fetched together, as a poll tick does, so the slow kinds overlap.
    std::vector<std::thread> fetches;
    std::vector<size_t> stored(faults.size());
    std::vector<double> seconds(faults.size());
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < faults.size(); ++i) {
        fetches.emplace_back([&, i] {
            SysInfo info("192.0.2." + std::to_string(20 + i), "/status.xml");
            const Clock::time_point start = Clock::now();
            info.Fetch();
            seconds[i] = std::chrono::duration<double>(Clock::now() - start).count();
            stored[i] = info.GetStoredBytes();
        });
    }
    for (std::thread& fetch : fetches) fetch.join();
    testing::internal::GetCapturedStderr();
    for (size_t i = 0; i < faults.size(); ++i) {
        EXPECT_LT(seconds[i], 15) << faults[i];
        EXPECT_LE(stored[i], SysInfo::cMaxStoredBytes) << faults[i];
    }
    // The page of tiny values filled the allowance, not the memory.
    EXPECT_GT(stored.back(), SysInfo::cMaxStoredBytes / 2);
}
