// Programs beside an owner of the discovery port over a minute, past the keep-alive, repeat
// and ageing periods: what a subscriber lists and how long it stays subscribed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ksp/KspDescriptor.h"
#include "qip/QipPacket.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Waits, up to the bed's generous bound, until `done` holds.
bool Eventually(const std::function<bool()>& done) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(TestBed::cDefaultTimeoutMs);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// One hello of `id`, sent once from the device namespace `from` (192.0.2.30) to the host.
void SendHelloOnce(const std::string& from, const std::string& id) {
    TestBed::EnterHost inside(from);
    ASSERT_TRUE(inside.IsEntered());
    KspDescriptor fd(socket(AF_INET, SOCK_DGRAM, 0));
    unsigned char buffer[1472];
    const QipPacketHello hello("QipSim", id, "192.0.2.30", "255.255.255.0", "/status.xml", "1");
    const unsigned long length = hello.Serialize(buffer, sizeof buffer);
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(19375);
    to.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1, the bed's host
    ASSERT_EQ(sendto(fd.Get(), buffer, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(length));
}

const std::vector<std::string> cWatch = {"qip-discover", "--watch", "--no-ssid", "--verbose"};

}  // namespace

// The long cases share one minute: two beds side by side, one whose owner hears a device
// answering every cycle and two hellos sent once, one whose owner hears nothing at all.
TEST(PortShareTimeTestBed, OverAMinuteSubscribersListTrueAgesKeepTheirDevicesAndStaySubscribed) {
    QIP_REQUIRE_TESTBED();
    TestBed heard;
    TestBed quiet;
    ASSERT_TRUE(heard.IsReady() && quiet.IsReady());
    const std::string steady = heard.AddDevice({"192.0.2.21/24"});
    ASSERT_GT(heard.StartSimulator(steady, {"--address", "192.0.2.21/24", "--id", "steady"}), 0);
    const std::string sender = heard.AddDevice({"192.0.2.30/24"});
    ASSERT_FALSE(sender.empty());

    const pid_t owner = heard.Start(heard.GetHostNamespace(), cWatch);
    const pid_t quietOwner = quiet.Start(quiet.GetHostNamespace(), cWatch);
    ASSERT_GT(owner, 0);
    ASSERT_GT(quietOwner, 0);
    ASSERT_TRUE(Eventually([&] { return Has(heard.GetOutput(owner), "appeared steady "); }))
        << heard.GetOutput(owner);
    ASSERT_TRUE(Eventually([&] { return Has(quiet.GetOutput(quietOwner), "owned by this program"); }))
        << quiet.GetOutput(quietOwner);
    // Goes silent now: 40 s later a newcomer must not list it.
    SendHelloOnce(sender, "stale");
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(Eventually([&] { return Has(heard.GetOutput(owner), "appeared stale "); }));

    // Subscribers that watch for a minute: one beside the device answering every cycle, one
    // beside an owner that hears nothing but still runs.
    const pid_t watcher = heard.Start(heard.GetHostNamespace(), cWatch);
    const pid_t waiting = quiet.Start(quiet.GetHostNamespace(), cWatch);
    ASSERT_GT(watcher, 0);
    ASSERT_GT(waiting, 0);
    const std::string subscribed = "subscribed to process ";
    ASSERT_TRUE(Eventually([&] { return Has(heard.GetOutput(watcher), subscribed + std::to_string(owner)); }))
        << heard.GetOutput(watcher);
    ASSERT_TRUE(Eventually([&] { return Has(quiet.GetOutput(waiting), subscribed + std::to_string(quietOwner)); }))
        << quiet.GetOutput(waiting);

    // A device the owner heard 2 s before a program subscribes is listed at once, with its
    // last answer about 2 s ago.
    std::this_thread::sleep_until(start + std::chrono::seconds(38));
    const Clock::time_point warmSent = Clock::now();
    SendHelloOnce(sender, "warm");
    // Not fatal: a subscriber that took the port for itself gets it instead, which the
    // checks at the end name.
    EXPECT_TRUE(Eventually([&] { return Has(heard.GetOutput(owner), "appeared warm "); }));
    // A little past 2 s: the age handed over counts whole seconds.
    std::this_thread::sleep_until(warmSent + std::chrono::milliseconds(2300));
    std::string listed;
    EXPECT_EQ(heard.Run(heard.GetHostNamespace(), {"qip-live-list", "2"}, &listed), 0) << listed;
    std::smatch age;
    const bool isListed =
        std::regex_search(listed, age, std::regex("warm +from 192\\.0\\.2\\.30 .* last answer (\\d+)s ago"));
    EXPECT_TRUE(isListed) << listed;
    EXPECT_GE(isListed ? std::stoi(age[1]) : -1, 2) << listed;
    EXPECT_LE(isListed ? std::stoi(age[1]) : -1, 4) << listed;
    EXPECT_FALSE(Has(listed, "stale")) << "silent for 40 s:\n" << listed;

    // 45 s of a device answering every cycle, and a minute of keep-alives only.
    std::this_thread::sleep_until(start + std::chrono::seconds(60));
    const std::string watched = heard.GetOutput(watcher);
    EXPECT_TRUE(Has(watched, "appeared steady ")) << watched;
    EXPECT_FALSE(Has(watched, "gone     steady")) << watched;  // the kind's column is 8 wide
    const std::string waited = quiet.GetOutput(waiting);
    for (const char* never : {"does not answer", "listening alone", "owns it now", "gone "}) {
        EXPECT_FALSE(Has(waited, never)) << never << " in:\n" << waited;
    }
    // Only the owner holds the UDP port.
    std::string sockets;
    ASSERT_EQ(quiet.Run(quiet.GetHostNamespace(), {"ss", "-Hunap", "sport = :19375"}, &sockets), 0);
    EXPECT_TRUE(Has(sockets, "pid=" + std::to_string(quietOwner) + ",")) << sockets;
    EXPECT_FALSE(Has(sockets, "pid=" + std::to_string(waiting) + ",")) << sockets;
}
