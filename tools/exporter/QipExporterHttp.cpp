#include "tools/exporter/QipExporterHttp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/text_serializer.h>

#include "ksp/KspClock.h"
#include "ksp/KspDescriptor.h"

const unsigned QipExporterHttp::cMaxConnections;
const unsigned QipExporterHttp::cMaxConnectionsPerAddress;
const unsigned QipExporterHttp::cIdleTimeoutSeconds;
const long long QipExporterHttp::cRetireMs;

namespace {

const char* const cAllow = "GET, HEAD";
const char* const cRealm = "qip-exporter";

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

std::string ClientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "";
    if (info != nullptr && info->client_addr != nullptr) {
        const sockaddr* address = info->client_addr;
        const void* bytes = address->sa_family == AF_INET6
                                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)
                                : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
        inet_ntop(address->sa_family, bytes, text, sizeof text);
    }
    return text;
}

}  // namespace

QipExporterHttp::QipExporterHttp() : mPort(0), mListenSocket(-1), mRetiredAtMs(0) {}

QipExporterHttp::~QipExporterHttp() { Stop(); }

std::string QipExporterHttp::RootPage(const std::string& version) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>qip-exporter</title></head>\n"
           "<body><h1>qip-exporter " + version + "</h1>\n"
           "<p>QIP devices found on this machine's networks, as Prometheus metrics: "
           "<a href=\"metrics\">/metrics</a></p>\n</body></html>\n";
}

bool QipExporterHttp::Start(const std::string& listen,
                            const std::shared_ptr<prometheus::Collectable>& metrics,
                            const std::string& version, const QipExporterWebConfig& config,
                            std::string& error) {
    mMetrics = metrics;
    mRootPage = RootPage(version);
    KspDescriptor socket(Listen(listen));
    if (socket.Get() < 0) {
        error = strerror(errno);
        return false;
    }
    std::unique_ptr<Site> site(new Site(this, config));
    if (!site->Start(socket.Get(), error)) {
        socket.Release();  // perhaps closed by the server already; the program ends anyway
        return false;
    }
    mListenSocket = socket.Release();
    mCurrent = std::move(site);
    sockaddr_storage bound;
    socklen_t length = sizeof bound;
    if (getsockname(mListenSocket, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        mPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    return true;
}

bool QipExporterHttp::Reconfigure(const QipExporterWebConfig& config, std::string& error) {
    if (!mCurrent) return false;
    // The new server takes its own descriptor of the same socket; both accept for a moment.
    KspDescriptor socket(fcntl(mListenSocket, F_DUPFD_CLOEXEC, 0));
    if (socket.Get() < 0) {
        error = strerror(errno);
        return false;
    }
    std::unique_ptr<Site> site(new Site(this, config));
    if (!site->Start(socket.Get(), error)) {
        // Whether a server that failed to start closed the descriptor it was given is not
        // said; left open rather than perhaps closed twice. Checked configurations make
        // this rare.
        socket.Release();
        return false;
    }
    mRetired.reset();
    // The old descriptor comes back from the retired server (unless it could not stop
    // accepting, when it still owns it and closes it as it stops).
    const int old = mCurrent->Retire();
    if (old >= 0) close(old);
    mRetired = std::move(mCurrent);
    mRetiredAtMs = KspMonotonicMs();
    mListenSocket = socket.Release();
    mCurrent = std::move(site);
    return true;
}

void QipExporterHttp::Tick(long long nowMs) {
    if (mRetired && nowMs - mRetiredAtMs >= cRetireMs) mRetired.reset();
}

void QipExporterHttp::Stop() {
    mRetired.reset();
    mCurrent.reset();
}

QipExporterHttp::Site::Site(QipExporterHttp* outer, const QipExporterWebConfig& config)
    : mOuter(outer), mConfig(config), mPasswords(config.mUsers), mDaemon(nullptr), mIsRetired(false),
      mIsStarting(false) {}

QipExporterHttp::Site::~Site() {
    if (mDaemon != nullptr) MHD_stop_daemon(mDaemon);
}

void QipExporterHttp::Site::OnLog(void* self, const char* format, va_list arguments) {
    Site* site = static_cast<Site*>(self);
    if (!site->mIsStarting || !site->mStartLog.empty()) return;  // only why a start fails
    char text[512];
    vsnprintf(text, sizeof text, format, arguments);
    site->mStartLog = text;
    while (!site->mStartLog.empty() && site->mStartLog.back() == '\n') site->mStartLog.pop_back();
}

bool QipExporterHttp::Site::Start(int listenSocket, std::string& error) {
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (mConfig.mTls) flags |= MHD_USE_TLS;
    // A password check takes a quarter second of a thread: a second thread keeps scrapes
    // going meanwhile. Without passwords one thread does everything, and keeps the memory
    // of a scrape of a full list to one at a time.
    const unsigned threads = mPasswords.IsEmpty() ? 1 : 2;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&Site::OnLog), this},
        {MHD_OPTION_LISTEN_SOCKET, listenSocket, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, cMaxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, cMaxConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, cIdleTimeoutSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 16 * 1024, nullptr},
    };
    if (threads > 1) options.push_back({MHD_OPTION_THREAD_POOL_SIZE, threads, nullptr});
    if (mConfig.mTls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(mConfig.mCertPem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(mConfig.mKeyPem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(mConfig.mPriorities.c_str())});
        if (!mConfig.mClientCaPem.empty()) {
            options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, const_cast<char*>(mConfig.mClientCaPem.c_str())});
        }
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    mIsStarting = true;
    mDaemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Site::OnRequest, this,
                               MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    mIsStarting = false;
    if (mDaemon == nullptr) {
        error = mStartLog.empty() ? "the HTTP server cannot start" : mStartLog;
        return false;
    }
    return true;
}

int QipExporterHttp::Site::Retire() {
    mIsRetired = true;
    const MHD_socket socket = MHD_quiesce_daemon(mDaemon);
    return socket == MHD_INVALID_SOCKET ? -1 : socket;
}

MHD_Result QipExporterHttp::Site::OnRequest(void* self, MHD_Connection* connection, const char* url,
                                            const char* method, const char*, const char*, size_t*,
                                            void**) {
    // A body (of a POST) is never read: the answer goes out on the first call, and the
    // server closes the connection after it.
    return static_cast<Site*>(self)->Answer(connection, url, method);
}

MHD_Result QipExporterHttp::Site::Reply(MHD_Connection* connection, unsigned status,
                                        const std::string& body, const char* type, const char* allow,
                                        bool askPassword) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    if (type != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    for (const auto& header : mConfig.mHeaders) {
        MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
    }
    // A replaced server sends its keep-alive clients to the new one.
    if (mIsRetired) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = askPassword ? MHD_queue_basic_auth_fail_response(connection, cRealm, response)
                                          : MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

bool QipExporterHttp::Site::Admit(MHD_Connection* connection, MHD_Result& queued) {
    if (!mConfig.mClientCaPem.empty()) {
        // The server asked for a certificate during the handshake; whether it was shown
        // and signed by the client CA is checked here.
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        unsigned status = 1;
        if (info == nullptr ||
            gnutls_certificate_verify_peers2(static_cast<gnutls_session_t>(info->tls_session), &status) != 0 ||
            status != 0) {
            queued = Reply(connection, MHD_HTTP_FORBIDDEN, "A client certificate signed by the client CA is required\n",
                           "text/plain");
            return false;
        }
    }
    if (mPasswords.IsEmpty()) return true;
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    QipExporterPasswords::Outcome outcome = QipExporterPasswords::Outcome::cRefused;
    if (user != nullptr && password != nullptr) {
        outcome = mPasswords.Check(user, password, ClientAddress(connection), KspMonotonicMs());
    }
    if (user != nullptr) MHD_free(user);
    if (password != nullptr) MHD_free(password);
    if (outcome == QipExporterPasswords::Outcome::cAccepted) return true;
    queued = Reply(connection, MHD_HTTP_UNAUTHORIZED, "Unauthorized\n", "text/plain", nullptr, true);
    return false;
}

MHD_Result QipExporterHttp::Site::Answer(MHD_Connection* connection, const std::string& url,
                                         const std::string& method) {
    MHD_Result queued = MHD_NO;
    if (!Admit(connection, queued)) return queued;
    const bool isRoot = url == "/";
    const bool isMetrics = url == "/metrics";
    if (!isRoot && !isMetrics) return Reply(connection, MHD_HTTP_NOT_FOUND, "Not found\n", "text/plain");
    // HEAD is answered as GET without the body, by the server.
    if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n", "text/plain", cAllow);
    }
    if (isRoot) return Reply(connection, MHD_HTTP_OK, mOuter->mRootPage, "text/html; charset=utf-8");
    const std::string body = prometheus::TextSerializer().Serialize(mOuter->mMetrics->Collect());
    return Reply(connection, MHD_HTTP_OK, body, "text/plain; version=0.0.4; charset=utf-8");
}
