#include "tools/exporter/QipExporterHttp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <microhttpd.h>
#include <prometheus/collectable.h>
#include <prometheus/text_serializer.h>

const unsigned QipExporterHttp::cMaxConnections;
const unsigned QipExporterHttp::cMaxConnectionsPerAddress;
const unsigned QipExporterHttp::cIdleTimeoutSeconds;

namespace {

const char* const cAllow = "GET, HEAD";

// Queues `body` with `status` and `type`; the response is the server's to free.
MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
          const char* allow = nullptr) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    if (type != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// Binds a listening TCP socket to "ADDRESS:PORT" or "[ADDRESS]:PORT"; -1 with errno set.
int Listen(const std::string& listen) {
    const std::string::size_type colon = listen.rfind(':');
    std::string host = listen.substr(0, colon);
    const int port = atoi(listen.c_str() + colon + 1);
    sockaddr_storage address;
    memset(&address, 0, sizeof address);
    socklen_t length = 0;
    if (host.size() > 2 && host.front() == '[') {
        host = host.substr(1, host.size() - 2);
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) return errno = EINVAL, -1;
        length = sizeof *v6;
    } else {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) return errno = EINVAL, -1;
        length = sizeof *v4;
    }
    KspDescriptor fd(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.Get() < 0) return -1;
    const int on = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // [::] means IPv6 only, as written; 0.0.0.0 is the IPv4 side.
    if (address.ss_family == AF_INET6) setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
    if (::listen(fd.Get(), SOMAXCONN) != 0) return -1;
    return fd.Release();
}

}  // namespace

QipExporterHttp::QipExporterHttp() : mDaemon(nullptr), mPort(0) {}

QipExporterHttp::~QipExporterHttp() { Stop(); }

std::string QipExporterHttp::RootPage(const std::string& version) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>qip-exporter</title></head>\n"
           "<body><h1>qip-exporter " + version + "</h1>\n"
           "<p>QIP devices found on this machine's networks, as Prometheus metrics: "
           "<a href=\"metrics\">/metrics</a></p>\n</body></html>\n";
}

bool QipExporterHttp::Start(const std::string& listen,
                            const std::shared_ptr<prometheus::Collectable>& metrics,
                            const std::string& version, std::string& error) {
    mMetrics = metrics;
    mRootPage = RootPage(version);
    KspDescriptor socket(Listen(listen));
    if (socket.Get() < 0) {
        error = strerror(errno);
        return false;
    }
    sockaddr_storage bound;
    socklen_t length = sizeof bound;
    if (getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        mPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    // The server's thread also makes the metrics: a scrape costs milliseconds, and one
    // thread keeps the memory of a scrape of a full list to one at a time.
    mDaemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG, 0, nullptr, nullptr,
        &QipExporterHttp::OnRequest, this,
        MHD_OPTION_LISTEN_SOCKET, socket.Get(),
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(cMaxConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(cMaxConnectionsPerAddress),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(cIdleTimeoutSeconds),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
        MHD_OPTION_END);
    if (mDaemon == nullptr) {
        error = "the HTTP server cannot start";
        mPort = 0;
        return false;
    }
    mListenSocket.reset(new KspDescriptor(socket.Release()));
    return true;
}

void QipExporterHttp::Stop() {
    if (mDaemon == nullptr) return;
    MHD_stop_daemon(mDaemon);
    mDaemon = nullptr;
}

MHD_Result QipExporterHttp::OnRequest(void* self, MHD_Connection* connection, const char* url,
                               const char* method, const char*, const char*, size_t* uploadSize,
                               void** requestState) {
    // A body (of a POST) is never read: the answer goes out on the first call, and the
    // server closes the connection after it.
    (void)uploadSize;
    (void)requestState;
    return static_cast<QipExporterHttp*>(self)->Answer(connection, url, method);
}

MHD_Result QipExporterHttp::Answer(MHD_Connection* connection, const std::string& url,
                            const std::string& method) {
    const bool isRoot = url == "/";
    const bool isMetrics = url == "/metrics";
    if (!isRoot && !isMetrics) return Reply(connection, MHD_HTTP_NOT_FOUND, "Not found\n", "text/plain");
    // HEAD is answered as GET without the body, by the server.
    if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n", "text/plain",
                     cAllow);
    }
    if (isRoot) return Reply(connection, MHD_HTTP_OK, mRootPage, "text/html; charset=utf-8");
    const std::string body = prometheus::TextSerializer().Serialize(mMetrics->Collect());
    return Reply(connection, MHD_HTTP_OK, body, "text/plain; version=0.0.4; charset=utf-8");
}
