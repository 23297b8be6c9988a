// Who may subscribe to the owner, and which of their requests it takes.
// The shared port is Linux's: accept4 and the peer's credentials (SO_PEERCRED). This file
// asks glibc for them by name; the portable build holds the rest of the library to POSIX.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include <errno.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "qip/QipShareServer.h"
#include "qip/QipShareTrust.h"
#include "qip/QipShareWire.h"

namespace {
// Reads of one subscriber's requests per pass, so that a chatty one cannot hold the others.
const int cMaxReadsPerPass = 8;
const size_t cMaxProbesPerSubscriber = 64;
}  // namespace

void QipShareServer::Accept() {
    for (;;) {
        KspDescriptor fd(accept4(mListener->Get(), nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.Get() < 0) return;
        // Only this thread changes the list, so it reads it without the lock. A full owner
        // refuses before looking the peer up: a churn of connections costs no lookups.
        const bool isFull = mSubscribers.size() >= cMaxSubscribers;
        // A peer the system does not describe is nobody's, and not believed.
        uid_t uid = static_cast<uid_t>(-1);
        pid_t pid = 0;
        bool isTrusted = false;
        size_t listenOnly = 0;
        if (!isFull) {
            QipShareTrust::GetPeer(fd.Get(), pid, uid);
            isTrusted = QipShareTrust::IsTrusted(uid);
            for (const std::unique_ptr<Subscriber>& subscriber : mSubscribers) {
                listenOnly += subscriber->mIsTrusted ? 0 : 1;
            }
        }
        if (isFull || (!isTrusted && listenOnly >= cMaxListenOnly)) {
            std::string refusal;
            QipShareWire::EncodeWelcome(refusal, QipShareWire::cFull);
            ssize_t sent = send(fd.Get(), refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            (void)sent;
            // Without the process: a churn of connections would make every line another.
            Report(isFull ? "Discovery port: refused programs beyond the " +
                                   std::to_string(cMaxSubscribers) +
                                   " that already share this computer's answers"
                             : "Discovery port: refused programs of users it does not trust "
                               "beyond the " + std::to_string(cMaxListenOnly) + " already subscribed");
            continue;
        }
        std::unique_ptr<Subscriber> subscriber(new Subscriber(fd.Release()));
        subscriber->mUid = uid;
        subscriber->mIsTrusted = isTrusted;
        QipShareWire::EncodeWelcome(subscriber->mOut, subscriber->mIsTrusted
                                                          ? QipShareWire::cAccepted
                                                          : QipShareWire::cListenOnly);
        KspThreadMutex::Guard guard(mLock);
        // The records handed on from now go through its queue; the snapshot takes the
        // others, a piece at a time as its socket drains (Pass).
        subscriber->mSnapshotSeq = mSeq;
        subscriber->mOutBytes = subscriber->mOut.size();
        mQueuedBytes += subscriber->mOutBytes;
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
            const bool isRequest = message.mType == QipShareWire::cBroadcastNow ||
                                   message.mType == QipShareWire::cProbe;
            if (isRequest && !subscriber.mIsTrusted) {
                // Welcomed as listen-only, it was told to send its own; one that asks all
                // the same is refused, and said once a minute per user.
                if (!subscriber.mIsRefusalSaid) {
                    subscriber.mIsRefusalSaid = true;
                    Report("Discovery port: refused the probe targets and broadcast requests of "
                           "programs of user " + QipShareTrust::UserName(subscriber.mUid) +
                           ", which this program does not trust; they send their own");
                }
            } else if (message.mType == QipShareWire::cBroadcastNow) {
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
                Report("Discovery port: a subscriber sent an owner's message; closed");
                return false;
            }
        }
        if (subscriber.mDecoder.IsBroken()) {
            Report("Discovery port: a subscriber sent unreadable requests (" +
                   subscriber.mDecoder.GetError() + "); closed");
            return false;
        }
    }
    return true;
}
