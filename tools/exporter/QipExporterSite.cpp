#include "tools/exporter/QipExporterSite.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>

#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/text_serializer.h>

#include "ksp/KspClock.h"

const unsigned QipExporterSite::cMaxConnectionsPerAddress;
const unsigned QipExporterSite::cIdleTimeoutSeconds;
const unsigned QipExporterSite::cReservedConnections;

namespace {

const char* const cAllow = "GET, HEAD";
const char* const cRealm = "qip-exporter";
const unsigned long cDeadlineTickMs = 250;

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

void QipExporterSite::Request::OnChecked(bool isAccepted) {
    mState = isAccepted ? cAccepted : cRefused;
    MHD_resume_connection(mConnection);
}

void QipExporterSite::Request::OnBusy() {
    mState = cBusy;
    MHD_resume_connection(mConnection);
}

void QipExporterSite::DeadlineTimer::Run() {
    while (Pause(cDeadlineTickMs)) mOuter->mConnections.CloseOverdue(KspMonotonicMs());
}

QipExporterSite::QipExporterSite(const QipExporterWebConfig& config,
                                 const std::shared_ptr<prometheus::Collectable>& metrics, const std::string& rootPage,
                                 const std::shared_ptr<QipExporterPasswords::Shared>& total,
                                 unsigned maxConnections)
    : mConfig(config), mMetrics(metrics), mRootPage(rootPage), mMaxConnections(maxConnections),
      mPasswords(config.mUsers, total), mChecks(&mPasswords),
      mConnections(maxConnections - cReservedConnections), mTimer(this), mDaemon(nullptr), mIsRetired(false),
      mIsStarting(false) {}

QipExporterSite::~QipExporterSite() {
    mTimer.Stop();
    mTimer.WaitForCompletion();
    // Suspended requests are resumed before the server goes, so that it closes them itself.
    mChecks.Stop();
    if (mDaemon != nullptr) MHD_stop_daemon(mDaemon);
}

void QipExporterSite::OnLog(void* self, const char* format, va_list arguments) {
    QipExporterSite* site = static_cast<QipExporterSite*>(self);
    if (!site->mIsStarting || !site->mStartLog.empty()) return;  // only why a start fails
    char text[512];
    vsnprintf(text, sizeof text, format, arguments);
    site->mStartLog = text;
    while (!site->mStartLog.empty() && site->mStartLog.back() == '\n') site->mStartLog.pop_back();
}

bool QipExporterSite::Start(int listenSocket, std::string& error) {
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME;
    if (mConfig.mTls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&QipExporterSite::OnLog), this},
        {MHD_OPTION_LISTEN_SOCKET, listenSocket, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, mMaxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, cMaxConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, cIdleTimeoutSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 16 * 1024, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&QipExporterSite::OnCompleted), this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&QipExporterSite::OnConnection), this},
    };
    if (mConfig.mTls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(mConfig.mCertPem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(mConfig.mKeyPem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(mConfig.mPriorities.c_str())});
        if (!mConfig.mClientCaPem.empty()) {
            options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, const_cast<char*>(mConfig.mClientCaPem.c_str())});
        }
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    if (!mPasswords.IsEmpty() && !mChecks.Start()) {
        error = "the password checks cannot start";
        return false;
    }
    if (mTimer.Start() != 0) {
        error = "the request deadline timer cannot start";
        return false;
    }
    mIsStarting = true;
    mDaemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &QipExporterSite::OnRequest, this,
                               MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    mIsStarting = false;
    if (mDaemon == nullptr) {
        error = mStartLog.empty() ? "the HTTP server cannot start" : mStartLog;
        return false;
    }
    return true;
}

int QipExporterSite::Retire() {
    mIsRetired = true;
    const MHD_socket socket = MHD_quiesce_daemon(mDaemon);
    return socket == MHD_INVALID_SOCKET ? -1 : socket;
}

void QipExporterSite::OnConnection(void* self, MHD_Connection* connection, void**,
                                   MHD_ConnectionNotificationCode code) {
    QipExporterSite* site = static_cast<QipExporterSite*>(self);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        site->mConnections.OnClosed(connection);
        return;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) site->mConnections.OnOpened(connection, info->connect_fd, KspMonotonicMs());
}

void QipExporterSite::OnCompleted(void* self, MHD_Connection* connection, void** requestState,
                                  MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*requestState);
    *requestState = nullptr;
    static_cast<QipExporterSite*>(self)->mConnections.OnAnswered(connection);
}

MHD_Result QipExporterSite::OnRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                                      const char*, const char*, size_t*, void** requestState) {
    QipExporterSite* site = static_cast<QipExporterSite*>(self);
    // A body (of a POST) is never read: the answer goes out on the first call (or the
    // first after a password check), and the server closes the connection after it.
    const Request* request = static_cast<const Request*>(*requestState);
    if (request == nullptr) return site->Begin(connection, url, method, requestState);
    switch (request->GetState()) {
    case Request::cAccepted:
        return site->Answer(connection, url, method);
    case Request::cBusy:
        return site->Busy(connection);
    default:
        return site->AskPassword(connection);
    }
}

MHD_Result QipExporterSite::Reply(MHD_Connection* connection, unsigned status, const std::string& body,
                                  const char* type, const char* allow, bool askPassword, bool isBusy) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    if (type != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    if (isBusy) MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, "1");
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

MHD_Result QipExporterSite::AskPassword(MHD_Connection* connection) {
    return Reply(connection, MHD_HTTP_UNAUTHORIZED, "Unauthorized\n", "text/plain", nullptr, true);
}

MHD_Result QipExporterSite::Busy(MHD_Connection* connection) {
    return Reply(connection, MHD_HTTP_TOO_MANY_REQUESTS, "Too many password checks; try again in a second\n",
                 "text/plain", nullptr, false, true);
}

MHD_Result QipExporterSite::Begin(MHD_Connection* connection, const std::string& url, const std::string& method,
                                  void** requestState) {
    mConnections.OnHead(connection);
    if (!mConfig.mClientCaPem.empty()) {
        // The server asked for a certificate during the handshake; whether it was shown
        // and signed by the client CA is checked here.
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        unsigned status = 1;
        if (info == nullptr ||
            gnutls_certificate_verify_peers2(static_cast<gnutls_session_t>(info->tls_session), &status) != 0 ||
            status != 0) {
            return Reply(connection, MHD_HTTP_FORBIDDEN, "A client certificate signed by the client CA is required\n",
                         "text/plain");
        }
    }
    if (mPasswords.IsEmpty()) return Answer(connection, url, method);
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const QipExporterPasswords::Outcome outcome =
        mPasswords.Admit(user, password, ClientAddress(connection), KspMonotonicMs());
    MHD_Result result = MHD_YES;
    switch (outcome) {
    case QipExporterPasswords::Outcome::cAccepted:
        result = Answer(connection, url, method);
        break;
    case QipExporterPasswords::Outcome::cRefused:
        result = AskPassword(connection);
        break;
    case QipExporterPasswords::Outcome::cPaused:
        result = Busy(connection);
        break;
    case QipExporterPasswords::Outcome::cToCheck: {
        // Suspended before the worker may resume it; answered on the call after that.
        Request* request = new Request(connection);
        *requestState = request;
        MHD_suspend_connection(connection);
        if (!mChecks.Add(user, password, request)) request->OnBusy();
        break;
    }
    }
    if (user != nullptr) MHD_free(user);
    if (password != nullptr) MHD_free(password);
    return result;
}

MHD_Result QipExporterSite::Answer(MHD_Connection* connection, const std::string& url, const std::string& method) {
    const bool isRoot = url == "/";
    const bool isMetrics = url == "/metrics";
    if (!isRoot && !isMetrics) return Reply(connection, MHD_HTTP_NOT_FOUND, "Not found\n", "text/plain");
    // HEAD is answered as GET without the body, by the server.
    if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n", "text/plain", cAllow);
    }
    if (isRoot) return Reply(connection, MHD_HTTP_OK, mRootPage, "text/html; charset=utf-8");
    const std::string body = prometheus::TextSerializer().Serialize(mMetrics->Collect());
    return Reply(connection, MHD_HTTP_OK, body, "text/plain; version=0.0.4; charset=utf-8");
}
