#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/exporter/MonitoringServers.h"
#include "tests/testbed/TestBed.h"

// Many sites as docs/monitoring.md builds them, with Debian's Prometheus: regional servers
// with the shipped recording rules and a global one federating from them, and an agent at a
// site writing to a receiving server. Only the intervals are shortened and the addresses
// are the test bed's.
namespace {

const char* const cFastGlobal = "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n";

struct Site {
    const char* mName;
    const char* mExporter;  // the site's machine, a /26 of its own
    std::vector<const char*> mDevices;
};

// Starts each site's devices and exporter; the scrape target lines of each, "" on failure.
std::map<std::string, std::string> StartSites(TestBed& bed, const std::vector<Site>& sites) {
    std::map<std::string, std::string> targets;
    for (const Site& site : sites) {
        const std::string ns = bed.AddDevice({std::string(site.mExporter) + "/26"});
        int n = 0;
        for (const char* device : site.mDevices) {
            const std::string cidr = std::string(device) + "/26";
            if (bed.StartSimulator(bed.AddDevice({cidr}), {"--address", cidr, "--type", "QipBox", "--id",
                                                           std::string(site.mName) + "-" + std::to_string(++n)}) <= 0) {
                return {};
            }
        }
        const std::string listen = std::string(site.mExporter) + ":19376";
        if (ns.empty() || bed.Start(ns, {"qip-exporter", "--listen", listen}) <= 0) return {};
        targets[site.mName] = "      - targets: ['" + listen + "']\n        labels: {site: " + site.mName + "}\n";
    }
    return targets;
}

std::map<std::string, std::string> ValueBy(const nlohmann::json& result, const std::string& label) {
    std::map<std::string, std::string> values;
    for (const nlohmann::json& series : result) {
        values[series["metric"].value(label, "<none>")] = series["value"][1].get<std::string>();
    }
    return values;
}

TEST(ExporterFederation, TheGlobalServerCountsEachSitesDevicesAndHoldsNoDeviceSeries) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string host = bed.GetHostNamespace();
    std::map<std::string, std::string> targets = StartSites(bed, {
        {"north", "198.51.100.10", {"198.51.100.20", "198.51.100.21"}},
        {"east", "198.51.100.74", {"198.51.100.84"}},
        {"south", "198.51.100.138", {"198.51.100.148", "198.51.100.149", "198.51.100.150"}},
    });
    ASSERT_EQ(targets.size(), 3u);

    // Region one watches north and east, region two south, each with both shipped rule files
    // and the document's external label.
    MonitoringServer regionOne(bed, host, "127.0.0.1:19391");
    MonitoringServer regionTwo(bed, host, "127.0.0.1:19392");
    const struct {
        MonitoringServer& mServer;
        const char* mRegion;
        std::string mTargets;
    } regions[] = {{regionOne, "one", targets["north"] + targets["east"]},
                   {regionTwo, "two", targets["south"]}};
    for (const auto& region : regions) {
        const std::string rules = region.mServer.Write("qip-alerts.yml", ShippedRules("qip-alerts.yml"));
        const std::string recording = region.mServer.Write("qip-recording.yml", ShippedRules("qip-recording.yml"));
        const std::string external = Replaced(MonitoringDocBlock("region"), "region: north",
                                              std::string("region: ") + region.mRegion);
        ASSERT_TRUE(region.mServer.StartPrometheus(
            Replaced(external, "global:\n", cFastGlobal) + "rule_files: ['" + rules + "', '" + recording +
            "']\nscrape_configs:\n  - job_name: qip\n    static_configs:\n" + region.mTargets));
    }
    MonitoringServer global(bed, host, "127.0.0.1:19393");
    std::string federate = MonitoringDocBlock("federate");
    federate = Replaced(Replaced(federate, "prometheus-region-1:9090", regionOne.GetAddress()),
                        "prometheus-region-2:9090", regionTwo.GetAddress());
    ASSERT_TRUE(global.StartPrometheus(cFastGlobal + federate));

    nlohmann::json result;
    const std::map<std::string, std::string> expected = {{"north", "2"}, {"east", "1"}, {"south", "3"}};
    const double counted = global.WaitFor("site:qip_devices:count", 30, [&](const nlohmann::json& r) {
        return ValueBy(r, "site") == expected;
    }, result);
    ASSERT_GE(counted, 0) << result.dump() << "\n" << global.Targets() << "\n" << regionOne.Targets();
    // Each site's count carries its region.
    std::map<std::string, std::string> regionOf;
    for (const nlohmann::json& series : result) regionOf[series["metric"]["site"]] = series["metric"]["region"];
    EXPECT_EQ(regionOf, (std::map<std::string, std::string>{{"north", "one"}, {"east", "one"}, {"south", "two"}}));
    EXPECT_EQ(ValueBy(global.Query("sum by (region) (site:qip_devices:count)"), "region"),
              (std::map<std::string, std::string>{{"one", "3"}, {"two", "3"}}));
    // The devices themselves stayed in the regions.
    EXPECT_EQ(global.Query("{__name__=~\"qip_.+\"}").size(), 0u);
    EXPECT_EQ(global.Query("{device_id!=\"\"}").size(), 0u);
    EXPECT_EQ(regionOne.Query("qip_device_info").size(), 3u);

    // What one scrape of a region's /federate carries per site.
    std::string body;
    ASSERT_TRUE(regionOne.Get("/federate?match%5B%5D=%7B__name__%3D~%22site%3Aqip_.%2A%22%7D", body));
    std::cout << "federation answer: " << body.size() << " bytes for 2 sites, "
              << body.size() / 2 << " bytes per site\n";
}

TEST(ExporterRemoteWrite, TheReceiverAnswersTheDocumentsQueriesForTheAgentsSite) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string host = bed.GetHostNamespace();
    // The device of the document's queries, and one more, at the site the agent watches.
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}), {"--address", "192.0.2.20/24", "--type",
              "QipBox", "--id", "00:11:22:33:44:55", "--ssid", "Office"}), 0);
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.21/24"}), {"--address", "192.0.2.21/24", "--type",
              "QipCam", "--id", "00:11:22:33:44:66", "--ssid", "Lab"}), 0);
    const pid_t exporter = bed.Start(host, {"qip-exporter", "--listen", "127.0.0.1:19376"});
    ASSERT_GT(exporter, 0);

    MonitoringServer receiver(bed, host, "127.0.0.1:19394");
    const std::string rules = receiver.Write("qip-alerts.yml", ShippedRules("qip-alerts.yml"));
    const std::string recording = receiver.Write("qip-recording.yml", ShippedRules("qip-recording.yml"));
    ASSERT_TRUE(receiver.StartPrometheus(std::string(cFastGlobal) + "rule_files: ['" + rules + "', '" +
                                         recording + "']\n", {"--web.enable-remote-write-receiver"}));
    MonitoringServer agent(bed, host, "127.0.0.1:19395");
    std::string config = MonitoringDocBlock("agent");
    config = Replaced(Replaced(config, "scrape_interval: 15s", "scrape_interval: 1s\n  scrape_timeout: 1s"),
                      "metrics-store.example:9090", receiver.GetAddress());
    ASSERT_TRUE(agent.StartPrometheus(config, {"--enable-feature=agent"}));

    nlohmann::json result;
    ASSERT_GE(receiver.WaitFor("site:qip_devices:count", 30, [](const nlohmann::json& r) {
        return ValueBy(r, "site") == std::map<std::string, std::string>{{"north", "2"}};
    }, result), 0) << result.dump() << "\n" << agent.Output() << bed.GetOutput(exporter);

    // Every query of the document's table answers there; those about present devices and
    // their site name them, those about failures are empty.
    const std::vector<std::string> queries = MonitoringDocQueries();
    ASSERT_EQ(queries.size(), 7u);
    std::map<std::string, std::string> answers;
    for (const std::string& query : queries) {
        const nlohmann::json answer = receiver.Query(query);
        std::string summary;
        for (const nlohmann::json& series : answer) {
            summary += series["metric"].value("site", "-") + "/" + series["metric"].value("region", "-") + " ";
        }
        answers[query] = summary;
    }
    EXPECT_EQ(answers[queries[0]], "north/- ");             // devices per site
    EXPECT_EQ(answers[queries[1]], "north/- ");             // of one type at each site
    EXPECT_EQ(answers[queries[2]], "north/north ");         // where a device is
    EXPECT_EQ(answers[queries[3]], "north/north ");         // on one wireless network
    EXPECT_EQ(answers[queries[4]], "north/north north/north ");  // since last answered
    EXPECT_EQ(answers[queries[5]], "");                     // exporters down
    EXPECT_EQ(answers[queries[6]], "");                     // failing page reads
    EXPECT_EQ(ValueBy(receiver.Query(queries[0]), "site"), (std::map<std::string, std::string>{{"north", "2"}}));
}

}  // namespace
