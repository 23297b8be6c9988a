#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/exporter/MonitoringServers.h"
#include "tests/testbed/TestBed.h"

// qip-exporter scraped by the real Prometheus server (Debian's /usr/bin/prometheus), both
// in the test bed with devices simulated around them, checked through the server's query
// API. Each test starts its own server with a temporary configuration and storage, scraping
// every second, and takes it down with the bed.
namespace {

using Clock = MonitoringClock;
const char* const cFastGlobal =
    "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\nscrape_configs:\n";

// The value of `label` in each series of a query result.
std::multiset<std::string> LabelValues(const nlohmann::json& result, const std::string& label) {
    std::multiset<std::string> values;
    for (const nlohmann::json& series : result) values.insert(series["metric"].value(label, "<none>"));
    return values;
}

bool IsReady(TestBed& bed, const std::string& ns, const std::string& address) {
    const Clock::time_point start = Clock::now();
    while (SecondsSince(start) < 15) {
        std::string out;
        if (bed.Run(ns, {"curl", "-sf", "http://" + address + "/metrics"}, &out, 5000) == 0 &&
            out.find("qip_exporter_build_info") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

TEST(ExporterPrometheus, ListsTheDevicesEscapedAndDropsOneSwitchedOff) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string host = bed.GetHostNamespace();
    // A device whose texts try to break the exposition format: quotes, a backslash and bytes
    // that are no UTF-8 in its SSID (a line break cannot reach an SSID: it ends a line of
    // the status page), and a line break in its id.
    const std::string hostileSsid = "say \"hi\" \\ back \xff\xfe end";
    const std::string hostileId = "evil\nid";
    const pid_t office = bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}),
        {"--address", "192.0.2.20/24", "--type", "QipBox", "--id", "office", "--ssid", "Office"});
    const pid_t lab = bed.StartSimulator(bed.AddDevice({"192.0.2.21/24"}),
        {"--address", "192.0.2.21/24", "--type", "QipBox", "--id", "lab", "--ssid", "Lab"});
    const pid_t hostile = bed.StartSimulator(bed.AddDevice({"192.0.2.22/24"}),
        {"--address", "192.0.2.22/24", "--type", "QipCam", "--id", hostileId, "--ssid", hostileSsid});
    ASSERT_GT(office, 0);
    ASSERT_GT(lab, 0);
    ASSERT_GT(hostile, 0);
    const pid_t exporter = bed.Start(host, {"qip-exporter", "--listen", "127.0.0.1:19376"});
    ASSERT_GT(exporter, 0);
    ASSERT_TRUE(IsReady(bed, host, "127.0.0.1:19376")) << bed.GetOutput(exporter);

    MonitoringServer prometheus(bed, host, "127.0.0.1:19390");
    ASSERT_TRUE(prometheus.StartPrometheus(std::string(cFastGlobal) + "  - job_name: qip\n    static_configs:\n"
                                           "      - targets: ['127.0.0.1:19376']\n"));
    nlohmann::json result;
    const double listed = prometheus.WaitFor("qip_device_info", 20, [](const nlohmann::json& r) {
        return r.size() >= 3;
    }, result);
    ASSERT_GE(listed, 0) << result.dump() << "\n" << prometheus.Targets() << "\n" << bed.GetOutput(exporter);
    EXPECT_EQ(LabelValues(result, "device_id"),
              (std::multiset<std::string>{"office", "lab", hostileId}));
    std::map<std::string, std::string> ssidOf;
    for (const nlohmann::json& series : result) {
        ssidOf[series["metric"]["device_id"]] = series["metric"]["ssid"];
        EXPECT_EQ(series["value"][1], "1");
    }
    EXPECT_EQ(ssidOf["office"], "Office");
    EXPECT_EQ(ssidOf["lab"], "Lab");
    // Stored as sent, with each byte that is no UTF-8 replaced by U+FFFD.
    EXPECT_EQ(ssidOf[hostileId], "say \"hi\" \\ back \xEF\xBF\xBD\xEF\xBF\xBD end");
    EXPECT_EQ(prometheus.Query("qip_devices{device_type=\"QipBox\"}")[0]["value"][1], "2");
    // Wall-clock time of its last answer, which came within the last broadcast period (10 s).
    const nlohmann::json age =
        prometheus.Query("time() - qip_device_last_seen_timestamp_seconds{device_id=\"lab\"}");
    ASSERT_EQ(age.size(), 1u);
    const double sinceLastAnswer = std::stod(age[0]["value"][1].get<std::string>());
    EXPECT_GE(sinceLastAnswer, -2);
    EXPECT_LE(sinceLastAnswer, 15);

    // Switched off: gone from the query within the ageing time (30 to 33 s) and two scrapes.
    ASSERT_EQ(bed.Stop(lab), 0);
    const double gone = prometheus.WaitFor("qip_device_info", 45, [](const nlohmann::json& r) {
        return r.size() == 2;
    }, result);
    ASSERT_GE(gone, 0) << "still listed 45 s after it was switched off: " << result.dump();
    EXPECT_LE(gone, 33 + 2 + 2) << "gone only after " << gone << " s";
    EXPECT_EQ(LabelValues(result, "device_id"), (std::multiset<std::string>{"office", hostileId}));
    EXPECT_EQ(prometheus.Query("qip_devices{device_type=\"QipBox\"}")[0]["value"][1], "1");
    EXPECT_EQ(prometheus.Query("up{job=\"qip\"}")[0]["value"][1], "1") << prometheus.Targets();
    // Each page was read when its device appeared, not on each of the scrapes since.
    const nlohmann::json reads = prometheus.Query("sum(qip_status_page_reads_total)");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["value"][1], "3");

    EXPECT_EQ(bed.Stop(exporter), 0);
}

// Three sites, each a network of its own with its own devices and its own exporter, all
// scraped by one server that labels each with its site.
TEST(ExporterPrometheus, CountsTheDevicesOfEachSite) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    struct Site {
        const char* mName;
        const char* mExporter;            // the site's machine, a /26 of its own
        std::vector<const char*> mDevices;
    };
    const std::vector<Site> sites = {
        {"north", "198.51.100.10", {"198.51.100.20", "198.51.100.21"}},
        {"east", "198.51.100.74", {"198.51.100.84"}},
        {"south", "198.51.100.138", {"198.51.100.148", "198.51.100.149", "198.51.100.150"}},
    };
    std::string configs;
    for (const Site& site : sites) {
        const std::string ns = bed.AddDevice({std::string(site.mExporter) + "/26"});
        ASSERT_FALSE(ns.empty());
        int n = 0;
        for (const char* device : site.mDevices) {
            const std::string cidr = std::string(device) + "/26";
            ASSERT_GT(bed.StartSimulator(bed.AddDevice({cidr}),
                                         {"--address", cidr, "--type", "QipBox", "--id",
                                          std::string(site.mName) + "-" + std::to_string(++n)}),
                      0);
        }
        const std::string listen = std::string(site.mExporter) + ":19376";
        const pid_t exporter = bed.Start(ns, {"qip-exporter", "--listen", listen});
        ASSERT_GT(exporter, 0);
        ASSERT_TRUE(IsReady(bed, bed.GetHostNamespace(), listen)) << bed.GetOutput(exporter);
        configs += "      - targets: ['" + listen + "']\n        labels: {site: " + site.mName + "}\n";
    }
    MonitoringServer prometheus(bed, bed.GetHostNamespace(), "127.0.0.1:19390");
    ASSERT_TRUE(prometheus.StartPrometheus(cFastGlobal + ("  - job_name: qip\n    static_configs:\n" + configs)));
    nlohmann::json result;
    const double counted = prometheus.WaitFor("count by (site) (qip_device_info)", 20,
                                              [](const nlohmann::json& r) {
        size_t total = 0;
        for (const nlohmann::json& series : r) total += std::stoul(series["value"][1].get<std::string>());
        return r.size() == 3 && total == 6;
    }, result);
    ASSERT_GE(counted, 0) << result.dump() << "\n" << prometheus.Targets();
    std::map<std::string, std::string> perSite;
    for (const nlohmann::json& series : result) perSite[series["metric"]["site"]] = series["value"][1];
    EXPECT_EQ(perSite, (std::map<std::string, std::string>{{"north", "2"}, {"east", "1"}, {"south", "3"}}));
    // Each site's exporter heard only its own devices.
    for (const nlohmann::json& series : prometheus.Query("qip_device_info")) {
        const std::string id = series["metric"]["device_id"];
        EXPECT_EQ(id.substr(0, id.find('-')), series["metric"]["site"].get<std::string>());
    }
}

}  // namespace
