#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ksp/KspDescriptor.h"
#include "tools/exporter/QipExporterPasswords.h"
#include "tools/exporter/QipExporterSite.h"
#include "tools/exporter/QipExporterWebConfig.h"

namespace prometheus {
class Collectable;
}  // namespace prometheus

// The exporter's HTTP server: serves one collectable at /metrics in the text exposition
// format and a short page at / that links to it, over HTTP or, with a web configuration,
// HTTPS and basic authentication, through a QipExporterSite (GNU libmicrohttpd). Clients
// that send slowly or not at all (or never finish a TLS handshake) cannot hold up a
// scrape: a request head must be complete within QipExporterConnections::cHeadDeadlineMs
// of its first byte, a connection silent for QipExporterSite::cIdleTimeoutSeconds is
// closed, each client address may keep QipExporterSite::cMaxConnectionsPerAddress
// connections, all together GetMaxConnections(), of which the last
// QipExporterSite::cReservedConnections go to clients that send a head at once. Wrong
// passwords cannot either: they are hashed on a worker within a budget per address and in
// total (QipExporterPasswords). A reload starts a new site on the same socket and lets the
// old one finish the connections it holds.
//
// Start, Reconfigure, Tick and Stop belong to one thread (the main thread); the collectable
// is called on the server's threads. Not copyable.
class QipExporterHttp {
public:
    // The most connections, if the descriptor limit allows (Start raises it).
    static const unsigned cMaxConnections = 4096;
    // How long a server replaced by Reconfigure may take to finish its connections.
    static const long long cRetireMs = 10000;
    // Replaced servers kept finishing at once; beyond that the oldest is taken down.
    static const size_t cMaxRetired = 64;

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
    // accepting, serves the connections it holds, telling each client to reconnect after
    // its answer, and is taken down by Tick once they are closed (cRetireMs at most). False
    // with `error` when the new server cannot start; the old one then goes on unchanged.
    bool Reconfigure(const QipExporterWebConfig& config, std::string& error);
    // Takes down the replaced servers that are done; call about once a second.
    void Tick(long long nowMs);
    // The port bound, 0 before Start succeeded.
    int GetPort() const { return mPort; }
    // The connection limit in force (cMaxConnections unless the descriptor limit is lower).
    unsigned GetMaxConnections() const { return mMaxConnections; }
    // Stops serving (as the destructor) at once; Start may not be called again.
    void Stop();

    // The page served at /.
    static std::string RootPage(const std::string& version);

private:
    struct Retired {
        // The listening descriptor the server gave back: its thread may still use it until
        // it stops, so it is closed after the server (members go in reverse order).
        std::unique_ptr<KspDescriptor> mListen;
        std::unique_ptr<QipExporterSite> mSite;
        long long mAtMs;
    };

    std::unique_ptr<QipExporterSite> MakeSite(const QipExporterWebConfig& config) const;

    std::shared_ptr<prometheus::Collectable> mMetrics;
    std::shared_ptr<QipExporterPasswords::Shared> mPasswordsShared;
    std::string mRootPage;
    unsigned mMaxConnections;
    int mPort;
    int mListenSocket;  // owned by mCurrent's server once it started
    std::unique_ptr<QipExporterSite> mCurrent;
    std::vector<Retired> mRetired;  // oldest first
};
