#include "qip/QipClient.h"

#include <net/if.h>
#include <stdio.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "ksp/KspClock.h"

namespace {
// A receive pass on a socket that never opened returns at once; without a pause the
// receive thread would spin on one core for the client's whole life.
const unsigned long cClosedSocketPauseMs = 1000;
// How often the held first broadcast looks for a registered handler.
const unsigned long cHandlerCheckMs = 10;

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}
}  // namespace

// Definitions for callers that take these constants by reference.
const unsigned short QipClient::cPort;
const unsigned long QipClient::cBufferSize;
const unsigned long QipClient::cBroadcastPeriodMs;
const unsigned long QipClient::cFirstBroadcastHoldMs;
const unsigned long QipClient::cDefaultProbeRate;
const unsigned long QipClient::cMinProbeRate;
const unsigned long QipClient::cMaxProbeRate;

QipClient::QipClient() : QipClient(Options()) {}

QipClient::QipClient(unsigned short port) : QipClient([port] {
    Options options;
    options.mPort = port;
    return options;
}()) {}

QipClient::QipClient(const Options& options)
    : mSocket(),
      mHelloHandler(nullptr),
      mSendThread(this),
      mReceiveThread(this),
      mPort(options.mPort),
      mInterfaceFilter(options.mInterfaces),
      mTraceHandler(options.mTraceHandler),
      mProbeTargets(options.mProbeTargets),
      mProbeRate(std::min(std::max(options.mProbeRate, cMinProbeRate), cMaxProbeRate)),
      mPeriodMs(options.mPeriodMs > 0 ? options.mPeriodMs : cBroadcastPeriodMs),
      mIsBroadcastRequested(false),
      mIsPortShared(false),
      mReceiveBufferBytes(0),
      mShareRequests(this),
      mRole(cRoleAlone),
      mOwnerPid(0),
      mIsOwnSocketOpen(false),
      mIsRequestsRefused(false),
      mHandovers(0),
      mIsHearing(false),
      mEarlierHandler(nullptr),
      mReportClock(options.mReportClock),
      mMalformedReporter(this, options.mReportPeriodMs),
      mLastDropCount(0),
      mKernelDrops(0),
      mProbeSweep(this) {
    JoinOrOwn(false);
    // The filter must hold from the first datagram on, before the send thread's first cycle.
    if (!mInterfaceFilter.empty()) {
        Learn(KspNetworkInterface::Enumerate());
    }
    mSendThread.Start();
    mReceiveThread.Start();
}

QipClient::~QipClient() {
    try {
        // The receive thread goes first so that no hello is handed over while the send
        // thread is winding down; the socket closes only when neither thread can touch it.
        mReceiveThread.Stop();
        mReceiveThread.WaitForCompletion();
        mSendThread.Stop();
        mSendThread.WaitForCompletion();
        // The port is let go before the subscribers see the end: the one that takes over
        // looks whether another program holds the port, and must not find this one.
        mSocket.Close();
        mShareServer.Stop();
        mHelloHandler.store(nullptr);
    } catch (...) {
    }
}

void QipClient::SetHelloHandler(HelloHandler* handler) {
    mHelloHandler.store(handler);
}

KspNetworkInterface::Scan QipClient::ApplyFilter(const KspNetworkInterface::Scan& scan,
                                                 const std::vector<std::string>& filter) {
    if (filter.empty()) {
        return scan;
    }
    KspNetworkInterface::Scan result;
    for (const KspNetworkInterface& interface : scan.mUsable) {
        if (Contains(filter, interface.GetName())) {
            result.mUsable.push_back(interface);
        } else {
            result.mSkipped.push_back({interface.GetName(), interface.GetIpAddress(),
                                       interface.GetNetmask(),
                                       KspNetworkInterface::cSkipNotSelected});
        }
    }
    for (const KspNetworkInterface::Skipped& skipped : scan.mSkipped) {
        result.mSkipped.push_back(skipped);
        if (!Contains(filter, skipped.mName)) {
            result.mSkipped.back().mReason = KspNetworkInterface::cSkipNotSelected;
        }
    }
    return result;
}

std::vector<std::string> QipClient::FindUnknownNames(const KspNetworkInterface::Scan& scan,
                                                     const std::vector<std::string>& filter) {
    std::vector<std::string> unknown;
    for (const std::string& name : filter) {
        bool isKnown = false;
        for (const KspNetworkInterface& interface : scan.mUsable) {
            isKnown = isKnown || interface.GetName() == name;
        }
        for (const KspNetworkInterface::Skipped& skipped : scan.mSkipped) {
            isKnown = isKnown || skipped.mName == name;
        }
        if (!isKnown && !Contains(unknown, name)) {
            unknown.push_back(name);
        }
    }
    return unknown;
}

void QipClient::Learn(const std::vector<KspNetworkInterface>& interfaces) {
    Local local;
    for (const KspNetworkInterface& interface : interfaces) {
        local.mAddresses.push_back(interface.GetIpAddress());
        const int index = static_cast<int>(if_nametoindex(interface.GetName().c_str()));
        if (index == 0) {
            continue;
        }
        bool isKnown = false;
        for (const auto& entry : local.mIndexes) {
            isKnown = isKnown || entry.first == index;
        }
        if (!isKnown) {
            local.mIndexes.emplace_back(index, interface.GetName());
            if (Contains(mInterfaceFilter, interface.GetName())) {
                local.mAllowed.push_back(index);
            }
        }
    }
    KspThreadMutex::Guard guard(mLocalLock);
    mLocal.mAddresses.swap(local.mAddresses);
    mLocal.mIndexes.swap(local.mIndexes);
    mLocal.mAllowed.swap(local.mAllowed);
}

std::string QipClient::InterfaceName(int index) {
    KspThreadMutex::Guard guard(mLocalLock);
    for (const auto& entry : mLocal.mIndexes) {
        if (entry.first == index) {
            return entry.second;
        }
    }
    return std::string();
}

void QipClient::Trace(TraceHandler::Event::Kind kind, const std::string& interface,
                      const std::string& address) {
    TraceHandler::Event event;
    event.mKind = kind;
    event.mInterface = interface;
    event.mAddress = address;
    mTraceHandler->OnTrace(event);
}

void QipClient::SendThread::Run() {
    // The owner registers its handler just after construction; answers to a broadcast sent
    // before that would be dropped and the devices seen only a whole period later. The
    // hold is made of monotonic pauses: a wait against the wall clock would stretch by any
    // step the clock takes backwards, holding every broadcast and the destructor with it.
    for (unsigned long held = 0;
         held < cFirstBroadcastHoldMs && mOuter->mHelloHandler.load() == nullptr;
         held += cHandlerCheckMs) {
        if (!Pause(cHandlerCheckMs)) {
            break;
        }
    }
    long long nextCycleMs = KspMonotonicMs();
    while (IsThreadRunning()) {
        long long now = KspMonotonicMs();
        const bool isRequested = mOuter->mIsBroadcastRequested.exchange(false);
        if (now >= nextCycleMs || isRequested) {
            // A subscriber leaves the broadcasts to its owner but probes as it would alone.
            const bool isOwnCycle = mOuter->SendsOwnCycle(isRequested);
            // Taken anew every cycle so that interfaces coming and going are followed.
            const std::vector<KspNetworkInterface> interfaces = KspNetworkInterface::Enumerate();
            mOuter->Learn(interfaces);
            if (isOwnCycle) mOuter->Broadcast(interfaces);
            nextCycleMs = now + static_cast<long long>(mOuter->mPeriodMs);
            // A sweep that overran its cycle goes on rather than being begun again.
            if (!mOuter->SweepTargets(mOuter->mProbeTargets).empty() &&
                !mOuter->mProbeSweep.IsActive()) {
                mOuter->mProbeSweep.Request(now, interfaces);
            }
        }
        long long wakeMs = nextCycleMs;
        const long long dueMs = mOuter->mProbeSweep.Step(KspMonotonicMs());
        if (dueMs >= 0 && dueMs < wakeMs) wakeMs = dueMs;
        now = KspMonotonicMs();
        if (wakeMs > now) {
            Pause(static_cast<unsigned long>(wakeMs - now));
        }
    }
}

void QipClient::Broadcast(const std::vector<KspNetworkInterface>& interfaces) {
    for (const KspNetworkInterface& interface : interfaces) {
        if (!mInterfaceFilter.empty() && !Contains(mInterfaceFilter, interface.GetName())) {
            continue;
        }
        const QipPacketWhoIsThere question(interface.GetIpAddress(), interface.GetNetmask());
        unsigned char buffer[cBufferSize];
        const unsigned long length = question.Serialize(buffer, sizeof buffer);
        if (length > 0) {
            // A failed send is reported by the socket; the next interface still gets one.
            const std::string destination = interface.MakeBroadcastAddress();
            const bool isSent = BroadcastSocket().Send(buffer, length, destination, mPort);
            if (mTraceHandler != nullptr) {
                Trace(isSent ? TraceHandler::Event::cBroadcastSent
                             : TraceHandler::Event::cBroadcastFailed,
                      interface.GetName(), destination);
            }
        }
    }
}

void QipClient::ReceiveOne(unsigned char* buffer, unsigned long count,
                           const KspUdpSocket::ReceiveInfo& info) {
    mReceiveCounts.CountDatagram();
    if (info.mHasDropCount && info.mDropCount != mLastDropCount) {
        // The kernel's count is 32 bits and wraps; the difference does not mind.
        const bool isFirst = mKernelDrops == 0;
        mKernelDrops += static_cast<uint32_t>(info.mDropCount - mLastDropCount);
        if (isFirst) {
            fprintf(stderr,
                    "Discovery answers were dropped: the socket's receive buffer was full "
                    "(%llu datagrams so far). Raise the system's limit, for example with "
                    "sysctl -w net.core.rmem_max=8388608\n",
                    static_cast<unsigned long long>(mKernelDrops));
        }
        mLastDropCount = info.mDropCount;
        mReceiveCounts.SetKernelDrops(mKernelDrops);
        if (mTraceHandler != nullptr) {
            TraceHandler::Event event;
            event.mKind = TraceHandler::Event::cDatagramsDropped;
            event.mCount = mKernelDrops;
            mTraceHandler->OnTrace(event);
        }
    }
    const std::unique_ptr<QipPacket> packet(QipPacket::Create(buffer, count, &mMalformedReporter));
    if (packet == nullptr) {
        mReceiveCounts.CountMalformed();
        if (mTraceHandler != nullptr) {
            Trace(TraceHandler::Event::cMalformedHeard, InterfaceName(info.mInterfaceIndex),
                  info.mAddress);
        }
        return;
    }
    const QipPacketHello* hello = dynamic_cast<const QipPacketHello*>(packet.get());
    if (hello == nullptr) {
        // A whoisthere: ours, or another client's, which proves the port is reachable.
        bool isOurs = false;
        {
            KspThreadMutex::Guard guard(mLocalLock);
            isOurs = Contains(mLocal.mAddresses, info.mAddress);
        }
        if (!isOurs) {
            mReceiveCounts.CountWhoIsThereFromOther(info.mAddress);
        }
        if (mTraceHandler != nullptr) {
            TraceHandler::Event event;
            event.mKind = TraceHandler::Event::cWhoIsThereHeard;
            event.mInterface = InterfaceName(info.mInterfaceIndex);
            event.mAddress = info.mAddress;
            event.mIsFromOther = !isOurs;
            mTraceHandler->OnTrace(event);
        }
        return;
    }
    // An answer to our own probe is kept whatever interface its route took: the filter
    // chooses where to broadcast, not which probes to believe.
    const bool isProbed = IsProbedAddress(info.mAddress);
    bool isOtherInterface = false;
    if (!mInterfaceFilter.empty() && !isProbed) {
        KspThreadMutex::Guard guard(mLocalLock);
        isOtherInterface = info.mInterfaceIndex == 0 ||
                           std::find(mLocal.mAllowed.begin(), mLocal.mAllowed.end(),
                                     info.mInterfaceIndex) == mLocal.mAllowed.end();
    }
    if (mTraceHandler != nullptr) {
        TraceHandler::Event event;
        event.mKind = isOtherInterface ? TraceHandler::Event::cHelloOtherInterface
                                       : TraceHandler::Event::cHelloHeard;
        event.mInterface = InterfaceName(info.mInterfaceIndex);
        event.mAddress = info.mAddress;
        event.mDeviceType = hello->GetDeviceType();
        event.mDeviceId = hello->GetDeviceId();
        mTraceHandler->OnTrace(event);
    }
    HelloHandler* handler = mHelloHandler.load();
    if (handler != nullptr && !isOtherInterface) {
        handler->OnHello(*hello, info.mAddress);
    }
    // Counted once the handler holds it, so that counts taken before a look at the handler's
    // list never show a hello that the list lacks.
    mReceiveCounts.CountHello(hello->GetDeviceType(), hello->GetDeviceId(), isOtherInterface);
    PublishShared(buffer, count, info, *hello);
}

void QipClient::MalformedReporter::OnMalformed(const std::string& line) {
    const long long now =
        mOuter->mReportClock != nullptr ? mOuter->mReportClock->NowMs() : KspMonotonicMs();
    QipReportLimiter::Write(mLimiter.OnLine(line, now));
}

void QipClient::ReceiveThread::Run() {
    KspUdpSocket::ReceiveInfo info;
    // As the send thread holds its first broadcast: the owner's snapshot would otherwise
    // reach no handler.
    for (unsigned long held = 0; mOuter->GetRole() == cRoleSubscriber &&
                                 held < cFirstBroadcastHoldMs &&
                                 mOuter->mHelloHandler.load() == nullptr;
         held += cHandlerCheckMs) {
        if (!Pause(cHandlerCheckMs)) break;
    }
    while (IsThreadRunning()) {
        if (mOuter->GetRole() == cRoleSubscriber) {
            if (mOuter->ReceiveShared()) {
                if (IsThreadRunning()) mOuter->JoinOrOwn(true);
            } else if (IsThreadRunning()) {
                mOuter->ListenAlone();
            }
            continue;
        }
        unsigned char buffer[cBufferSize];
        const unsigned long count =
            mOuter->mSocket.ReceiveMessage(buffer, sizeof buffer, info, true);
        if (!mOuter->mSocket.IsOpen()) {
            Pause(cClosedSocketPauseMs);
            continue;
        }
        if (count == 0) {
            continue;  // interrupted or nothing usable: no bytes to parse
        }
        mOuter->ReceiveOne(buffer, count, info);
    }
}

void QipClient::ReceiveThread::OnStopRequested() {
    // The receive blocks until a datagram arrives, and none may ever come.
    mOuter->mSocket.Interrupt();
    mOuter->mShareConnection.Interrupt();
}
