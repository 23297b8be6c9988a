// The shared port is Linux's: an abstract Unix socket, the peer's credentials (SO_PEERCRED),
// eventfd and accept4. This file asks glibc for them by name; the portable build holds the
// rest of the library to POSIX.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "qip/QipShareConnection.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ksp/KspClock.h"
#include "qip/QipShareServer.h"
#include "qip/QipShareTrust.h"

const int QipShareConnection::cWelcomeWaitMs;
const int QipShareConnection::cSilenceMs;

QipShareConnection::QipShareConnection()
    : mWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      mOwnerPid(0),
      mOwnerUid(0),
      mIsListenOnly(false),
      mLastHeardMs(0),
      mOtherFd(-1) {}

QipShareConnection::JoinResult QipShareConnection::Join(unsigned short port, std::string& error) {
    Close();
    KspDescriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) return cNoOwner;
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::string name = QipShareServer::SocketName(port);
    memcpy(address.sun_path, name.data(), name.size());
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return cNoOwner;
    }
    pid_t pid = 0;
    // An owner the system does not describe is nobody's, and not believed.
    uid_t uid = static_cast<uid_t>(-1);
    QipShareTrust::GetPeer(fd.Get(), pid, uid);
    mOwnerPid = pid;
    mOwnerUid = uid;
    mIsListenOnly = false;
    // Checked before a byte is read: an owner not believed decides nothing here.
    if (!QipShareTrust::IsTrusted(uid)) return cUntrusted;
    {
        KspThreadMutex::Guard guard(mSendLock);
        mSocket.reset(new KspDescriptor(fd.Release()));
    }
    mDecoder = QipShareDecoder();
    QipShareWire::Message welcome;
    const long long deadline = KspMonotonicMs() + cWelcomeWaitMs;
    for (;;) {
        const long long left = deadline - KspMonotonicMs();
        if (mDecoder.Next(welcome)) break;
        if (mDecoder.IsBroken()) {
            error = mDecoder.GetError();
            Close();
            return cBroken;
        }
        if (left <= 0 || WaitReadable(static_cast<int>(left), false) != cReadable) {
            Close();
            if (IsInterrupted()) return cNoOwner;
            error = "no welcome within " + std::to_string(cWelcomeWaitMs) + " ms";
            return cBroken;
        }
        unsigned char buffer[512];
        const ssize_t count = recv(mSocket->Get(), buffer, sizeof buffer, 0);
        if (count <= 0) {
            // The owner ended between our connect and its welcome: another one will come.
            Close();
            return cNoOwner;
        }
        mDecoder.Feed(buffer, static_cast<size_t>(count));
    }
    if (welcome.mType != QipShareWire::cWelcome || welcome.mVersion != QipShareWire::cVersion) {
        error = welcome.mType != QipShareWire::cWelcome
                    ? "the first message is not a welcome"
                    : "protocol version " + std::to_string(welcome.mVersion) + ", not " +
                          std::to_string(QipShareWire::cVersion);
        Close();
        return cBroken;
    }
    if (welcome.mStatus == QipShareWire::cFull) {
        Close();
        return cFull;
    }
    mIsListenOnly = welcome.mStatus == QipShareWire::cListenOnly;
    mLastHeardMs = KspMonotonicMs();
    return cJoined;
}

QipShareConnection::Wait QipShareConnection::WaitReadable(int timeoutMs, bool isOtherWatched) {
    pollfd fds[3] = {{mSocket->Get(), POLLIN, 0}, {mWake.Get(), POLLIN, 0}, {mOtherFd, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, isOtherWatched && mOtherFd >= 0 ? 3 : 2, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return cTimedOut;
        if (ready < 0 || (fds[1].revents & POLLIN)) return cStopped;
        // The owner first: its silence is what ends the subscription.
        if (fds[0].revents == 0 && (fds[2].revents & POLLIN)) return cOtherReadable;
        return cReadable;
    }
}

QipShareConnection::ReadResult QipShareConnection::Read(QipShareWire::Message& message,
                                                        std::string& error) {
    for (;;) {
        if (mDecoder.Next(message)) return cMessage;
        if (mDecoder.IsBroken()) {
            error = mDecoder.GetError();
            return cUnreadable;
        }
        if (mSocket == nullptr) return cEnded;
        // Counted from the owner's last bytes, and polled even when that is past: a
        // subscriber that was itself stopped finds the owner's keep-alives waiting.
        const long long left = mLastHeardMs + cSilenceMs - KspMonotonicMs();
        const Wait wait = WaitReadable(static_cast<int>(left > 0 ? left : 0), true);
        if (wait == cTimedOut) return cSilent;
        if (wait == cStopped) return cEnded;
        if (wait == cOtherReadable) return cOtherReady;
        unsigned char buffer[4096];
        const ssize_t count = recv(mSocket->Get(), buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return cEnded;
        mLastHeardMs = KspMonotonicMs();
        mDecoder.Feed(buffer, static_cast<size_t>(count));
    }
}

bool QipShareConnection::Send(const std::string& frame) {
    KspThreadMutex::Guard guard(mSendLock);
    if (mSocket == nullptr) return false;
    // Requests are a few bytes; a socket buffer too full for them means the owner no
    // longer reads, and the reader will see it end.
    return send(mSocket->Get(), frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
           static_cast<ssize_t>(frame.size());
}

bool QipShareConnection::SendBroadcastNow() {
    std::string frame;
    QipShareWire::EncodeBroadcastNow(frame);
    return Send(frame);
}

bool QipShareConnection::SendProbe(const std::string& text) {
    std::string frame;
    QipShareWire::EncodeProbe(frame, text);
    return Send(frame);
}

void QipShareConnection::Close() {
    KspThreadMutex::Guard guard(mSendLock);
    mSocket.reset();
}

void QipShareConnection::Interrupt() {
    const uint64_t one = 1;
    ssize_t written = write(mWake.Get(), &one, sizeof one);
    (void)written;
}

bool QipShareConnection::IsInterrupted() const {
    pollfd fd = {mWake.Get(), POLLIN, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN);
}
