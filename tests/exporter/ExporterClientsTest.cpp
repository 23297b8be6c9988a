#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/exporter/ExporterClientsSupport.h"
#include "tests/exporter/HostileClients.h"
#include "tests/exporter/PasswordGuessers.h"
#include "tests/testbed/TestBed.h"

// qip-exporter in the test bed with clients that try to wear its HTTP server down from
// other hosts of the network, while the host scrapes it: slow and idle connections and
// password guessers; and what its log says of a page it could not read.
namespace {

const char* const cListen = cExporterListen;
using Clock = ExporterClock;

// Seconds from connecting to 192.0.2.1:19376 (from `ns`) until the server closed the
// connection, -1 when it was still open after 20 s: silent, or sending one header line
// every half second without ever ending the head.
double SecondsUntilClosed(const std::string& ns, bool trickle) {
    TestBed::EnterHost inside(ns);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(19376);
    inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    if (!inside.IsEntered() || fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0) close(fd);
        return -2;
    }
    const Clock::time_point start = Clock::now();
    double closedAfter = -1;
    for (int line = 0; SecondsSince(start) < 20; ++line) {
        if (trickle) {
            const std::string text = line == 0 ? "GET /metrics HTTP/1.1\r\n" : "X-Slow: " + std::to_string(line) + "\r\n";
            send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 500) > 0) {
            char buffer[512];
            if (recv(fd, buffer, sizeof buffer, 0) <= 0) {
                closedAfter = SecondsSince(start);
                break;
            }
        }
    }
    close(fd);
    return closedAfter;
}

// A slow head is closed at its deadline and a silent connection at the idle timeout;
// clients of 64 addresses that keep 640 slow heads open, and 1,000 silent ones, stop no
// scrape, and leave no descriptor behind.
TEST(ExporterClients, SlowAndIdleClientsDoNotStopScrapesAndLeaveNothingBehind) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string slowHost = bed.AddDevice(Addresses(100, 64, true));
    const std::string idleHost = bed.AddDevice({"192.0.2.51/24"});
    const std::string probeHost = bed.AddDevice({"192.0.2.52/24"});
    ASSERT_FALSE(slowHost.empty());
    ASSERT_FALSE(idleHost.empty());
    ASSERT_FALSE(probeHost.empty());
    const pid_t exporter = bed.Start(bed.GetHostNamespace(), {"qip-exporter", "--listen", cListen, "--no-ssid"});
    ASSERT_GT(exporter, 0);
    const std::string url = std::string("http://") + cListen + "/metrics";
    ASSERT_TRUE(WaitForScrape(bed, url)) << bed.GetOutput(exporter);
    const size_t idleDescriptors = IdleDescriptors(exporter);

    // The documented times: 5 s of silence, 5 s for a head from its first byte.
    double silentClosed = -3;
    std::thread silent([&] { silentClosed = SecondsUntilClosed(probeHost, false); });
    const double slowClosed = SecondsUntilClosed(probeHost, true);
    silent.join();
    EXPECT_TRUE(slowClosed >= 4.5 && slowClosed <= 15)
        << "a head that never ends is closed at its deadline, not before; closed after " << slowClosed << " s (-1: never)";
    EXPECT_TRUE(silentClosed >= 4.5 && silentClosed <= 15)
        << "a silent connection is closed after the idle time, not before; closed after " << silentClosed
        << " s (-1: never)";

    {
        HostileClients slow(slowHost, "192.0.2.1", 19376, 0, 640, Addresses(100, 64, false));
        HostileClients idle(idleHost, "192.0.2.1", 19376, 1000, 0);
        slow.Start();
        idle.Start();
        // Long enough for the slow clients' heads to outlast the server's idle timeout.
        std::this_thread::sleep_for(std::chrono::seconds(8));
        int succeeded = 0;
        size_t mostDescriptors = 0;
        for (int i = 0; i < 20; ++i) {
            if (Scrape(bed, url, 10)) ++succeeded;
            mostDescriptors = std::max(mostDescriptors, CountDescriptors(exporter));
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_EQ(succeeded, 20) << bed.GetOutput(exporter);
        EXPECT_GT(slow.GetConnects() + idle.GetConnects(), 1640u) << "the clients did not get going";
        // The silent clients' address holds its 32; the slow ones what they can open.
        EXPECT_LE(mostDescriptors, idleDescriptors + 640 + 32 + 16);
    }
    // Gone with the clients: every connection closed, no descriptor left.
    const Clock::time_point left = Clock::now();
    while (CountDescriptors(exporter) > idleDescriptors && SecondsSince(left) < 15) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LE(CountDescriptors(exporter), idleDescriptors);
    EXPECT_TRUE(Scrape(bed, url, 10));
    EXPECT_EQ(bed.Stop(exporter), 0);
}

// 200 wrong passwords a second from 64 addresses: the real client, whose password was
// verified before, is served throughout, and the guessers are hashed no more often than
// the total budget allows (the rest are told to wait, 429).
TEST(ExporterClients, WrongPasswordsFromManyAddressesDoNotStallTheRealScrapes) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string guessHost = bed.AddDevice(Addresses(100, 64, true));
    ASSERT_FALSE(guessHost.empty());
    ExporterTestFolder folder;
    ASSERT_FALSE(folder.mPath.empty());
    const std::string hash = BcryptHash("s3cret", 10);
    ASSERT_FALSE(hash.empty());
    std::ofstream(folder.mPath + "/web.yml") << "basic_auth_users:\n  prometheus: '" << hash << "'\n";
    const pid_t exporter = bed.Start(bed.GetHostNamespace(), {"qip-exporter", "--listen", cListen, "--no-ssid",
                                                              "--web-config", folder.mPath + "/web.yml"});
    ASSERT_GT(exporter, 0);
    const std::string url = std::string("http://") + cListen + "/metrics";
    const std::vector<std::string> password = {"-u", "prometheus:s3cret"};
    ASSERT_TRUE(WaitForScrape(bed, url, password)) << bed.GetOutput(exporter);

    PasswordGuessers guessers(guessHost, Addresses(100, 64, false), "192.0.2.1", 19376, 200);
    const Clock::time_point start = Clock::now();
    guessers.Start();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    int succeeded = 0;
    for (int i = 0; i < 10; ++i) {
        if (Scrape(bed, url, 10, password)) ++succeeded;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    guessers.Stop();
    const double seconds = SecondsSince(start);
    EXPECT_EQ(succeeded, 10) << bed.GetOutput(exporter);
    EXPECT_GT(guessers.GetSent(), static_cast<size_t>(100 * seconds)) << "the guessers did not get going";
    EXPECT_GT(guessers.GetBusy(), guessers.GetSent() / 2);
    // Each 401 cost a hash: the burst, then four a second, for all 64 addresses together.
    EXPECT_LE(guessers.GetUnauthorized(), static_cast<size_t>(8 + 4 * (seconds + 1)));
    EXPECT_EQ(bed.Stop(exporter), 0);
}

// Beside an owner of the port, an exporter that cannot read a device's status page says
// whose page it was: the device, its type and its address, not a bare "connect() failed".
TEST(ExporterLog, AFailedPageReadNamesTheDeviceAndItsAddressAsASubscriber) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}),
                                 {"--address", "192.0.2.20/24", "--type", "QipBox", "--id", "dark", "--no-http"}),
              0);
    const pid_t owner = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch", "--no-ssid"});
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForLog(bed, owner, "dark", 1)) << bed.GetOutput(owner);
    const pid_t exporter = bed.Start(bed.GetHostNamespace(), {"qip-exporter", "--listen", cListen});
    ASSERT_GT(exporter, 0);
    EXPECT_TRUE(WaitForLog(bed, exporter, "subscribed to process " + std::to_string(owner), 1))
        << bed.GetOutput(exporter);
    EXPECT_TRUE(WaitForLog(bed, exporter,
                           "status page of dark (QipBox) at 192.0.2.20: connect() failed: Connection refused", 1))
        << bed.GetOutput(exporter);
    EXPECT_EQ(bed.GetOutput(exporter).find("qip-exporter: connect() failed"), std::string::npos);
    EXPECT_EQ(bed.Stop(exporter), 0);
    bed.Stop(owner);
}

}  // namespace
