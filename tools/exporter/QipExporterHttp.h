#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <microhttpd.h>

#include "tools/exporter/QipExporterPasswords.h"
#include "tools/exporter/QipExporterWebConfig.h"

namespace prometheus {
class Collectable;
}  // namespace prometheus

// The exporter's HTTP server: GNU libmicrohttpd with event-driven threads, serving one
// collectable at /metrics in the text exposition format and a short page at / that links
// to it, over HTTP or, with a web configuration, HTTPS and basic authentication. A
// connection costs a descriptor and a small buffer, never a thread, so clients that send
// slowly or not at all (or never finish a TLS handshake) cannot hold up a scrape: each
// client address may keep at most cMaxConnectionsPerAddress connections, all together
// cMaxConnections, and a connection quiet for cIdleTimeoutSeconds is closed.
//
// Start, Reconfigure, Tick and Stop belong to one thread (the main thread); the collectable
// is called on the server's threads, possibly two at once. Not copyable.
class QipExporterHttp {
public:
    static const unsigned cMaxConnections = 512;
    static const unsigned cMaxConnectionsPerAddress = 32;
    static const unsigned cIdleTimeoutSeconds = 5;
    // How long a server replaced by Reconfigure keeps its connections.
    static const long long cRetireMs = 10000;

    QipExporterHttp();
    QipExporterHttp(const QipExporterHttp&) = delete;
    QipExporterHttp& operator=(const QipExporterHttp&) = delete;
    // Stops serving and joins the server's threads.
    ~QipExporterHttp();

    // Listens on `listen` ("ADDRESS:PORT" or "[ADDRESS]:PORT" as
    // QipExporterOptions::CheckListen gives it) and serves `metrics` as `config` says. False
    // when the port cannot be bound or the server cannot start (a certificate or key it
    // cannot use), with `error` saying why in one line (nothing is written then).
    bool Start(const std::string& listen, const std::shared_ptr<prometheus::Collectable>& metrics,
               const std::string& version, const QipExporterWebConfig& config, std::string& error);
    // Serves new connections as `config` says from now on, without a moment in which the
    // port refuses them: a second server starts on the same socket, then the first stops
    // accepting, tells its clients to reconnect after their next answer and is taken down
    // by Tick cRetireMs later. False with `error` when the new server cannot start; the
    // old one then goes on unchanged.
    bool Reconfigure(const QipExporterWebConfig& config, std::string& error);
    // Takes down a replaced server whose time is up; call about once a second.
    void Tick(long long nowMs);
    // The port bound, 0 before Start succeeded.
    int GetPort() const { return mPort; }
    // Stops serving (as the destructor) at once; Start may not be called again.
    void Stop();

    // The page served at /.
    static std::string RootPage(const std::string& version);

private:
    // One libmicrohttpd server with its configuration.
    class Site {
    public:
        Site(QipExporterHttp* outer, const QipExporterWebConfig& config);
        Site(const Site&) = delete;
        Site& operator=(const Site&) = delete;
        ~Site();  // stops the server (closing the socket unless Retire took it back)

        bool Start(int listenSocket, std::string& error);
        // Stops accepting; its connections close after their next answer. The listening
        // descriptor, now the caller's, or -1 when the server keeps it.
        int Retire();

    private:
        static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                                    const char* method, const char* version, const char* uploadData,
                                    size_t* uploadSize, void** requestState);
        static void OnLog(void* self, const char* format, va_list arguments);
        MHD_Result Answer(MHD_Connection* connection, const std::string& url, const std::string& method);
        // False when the request is turned away; its answer is then queued.
        bool Admit(MHD_Connection* connection, MHD_Result& queued);
        MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body,
                         const char* type, const char* allow = nullptr, bool askPassword = false);

        QipExporterHttp* mOuter;
        const QipExporterWebConfig mConfig;
        QipExporterPasswords mPasswords;
        MHD_Daemon* mDaemon;
        std::atomic<bool> mIsRetired;
        std::atomic<bool> mIsStarting;
        std::string mStartLog;  // the server's first message while it starts (Start's thread)
    };

    std::shared_ptr<prometheus::Collectable> mMetrics;
    std::string mRootPage;
    int mPort;
    int mListenSocket;  // owned by mCurrent's server once it started
    std::unique_ptr<Site> mCurrent;
    std::unique_ptr<Site> mRetired;
    long long mRetiredAtMs;
};
