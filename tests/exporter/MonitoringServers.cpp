#include "tests/exporter/MonitoringServers.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const char* const cAlertmanager = "/usr/bin/prometheus-alertmanager";
const char* const cPrometheus = "/usr/bin/prometheus";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

double SecondsSince(MonitoringClock::time_point start) {
    return std::chrono::duration<double>(MonitoringClock::now() - start).count();
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string MonitoringDocBlock(const std::string& kind, int n) {
    std::istringstream doc(ReadFile(std::string(QIP_SOURCE_DIR) + "/docs/monitoring.md"));
    const std::string marker = "<!-- monitoring-test: " + kind + " -->";
    std::string line;
    int found = 0;
    while (std::getline(doc, line)) {
        if (line != marker || found++ != n) continue;
        // Blank lines, then the indented block up to the first line that is neither.
        std::string block;
        std::string blanks;
        bool started = false;
        while (std::getline(doc, line)) {
            if (line.empty()) {
                if (started) blanks += "\n";
            } else if (line.compare(0, 4, "    ") == 0) {
                block += blanks + line.substr(4) + "\n";
                blanks.clear();
                started = true;
            } else {
                break;
            }
        }
        return block;
    }
    ADD_FAILURE() << "docs/monitoring.md has no block " << n << " marked " << marker;
    return std::string();
}

std::vector<std::string> MonitoringDocQueries() {
    std::istringstream doc(ReadFile(std::string(QIP_SOURCE_DIR) + "/docs/monitoring.md"));
    std::vector<std::string> queries;
    std::string line;
    bool inTable = false;
    while (std::getline(doc, line)) {
        if (line == "| Question | Query |") inTable = true;
        else if (inTable && line.compare(0, 2, "| ") != 0 && line.compare(0, 4, "|---") != 0) break;
        else if (inTable && line.compare(0, 2, "| ") == 0) {
            // The last cell, `query`.
            const size_t open = line.find(" | `");
            const size_t close = line.rfind("` |");
            if (open != std::string::npos && close != std::string::npos && close > open + 4) {
                queries.push_back(line.substr(open + 4, close - open - 4));
            }
        }
    }
    if (queries.empty()) ADD_FAILURE() << "docs/monitoring.md has no table of queries";
    return queries;
}

std::string ShippedRules(const std::string& name) {
    const std::string text = ReadFile(std::string(QIP_SOURCE_DIR) + "/packaging/prometheus/" + name);
    if (text.empty()) ADD_FAILURE() << "packaging/prometheus/" << name << " is empty or missing";
    return text;
}

MonitoringServer::MonitoringServer(TestBed& bed, const std::string& ns, const std::string& address)
    : mBed(bed), mNamespace(ns), mAddress(address), mPid(-1) {
    char folder[] = "/tmp/qip-monitoring-XXXXXX";
    if (mkdtemp(folder) != nullptr) mFolder = folder;
}

MonitoringServer::~MonitoringServer() {
    if (mPid > 0) mBed.Stop(mPid, 10000);
    std::error_code ignored;
    if (!mFolder.empty()) std::filesystem::remove_all(mFolder, ignored);
}

std::string MonitoringServer::Write(const std::string& name, const std::string& text) {
    const std::string path = mFolder + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
    return path;
}

bool MonitoringServer::StartPrometheus(const std::string& config, const std::vector<std::string>& flags) {
    if (mFolder.empty()) return false;
    const bool isAgent = std::find(flags.begin(), flags.end(), "--enable-feature=agent") != flags.end();
    std::vector<std::string> argv = {cPrometheus, "--config.file=" + Write("prometheus.yml", config),
                                     std::string(isAgent ? "--storage.agent.path=" : "--storage.tsdb.path=") +
                                         mFolder + "/data",
                                     "--web.listen-address=" + mAddress, "--log.level=warn"};
    argv.insert(argv.end(), flags.begin(), flags.end());
    return StartAndWait(argv);
}

bool MonitoringServer::StartAlertmanager(const std::string& config) {
    if (mFolder.empty()) return false;
    return StartAndWait({cAlertmanager, "--config.file=" + Write("alertmanager.yml", config),
                         "--storage.path=" + mFolder + "/data", "--web.listen-address=" + mAddress,
                         "--cluster.listen-address=", "--log.level=warn"});
}

bool MonitoringServer::StartAndWait(const std::vector<std::string>& argv) {
    mPid = mBed.Start(mNamespace, argv);
    if (mPid <= 0) return false;
    const MonitoringClock::time_point start = MonitoringClock::now();
    std::string body;
    while (SecondsSince(start) < 30) {
        if (Get("/-/ready", body)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ADD_FAILURE() << argv[0] << " not ready within 30 s:\n" << mBed.GetOutput(mPid);
    return false;
}

bool MonitoringServer::Get(const std::string& pathAndQuery, std::string& body) {
    body.clear();
    return mBed.Run(mNamespace, {"curl", "-sf", "http://" + mAddress + pathAndQuery}, &body, 10000) == 0;
}

nlohmann::json MonitoringServer::Query(const std::string& expression) {
    std::string out;
    const int status = mBed.Run(mNamespace,
                                {"curl", "-sf", "-G", "--data-urlencode", "query=" + expression,
                                 "http://" + mAddress + "/api/v1/query"},
                                &out, 10000);
    nlohmann::json answer = nlohmann::json::parse(out, nullptr, false);
    if (status != 0 || answer.is_discarded() || answer.value("status", "") != "success") {
        ADD_FAILURE() << "query " << expression << " at " << mAddress << " failed (" << status << "): " << out;
        return nlohmann::json::array();
    }
    return answer["data"]["result"];
}

std::string MonitoringServer::Targets() {
    std::string out;
    Get("/api/v1/targets", out);
    return out;
}

std::string MonitoringServer::Output() const { return mPid > 0 ? mBed.GetOutput(mPid) : std::string(); }

WebhookReceiver::WebhookReceiver(const TestBed& bed, const std::string& address) : mDaemon(nullptr) {
    const size_t colon = address.rfind(':');
    sockaddr_in where{};
    where.sin_family = AF_INET;
    if (colon == std::string::npos || inet_pton(AF_INET, address.substr(0, colon).c_str(), &where.sin_addr) != 1) {
        ADD_FAILURE() << "the webhook receiver cannot listen on " << address;
        return;
    }
    where.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
    // The daemon binds here, so its socket lives in the bed's namespace.
    TestBed::EnterHost host(bed);
    if (!host.IsEntered()) return;
    mDaemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG, 0, nullptr, nullptr,
                               &WebhookReceiver::OnRequest, this, MHD_OPTION_SOCK_ADDR, &where,
                               MHD_OPTION_NOTIFY_COMPLETED, &WebhookReceiver::OnCompleted, nullptr,
                               MHD_OPTION_END);
    if (mDaemon == nullptr) ADD_FAILURE() << "the webhook receiver cannot listen on " << address;
}

WebhookReceiver::~WebhookReceiver() {
    if (mDaemon != nullptr) MHD_stop_daemon(mDaemon);
}

MHD_Result WebhookReceiver::OnRequest(void* data, MHD_Connection* connection, const char*, const char*,
                                      const char*, const char* upload, size_t* uploadSize, void** state) {
    WebhookReceiver* receiver = static_cast<WebhookReceiver*>(data);
    // The body arrives in pieces; it is kept per request until the last, empty call.
    if (*state == nullptr) {
        *state = new std::string;
        return MHD_YES;
    }
    std::string* body = static_cast<std::string*>(*state);
    if (*uploadSize != 0) {
        body->append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    nlohmann::json notification = nlohmann::json::parse(*body, nullptr, false);
    if (notification.is_discarded()) notification = nlohmann::json{{"unreadable", *body}};
    {
        std::lock_guard<std::mutex> hold(receiver->mLock);
        receiver->mNotifications.push_back(std::move(notification));
    }
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

void WebhookReceiver::OnCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<std::string*>(*state);
    *state = nullptr;
}

std::vector<nlohmann::json> WebhookReceiver::GetNotifications() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mNotifications;
}

bool WebhookReceiver::WaitForMore(size_t count, double seconds) const {
    const MonitoringClock::time_point start = MonitoringClock::now();
    while (SecondsSince(start) < seconds) {
        {
            std::lock_guard<std::mutex> hold(mLock);
            if (mNotifications.size() > count) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

AlertingChain::AlertingChain(TestBed& bed)
    : mWebhook(bed, "127.0.0.1:19399"),  // the addresses of the document
      mAlertmanager(bed, bed.GetHostNamespace(), "127.0.0.1:9093"),
      mPrometheus(bed, bed.GetHostNamespace(), "127.0.0.1:19390") {}

bool AlertingChain::Start(int forSeconds) {
    if (!mWebhook.IsListening()) return false;
    const std::string amConfig = MonitoringDocBlock("alertmanager");
    if (!mAlertmanager.StartAlertmanager(Replaced(Replaced(amConfig, "group_wait: 30s", "group_wait: 1s"),
                                                  "group_interval: 5m", "group_interval: 1s"))) {
        return false;
    }
    const std::string folder = mPrometheus.GetFolder() + "/";
    mPrometheus.Write("qip-alerts.yml", Replaced(ShippedRules("qip-alerts.yml"), "for: 5m",
                                                 "for: " + std::to_string(forSeconds) + "s"));
    mPrometheus.Write("qip-recording.yml", ShippedRules("qip-recording.yml"));
    mPrometheus.Write("qip-sites/north.yml", Replaced(MonitoringDocBlock("targets"), "site: local", "site: north"));
    const std::string merge = MonitoringDocBlock("merge");
    return mPrometheus.StartPrometheus(
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n" +
        MonitoringDocBlock("alerting") +
        Replaced(Replaced(merge, "/usr/share/qipfinder/prometheus/", folder), "/etc/prometheus/", folder));
}
