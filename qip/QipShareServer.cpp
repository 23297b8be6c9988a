// The shared port is Linux's: an abstract Unix socket, the peer's credentials (SO_PEERCRED),
// eventfd and accept4. This file asks glibc for them by name; the portable build holds the
// rest of the library to POSIX.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "qip/QipShareServer.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "ksp/KspClock.h"
#include "qip/QipShareWire.h"

const size_t QipShareServer::cMaxSubscribers;
const size_t QipShareServer::cMaxListenOnly;
const size_t QipShareServer::cQueueBytes;
const size_t QipShareServer::cTotalQueueBytes;
const size_t QipShareServer::cMaxRecords;
const long long QipShareServer::cMaxAgeMs;
const long long QipShareServer::cKeepAliveMs;
const long long QipShareServer::cForwardRepeatMs;

namespace {
// The longest the server's poll sleeps when nothing happens; only a safety net, as Stop
// and Publish wake it.
const int cPollMs = 1000;
// The shortest time between two passes over the subscribers. Under a stream of answers each
// Publish would wake the thread for a single frame, and a pass costs a lock and a send per
// subscriber: with 64 of them that took the CPU the receive path needed. Passes at most this
// often send the frames in batches, for at most this much delay.
const long long cPassMs = 5;
std::string RecordKey(const std::string& deviceId, uint32_t sender) {
    std::string key = deviceId;
    key.push_back('\0');
    key.append(reinterpret_cast<const char*>(&sender), sizeof sender);
    return key;
}
}  // namespace

std::string QipShareServer::SocketName(unsigned short port) {
    return std::string(1, '\0') + "qipfinder/" + std::to_string(port);
}

int QipShareServer::Claim(unsigned short port) {
    KspDescriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.Get() < 0) return -1;
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::string name = SocketName(port);
    memcpy(address.sun_path, name.data(), name.size());
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(fd.Get(), static_cast<int>(cMaxSubscribers)) != 0) {
        return -1;  // errno as bind or listen left it; the descriptor's close keeps it
    }
    return fd.Release();
}

QipShareServer::QipShareServer()
    : mWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      mHandler(nullptr),
      mThread(this),
      mIsStarted(false) {}

QipShareServer::~QipShareServer() {
    Stop();
}

bool QipShareServer::Start(int listener, RequestHandler* handler) {
    mListener.reset(new KspDescriptor(listener));
    mHandler = handler;
    if (mWake.Get() < 0 || mThread.Start() != 0) {
        fprintf(stderr, "Cannot serve the discovery port to other programs\n");
        mListener.reset();
        return false;
    }
    mIsStarted = true;
    return true;
}

void QipShareServer::Stop() {
    if (mIsStarted) {
        mThread.Stop();
        mThread.WaitForCompletion();
        mIsStarted = false;
    }
    std::vector<std::unique_ptr<Subscriber>> closing;
    {
        KspThreadMutex::Guard guard(mLock);
        closing.swap(mSubscribers);
        mQueuedBytes = 0;
    }
    mListener.reset();
    QipReportLimiter::Write(mLimiter.FlushAll());
}

void QipShareServer::Report(const std::string& line) {
    QipReportLimiter::Write(mLimiter.OnLine(line, KspMonotonicMs()));
}

void QipShareServer::Wake() {
    const uint64_t one = 1;
    ssize_t written = write(mWake.Get(), &one, sizeof one);
    (void)written;  // a counter that is already set wakes the poll all the same
}

void QipShareServer::Publish(const unsigned char* datagram, size_t length, uint32_t sender,
                             const std::string& interface, const std::string& deviceId,
                             long long nowMs) {
    std::string frame;
    QipShareWire::EncodeHello(frame, sender, 0, interface, datagram, length);
    const std::string key = RecordKey(deviceId, sender);
    bool isWakeNeeded = false;
    {
        KspThreadMutex::Guard guard(mLock);
        auto found = mRecords.find(key);
        if (found == mRecords.end() && mRecords.size() >= cMaxRecords &&
            nowMs - mLastPruneMs >= 1000) {
            // Not for every hello: a flood of new ids would walk the table each time.
            mLastPruneMs = nowMs;
            for (auto it = mRecords.begin(); it != mRecords.end();) {
                it = nowMs - it->second.mHeardMs > cMaxAgeMs ? mRecords.erase(it) : std::next(it);
            }
        }
        if (found != mRecords.end() || mRecords.size() < cMaxRecords) {
            Record& record = mRecords[key];
            const bool isRepeat = found != mRecords.end() && record.mInterface == interface &&
                                  record.mDatagram.size() == length &&
                                  record.mDatagram.compare(0, length, reinterpret_cast<const char*>(datagram),
                                                           length) == 0;
            record.mHeardMs = nowMs;
            if (isRepeat && nowMs >= record.mForwardedMs &&
                nowMs - record.mForwardedMs < cForwardRepeatMs) {
                return;
            }
            record.mDatagram.assign(reinterpret_cast<const char*>(datagram), length);
            record.mSender = sender;
            record.mInterface = interface;
            record.mForwardedMs = nowMs;
            // A subscriber whose snapshot is under way gets this one from its queue, not twice.
            record.mSeq = mSeq;
        }
        ++mSeq;
        for (const std::unique_ptr<Subscriber>& subscriber : mSubscribers) {
            Enqueue(*subscriber, frame, nowMs, isWakeNeeded);
        }
    }
    if (isWakeNeeded) Wake();
}

size_t QipShareServer::GetSubscriberCount() const {
    KspThreadMutex::Guard guard(mLock);
    return mSubscribers.size();
}

std::vector<QipProbeTarget> QipShareServer::GetProbeTargets() const {
    std::vector<QipProbeTarget> targets;
    KspThreadMutex::Guard guard(mLock);
    for (const std::unique_ptr<Subscriber>& subscriber : mSubscribers) {
        for (const QipProbeTarget& target : subscriber->mProbes) {
            bool isKnown = false;
            for (const QipProbeTarget& known : targets) {
                isKnown = isKnown || (known.GetFirst() == target.GetFirst() &&
                                      known.GetCount() == target.GetCount());
            }
            if (!isKnown) targets.push_back(target);
        }
    }
    return targets;
}

void QipShareServer::ServeThread::Run() {
    QipShareServer* server = mOuter;
    std::vector<pollfd> fds;
    long long nextKeepAliveMs = KspMonotonicMs() + cKeepAliveMs;
    long long lastPassMs = 0;
    while (IsThreadRunning()) {
        long long nowMs = KspMonotonicMs();
        if (nowMs - lastPassMs < cPassMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(cPassMs - (nowMs - lastPassMs)));
            nowMs = KspMonotonicMs();
        }
        lastPassMs = nowMs;
        if (nowMs >= nextKeepAliveMs) {
            // Through the queues, behind what is already waiting, so it never blocks and
            // never overtakes a hello.
            server->QueueKeepAlive();
            nextKeepAliveMs = nowMs + cKeepAliveMs;
        }
        QipReportLimiter::Write(server->mLimiter.Flush(nowMs));
        // Only this thread changes the list of subscribers, so it reads it without the lock.
        for (size_t i = server->mSubscribers.size(); i-- > 0;) {
            const char* why = nullptr;
            if (!server->Pass(*server->mSubscribers[i], nowMs, why)) server->Remove(i, why);
        }
        fds.clear();
        fds.push_back({server->mWake.Get(), POLLIN, 0});
        fds.push_back({server->mListener->Get(), POLLIN, 0});
        for (const std::unique_ptr<Subscriber>& subscriber : server->mSubscribers) {
            const bool isWaiting = subscriber->mOutOffset < subscriber->mOut.size();
            const short events = static_cast<short>(POLLIN | (isWaiting ? POLLOUT : 0));
            fds.push_back({subscriber->mFd.Get(), events, 0});
        }
        nowMs = KspMonotonicMs();
        const long long untilKeepAlive = nextKeepAliveMs > nowMs ? nextKeepAliveMs - nowMs : 0;
        const int timeoutMs = static_cast<int>(std::min<long long>(cPollMs, untilKeepAlive));
        if (poll(fds.data(), fds.size(), timeoutMs) < 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            ssize_t got = read(server->mWake.Get(), &count, sizeof count);
            (void)got;
        }
        for (size_t i = server->mSubscribers.size(); i-- > 0;) {
            if ((fds[2 + i].revents & (POLLIN | POLLHUP | POLLERR)) &&
                !server->ReadRequests(*server->mSubscribers[i])) {
                server->Remove(i, nullptr);
            }
        }
        if (fds[1].revents & POLLIN) server->Accept();
    }
}

void QipShareServer::ServeThread::OnStopRequested() {
    mOuter->Wake();
}
