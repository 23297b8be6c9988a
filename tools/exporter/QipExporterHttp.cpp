#include "tools/exporter/QipExporterHttp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <prometheus/collectable.h>

#include "ksp/KspClock.h"
#include "ksp/KspDescriptor.h"

const unsigned QipExporterHttp::cMaxConnections;
const long long QipExporterHttp::cRetireMs;
const size_t QipExporterHttp::cMaxRetired;

namespace {

// Descriptors kept for everything but the connections (the discovery sockets, the page
// reads, a retiring server's listening socket).
const unsigned cOtherDescriptors = 128;
const long long cSettleMs = 200;

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

// Raises the soft descriptor limit towards the hard one, for cMaxConnections connections;
// the connection limit that the limit then allows.
unsigned RaiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024 - cOtherDescriptors;
    const rlim_t wanted = QipExporterHttp::cMaxConnections + cOtherDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return QipExporterHttp::cMaxConnections;
    return static_cast<unsigned>(std::max<rlim_t>(limit.rlim_cur, 4 * QipExporterSite::cReservedConnections) -
                                 cOtherDescriptors);
}

}  // namespace

QipExporterHttp::QipExporterHttp()
    : mPasswordsShared(std::make_shared<QipExporterPasswords::Shared>()), mMaxConnections(cMaxConnections),
      mPort(0), mListenSocket(-1) {}

QipExporterHttp::~QipExporterHttp() { Stop(); }

std::string QipExporterHttp::RootPage(const std::string& version) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>qip-exporter</title></head>\n"
           "<body><h1>qip-exporter " + version + "</h1>\n"
           "<p>QIP devices found on this machine's networks, as Prometheus metrics: "
           "<a href=\"metrics\">/metrics</a></p>\n</body></html>\n";
}

std::unique_ptr<QipExporterSite> QipExporterHttp::MakeSite(const QipExporterWebConfig& config) const {
    return std::unique_ptr<QipExporterSite>(
        new QipExporterSite(config, mMetrics, mRootPage, mPasswordsShared, mMaxConnections));
}

bool QipExporterHttp::Start(const std::string& listen,
                            const std::shared_ptr<prometheus::Collectable>& metrics,
                            const std::string& version, const QipExporterWebConfig& config,
                            std::string& error) {
    mMetrics = metrics;
    mRootPage = RootPage(version);
    mMaxConnections = RaiseDescriptorLimit();
    KspDescriptor socket(Listen(listen));
    if (socket.Get() < 0) {
        error = strerror(errno);
        return false;
    }
    std::unique_ptr<QipExporterSite> site = MakeSite(config);
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
    std::unique_ptr<QipExporterSite> site = MakeSite(config);
    if (!site->Start(socket.Get(), error)) {
        // Whether a server that failed to start closed the descriptor it was given is not
        // said; left open rather than perhaps closed twice. Checked configurations make
        // this rare.
        socket.Release();
        return false;
    }
    // The old descriptor comes back from the retired server (unless it could not stop
    // accepting, when it still owns it and closes it as it stops).
    std::unique_ptr<KspDescriptor> old(new KspDescriptor(mCurrent->Retire()));
    // A storm of reloads must not pile up servers without end: the oldest goes first.
    if (mRetired.size() >= cMaxRetired) {
        mRetired.front().mSite.reset();  // stopped before its descriptor is closed
        mRetired.erase(mRetired.begin());
    }
    mRetired.push_back(Retired{std::move(old), std::move(mCurrent), KspMonotonicMs()});
    mListenSocket = socket.Release();
    mCurrent = std::move(site);
    return true;
}

void QipExporterHttp::Tick(long long nowMs) {
    for (auto retired = mRetired.begin(); retired != mRetired.end();) {
        // A connection accepted just before the retirement is counted a moment later, on the
        // server's thread.
        const long long age = nowMs - retired->mAtMs;
        if ((age >= cSettleMs && retired->mSite->GetOpen() == 0) || age >= cRetireMs) {
            retired->mSite.reset();  // stopped before its descriptor is closed
            retired = mRetired.erase(retired);
        } else {
            ++retired;
        }
    }
}

void QipExporterHttp::Stop() {
    mRetired.clear();
    mCurrent.reset();
}
