#include "tools/device-sim/QipSimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "qip/QipClient.h"
#include "qip/QipPacket.h"
#include "tools/device-sim/QipSimStatusPage.h"

namespace {

const int cRequestTimeoutMs = 10000;
const int cDrainTimeoutMs = 5000;

std::string Endpoint(const sockaddr_in& address) {
    return std::string(inet_ntoa(address.sin_addr)) + ":" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

QipSimServer::Descriptor& QipSimServer::Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (mFd >= 0) close(mFd);
        mFd = other.mFd;
        other.mFd = -1;
    }
    return *this;
}

QipSimServer::Descriptor::~Descriptor() {
    if (mFd >= 0) close(mFd);
}

QipSimServer::QipSimServer(const QipSimOptions& options) : mOptions(options), mStartMs(0) {
    for (const QipSimDeviceConfig& config : options.mDevices) mDevices.emplace_back(config);
    mStartMs = NowMs();
}

QipSimServer::~QipSimServer() = default;

long long QipSimServer::NowMs() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

QipSimServer::Descriptor QipSimServer::Bind(int type, const std::string& address, unsigned short port) {
    Descriptor socket(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int on = 1;
    // Several simulators, and a client bound to 0.0.0.0, share the discovery port.
    setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (type == SOCK_DGRAM) setsockopt(socket.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (socket.Get() < 0 || bind(socket.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (type == SOCK_STREAM && listen(socket.Get(), 16) != 0)) {
        std::fprintf(stderr, "qip-device-sim: cannot bind %s %s:%u: %s\n", type == SOCK_DGRAM ? "UDP" : "TCP",
                     address.c_str(), port, std::strerror(errno));
        return Descriptor();
    }
    return socket;
}

bool QipSimServer::Open() {
    std::map<std::string, std::vector<size_t>> hearers;
    for (size_t d = 0; d < mDevices.size(); ++d) {
        const QipSimDeviceConfig& config = mDevices[d].GetConfig();
        std::vector<std::string> heard{"255.255.255.255"};
        for (const QipSimAddress& address : config.mAddresses) {
            if (address.mBroadcast != address.mAddress) heard.push_back(address.mBroadcast);
        }
        heard.insert(heard.end(), config.mListen.begin(), config.mListen.end());
        for (const std::string& address : heard) {
            std::vector<size_t>& devices = hearers[address];
            if (std::find(devices.begin(), devices.end(), d) == devices.end()) devices.push_back(d);
        }
    }
    for (const auto& entry : hearers) {
        Descriptor socket = Bind(SOCK_DGRAM, entry.first, mOptions.mPort);
        if (socket.Get() < 0) return false;
        mReceivers.push_back(Receiver{std::move(socket), entry.first, entry.second});
    }
    for (size_t d = 0; d < mDevices.size(); ++d) {
        const QipSimDeviceConfig& config = mDevices[d].GetConfig();
        for (const QipSimAddress& address : config.mAddresses) {
            Descriptor socket = Bind(SOCK_DGRAM, address.mAddress, mOptions.mPort);
            if (socket.Get() < 0) return false;
            mRepliers.push_back(Replier{std::move(socket), address.mAddress, d});
            if (config.mHttpMode == QipSimHttpMode::cNone) continue;
            Descriptor listener = Bind(SOCK_STREAM, address.mAddress, config.mHttpPort);
            if (listener.Get() < 0) return false;
            if (config.mHttpMode == QipSimHttpMode::cNoAccept) {
                if (!FillBacklog(listener, address.mAddress, config.mHttpPort)) return false;
                mDeafListeners.push_back(std::move(listener));
                continue;
            }
            mListeners.push_back(Listener{std::move(listener), d});
        }
    }
    return true;
}

// A listener whose backlog is full drops every further SYN, so a client's connection attempt
// goes unanswered, as behind a firewall that drops. The simulator fills the backlog itself
// with connections it never accepts.
bool QipSimServer::FillBacklog(const Descriptor& listener, const std::string& address, unsigned short port) {
    if (listen(listener.Get(), 0) != 0) {
        std::fprintf(stderr, "qip-device-sim: listen() failed: %s\n", std::strerror(errno));
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    for (int n = 0; n < 2; ++n) {
        Descriptor filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (filler.Get() < 0 || (connect(filler.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 &&
                                 errno != EINPROGRESS)) {
            std::fprintf(stderr, "qip-device-sim: connect() failed: %s\n", std::strerror(errno));
            return false;
        }
        mDeafListeners.push_back(std::move(filler));
    }
    return true;
}

void QipSimServer::OnDatagram(int fd, const std::vector<size_t>& devices) {
    unsigned char buffer[QipClient::cBufferSize];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t count = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count < 0) return;
    std::unique_ptr<QipPacket> packet(QipPacket::Create(buffer, static_cast<unsigned long>(count)));
    bool isWhoIsThere = packet && packet->GetType() == cQipTypeWhoIsThere;
    if (mOptions.mVerbose) {
        if (isWhoIsThere)
            std::fprintf(stderr, "qip-device-sim: received whoisthere %s/%s from %s\n", packet->GetIpAddress().c_str(),
                         packet->GetNetmask().c_str(), Endpoint(from).c_str());
        else
            std::fprintf(stderr, "qip-device-sim: received %zd bytes that are no whoisthere from %s\n", count,
                         Endpoint(from).c_str());
    }
    if (!isWhoIsThere) return;
    long long now = NowMs();
    size_t answered = 0;
    for (size_t d : devices) {
        std::vector<QipSimDevice::Datagram> answer = mDevices[d].Answer(now - mStartMs);
        int delayMs = mDevices[d].GetConfig().mAnswerDelayMs;
        if (delayMs <= 0) {
            SendAnswer(d, from, answer, &answered);
            continue;
        }
        if (answer.empty()) continue;
        LateAnswer late{now + delayMs, d, from, std::move(answer)};
        // Devices differ in their delay, so a later arrival may fall due earlier.
        auto at = std::upper_bound(mLateAnswers.begin(), mLateAnswers.end(), late.mDueMs,
                                   [](long long due, const LateAnswer& other) { return due < other.mDueMs; });
        mLateAnswers.insert(at, std::move(late));
    }
}

void QipSimServer::SendAnswer(size_t d, const sockaddr_in& from, const std::vector<QipSimDevice::Datagram>& datagrams,
                              size_t* answered) {
    for (const QipSimDevice::Datagram& datagram : datagrams) {
        // A device answering as hundreds of ids sends as a real host would, a little at a
        // time: a burst larger than the client's receive buffer would mostly be dropped.
        if (++*answered % 32 == 0) {
            const timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
        auto replier = std::find_if(mRepliers.begin(), mRepliers.end(),
                                    [&](const Replier& r) { return r.mAddress == datagram.mSource; });
        if (replier == mRepliers.end()) continue;
        ssize_t sent = sendto(replier->mSocket.Get(), datagram.mBytes.data(), datagram.mBytes.size(), 0,
                              reinterpret_cast<const sockaddr*>(&from), sizeof from);
        if (sent < 0) {
            std::fprintf(stderr, "qip-device-sim: sendto %s from %s failed: %s\n", Endpoint(from).c_str(),
                         datagram.mSource.c_str(), std::strerror(errno));
        } else if (mOptions.mVerbose) {
            const QipSimDeviceConfig& config = mDevices[d].GetConfig();
            std::fprintf(stderr, "qip-device-sim: sent %s hello of %s (%zu bytes) from %s to %s\n",
                         config.mMalformed.empty() ? "a" : config.mMalformed.c_str(), config.mId.c_str(),
                         datagram.mBytes.size(), datagram.mSource.c_str(), Endpoint(from).c_str());
        }
    }
}

long long QipSimServer::SendDueAnswers(long long now) {
    size_t due = 0;
    size_t answered = 0;
    while (due < mLateAnswers.size() && mLateAnswers[due].mDueMs <= now) {
        SendAnswer(mLateAnswers[due].mDevice, mLateAnswers[due].mTo, mLateAnswers[due].mDatagrams, &answered);
        ++due;
    }
    mLateAnswers.erase(mLateAnswers.begin(), mLateAnswers.begin() + static_cast<long>(due));
    return mLateAnswers.empty() ? -1 : mLateAnswers.front().mDueMs;
}

void QipSimServer::OnAccept(const Listener& listener) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    // accept4 is Linux's; the simulator starts no program, so setting the flags after is as safe.
    int fd = accept(listener.mSocket.Get(), reinterpret_cast<sockaddr*>(&peer), &length);
    if (fd < 0) return;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int on = 1;
    // A two-piece answer must leave as two segments, not be merged by Nagle's algorithm.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::unique_ptr<Connection> connection(new Connection);
    connection->mSocket = Descriptor(fd);
    connection->mDevice = listener.mDevice;
    connection->mPeer = Endpoint(peer);
    connection->mDeadlineMs = NowMs() + cRequestTimeoutMs;
    mConnections.push_back(std::move(connection));
}

void QipSimServer::OnReadable(Connection& connection) {
    char buffer[4096];
    ssize_t count = recv(connection.mSocket.Get(), buffer, sizeof buffer, 0);
    if (count == 0 && connection.mState == ConnectionState::cAnswering) {
        connection.mPeerFinished = true;  // a half-close after the request still gets its answer
        return;
    }
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) {
        connection.mState = ConnectionState::cClosed;
        return;
    }
    if (count < 0 || connection.mState != ConnectionState::cReading) return;  // later bytes are dropped
    connection.mReceived.append(buffer, static_cast<size_t>(count));
    std::string target;
    QipSimStatusPage::Request request = QipSimStatusPage::ParseRequest(connection.mReceived, &target);
    if (request == QipSimStatusPage::Request::cIncomplete) return;
    if (request == QipSimStatusPage::Request::cBad) {
        connection.mState = ConnectionState::cClosed;
        return;
    }
    const QipSimDeviceConfig& config = mDevices[connection.mDevice].GetConfig();
    if (mOptions.mVerbose)
        std::fprintf(stderr, "qip-device-sim: %s asked %s for %s%s\n", connection.mPeer.c_str(), config.mId.c_str(),
                     target.c_str(), config.mHttpMode == QipSimHttpMode::cHang ? " (never answered)" : "");
    if (config.mHttpMode == QipSimHttpMode::cHang) {
        connection.mState = ConnectionState::cHanging;
        return;
    }
    connection.mResponse = QipSimStatusPage::BuildResponse(config, target);
    connection.mPieceEnd = config.mHttpSplitMs >= 0 ? QipSimStatusPage::SplitPoint(connection.mResponse)
                                                   : connection.mResponse.size();
    if (config.mHttpFault == QipSimHttpFault::cTrickle) connection.mPieceEnd = 1;
    if (config.mHttpFault == QipSimHttpFault::cReset) connection.mPieceEnd = connection.mResponse.size() / 2;
    connection.mNextAtMs = NowMs() + config.mHttpDelayMs;
    connection.mState = ConnectionState::cAnswering;
}

void QipSimServer::OnWritable(Connection& connection) {
    const std::string& response = connection.mResponse;
    ssize_t sent = send(connection.mSocket.Get(), response.data() + connection.mSent,
                        connection.mPieceEnd - connection.mSent, MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        connection.mState = ConnectionState::cClosed;
        return;
    }
    if (sent > 0) connection.mSent += static_cast<size_t>(sent);
    Advance(connection);
}

// Moves an answering connection on once a piece has gone out: the second piece waits for
// the pause, and after the last one the connection half-closes and drains, so that the
// close does not turn into a reset that could destroy the answer in flight.
void QipSimServer::Advance(Connection& connection) {
    if (connection.mState != ConnectionState::cAnswering || connection.mSent < connection.mPieceEnd) return;
    const QipSimHttpFault fault = mDevices[connection.mDevice].GetConfig().mHttpFault;
    if (fault == QipSimHttpFault::cEndless) {
        // The next lines replace those sent, so the stream costs no memory however long.
        connection.mResponse.assign(2048, 'x');
        for (size_t at = 63; at < connection.mResponse.size(); at += 64) connection.mResponse[at] = '\n';
        connection.mSent = 0;
        connection.mPieceEnd = connection.mResponse.size();
        return;
    }
    if (fault == QipSimHttpFault::cTrickle && connection.mPieceEnd < connection.mResponse.size()) {
        ++connection.mPieceEnd;
        connection.mNextAtMs = NowMs() + 1000;
        return;
    }
    if (fault == QipSimHttpFault::cReset && connection.mPieceEnd < connection.mResponse.size()) {
        // A zero linger time turns the close into a reset.
        linger abort = {1, 0};
        setsockopt(connection.mSocket.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        connection.mState = ConnectionState::cClosed;
        return;
    }
    if (connection.mPieceEnd < connection.mResponse.size()) {
        connection.mPieceEnd = connection.mResponse.size();
        connection.mNextAtMs = NowMs() + mDevices[connection.mDevice].GetConfig().mHttpSplitMs;
        return;
    }
    shutdown(connection.mSocket.Get(), SHUT_WR);
    connection.mState = ConnectionState::cDraining;
    connection.mDeadlineMs = NowMs() + cDrainTimeoutMs;
}

void QipSimServer::Run(int stopDescriptor) {
    while (true) {
        long long now = NowMs();
        long long wakeAt = SendDueAnswers(now);
        std::vector<pollfd> fds{{stopDescriptor, POLLIN, 0}};
        for (const Receiver& receiver : mReceivers) fds.push_back({receiver.mSocket.Get(), POLLIN, 0});
        for (const Replier& replier : mRepliers) fds.push_back({replier.mSocket.Get(), POLLIN, 0});
        for (const Listener& listener : mListeners) fds.push_back({listener.mSocket.Get(), POLLIN, 0});
        for (const auto& connection : mConnections) {
            short events = connection->mPeerFinished ? 0 : POLLIN;
            long long timer = connection->mState == ConnectionState::cAnswering ? connection->mNextAtMs
                              : connection->mState == ConnectionState::cHanging ? -1
                                                                                 : connection->mDeadlineMs;
            if (connection->mState == ConnectionState::cAnswering && timer <= now) {
                events |= POLLOUT;
                timer = -1;
            }
            if (timer >= 0 && (wakeAt < 0 || timer < wakeAt)) wakeAt = timer;
            fds.push_back({connection->mSocket.Get(), events, 0});
        }
        int timeout = wakeAt < 0 ? -1 : static_cast<int>(std::max(0LL, wakeAt - now));
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            std::perror("qip-device-sim: poll() failed");
            return;
        }
        if (fds[0].revents != 0) return;
        size_t at = 1;
        for (const Receiver& receiver : mReceivers) {
            if (fds[at++].revents & POLLIN) OnDatagram(receiver.mSocket.Get(), receiver.mDevices);
        }
        for (const Replier& replier : mRepliers) {
            if (fds[at++].revents & POLLIN) OnDatagram(replier.mSocket.Get(), {replier.mDevice});
        }
        size_t connectionsBefore = mConnections.size();
        for (const Listener& listener : mListeners) {
            if (fds[at++].revents & POLLIN) OnAccept(listener);
        }
        now = NowMs();
        for (size_t c = 0; c < connectionsBefore; ++c) {
            Connection& connection = *mConnections[c];
            short revents = fds[at++].revents;
            if (revents & (POLLIN | POLLHUP | POLLERR)) OnReadable(connection);
            if (connection.mState == ConnectionState::cAnswering && (revents & POLLOUT)) OnWritable(connection);
            bool timedOut = (connection.mState == ConnectionState::cReading ||
                             connection.mState == ConnectionState::cDraining) &&
                            now >= connection.mDeadlineMs;
            if (timedOut) connection.mState = ConnectionState::cClosed;
        }
        mConnections.erase(std::remove_if(mConnections.begin(), mConnections.end(),
                                          [](const std::unique_ptr<Connection>& connection) {
                                              return connection->mState == ConnectionState::cClosed;
                                          }),
                           mConnections.end());
    }
}
