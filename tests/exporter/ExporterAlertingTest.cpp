#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/exporter/MonitoringServers.h"
#include "tests/testbed/TestBed.h"

// The alerts of the shipped rule files, from qip-exporter through Debian's Prometheus and
// Alertmanager to a webhook, with the configurations of docs/monitoring.md as written: only
// the waiting times are shortened (the rules' `for`, Alertmanager's grouping, the scrape
// interval), and the rule and target files are named where the test wrote them.
namespace {

// The firing (or resolved) alerts of one notification, as "alertname device_id site".
std::vector<std::string> Alerts(const nlohmann::json& notification) {
    std::vector<std::string> alerts;
    for (const nlohmann::json& alert : notification.value("alerts", nlohmann::json::array())) {
        const nlohmann::json labels = alert.value("labels", nlohmann::json::object());
        alerts.push_back(labels.value("alertname", "?") + " " + labels.value("device_id", "-") + " " +
                         labels.value("site", "-"));
    }
    return alerts;
}

std::string Dump(const std::vector<nlohmann::json>& notifications) {
    std::string text;
    for (const nlohmann::json& n : notifications) text += n.dump() + "\n";
    return text;
}

TEST(ExporterAlerting, ADeviceSwitchedOffAndADownExporterEachReachTheWebhookOnce) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string host = bed.GetHostNamespace();
    std::vector<std::string> namespaces;
    std::vector<std::vector<std::string>> arguments;
    std::vector<pid_t> devices;
    for (int n = 1; n <= 3; ++n) {
        const std::string cidr = "192.0.2." + std::to_string(19 + n) + "/24";
        namespaces.push_back(bed.AddDevice({cidr}));
        arguments.push_back({"--address", cidr, "--type", "QipBox", "--id", "north-" + std::to_string(n)});
        devices.push_back(bed.StartSimulator(namespaces.back(), arguments.back()));
        ASSERT_GT(devices.back(), 0);
    }
    const pid_t exporter = bed.Start(host, {"qip-exporter", "--listen", AlertingChain::cExporter});
    ASSERT_GT(exporter, 0);
    AlertingChain chain(bed);
    ASSERT_TRUE(chain.Start(3));
    WebhookReceiver& webhook = chain.GetWebhook();
    MonitoringServer& prometheus = chain.GetPrometheus();
    MonitoringServer& alertmanager = chain.GetAlertmanager();

    nlohmann::json result;
    ASSERT_GE(prometheus.WaitFor("qip_device_info{site=\"north\"}", 30,
                                 [](const nlohmann::json& r) { return r.size() == 3; }, result),
              0)
        << result.dump() << "\n" << prometheus.Targets() << "\n" << bed.GetOutput(exporter);

    // Switched off: one notification names it, once it has aged out of the exporter's list
    // and the rule's `for` has passed; the other devices go on answering.
    ASSERT_EQ(bed.Stop(devices[1]), 0);
    ASSERT_TRUE(webhook.WaitForMore(0, 90)) << "no notification 90 s after a device was switched off\n"
                                            << alertmanager.Output() << prometheus.Output();
    std::vector<nlohmann::json> notifications = webhook.GetNotifications();
    ASSERT_EQ(notifications.size(), 1u) << Dump(notifications);
    EXPECT_EQ(notifications[0].value("status", ""), "firing");
    EXPECT_EQ(Alerts(notifications[0]), std::vector<std::string>{"QipDeviceGone north-2 north"});

    // Switched on again: one more notification, the same alert resolved.
    devices[1] = bed.StartSimulator(namespaces[1], arguments[1]);
    ASSERT_GT(devices[1], 0);
    ASSERT_TRUE(webhook.WaitForMore(1, 60)) << "no resolution 60 s after the device came back";
    notifications = webhook.GetNotifications();
    ASSERT_EQ(notifications.size(), 2u) << Dump(notifications);
    EXPECT_EQ(notifications[1].value("status", ""), "resolved");
    EXPECT_EQ(Alerts(notifications[1]), std::vector<std::string>{"QipDeviceGone north-2 north"});

    // The exporter stops: its own alert alone, not one per device it listed.
    ASSERT_EQ(bed.Stop(exporter), 0);
    const MonitoringClock::time_point stopped = MonitoringClock::now();
    ASSERT_TRUE(webhook.WaitForMore(2, 60)) << "no notification 60 s after the exporter stopped";
    notifications = webhook.GetNotifications();
    ASSERT_EQ(notifications.size(), 3u) << Dump(notifications);
    EXPECT_EQ(notifications[2].value("status", ""), "firing");
    EXPECT_EQ(Alerts(notifications[2]), std::vector<std::string>{"QipExporterDown - north"});
    // With the same `for`, a device alert would have been pending from the same scrape and
    // firing by now: none was, since the device came back.
    EXPECT_EQ(prometheus.Query("ALERTS{alertname=\"QipDeviceGone\"}").size(), 0u);
    const std::string sinceStop = std::to_string(static_cast<int>(SecondsSince(stopped))) + "s";
    EXPECT_EQ(prometheus.Query("count_over_time(ALERTS{alertname=\"QipDeviceGone\"}[" + sinceStop + "])").size(), 0u)
        << "QipDeviceGone was pending or firing since the exporter stopped";
}

}  // namespace
