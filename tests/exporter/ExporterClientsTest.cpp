#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/exporter/HostileClients.h"
#include "tests/testbed/TestBed.h"

// qip-exporter in the test bed with clients that try to wear its HTTP server down from
// other hosts of the network, while the host scrapes it.
namespace {

using Clock = std::chrono::steady_clock;
const char* const cListen = "192.0.2.1:19376";

size_t CountDescriptors(pid_t pid) {
    size_t count = 0;
    if (DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(folder) != nullptr) ++count;
        closedir(folder);
    }
    return count - 2;  // "." and ".."
}

// One scrape from the host; true when it brought the metrics within `seconds`.
bool Scrape(TestBed& bed, const std::string& url, int seconds, std::string* out = nullptr) {
    std::string body;
    const int status = bed.Run(bed.GetHostNamespace(),
                               {"curl", "-sf", "--max-time", std::to_string(seconds), url}, &body,
                               (seconds + 5) * 1000);
    if (out != nullptr) *out = body;
    return status == 0 && body.find("qip_exporter_build_info") != std::string::npos;
}

TEST(ExporterClients, SlowAndIdleClientsDoNotStopScrapesAndLeaveNothingBehind) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string slowHost = bed.AddDevice({"192.0.2.50/24"});
    const std::string idleHost = bed.AddDevice({"192.0.2.51/24"});
    ASSERT_FALSE(slowHost.empty());
    ASSERT_FALSE(idleHost.empty());
    const pid_t exporter = bed.Start(bed.GetHostNamespace(), {"qip-exporter", "--listen", cListen, "--no-ssid"});
    ASSERT_GT(exporter, 0);
    const std::string url = std::string("http://") + cListen + "/metrics";
    const Clock::time_point start = Clock::now();
    while (!Scrape(bed, url, 2) && Clock::now() - start < std::chrono::seconds(15)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(Scrape(bed, url, 2)) << bed.GetOutput(exporter);
    // The fewest over a second: the connections of the scrapes above close meanwhile.
    size_t idleDescriptors = CountDescriptors(exporter);
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        idleDescriptors = std::min(idleDescriptors, CountDescriptors(exporter));
    }

    {
        HostileClients slow(slowHost, "192.0.2.1", 19376, 0, 64);
        HostileClients idle(idleHost, "192.0.2.1", 19376, 1000, 0);
        slow.Start();
        idle.Start();
        // Long enough for the slow clients' heads to outlast the server's idle timeout.
        std::this_thread::sleep_for(std::chrono::seconds(8));
        int succeeded = 0;
        size_t mostDescriptors = 0;
        for (int i = 0; i < 20; ++i) {
            std::string body;
            if (Scrape(bed, url, 10, &body)) ++succeeded;
            mostDescriptors = std::max(mostDescriptors, CountDescriptors(exporter));
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_EQ(succeeded, 20) << bed.GetOutput(exporter);
        EXPECT_GT(slow.GetConnects() + idle.GetConnects(), 1064u) << "the clients did not get going";
        // Each client address holds a bounded share; the rest are refused as they come.
        EXPECT_LE(mostDescriptors, idleDescriptors + 2 * 32 + 8);
    }
    // Gone with the clients: every connection closed, no descriptor left.
    const Clock::time_point left = Clock::now();
    while (CountDescriptors(exporter) > idleDescriptors &&
           Clock::now() - left < std::chrono::seconds(15)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LE(CountDescriptors(exporter), idleDescriptors);
    EXPECT_TRUE(Scrape(bed, url, 10));
    EXPECT_EQ(bed.Stop(exporter), 0);
}

}  // namespace
