#pragma once

#include <memory>
#include <string>

#include <CivetServer.h>

#include "ksp/KspThread.h"

namespace prometheus {
class Collectable;
class Exposer;
}  // namespace prometheus

// The exporter's HTTP server: the metrics library's exposer (its own worker threads) serving
// one collectable at /metrics, and a short page at / that links to it. Not copyable; one at
// a time per process (the server's callbacks are plain functions).
class QipExporterHttp {
public:
    QipExporterHttp();
    QipExporterHttp(const QipExporterHttp&) = delete;
    QipExporterHttp& operator=(const QipExporterHttp&) = delete;
    // Stops serving and joins the server's threads.
    ~QipExporterHttp();

    // Listens on `listen` ("ADDRESS:PORT" as QipExporterOptions::CheckListen gives it) and
    // serves `metrics`, which must outlive the server. False when the port cannot be bound,
    // with `error` saying why in one line (nothing is written to standard error then).
    bool Start(const std::string& listen, const std::shared_ptr<prometheus::Collectable>& metrics,
               const std::string& version, std::string& error);
    // The port bound, 0 before Start succeeded.
    int GetPort() const;
    // Stops serving (as the destructor), within about a tenth of a second; Start may not be
    // called again.
    void Stop();

    // The page served at /.
    static std::string RootPage(const std::string& version);

private:
    // The server's listening thread notices a stop only between waits of up to 2 s for a
    // connection; while the server stops, this thread connects to it every few milliseconds
    // so that the wait ends at once.
    class Nudger : public KspThread {
    public:
        explicit Nudger(QipExporterHttp* outer) : mOuter(outer) {}
        void Run() override;

    private:
        QipExporterHttp* mOuter;
    };

    static int OnBeginRequest(mg_connection* connection);
    static int OnLogMessage(const mg_connection* connection, const char* message);

    CivetCallbacks mCallbacks;
    std::string mHost;  // the listening address without brackets; where Nudger connects
    int mPort;
    std::unique_ptr<prometheus::Exposer> mExposer;
};
