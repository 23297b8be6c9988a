#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <microhttpd.h>

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/testbed/TestBed.h"

// The monitoring servers of Debian's packages (Prometheus in any of its modes, Alertmanager)
// run in a namespace of the test bed, with the configurations of docs/monitoring.md, and a
// webhook receiver for Alertmanager's notifications. Every wait is bounded and polls its
// condition; failures are GoogleTest failures plus the result (false, empty, -1).

using MonitoringClock = std::chrono::steady_clock;
double SecondsSince(MonitoringClock::time_point start);

// The block of docs/monitoring.md that follows the marker "<!-- monitoring-test: KIND -->"
// (the n-th of that kind), unindented; "" with a failure noted when there is none.
std::string MonitoringDocBlock(const std::string& kind, int n = 0);
// The queries of the document's table of useful queries, in its order.
std::vector<std::string> MonitoringDocQueries();
// A file of packaging/prometheus/ (the rule files the package ships), its text.
std::string ShippedRules(const std::string& name);
// `text` with every `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to);

// One server (Prometheus or Alertmanager) in a namespace of the bed, in a folder of its own
// that holds its configuration and storage and is removed on destruction.
class MonitoringServer {
public:
    MonitoringServer(TestBed& bed, const std::string& ns, const std::string& address);
    ~MonitoringServer();
    MonitoringServer(const MonitoringServer&) = delete;
    MonitoringServer& operator=(const MonitoringServer&) = delete;

    const std::string& GetFolder() const { return mFolder; }
    const std::string& GetAddress() const { return mAddress; }
    // Writes a file into the server's folder; its path.
    std::string Write(const std::string& name, const std::string& text);

    // Starts /usr/bin/prometheus with this configuration (plus extra flags such as
    // --enable-feature=agent) and waits until it is ready. False after reporting why.
    bool StartPrometheus(const std::string& config, const std::vector<std::string>& flags = {});
    // Starts Debian's Alertmanager with this configuration, without clustering, likewise.
    bool StartAlertmanager(const std::string& config);

    // GET of a path on the server; its body, and false when it failed.
    bool Get(const std::string& pathAndQuery, std::string& body);
    // The result of an instant query; empty (with a failure noted) when the query failed.
    nlohmann::json Query(const std::string& expression);
    // Waits up to `seconds` until `test` holds for the result of `expression`; how long it
    // took, or -1 (the last result is in `last`).
    template <typename Test>
    double WaitFor(const std::string& expression, double seconds, Test test, nlohmann::json& last);
    // The scrape targets' health as the server sees it, for failure messages.
    std::string Targets();
    std::string Output() const;

private:
    bool StartAndWait(const std::vector<std::string>& argv);

    TestBed& mBed;
    std::string mNamespace;
    std::string mAddress;
    std::string mFolder;
    pid_t mPid;
};

// An HTTP server in a namespace of the bed that keeps each POST it receives (Alertmanager's
// webhook notifications, parsed as JSON). Runs on libmicrohttpd's thread; every member is safe
// to call from the test's thread.
class WebhookReceiver {
public:
    // Listens on `address` (host:port) in the bed's host namespace; IsListening() tells
    // whether it could.
    WebhookReceiver(const TestBed& bed, const std::string& address);
    ~WebhookReceiver();
    WebhookReceiver(const WebhookReceiver&) = delete;
    WebhookReceiver& operator=(const WebhookReceiver&) = delete;
    bool IsListening() const { return mDaemon != nullptr; }

    // The notifications received so far, in order.
    std::vector<nlohmann::json> GetNotifications() const;
    // Waits up to `seconds` until there are more than `count` notifications; false if not.
    bool WaitForMore(size_t count, double seconds) const;

private:
    static MHD_Result OnRequest(void* receiver, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* upload,
                                size_t* uploadSize, void** state);
    static void OnCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode);

    MHD_Daemon* mDaemon;
    mutable std::mutex mLock;                    // guards mNotifications
    std::vector<nlohmann::json> mNotifications;  // guarded by mLock
};

// The alerting chain of docs/monitoring.md in the bed's host namespace, with its
// configurations as written except for the waiting times: Prometheus with the quick start's
// lines (the shipped rules, their `for` shortened to `forSeconds`; the document's target
// file for site north, scraping qip-exporter at cExporter every second) sends to
// Alertmanager with the document's configuration (grouping after 1 s), which sends site
// north's notifications to the webhook receiver at the document's address.
class AlertingChain {
public:
    static constexpr const char* cExporter = "127.0.0.1:19376";
    explicit AlertingChain(TestBed& bed);
    // Starts the servers; false after reporting why.
    bool Start(int forSeconds);
    WebhookReceiver& GetWebhook() { return mWebhook; }
    MonitoringServer& GetPrometheus() { return mPrometheus; }
    MonitoringServer& GetAlertmanager() { return mAlertmanager; }

private:
    WebhookReceiver mWebhook;
    MonitoringServer mAlertmanager;
    MonitoringServer mPrometheus;
};

template <typename Test>
double MonitoringServer::WaitFor(const std::string& expression, double seconds, Test test,
                                 nlohmann::json& last) {
    const MonitoringClock::time_point start = MonitoringClock::now();
    for (;;) {
        last = Query(expression);
        if (test(last)) return SecondsSince(start);
        if (SecondsSince(start) > seconds) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}
