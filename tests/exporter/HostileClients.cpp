#include "tests/exporter/HostileClients.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    int mFd = -1;
    bool mIsSlow = false;
    int mLines = 0;                // header lines sent
    Clock::time_point mNext;       // when to connect again, or to send the next line
};

}  // namespace

HostileClients::HostileClients(const std::string& namespaceName, const std::string& address,
                               int port, size_t idle, size_t slow, const std::vector<std::string>& sources)
    : mNamespace(namespaceName), mAddress(address), mPort(port), mIdle(idle), mSlow(slow), mSources(sources),
      mRunning(false), mConnects(0), mOpen(0) {}

HostileClients::~HostileClients() { Stop(); }

void HostileClients::Start() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 8192));
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    mRunning = true;
    mThread = std::thread(&HostileClients::Run, this);
}

void HostileClients::Stop() {
    mRunning = false;
    if (mThread.joinable()) mThread.join();
}

void HostileClients::Run() {
    TestBed::EnterHost inside(mNamespace);
    if (!inside.IsEntered()) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(mPort));
    inet_pton(AF_INET, mAddress.c_str(), &to.sin_addr);
    std::vector<Connection> connections(mIdle + mSlow);
    for (size_t i = 0; i < connections.size(); ++i) connections[i].mIsSlow = i < mSlow;
    std::vector<pollfd> polled;
    std::vector<size_t> polledIndex;
    char buffer[4096];
    while (mRunning) {
        const Clock::time_point now = Clock::now();
        polled.clear();
        polledIndex.clear();
        size_t open = 0;
        for (size_t i = 0; i < connections.size(); ++i) {
            Connection& c = connections[i];
            if (c.mFd < 0 && now >= c.mNext) {
                c.mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                if (c.mFd >= 0 && !mSources.empty()) {
                    sockaddr_in from{};
                    from.sin_family = AF_INET;
                    inet_pton(AF_INET, mSources[i % mSources.size()].c_str(), &from.sin_addr);
                    bind(c.mFd, reinterpret_cast<sockaddr*>(&from), sizeof from);
                }
                if (c.mFd >= 0) {
                    connect(c.mFd, reinterpret_cast<sockaddr*>(&to), sizeof to);
                    ++mConnects;
                    c.mLines = 0;
                    c.mNext = now;
                }
            }
            if (c.mFd < 0) continue;
            ++open;
            if (c.mIsSlow && now >= c.mNext) {
                const std::string line = c.mLines == 0 ? "GET /metrics HTTP/1.1\r\n"
                                                       : "X-Slow-" + std::to_string(c.mLines) + ": 1\r\n";
                if (send(c.mFd, line.data(), line.size(), MSG_NOSIGNAL) > 0) ++c.mLines;
                c.mNext = now + std::chrono::seconds(1);
            }
            polled.push_back({c.mFd, POLLIN, 0});
            polledIndex.push_back(i);
        }
        mOpen = open;
        poll(polled.data(), polled.size(), 100);
        for (size_t k = 0; k < polled.size(); ++k) {
            if (polled[k].revents == 0) continue;
            Connection& c = connections[polledIndex[k]];
            const ssize_t n = recv(c.mFd, buffer, sizeof buffer, 0);
            if (n > 0 || (n < 0 && errno == EAGAIN)) continue;  // an answer (an error page): ignored
            close(c.mFd);
            c.mFd = -1;
            c.mNext = Clock::now() + std::chrono::seconds(1);
        }
    }
    for (Connection& c : connections) {
        if (c.mFd >= 0) close(c.mFd);
    }
    mOpen = 0;
}
