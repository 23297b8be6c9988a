#pragma once

#include <stdarg.h>

#include <atomic>
#include <memory>
#include <string>

#include <microhttpd.h>

#include "ksp/KspThread.h"
#include "tools/exporter/QipExporterCheckQueue.h"
#include "tools/exporter/QipExporterConnections.h"
#include "tools/exporter/QipExporterPasswords.h"
#include "tools/exporter/QipExporterWebConfig.h"

namespace prometheus {
class Collectable;
}  // namespace prometheus

// One GNU libmicrohttpd server with one web configuration, serving a collectable at
// /metrics and a page at /: one event-driven thread serves every connection (a connection
// costs a descriptor and a small buffer, never a thread), a timer holds the request heads
// to their deadline (QipExporterConnections), and a worker checks passwords
// (QipExporterCheckQueue) while the connection waits suspended, so that neither a slow
// client nor a hash holds up another request. QipExporterHttp makes one per configuration.
//
// Made, started, retired and destroyed on one thread; the collectable is called on the
// server's thread. Not copyable.
class QipExporterSite {
public:
    static const unsigned cMaxConnectionsPerAddress = 32;
    static const unsigned cIdleTimeoutSeconds = 5;
    // Slots kept for clients that send their head at once: above cMaxConnections minus this,
    // each new connection closes the oldest still waiting for its head.
    static const unsigned cReservedConnections = 256;

    // `total` is the password budget of the whole process; `maxConnections` at least
    // 2 × cReservedConnections.
    QipExporterSite(const QipExporterWebConfig& config, const std::shared_ptr<prometheus::Collectable>& metrics,
                    const std::string& rootPage, const std::shared_ptr<QipExporterPasswords::Shared>& total,
                    unsigned maxConnections);
    QipExporterSite(const QipExporterSite&) = delete;
    QipExporterSite& operator=(const QipExporterSite&) = delete;
    // Answers the password checks still waiting (refused), then stops the server, closing
    // every connection it holds (and the socket, unless Retire gave it back).
    ~QipExporterSite();

    // Serves on `listenSocket` (owned by the server once this succeeds). False with
    // `error` in one line when the server cannot start.
    bool Start(int listenSocket, std::string& error);
    // Stops accepting; the connections it holds are served, each closed after its next
    // answer. The listening descriptor, now the caller's, or -1 when the server keeps it.
    int Retire();
    // Connections open now.
    size_t GetOpen() const { return mConnections.GetOpen(); }

private:
    // A request whose password is being checked; lives from the check until its answer.
    class Request : public QipExporterCheckQueue::Done {
    public:
        enum State { cWaiting, cAccepted, cRefused, cBusy };
        explicit Request(MHD_Connection* connection) : mConnection(connection), mState(cWaiting) {}
        void OnChecked(bool isAccepted) override;
        // A request the queue had no room for: resumed at once, answered "busy".
        void OnBusy();
        State GetState() const { return mState.load(); }

    private:
        MHD_Connection* mConnection;
        std::atomic<State> mState;
    };

    class DeadlineTimer : public KspThread {
    public:
        explicit DeadlineTimer(QipExporterSite* outer) : mOuter(outer) {}
        void Run() override;

    private:
        QipExporterSite* mOuter;
    };

    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                                const char* version, const char* uploadData, size_t* uploadSize,
                                void** requestState);
    static void OnCompleted(void* self, MHD_Connection* connection, void** requestState,
                            MHD_RequestTerminationCode code);
    static void OnConnection(void* self, MHD_Connection* connection, void** socketState,
                             MHD_ConnectionNotificationCode code);
    static void OnLog(void* self, const char* format, va_list arguments);
    // The first call for a request: its certificate and password, then its answer, or a
    // suspension until its password is checked.
    MHD_Result Begin(MHD_Connection* connection, const std::string& url, const std::string& method,
                     void** requestState);
    MHD_Result Answer(MHD_Connection* connection, const std::string& url, const std::string& method);
    MHD_Result AskPassword(MHD_Connection* connection);
    MHD_Result Busy(MHD_Connection* connection);
    MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
                     const char* allow = nullptr, bool askPassword = false, bool isBusy = false);

    const QipExporterWebConfig mConfig;
    const std::shared_ptr<prometheus::Collectable> mMetrics;
    const std::string mRootPage;
    const unsigned mMaxConnections;
    QipExporterPasswords mPasswords;
    QipExporterCheckQueue mChecks;
    QipExporterConnections mConnections;
    DeadlineTimer mTimer;
    MHD_Daemon* mDaemon;
    std::atomic<bool> mIsRetired;
    std::atomic<bool> mIsStarting;
    std::string mStartLog;  // the server's first message while it starts (Start's thread)
};
