#include "tests/sysinfo/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// A TCP socket bound to 127.0.0.1 at a free port; -1 on failure.
int BindLoopback(unsigned short& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

void SendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;  // the client may close before taking everything
        done += static_cast<size_t>(n);
    }
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(const Reply& reply) : mReply(reply) {
    mListen = BindLoopback(mPort);
    if (mListen < 0 || listen(mListen, 4) != 0 || pipe2(mWake, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "loopback server could not start";
        return;
    }
    mThread = std::thread(&LoopbackHttpServer::Run, this);
}

LoopbackHttpServer::~LoopbackHttpServer() {
    if (mThread.joinable()) {
        char byte = 0;
        ssize_t ignored = write(mWake[1], &byte, 1);
        (void)ignored;
        mThread.join();
    }
    for (int fd : {mListen, mWake[0], mWake[1]})
        if (fd >= 0) close(fd);
}

std::string LoopbackHttpServer::Request() const {
    std::lock_guard<std::mutex> lock(mRequestLock);
    return mRequest;
}

bool LoopbackHttpServer::WaitReadable(int fd, int ms) const {
    pollfd fds[2] = {{mWake[0], POLLIN, 0}, {fd, POLLIN, 0}};
    int n = poll(fds, fd >= 0 ? 2 : 1, ms);
    return n >= 0 && !(fds[0].revents & POLLIN);
}

void LoopbackHttpServer::Run() {
    if (!WaitReadable(mListen, -1)) return;
    int client = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    char buffer[4096];
    for (;;) {
        if (!WaitReadable(client, 5000)) break;
        ssize_t n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mRequestLock);
        mRequest.append(buffer, static_cast<size_t>(n));
        if (mRequest.find("\r\n\r\n") != std::string::npos) break;
    }
    bool awake = !mReply.silent && WaitReadable(-1, mReply.delayMs);
    if (awake) SendAll(client, mReply.first);
    if (awake && !mReply.second.empty() && WaitReadable(-1, mReply.pauseMs))
        SendAll(client, mReply.second);
    if (mReply.silent) WaitReadable(-1, -1);
    close(client);
}

RefusingPort::RefusingPort() { mFd = BindLoopback(mPort); }

RefusingPort::~RefusingPort() {
    if (mFd >= 0) close(mFd);
}

FullQueuePort::FullQueuePort() {
    mListen = BindLoopback(mPort);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(mPort);
    mFiller = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A backlog of 0 still admits one connection; the filler takes it.
    if (mListen < 0 || listen(mListen, 0) != 0 || mFiller < 0 ||
        connect(mFiller, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "could not fill a loopback accept queue";
}

FullQueuePort::~FullQueuePort() {
    for (int fd : {mFiller, mListen})
        if (fd >= 0) close(fd);
}
