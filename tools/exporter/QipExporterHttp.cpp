#include "tools/exporter/QipExporterHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>

#include <prometheus/exposer.h>

#include "ksp/KspThreadMutex.h"

namespace {

// The page at /, made once by Start before the server runs and only read afterwards.
std::string gRootPage;
// What the server said while it was starting (its reason for failing to bind); it starts on
// the thread that calls Start, but its log callback is a plain function.
KspThreadMutex gStartLock;   // guards gStartMessage and gIsStarting
std::string gStartMessage;
bool gIsStarting = false;

}  // namespace

QipExporterHttp::QipExporterHttp() : mPort(0) {
    mCallbacks.begin_request = &QipExporterHttp::OnBeginRequest;
    mCallbacks.log_message = &QipExporterHttp::OnLogMessage;
}

QipExporterHttp::~QipExporterHttp() { Stop(); }

std::string QipExporterHttp::RootPage(const std::string& version) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>qip-exporter</title></head>\n"
           "<body><h1>qip-exporter " + version + "</h1>\n"
           "<p>QIP devices found on this machine's networks, as Prometheus metrics: "
           "<a href=\"metrics\">/metrics</a></p>\n</body></html>\n";
}

int QipExporterHttp::OnBeginRequest(mg_connection* connection) {
    const mg_request_info* request = mg_get_request_info(connection);
    if (request == nullptr || request->local_uri == nullptr || strcmp(request->local_uri, "/") != 0) {
        return 0;  // /metrics and everything else: the server's own handling
    }
    const bool isHead = strcmp(request->request_method, "HEAD") == 0;
    if (!isHead && strcmp(request->request_method, "GET") != 0) {
        mg_printf(connection, "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\n"
                              "Content-Length: 0\r\nConnection: close\r\n\r\n");
        return 405;
    }
    mg_printf(connection,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
              "Content-Length: %zu\r\nConnection: close\r\n\r\n",
              gRootPage.size());
    if (!isHead) mg_write(connection, gRootPage.data(), gRootPage.size());
    return 200;
}

int QipExporterHttp::OnLogMessage(const mg_connection*, const char* message) {
    KspThreadMutex::Guard guard(gStartLock);
    if (gIsStarting) {
        if (gStartMessage.empty()) gStartMessage = message;
        return 1;
    }
    return 0;  // later messages go to standard error as the server writes them
}

bool QipExporterHttp::Start(const std::string& listen,
                            const std::shared_ptr<prometheus::Collectable>& metrics,
                            const std::string& version, std::string& error) {
    gRootPage = RootPage(version);
    {
        KspThreadMutex::Guard guard(gStartLock);
        gIsStarting = true;
        gStartMessage.clear();
    }
    // Two workers serve a scrape and a look at / at once; a client that stalls is cut off
    // after ten seconds, so it cannot hold a worker for good.
    const std::vector<std::string> options = {"listening_ports", listen, "num_threads", "2",
                                              "request_timeout_ms", "10000"};
    try {
        mExposer.reset(new prometheus::Exposer(options, &mCallbacks));
        mExposer->RegisterCollectable(metrics, "/metrics");
    } catch (const std::exception& e) {
        mExposer.reset();
        KspThreadMutex::Guard guard(gStartLock);
        gIsStarting = false;
        error = gStartMessage.empty() ? e.what() : gStartMessage;
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
        // "cannot bind to ADDRESS:PORT: 98 (Address already in use)": the caller names the
        // address already, the system's reason is what a user needs.
        const std::string::size_type open = error.rfind(" (");
        if (open != std::string::npos && !error.empty() && error.back() == ')') {
            error = error.substr(open + 2, error.size() - open - 3);
        }
        return false;
    }
    KspThreadMutex::Guard guard(gStartLock);
    gIsStarting = false;
    mHost = listen.substr(0, listen.rfind(':'));
    if (!mHost.empty() && mHost.front() == '[') mHost = mHost.substr(1, mHost.size() - 2);
    // A server on every address is reached through loopback.
    if (mHost == "0.0.0.0") mHost = "127.0.0.1";
    if (mHost == "::") mHost = "::1";
    mPort = GetPort();
    return true;
}

void QipExporterHttp::Nudger::Run() {
    do {
        sockaddr_storage address;
        memset(&address, 0, sizeof address);
        socklen_t length = 0;
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&address);
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        if (inet_pton(AF_INET, mOuter->mHost.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(mOuter->mPort));
            length = sizeof *v4;
        } else if (inet_pton(AF_INET6, mOuter->mHost.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(mOuter->mPort));
            length = sizeof *v6;
        } else {
            return;
        }
        const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        // Non-blocking: the connection needs only to reach the listening queue.
        int ignored = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
        (void)ignored;
        close(fd);
    } while (Pause(20));
}

int QipExporterHttp::GetPort() const {
    if (!mExposer) return 0;
    const std::vector<int> ports = mExposer->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}

void QipExporterHttp::Stop() {
    if (!mExposer) return;
    Nudger nudger(this);
    const bool nudging = mPort > 0 && nudger.Start() == 0;
    mExposer.reset();
    if (nudging) {
        nudger.Stop();
        nudger.WaitForCompletion();
    }
}
