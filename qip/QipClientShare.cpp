// How QipClient shares the discovery port with the other clients of its network namespace.
#include "qip/QipClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <memory>

#include "ksp/KspClock.h"
#include "qip/QipShareTrust.h"

namespace {
// The receive buffer asked for where the system lets a process pass its maximum. The kernel
// charges about a kilobyte for each small datagram it holds, so this keeps one answer of each
// of the 4,096 devices the list can hold, all answering one broadcast at once.
const int cReceiveBufferBytes = 4 * 1024 * 1024;
// While one program is becoming the owner, the name is bound but not yet served for a
// moment; the others try again this often, this many times (two seconds in all).
const long cJoinRetryMs = 20;
const int cJoinAttempts = 100;

void SleepMs(long milliseconds) {
    timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}
}  // namespace

void QipClient::ShareRequests::OnBroadcastRequested() {
    const long long now = KspMonotonicMs();
    if (now - mLastMs < 1000) return;
    mLastMs = now;
    mOuter->BroadcastNow();
}

void QipClient::JoinOrOwn(bool isHandover) {
    const pid_t formerOwner = mOwnerPid.load();
    for (int attempt = 0; attempt < cJoinAttempts; ++attempt) {
        if (mShareConnection.IsInterrupted()) return;  // the client is being destroyed
        std::string error;
        switch (mShareConnection.Join(mPort, error)) {
        case QipShareConnection::cJoined: {
            const bool isListenOnly = mShareConnection.IsListenOnly();
            // Our own socket, on a port the system chooses: a subscriber's probes leave from
            // it (their answers may come back to it), and a listen-only subscriber's
            // broadcasts too. Kept until destruction once open, and published by
            // mIsOwnSocketOpen so that the send thread never meets it half opened.
            if (!mIsOwnSocketOpen.load() && (isListenOnly || !mProbeTargets.empty()) &&
                mProbeSocket.Open(0)) {
                mProbeSocket.RaiseReceiveBuffer(cReceiveBufferBytes);
                mProbeSocket.EnableReceiveInfo();
                mIsOwnSocketOpen.store(true);
            }
            mShareConnection.WatchAlso(mProbeSocket.GetDescriptor());
            mIsRequestsRefused.store(isListenOnly);
            mOwnerPid.store(mShareConnection.GetOwnerPid());
            mIsPortShared.store(false);
            mRole.store(cRoleSubscriber);
            mIsHearing.store(true);
            if (isListenOnly) {
                // The owner takes none of our requests: we search ourselves, and it passes
                // on every answer that reaches the port, whoever asked.
                if (!isHandover) BroadcastNow();
                return;
            }
            // As a program alone would broadcast at start: a device the owner has not heard
            // answers now rather than at the owner's next cycle.
            if (!isHandover) mShareConnection.SendBroadcastNow();
            return;
        }
        case QipShareConnection::cFull:
            // Dropped for falling behind, it comes back to an owner whose freed place a
            // passing connection may hold for a moment: it tries again before going alone.
            if (isHandover && attempt + 1 < cJoinAttempts) {
                SleepMs(cJoinRetryMs);
                continue;
            }
            fprintf(stderr,
                    "Discovery port: the program that owns UDP port %u (process %d) serves "
                    "%zu programs already; listening alone\n",
                    static_cast<unsigned>(mPort), static_cast<int>(mShareConnection.GetOwnerPid()),
                    QipShareServer::cMaxSubscribers);
            ListenAlone();
            return;
        case QipShareConnection::cBroken:
            fprintf(stderr,
                    "Discovery port: the program on %s (process %d) does not share answers as "
                    "expected (%s); listening alone\n",
                    QipShareServer::SocketName(mPort).substr(1).c_str(),
                    static_cast<int>(mShareConnection.GetOwnerPid()), error.c_str());
            ListenAlone();
            return;
        case QipShareConnection::cUntrusted: {
            const pid_t pid = mShareConnection.GetOwnerPid();
            const std::string user = QipShareTrust::UserName(mShareConnection.GetOwnerUid());
            fprintf(stderr,
                    "UDP port %u is held by process %d of user %s, which this program does not "
                    "trust; listening alone\n",
                    static_cast<unsigned>(mPort), static_cast<int>(pid), user.c_str());
            {
                KspThreadMutex::Guard guard(mUntrustedLock);
                mUntrustedOwner.mPid = pid;
                mUntrustedOwner.mUser = user;
            }
            ListenAlone();
            return;
        }
        case QipShareConnection::cNoOwner:
            break;
        }
        const int listener = QipShareServer::Claim(mPort);
        if (listener >= 0) {
            if (isHandover) {
                // A program may end its search and go on (a window searching another
                // network starts a new one): only a process that is gone has ended. Said
                // before the role is published, so that whoever sees this program the owner
                // has the line already.
                const bool isGone = kill(formerOwner, 0) != 0 && errno == ESRCH;
                fprintf(stderr,
                        "Discovery port: the owner of UDP port %u (process %d) %s; this "
                        "program owns it now\n",
                        static_cast<unsigned>(mPort), static_cast<int>(formerOwner),
                        isGone ? "ended" : "stopped serving it");
            }
            OwnPort(listener, isHandover);
            return;
        }
        if (errno != EADDRINUSE) break;  // no abstract sockets here: nothing to share
        SleepMs(cJoinRetryMs);  // another program is becoming the owner
    }
    ListenAlone();
}

void QipClient::OwnPort(int listener, bool isHandover) {
    mLastDropCount = 0;  // the kernel counts per socket, and this one is new
    // Nobody of ours owned the port, so whatever holds it now is some other program.
    mIsPortShared.store(KspUdpSocket::ProbePort(mPort) == KspUdpSocket::cPortInUse);
    if (mSocket.Open(mPort)) {
        mReceiveBufferBytes.store(mSocket.RaiseReceiveBuffer(cReceiveBufferBytes));
        mSocket.EnableReceiveInfo();
    }
    mShareServer.Start(listener, &mShareRequests);
    mOwnerPid.store(0);
    mIsHearing.store(mSocket.IsOpen());
    mRole.store(cRoleOwner);
    if (isHandover) {
        mHandovers.fetch_add(1);
        BroadcastNow();  // the first cycle of the new owner starts at once
    }
}

void QipClient::ListenAlone() {
    mShareConnection.Close();
    mLastDropCount = 0;
    mIsPortShared.store(KspUdpSocket::ProbePort(mPort) == KspUdpSocket::cPortInUse);
    if (mSocket.Open(mPort)) {
        mReceiveBufferBytes.store(mSocket.RaiseReceiveBuffer(cReceiveBufferBytes));
        mSocket.EnableReceiveInfo();
    }
    mOwnerPid.store(0);
    mIsHearing.store(mSocket.IsOpen());
    mRole.store(cRoleAlone);
    BroadcastNow();
}

bool QipClient::ReceiveShared() {
    QipShareWire::Message message;
    std::string error;
    QipShareConnection::ReadResult result;
    while ((result = mShareConnection.Read(message, error)) == QipShareConnection::cMessage ||
           result == QipShareConnection::cOtherReady) {
        if (result == QipShareConnection::cOtherReady) {
            unsigned char buffer[cBufferSize];
            KspUdpSocket::ReceiveInfo info;
            const unsigned long count = mProbeSocket.ReceiveMessage(buffer, sizeof buffer, info, false);
            if (count > 0) ReceiveOne(buffer, count, info);
        } else if (message.mType == QipShareWire::cHello) {
            DeliverShared(message);
        } else if (message.mType != QipShareWire::cSnapshotEnd &&
                   message.mType != QipShareWire::cKeepAlive) {
            error = "an unexpected message of type " + std::to_string(message.mType);
            result = QipShareConnection::cUnreadable;
            break;
        }
    }
    mShareConnection.Close();
    if (result == QipShareConnection::cEnded) return true;
    if (result == QipShareConnection::cSilent) {
        // A stopped owner keeps its socket open, so no subscriber would ever take over and
        // every device would age out: listen beside it instead, as beside a program that
        // shares nothing. The list keeps its records, so nothing is reported gone.
        fprintf(stderr,
                "Discovery port: the owner of UDP port %u (process %d) does not answer; "
                "listening alone\n",
                static_cast<unsigned>(mPort), static_cast<int>(mOwnerPid.load()));
        return false;
    }
    fprintf(stderr,
            "Discovery port: the owner of UDP port %u (process %d) sent unreadable data (%s)\n",
            static_cast<unsigned>(mPort), static_cast<int>(mOwnerPid.load()), error.c_str());
    return false;
}

void QipClient::DeliverShared(const QipShareWire::Message& message) {
    // The owner's datagram is read by the same parser as the network's, with its checks.
    mReceiveCounts.CountDatagram();
    const std::string sender = QipProbeTarget::FormatAddress(message.mSender);
    const std::unique_ptr<QipPacket> packet(
        QipPacket::Create(message.mDatagram.data(), message.mDatagram.size(), &mMalformedReporter));
    const QipPacketHello* hello = dynamic_cast<const QipPacketHello*>(packet.get());
    if (hello == nullptr) {
        mReceiveCounts.CountMalformed();
        if (mTraceHandler != nullptr) {
            Trace(TraceHandler::Event::cMalformedHeard, message.mInterface, sender);
        }
        return;
    }
    // As on the client's own socket: answers to our probes pass the interface filter.
    const bool isProbed = IsProbedAddress(sender);
    const bool isOtherInterface = !mInterfaceFilter.empty() && !isProbed &&
                                  !Contains(mInterfaceFilter, message.mInterface);
    if (mTraceHandler != nullptr) {
        TraceHandler::Event event;
        event.mKind = isOtherInterface ? TraceHandler::Event::cHelloOtherInterface
                                       : TraceHandler::Event::cHelloHeard;
        event.mInterface = message.mInterface;
        event.mAddress = sender;
        event.mDeviceType = hello->GetDeviceType();
        event.mDeviceId = hello->GetDeviceId();
        mTraceHandler->OnTrace(event);
    }
    if (!isOtherInterface) {
        EarlierHelloHandler* earlier = mEarlierHandler.load();
        HelloHandler* handler = mHelloHandler.load();
        if (earlier != nullptr && message.mAgeMs >= 1000) {
            earlier->OnEarlierHello(*hello, sender, message.mAgeMs / 1000);
        } else if (handler != nullptr) {
            handler->OnHello(*hello, sender);
        }
    }
    // Counted once the handler holds it, as on the client's own socket.
    mReceiveCounts.CountHello(hello->GetDeviceType(), hello->GetDeviceId(), isOtherInterface);
}

void QipClient::PublishShared(const unsigned char* buffer, unsigned long count,
                              const KspUdpSocket::ReceiveInfo& info, const QipPacketHello& hello) {
    if (mRole.load() != cRoleOwner) return;
    in_addr sender;
    if (inet_pton(AF_INET, info.mAddress.c_str(), &sender) != 1) return;
    // Every hello, also one this client's interface filter leaves out: a subscriber has
    // its own filter, applied by the interface name that goes with it.
    mShareServer.Publish(buffer, count, ntohl(sender.s_addr), InterfaceName(info.mInterfaceIndex),
                         hello.GetDeviceId(), KspMonotonicMs());
}

const KspUdpSocket& QipClient::ProbeSocket() const {
    return mRole.load() == cRoleSubscriber && mIsOwnSocketOpen.load() ? mProbeSocket : mSocket;
}

const KspUdpSocket& QipClient::BroadcastSocket() const {
    return IsRequestsRefused() && mIsOwnSocketOpen.load() ? mProbeSocket : mSocket;
}

QipClient::UntrustedOwner QipClient::GetUntrustedOwner() const {
    KspThreadMutex::Guard guard(mUntrustedLock);
    return mUntrustedOwner;
}

bool QipClient::SendsOwnCycle(bool isRequested) {
    if (mRole.load() != cRoleSubscriber) return true;
    // A listen-only subscriber broadcasts itself when asked; between requests its owner's
    // cycle reaches every device that answers broadcasts, and passes the answers on.
    if (mIsRequestsRefused.load()) return isRequested;
    if (isRequested) mShareConnection.SendBroadcastNow();
    return false;
}

std::vector<QipProbeTarget> QipClient::SweepTargets(const std::vector<QipProbeTarget>& own) const {
    std::vector<QipProbeTarget> targets = own;
    if (mRole.load() != cRoleOwner) return targets;
    for (const QipProbeTarget& asked : mShareServer.GetProbeTargets()) {
        bool isKnown = false;
        for (const QipProbeTarget& target : targets) {
            isKnown = isKnown || (target.GetFirst() == asked.GetFirst() &&
                                  target.GetCount() == asked.GetCount());
        }
        if (!isKnown) targets.push_back(asked);
    }
    return targets;
}
