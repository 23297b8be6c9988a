#pragma once

#include <memory>
#include <string>

#include <microhttpd.h>

#include "ksp/KspDescriptor.h"

namespace prometheus {
class Collectable;
}  // namespace prometheus

// The exporter's HTTP server: GNU libmicrohttpd with one event-driven thread, serving one
// collectable at /metrics in the text exposition format and a short page at / that links
// to it. A connection costs a descriptor and a small buffer, never a thread, so clients that
// send slowly or not at all cannot hold up a scrape: each client address may keep at most
// cMaxConnectionsPerAddress connections, all together cMaxConnections, and a connection
// quiet for cIdleTimeoutSeconds is closed. Not copyable.
class QipExporterHttp {
public:
    static const unsigned cMaxConnections = 512;
    static const unsigned cMaxConnectionsPerAddress = 32;
    static const unsigned cIdleTimeoutSeconds = 5;

    QipExporterHttp();
    QipExporterHttp(const QipExporterHttp&) = delete;
    QipExporterHttp& operator=(const QipExporterHttp&) = delete;
    // Stops serving and joins the server's thread.
    ~QipExporterHttp();

    // Listens on `listen` ("ADDRESS:PORT" or "[ADDRESS]:PORT" as
    // QipExporterOptions::CheckListen gives it) and serves `metrics`, which is called on the
    // server's thread. False when the port cannot be bound or the server cannot start, with
    // `error` saying why in one line (nothing is written to standard error then).
    bool Start(const std::string& listen, const std::shared_ptr<prometheus::Collectable>& metrics,
               const std::string& version, std::string& error);
    // The port bound, 0 before Start succeeded.
    int GetPort() const { return mPort; }
    // Stops serving (as the destructor) at once; Start may not be called again.
    void Stop();

    // The page served at /.
    static std::string RootPage(const std::string& version);

private:
    // Called by the server for each request once its head has arrived; server thread.
    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* uploadData,
                                size_t* uploadSize, void** requestState);
    MHD_Result Answer(MHD_Connection* connection, const std::string& url, const std::string& method);

    std::unique_ptr<KspDescriptor> mListenSocket;  // the server's, which never closes it
    MHD_Daemon* mDaemon;
    std::shared_ptr<prometheus::Collectable> mMetrics;
    std::string mRootPage;
    int mPort;
};
