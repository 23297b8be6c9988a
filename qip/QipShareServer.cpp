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
const size_t QipShareServer::cQueueBytes;
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
// Reads of one subscriber's requests per pass, so that a chatty one cannot hold the others.
const int cMaxReadsPerPass = 8;
const size_t cMaxProbesPerSubscriber = 64;

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
    }
    mListener.reset();
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
        }
        for (const std::unique_ptr<Subscriber>& subscriber : mSubscribers) {
            if (subscriber->mIsLagging) continue;
            if (subscriber->mQueue.size() + frame.size() > subscriber->mLimit) {
                subscriber->mIsLagging = true;
                isWakeNeeded = true;
                continue;
            }
            isWakeNeeded = isWakeNeeded || subscriber->mQueue.empty();
            subscriber->mQueue += frame;
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

void QipShareServer::Accept() {
    for (;;) {
        KspDescriptor fd(accept4(mListener->Get(), nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.Get() < 0) return;
        ucred credentials;
        socklen_t length = sizeof credentials;
        pid_t pid = 0;
        if (getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
            pid = credentials.pid;
        }
        if (GetSubscriberCount() >= cMaxSubscribers) {
            std::string refusal;
            QipShareWire::EncodeWelcome(refusal, QipShareWire::cFull);
            ssize_t sent = send(fd.Get(), refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            (void)sent;
            fprintf(stderr,
                    "Discovery port: refused process %d: %zu programs already share this "
                    "computer's answers\n",
                    static_cast<int>(pid), cMaxSubscribers);
            continue;
        }
        std::unique_ptr<Subscriber> subscriber(new Subscriber(fd.Release()));
        subscriber->mPid = pid;
        QipShareWire::EncodeWelcome(subscriber->mOut, QipShareWire::cAccepted);
        const long long nowMs = KspMonotonicMs();
        KspThreadMutex::Guard guard(mLock);
        // The snapshot and the hellos published after it go through the same queue, under
        // the same lock, so none is lost or sent twice between the two.
        for (const auto& entry : mRecords) {
            const Record& record = entry.second;
            const long long age = nowMs - record.mHeardMs;
            if (age > cMaxAgeMs) continue;
            QipShareWire::EncodeHello(
                subscriber->mOut, record.mSender, static_cast<uint32_t>(age < 0 ? 0 : age),
                record.mInterface, reinterpret_cast<const unsigned char*>(record.mDatagram.data()),
                record.mDatagram.size());
        }
        QipShareWire::EncodeSnapshotEnd(subscriber->mOut);
        mSubscribers.push_back(std::move(subscriber));
    }
}

bool QipShareServer::ReadRequests(Subscriber& subscriber) {
    for (int reads = 0; reads < cMaxReadsPerPass; ++reads) {
        unsigned char buffer[2048];
        const ssize_t count = recv(subscriber.mFd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (count == 0) return false;  // the subscriber ended
        if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        subscriber.mDecoder.Feed(buffer, static_cast<size_t>(count));
        QipShareWire::Message message;
        while (subscriber.mDecoder.Next(message)) {
            if (message.mType == QipShareWire::cBroadcastNow) {
                if (mHandler != nullptr) mHandler->OnBroadcastRequested();
            } else if (message.mType == QipShareWire::cProbe) {
                QipProbeTarget target;
                std::string error;
                // Names stay with the subscriber, which sends the address it resolved.
                if (QipProbeTarget::Parse(message.mText, target, error) &&
                    target.GetKind() != QipProbeTarget::cName) {
                    KspThreadMutex::Guard guard(mLock);
                    if (subscriber.mProbes.size() < cMaxProbesPerSubscriber) {
                        subscriber.mProbes.push_back(target);
                    }
                }
            } else {
                fprintf(stderr, "Discovery port: process %d sent an owner's message; closed\n",
                        static_cast<int>(subscriber.mPid));
                return false;
            }
        }
        if (subscriber.mDecoder.IsBroken()) {
            fprintf(stderr, "Discovery port: process %d sent unreadable requests (%s); closed\n",
                    static_cast<int>(subscriber.mPid), subscriber.mDecoder.GetError().c_str());
            return false;
        }
    }
    return true;
}

bool QipShareServer::Flush(Subscriber& subscriber) {
    while (!subscriber.mOut.empty()) {
        const ssize_t sent = send(subscriber.mFd.Get(), subscriber.mOut.data(),
                                  subscriber.mOut.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        subscriber.mOut.erase(0, static_cast<size_t>(sent));
    }
    return true;
}

void QipShareServer::Remove(size_t index, const char* why) {
    std::unique_ptr<Subscriber> gone;
    {
        KspThreadMutex::Guard guard(mLock);
        gone = std::move(mSubscribers[index]);
        mSubscribers.erase(mSubscribers.begin() + static_cast<long>(index));
    }
    if (why != nullptr) {
        fprintf(stderr, "Discovery port: process %d %s\n", static_cast<int>(gone->mPid), why);
    }
}

void QipShareServer::QueueKeepAlive() {
    std::string frame;
    QipShareWire::EncodeKeepAlive(frame);
    KspThreadMutex::Guard guard(mLock);
    for (const std::unique_ptr<Subscriber>& subscriber : mSubscribers) {
        // A full queue already tells the subscriber more than a keep-alive would.
        if (!subscriber->mIsLagging &&
            subscriber->mQueue.size() + frame.size() <= subscriber->mLimit) {
            subscriber->mQueue += frame;
        }
    }
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
        // Only this thread changes the list of subscribers, so it reads it without the lock.
        for (size_t i = server->mSubscribers.size(); i-- > 0;) {
            Subscriber& subscriber = *server->mSubscribers[i];
            bool isLagging = false;
            {
                KspThreadMutex::Guard guard(server->mLock);
                isLagging = subscriber.mIsLagging;
                if (subscriber.mOut.empty()) {
                    subscriber.mOut.swap(subscriber.mQueue);
                    subscriber.mLimit = cQueueBytes;
                }
            }
            if (isLagging) {
                server->Remove(i, "fell behind and was dropped; it reconnects for a fresh list");
            } else if (!server->Flush(subscriber)) {
                server->Remove(i, nullptr);
            }
        }
        fds.clear();
        fds.push_back({server->mWake.Get(), POLLIN, 0});
        fds.push_back({server->mListener->Get(), POLLIN, 0});
        for (const std::unique_ptr<Subscriber>& subscriber : server->mSubscribers) {
            const short events = static_cast<short>(POLLIN | (subscriber->mOut.empty() ? 0 : POLLOUT));
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
