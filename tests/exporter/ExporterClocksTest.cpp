#include <crypt.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/testbed/TestBed.h"

// What qip-exporter does over time on its own clock, which its unit tests replace: the
// allowance of password checks an address gets back, and a failed page read tried again.
namespace {

using Clock = std::chrono::steady_clock;

std::string BcryptHash(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    if (crypt_gensalt_rn("$2b$", 5, nullptr, 0, setting, sizeof setting) == nullptr) return "";
    const char* hash = crypt_rn(password.c_str(), setting, &data, sizeof data);
    return hash != nullptr && hash[0] == '$' ? hash : "";
}

// The status page reads counted so far, every outcome; -1 when the scrape failed.
long long PageReads(TestBed& bed, const std::string& url) {
    std::string metrics;
    if (bed.Run(bed.GetHostNamespace(), {"curl", "-sf", url}, &metrics, 5000) != 0) return -1;
    long long reads = 0;
    const std::string series = "\nqip_status_page_reads_total{";
    for (size_t at = metrics.find(series); at != std::string::npos; at = metrics.find(series, at + 1)) {
        reads += std::atoll(metrics.c_str() + metrics.find("} ", at) + 2);
    }
    return reads;
}

}  // namespace

TEST(ExporterClocks, AnAddressOutOfPasswordChecksGetsThemBackOnTheExportersClock) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string host = bed.GetHostNamespace();
    char folderName[] = "/tmp/qip-clocks-XXXXXX";
    ASSERT_NE(mkdtemp(folderName), nullptr);
    const std::string webConfig = std::string(folderName) + "/web.yml";
    const std::string hash = BcryptHash("s3cret");
    ASSERT_FALSE(hash.empty());
    std::ofstream(webConfig) << "basic_auth_users:\n  prometheus: '" << hash << "'\n";
    const pid_t exporter =
        bed.Start(host, {"qip-exporter", "--no-ssid", "--listen", "127.0.0.1:19380", "--web-config", webConfig});
    ASSERT_GT(exporter, 0);
    const auto status = [&](const std::string& user) {
        std::vector<std::string> argv{"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}"};
        if (!user.empty()) argv.insert(argv.end(), {"-u", user});
        argv.push_back("http://127.0.0.1:19380/metrics");
        std::string out;
        bed.Run(host, argv, &out, 15000);
        return out;
    };
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(15);
    while (status("") != "401" && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The burst of checks spent on wrong passwords: the right one waits for the allowance,
    // two checks a second, and is then served.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(status("prometheus:wrong"), "401");
    std::string served;
    while ((served = status("prometheus:s3cret")) != "200" && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(served, "200") << bed.GetOutput(exporter);
    EXPECT_EQ(bed.Stop(exporter), 0);
    std::filesystem::remove_all(folderName);
}

TEST(ExporterClocks, APageThatCouldNotBeReadIsTriedAgainHalfAMinuteLater) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string device = bed.AddDevice({"192.0.2.20/24"});
    ASSERT_GT(bed.StartSimulator(device, {"--address", "192.0.2.20/24", "--id", "late-page", "--no-http"}), 0);
    const pid_t exporter = bed.Start(bed.GetHostNamespace(), {"qip-exporter", "--listen", "127.0.0.1:19381"});
    ASSERT_GT(exporter, 0);
    const std::string url = "http://127.0.0.1:19381/metrics";
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(60);
    long long reads = 0;
    while ((reads = PageReads(bed, url)) < 1 && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(reads, 1) << bed.GetOutput(exporter);
    const Clock::time_point first = Clock::now();
    // Not asked again at once, nor on each answer of the device; again once 30 s have passed.
    while ((reads = PageReads(bed, url)) == 1 && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_EQ(reads, 2) << bed.GetOutput(exporter);
    EXPECT_GE(Clock::now() - first, std::chrono::seconds(25));
    EXPECT_EQ(bed.Stop(exporter), 0);
}
