#include "sysinfo/SysInfo.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "ksp/KspClock.h"
#include "ksp/KspDescriptor.h"

namespace {

const int cConnectTimeoutMs = 2000;
const int cAnswerTimeoutMs = 3000;
// The request is formatted into 65,536 bytes including its terminating zero, and the answer
// is read into the same space less the zero put after it.
const size_t cBufferSize = 65536;
const size_t cMaxPage = cBufferSize - 1;

// The outcome text of a failed connection or a page of which no byte arrived.
std::string DescribeError(int error) {
    switch (error) {
    case ECONNREFUSED:
        return "refused";
    case ETIMEDOUT:
        return "timeout";
    case EHOSTUNREACH:
    case ENETUNREACH:
        return "unreachable";
    case ENODATA:
        return "no answer";
    case ECANCELED:
        return "cancelled";
    case ECONNRESET:
        return "reset";
    default:
        return "error";
    }
}

int RemainingMs(long long deadline) {
    long long left = deadline - KspMonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The earlier of a step's own deadline and the fetch's cap (0: none).
long long Earlier(long long stepDeadline, long long fetchDeadline) {
    return fetchDeadline != 0 && fetchDeadline < stepDeadline ? fetchDeadline : stepDeadline;
}

// poll() for `events` until `deadline`; 1 ready, 0 timed out, -1 error (errno set).
// A readable `cancelFd` (when not -1) ends the wait as an error with errno ECANCELED.
int PollUntil(int fd, short events, long long deadline, int cancelFd) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        int n = poll(p, cancelFd >= 0 ? 2 : 1, RemainingMs(deadline));
        if (n > 0 && cancelFd >= 0 && p[1].revents != 0) {
            errno = ECANCELED;
            return -1;
        }
        if (n >= 0 || errno != EINTR) return n > 0 ? 1 : n;
    }
}

// Connects `fd` within the time-out, leaving it blocking again; false with errno set.
bool ConnectBounded(int fd, const sockaddr_in& address, long long fetchDeadline, int cancelFd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    long long deadline = Earlier(KspMonotonicMs() + cConnectTimeoutMs, fetchDeadline);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        if (errno != EINPROGRESS) return false;
        int ready = PollUntil(fd, POLLOUT, deadline, cancelFd);
        if (ready <= 0) {
            if (ready == 0) errno = ETIMEDOUT;
            return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return false;
        if (error != 0) {
            errno = error;
            return false;
        }
    }
    return fcntl(fd, F_SETFL, flags) == 0;
}

// perror() with a code carried from the failing call: writing the message may itself change
// errno (the first write to a standard error that is not a terminal does), so the caller
// keeps its own copy for the outcome.
void Report(const std::string& prefix, const char* what, int error) {
    fprintf(stderr, "%s%s: %s\n", prefix.c_str(), what, strerror(error));
}

}  // namespace

SysInfo::SysInfo(const std::string& host, const std::string& url) : mHost(host), mUrl(url) {
    const std::string prefix = "http://" + host + "/";
    std::string::size_type p = mUrl.find(prefix);
    if (p != std::string::npos) mUrl = mUrl.substr(p + 7 + host.size());
}

SysInfo::~SysInfo() {}

const size_t SysInfo::cMaxStoredBytes;
const size_t SysInfo::cEntryOverhead;

bool SysInfo::Fetch() {
    mValues.clear();
    mStoredBytes = 0;
    mFetchDeadlineMs = mTimeLimitMs != 0 ? KspMonotonicMs() + static_cast<long long>(mTimeLimitMs) : 0;
    int error = 0;
    KspDescriptor socket(OpenConnection(error));
    if (socket.Get() < 0) {
        mOutcome = DescribeError(error);
        mFetchDeadlineMs = 0;
        return false;
    }
    std::string page;
    bool ok = FetchPage(socket.Get(), page, error);
    mFetchDeadlineMs = 0;
    if (ok) ParsePage(page);
    if (ok) {
        mOutcome = page.size() >= cMaxPage ? "too large" : "ok";
    } else if (!page.empty()) {
        mOutcome = DescribeStatus(page);
    } else {
        std::string request;
        mOutcome = !BuildRequest(mUrl, mHost, request) ? "invalid url" : DescribeError(error);
    }
    return ok;
}

std::string SysInfo::DescribeStatus(const std::string& page) {
    // "HTTP/1.0 404 Not Found": the code is the first word after the version.
    const std::string::size_type space = page.find(' ');
    const std::string::size_type lineEnd = page.find_first_of("\r\n");
    if (page.compare(0, 5, "HTTP/") != 0 || space == std::string::npos ||
        space > lineEnd || page.size() < space + 4) {
        return "bad answer";
    }
    const std::string code = page.substr(space + 1, 3);
    for (char digit : code) {
        if (digit < '0' || digit > '9') return "bad answer";
    }
    // A 200 that is not accepted had a status line without CRLF.
    return code == "200" ? "bad answer" : "http " + code;
}

const std::string& SysInfo::GetValue(const std::string& path) const {
    static const std::string empty;
    std::string key = path;
    if (!key.empty() && key[0] != '/') key.insert(0, "/");
    std::map<std::string, std::string>::const_iterator it = mValues.find(key);
    return it != mValues.end() ? it->second : empty;
}

const std::map<std::string, std::string>& SysInfo::GetValues() const { return mValues; }

void SysInfo::KeepOnly(const std::string& path) {
    std::string key = path;
    if (!key.empty() && key[0] != '/') key.insert(0, "/");
    std::map<std::string, std::string> kept;
    mStoredBytes = 0;
    std::map<std::string, std::string>::iterator it = mValues.find(key);
    if (it != mValues.end()) {
        mStoredBytes = it->first.size() + it->second.size() + cEntryOverhead;
        kept.insert(*it);
    }
    mValues.swap(kept);
}

int SysInfo::OpenConnection() const {
    int error = 0;
    return OpenConnection(error);
}

int SysInfo::OpenConnection(int& error) const {
    KspDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (socket.Get() < 0) {
        error = errno;
        Report(mReportPrefix, "socket() failed", error);
        return -1;
    }
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(mPort);
    if (inet_pton(AF_INET, mHost.c_str(), &address.sin_addr) != 1) {
        error = EINVAL;  // inet_pton sets no errno for a bad text; say why instead of a stale one
        Report(mReportPrefix, "inet_pton() failed", error);
        return -1;
    }
    if (!ConnectBounded(socket.Get(), address, mFetchDeadlineMs, mCancelFd)) {
        error = errno;
        if (error != ECANCELED) Report(mReportPrefix, "connect() failed", error);
        return -1;
    }
    return socket.Release();
}

bool SysInfo::FetchPage(int socket, std::string& page) const {
    int error = 0;
    return FetchPage(socket, page, error);
}

bool SysInfo::FetchPage(int socket, std::string& page, int& failure) const {
    page.clear();
    failure = 0;
    std::string request;
    if (!BuildRequest(mUrl, mHost, request)) {
        failure = EINVAL;
        fprintf(stderr, "%sInvalid status URL\n", mReportPrefix.c_str());
        return false;
    }
    ssize_t sent = send(socket, request.data(), request.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(request.size())) {
        failure = sent >= 0 ? EIO : errno;
        Report(mReportPrefix, "send() failed", failure);
        return false;
    }
    // Read until the device closes, the page is full or the answer time is up; whatever
    // arrived by then is the page.
    long long deadline = Earlier(KspMonotonicMs() + cAnswerTimeoutMs, mFetchDeadlineMs);
    std::vector<char> buffer(cMaxPage);
    size_t count = 0;
    int error = ETIMEDOUT;
    while (count < cMaxPage) {
        int ready = PollUntil(socket, POLLIN, deadline, mCancelFd);
        if (ready <= 0) {
            if (ready < 0) error = errno;
            break;
        }
        ssize_t n = recv(socket, buffer.data() + count, cMaxPage - count, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENODATA;  // closed before a byte arrived
            break;
        }
        count += static_cast<size_t>(n);
    }
    if (count == 0) {
        failure = error;
        if (failure != ECANCELED) Report(mReportPrefix, "recv() failed", failure);
        return false;
    }
    page.assign(buffer.data(), strnlen(buffer.data(), count));
    return IsOkStatus(page);
}

bool SysInfo::BuildRequest(const std::string& url, const std::string& host,
                           std::string& request) {
    if (url.find_first_of("\r\n") != std::string::npos ||
        host.find_first_of("\r\n") != std::string::npos)
        return false;
    std::string text = "GET " + url + " HTTP/1.0\r\nHost: " + host +
                       "\r\nUser-Agent: kesprin QIP Library\r\n\r\n";
    if (text.size() > cMaxPage) return false;
    request.swap(text);
    return true;
}

bool SysInfo::IsOkStatus(const std::string& page) {
    std::string::size_type lineEnd = page.find("\r\n");
    std::string::size_type ok = page.find("200 OK");
    return lineEnd != std::string::npos && ok != std::string::npos && lineEnd >= ok;
}

void SysInfo::ParsePage(const std::string& page) {
    std::string path;
    std::string::size_type start = page.find("?>");
    std::string::size_type pos = start == std::string::npos ? 0 : start + 2;
    while (pos < page.size()) {
        std::string::size_type end = page.find_first_of("\r\n", pos);
        if (end == std::string::npos) break;
        if (end > pos) ParseLine(page.substr(pos, end - pos), path);
        pos = end + 1;
    }
}

namespace {

// The characters after `from` up to `to`, or the rest of the line when `to` lies before.
std::string TextBetween(const std::string& line, std::string::size_type from,
                        std::string::size_type to) {
    if (to < from) return line.substr(from + 1);
    return line.substr(from + 1, to - from - 1);
}

}  // namespace

void SysInfo::ParseLine(const std::string& line, std::string& path) {
    std::string::size_type open = line.find('<');
    std::string::size_type close = line.find('>');
    if (open == std::string::npos || close == std::string::npos) return;
    std::string::size_type end = line.find("</");
    if (end == std::string::npos) {
        path += "/" + TextBetween(line, open, close);
    } else if (end == open) {
        std::string::size_type slash = path.rfind('/');
        if (slash != std::string::npos) path.erase(slash);
    } else {
        const std::string value = TextBetween(line, close, end);
        // The key's length is known before it is built: a hostile page pays nothing more.
        const size_t tagLength = close > open ? close - open - 1 : line.size() - open - 1;
        const size_t cost = path.size() + 1 + tagLength + value.size() + cEntryOverhead;
        if (cost > cMaxStoredBytes - mStoredBytes) return;
        std::pair<std::map<std::string, std::string>::iterator, bool> entry =
            mValues.insert(std::make_pair(path + "/" + TextBetween(line, open, close), ""));
        if (entry.second) mStoredBytes += entry.first->first.size() + cEntryOverhead;
        mStoredBytes = mStoredBytes - entry.first->second.size() + value.size();
        entry.first->second = value;
    }
}
