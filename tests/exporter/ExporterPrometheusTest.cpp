#include <crypt.h>
#include <gtest/gtest.h>
#include <signal.h>
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

#include "tests/exporter/HostileClients.h"
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
    // Ids that differ only in bytes that are no UTF-8, or only beyond the label's length
    // bound: each keeps a series of its own.
    const std::string longId(140, 'L');
    const std::vector<std::string> alikeIds = {"inv\xff", "inv\xfe", "inv\xef\xbf\xbd",
                                               longId + "1", longId + "2"};
    for (size_t i = 0; i < alikeIds.size(); ++i) {
        const std::string cidr = "192.0.2." + std::to_string(30 + i) + "/24";
        ASSERT_GT(bed.StartSimulator(bed.AddDevice({cidr}),
                                     {"--address", cidr, "--type", "QipPlug", "--id", alikeIds[i]}), 0);
    }
    const pid_t exporter = bed.Start(host, {"qip-exporter", "--listen", "127.0.0.1:19376"});
    ASSERT_GT(exporter, 0);
    ASSERT_TRUE(IsReady(bed, host, "127.0.0.1:19376")) << bed.GetOutput(exporter);

    MonitoringServer prometheus(bed, host, "127.0.0.1:19390");
    ASSERT_TRUE(prometheus.StartPrometheus(std::string(cFastGlobal) + "  - job_name: qip\n    static_configs:\n"
                                           "      - targets: ['127.0.0.1:19376']\n"));
    nlohmann::json result;
    const double listed = prometheus.WaitFor("qip_device_info", 20, [](const nlohmann::json& r) {
        return r.size() >= 8;
    }, result);
    ASSERT_GE(listed, 0) << result.dump() << "\n" << prometheus.Targets() << "\n" << bed.GetOutput(exporter);
    EXPECT_EQ(prometheus.Query("qip_devices{device_type=\"QipPlug\"}")[0]["value"][1], "5");
    const std::multiset<std::string> alike = LabelValues(
        prometheus.Query("qip_device_info{device_type=\"QipPlug\"}"), "device_id");
    EXPECT_EQ(std::set<std::string>(alike.begin(), alike.end()).size(), 5u);
    EXPECT_EQ(alike.count("inv\\xff"), 1u);
    EXPECT_EQ(alike.count("inv\xef\xbf\xbd"), 1u);
    result = prometheus.Query("qip_device_info{device_type!=\"QipPlug\"}");
    EXPECT_EQ(LabelValues(result, "device_id"),
              (std::multiset<std::string>{"office", "lab", hostileId}));
    std::map<std::string, std::string> ssidOf;
    for (const nlohmann::json& series : result) {
        ssidOf[series["metric"]["device_id"]] = series["metric"]["ssid"];
        EXPECT_EQ(series["value"][1], "1");
    }
    EXPECT_EQ(ssidOf["office"], "Office");
    EXPECT_EQ(ssidOf["lab"], "Lab");
    // Stored as sent, with each byte that is no UTF-8 as text and the backslash doubled.
    EXPECT_EQ(ssidOf[hostileId], "say \"hi\" \\\\ back \\xff\\xfe end");
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
    const double gone = prometheus.WaitFor("qip_device_info{device_type!=\"QipPlug\"}", 45,
                                           [](const nlohmann::json& r) {
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
    EXPECT_EQ(reads[0]["value"][1], "8");

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

// A small CA in `folder` (ca.crt) and a server certificate for 192.0.2.1 signed by it
// (NAME.crt, NAME.key); the CA is made on the first call.
bool MakeCertificate(TestBed& bed, const std::string& folder, const std::string& name) {
    const std::string script =
        "set -e; cd '" + folder + "'\n"
        "[ -f ca.crt ] || openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
        " -keyout ca.key -out ca.crt -days 2 -subj /CN=qip-test-ca 2>/dev/null\n"
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + name + ".key"
        " -out " + name + ".csr -subj /CN=" + name + " 2>/dev/null\n"
        "printf 'subjectAltName=IP:192.0.2.1\\n' >ext\n"
        "openssl x509 -req -in " + name + ".csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2"
        " -extfile ext -out " + name + ".crt 2>/dev/null\n";
    std::string out;
    const int status = bed.Run(bed.GetHostNamespace(), {"sh", "-c", script}, &out, 30000);
    EXPECT_EQ(status, 0) << out;
    return status == 0;
}

// The subject of the certificate the server at 192.0.2.1:PORT shows now.
std::string ServedSubject(TestBed& bed, const std::string& port) {
    std::string out;
    bed.Run(bed.GetHostNamespace(),
            {"sh", "-c", "openssl s_client -connect 192.0.2.1:" + port + " </dev/null 2>/dev/null |"
                         " openssl x509 -noout -subject"},
            &out, 15000);
    return out;
}

std::string BcryptHash(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    if (crypt_gensalt_rn("$2b$", 5, nullptr, 0, setting, sizeof setting) == nullptr) return "";
    const char* hash = crypt_rn(password.c_str(), setting, &data, sizeof data);
    return hash != nullptr && hash[0] == '$' ? hash : "";
}

// HTTPS and basic authentication: the real Prometheus scrapes with the CA and the password
// and gets the devices; without them, or over plain HTTP, nobody does. A new certificate
// and a broken file arrive by SIGHUP while it scrapes.
TEST(ExporterPrometheus, ScrapesOverTlsWithAPasswordAndRotatesTheCertificate) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string host = bed.GetHostNamespace();
    char folderName[] = "/tmp/qip-tls-XXXXXX";
    ASSERT_NE(mkdtemp(folderName), nullptr);
    const std::string folder = folderName;
    struct Remover {
        std::string mFolder;
        ~Remover() {
            std::error_code ignored;
            std::filesystem::remove_all(mFolder, ignored);
        }
    } remover{folder};
    ASSERT_TRUE(MakeCertificate(bed, folder, "first"));
    const std::string hash = BcryptHash("s3cret");
    ASSERT_FALSE(hash.empty());
    const std::string webConfig = folder + "/web.yml";
    const auto writeConfig = [&](const std::string& name) {
        std::ofstream(webConfig) << "tls_server_config:\n  cert_file: " << name << ".crt\n  key_file: "
                                 << name << ".key\n  min_version: TLS12\n"
                                 << "basic_auth_users:\n  prometheus: '" << hash << "'\n";
    };
    writeConfig("first");
    ASSERT_GT(bed.StartSimulator(bed.AddDevice({"192.0.2.20/24"}),
                                 {"--address", "192.0.2.20/24", "--type", "QipBox", "--id", "office"}),
              0);
    const pid_t exporter = bed.Start(host, {"qip-exporter", "--listen", "192.0.2.1:19378", "--web-config", webConfig});
    ASSERT_GT(exporter, 0);
    const std::string url = "https://192.0.2.1:19378/metrics";
    const std::string ca = folder + "/ca.crt";
    const auto status = [&](const std::vector<std::string>& extra, const std::string& target) {
        std::vector<std::string> argv = {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--cacert", ca};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(target);
        std::string out;
        bed.Run(host, argv, &out, 15000);
        return out;
    };
    const Clock::time_point start = Clock::now();
    while (status({"-u", "prometheus:s3cret"}, url) != "200" && SecondsSince(start) < 15) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(status({"-u", "prometheus:s3cret"}, url), "200") << bed.GetOutput(exporter);
    EXPECT_EQ(status({}, url), "401");
    EXPECT_EQ(status({"-u", "prometheus:wrong"}, url), "401");
    std::string out;
    EXPECT_EQ(bed.Run(host, {"curl", "-s", "-i", "--cacert", ca, url}, &out, 15000), 0);
    EXPECT_NE(out.find("WWW-Authenticate: Basic realm="), std::string::npos) << out;
    EXPECT_NE(status({}, "http://192.0.2.1:19378/metrics"), "200");
    EXPECT_NE(status({}, "http://192.0.2.1:19378/metrics"), "401");

    MonitoringServer prometheus(bed, host, "127.0.0.1:19390");
    const std::string target = "    static_configs:\n      - targets: ['192.0.2.1:19378']\n";
    ASSERT_TRUE(prometheus.StartPrometheus(std::string(cFastGlobal) +
        "  - job_name: good\n    scheme: https\n    tls_config: {ca_file: " + ca + "}\n"
        "    basic_auth: {username: prometheus, password: s3cret}\n" + target +
        "  - job_name: nopassword\n    scheme: https\n    tls_config: {ca_file: " + ca + "}\n" + target +
        "  - job_name: wrongpassword\n    scheme: https\n    tls_config: {ca_file: " + ca + "}\n"
        "    basic_auth: {username: prometheus, password: wrong}\n" + target +
        "  - job_name: plain\n" + target));
    nlohmann::json result;
    ASSERT_GE(prometheus.WaitFor("qip_device_info{job=\"good\"}", 20,
                                 [](const nlohmann::json& r) { return r.size() == 1; }, result),
              0)
        << result.dump() << "\n" << prometheus.Targets() << "\n" << bed.GetOutput(exporter);
    EXPECT_EQ(result[0]["metric"]["device_id"], "office");
    ASSERT_GE(prometheus.WaitFor("up", 10, [](const nlohmann::json& r) { return r.size() == 4; }, result), 0);
    std::map<std::string, std::string> up;
    for (const nlohmann::json& series : result) up[series["metric"]["job"]] = series["value"][1];
    EXPECT_EQ(up, (std::map<std::string, std::string>{
                      {"good", "1"}, {"nopassword", "0"}, {"wrongpassword", "0"}, {"plain", "0"}}))
        << prometheus.Targets();

    // A new certificate: the next connection gets it, and the scrapes go on.
    ASSERT_NE(ServedSubject(bed, "19378").find("first"), std::string::npos);
    ASSERT_TRUE(MakeCertificate(bed, folder, "second"));
    writeConfig("second");
    ASSERT_EQ(kill(exporter, SIGHUP), 0);
    const Clock::time_point rotated = Clock::now();
    while (ServedSubject(bed, "19378").find("second") == std::string::npos && SecondsSince(rotated) < 15) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(ServedSubject(bed, "19378").find("second"), std::string::npos) << bed.GetOutput(exporter);
    // A broken file: refused with a line naming the key, the second certificate stays.
    std::ofstream(webConfig, std::ios::app) << "cipher_suites: [x]\n";
    ASSERT_EQ(kill(exporter, SIGHUP), 0);
    const Clock::time_point broken = Clock::now();
    while (bed.GetOutput(exporter).find("unsupported key cipher_suites") == std::string::npos &&
           SecondsSince(broken) < 15) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(bed.GetOutput(exporter).find("unsupported key cipher_suites; the web configuration in force stays"),
              std::string::npos) << bed.GetOutput(exporter);
    EXPECT_NE(ServedSubject(bed, "19378").find("second"), std::string::npos);
    // Prometheus lost no scrape to either change, though its other job's wrong password is
    // checked from the same address every second.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    result = prometheus.Query("min_over_time(up{job=\"good\"}[" +
                              std::to_string(static_cast<int>(SecondsSince(rotated)) + 1) + "s])");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0]["value"][1], "1") << prometheus.Targets();

    // Clients that never finish a handshake (or send no handshake at all), from another
    // host, hold up no scrape.
    {
        HostileClients hostile(bed.AddDevice({"192.0.2.52/24"}), TestBed::cHostAddress, 19378, 300, 32);
        hostile.Start();
        std::this_thread::sleep_for(std::chrono::seconds(7));
        for (int i = 0; i < 5; ++i) EXPECT_EQ(status({"-u", "prometheus:s3cret", "--max-time", "10"}, url), "200");
        EXPECT_GT(hostile.GetConnects(), 332u);
    }
    EXPECT_EQ(prometheus.Query("up{job=\"good\"}")[0]["value"][1], "1");
    EXPECT_EQ(bed.Stop(exporter), 0);
}

}  // namespace
