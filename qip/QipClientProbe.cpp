// The probe sweeps of QipClient: unicast whoisthere to the networks the user names.
#include "qip/QipClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "ksp/KspDescriptor.h"

namespace {

// The index of a target that a subscribed program asked for: it has no outcome here.
const size_t cAskedTarget = static_cast<size_t>(-1);

// The most probes sent in one go before the send thread looks at the clock again, so that a
// late wake-up (a busy machine) does not turn into a burst.
const uint64_t cMaxBatch = 512;
// The shortest pause between two batches. At the default pace a pause per probe would wake
// the send thread 2,000 times a second; ten probes every 5 ms are as even to a network.
const long long cMinPauseMs = 5;

// The local address the kernel would send from to reach `address` (host order), found by
// connecting a throw-away UDP socket, which sends nothing. False with `error` set when there
// is no route.
bool RouteSource(uint32_t address, unsigned short port, uint32_t& source, int& error) {
    KspDescriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
        error = errno;
        return false;
    }
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    // Probing a broadcast-capable address such as a /31's is allowed, as for the socket.
    const int on = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        error = errno;
        return false;
    }
    sockaddr_in local;
    socklen_t length = sizeof local;
    if (getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = errno;
        return false;
    }
    source = ntohl(local.sin_addr.s_addr);
    return true;
}

// What a send error says about a target: no route, or some other failure.
QipClient::ProbeOutcome::Kind SendOutcome(int error) {
    return error == ENETUNREACH || error == EHOSTUNREACH ? QipClient::ProbeOutcome::cNoRoute
                                                         : QipClient::ProbeOutcome::cSendFailed;
}

}  // namespace

uint64_t QipClient::ProbesDue(long long elapsedMs, unsigned long rate, uint64_t total) {
    if (elapsedMs < 0 || total == 0) return 0;
    const uint64_t due = static_cast<uint64_t>(elapsedMs) * rate / 1000 + 1;
    return std::min(due, total);
}

long long QipClient::ProbeDueMs(uint64_t index, unsigned long rate) {
    // The first multiple of 1/rate s at or after which the index is due, in whole ms.
    return static_cast<long long>((index * 1000 + rate - 1) / rate);
}

QipClient::ProbeProgress QipClient::GetProbeProgress() const {
    KspThreadMutex::Guard guard(mProbeLock);
    return mProbeProgress;
}

std::vector<QipClient::ProbeOutcome> QipClient::GetProbeOutcomes() const {
    KspThreadMutex::Guard guard(mProbeLock);
    return mProbeOutcomes;
}

bool QipClient::IsProbedAddress(const std::string& address) {
    in_addr parsed;
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    const uint32_t value = ntohl(parsed.s_addr);
    KspThreadMutex::Guard guard(mProbeLock);
    for (const ProbedRange& range : mProbedRanges) {
        if (value - range.mFirst < range.mCount) {
            ++mProbeProgress.mAnswers;
            if (range.mTarget < mProbeOutcomes.size()) {
                mProbeOutcomes[range.mTarget].mKind = ProbeOutcome::cAnswered;
            }
            return true;
        }
    }
    return false;
}

QipClient::ProbeSweep::ProbeSweep(QipClient* outer)
    : mOuter(outer),
      mOtherInterfaceSaid(outer->mProbeTargets.size(), false),
      mIsInSweep(outer->mProbeTargets.size(), false) {
    std::vector<std::string> names;
    for (size_t t = 0; t < mOuter->mProbeTargets.size(); ++t) {
        const QipProbeTarget& target = mOuter->mProbeTargets[t];
        mNameOf.push_back(names.size());
        if (target.GetKind() == QipProbeTarget::cName && !target.IsResolved()) {
            names.push_back(target.GetText());
            mTargetOf.push_back(t);
        }
    }
    if (!names.empty()) mResolver.reset(new QipProbeResolver(names));
    KspThreadMutex::Guard guard(mOuter->mProbeLock);
    for (const QipProbeTarget& target : mOuter->mProbeTargets) {
        ProbeOutcome outcome;
        outcome.mTarget = target.Describe();
        outcome.mName = target.GetText();
        mOuter->mProbeOutcomes.push_back(outcome);
    }
}

void QipClient::ProbeSweep::Plan(size_t index, const QipProbeTarget& target) {
    TraceHandler* tracer = mOuter->mTraceHandler;
    const std::vector<std::string>& filter = mOuter->mInterfaceFilter;
    Route route;
    route.mFirst = target.GetFirst();
    route.mCount = target.GetCount();
    route.mTarget = index;
    uint32_t source = 0;
    int error = 0;
    // The whole target goes the way its first address goes; a target is one network.
    route.mIsRouted = RouteSource(target.GetFirst(), mOuter->mPort, source, error);
    const std::string sourceText = QipProbeTarget::FormatAddress(source);
    std::string name;
    std::string netmask = "255.255.255.255";
    std::string described = sourceText + "/32";
    for (const KspNetworkInterface& interface : mInterfaces) {
        if (route.mIsRouted && interface.GetIpAddress() == sourceText) {
            name = interface.GetName();
            netmask = interface.GetNetmask();
            described = interface.DescribeAddress();
            break;
        }
    }
    if (route.mIsRouted) {
        const QipPacketWhoIsThere question(sourceText, netmask);
        route.mPacket.resize(cBufferSize);
        route.mPacket.resize(question.Serialize(route.mPacket.data(), route.mPacket.size()));
        route.mIsRouted = !route.mPacket.empty();
    }
    const bool isOwn = index != cAskedTarget;
    const bool isExcluded = route.mIsRouted && !name.empty() && !filter.empty() &&
                            std::find(filter.begin(), filter.end(), name) == filter.end();
    if (tracer != nullptr) {
        TraceHandler::Event event;
        event.mAddress = target.Describe();
        if (route.mIsRouted) {
            event.mKind = TraceHandler::Event::cProbeTarget;
            event.mDetail = QipProbeTarget::FormatAddress(target.GetFirst()) + " to " +
                            QipProbeTarget::FormatAddress(target.GetLast());
            event.mCount = target.GetCount();
            event.mInterface = name;
            event.mDeviceId = described;
        } else {
            event.mKind = TraceHandler::Event::cProbeFailed;
            event.mDetail = strerror(error);
        }
        tracer->OnTrace(event);
        if (isExcluded && isOwn && !mOtherInterfaceSaid[index]) {
            event.mKind = TraceHandler::Event::cProbeOtherInterface;
            event.mInterface = name;
            tracer->OnTrace(event);
        }
    }
    if (isExcluded && isOwn) mOtherInterfaceSaid[index] = true;
    if (!route.mIsRouted && mFirstError == 0) {
        mFirstError = error;
        mFirstFailedAddress = target.GetFirst();
    }
    route.mError = route.mIsRouted ? 0 : error;
    {
        KspThreadMutex::Guard guard(mOuter->mProbeLock);
        mOuter->mProbedRanges.push_back({target.GetFirst(), target.GetCount(), index});
        if (isOwn) {
            mIsInSweep[index] = true;
            ProbeOutcome& outcome = mOuter->mProbeOutcomes[index];
            outcome.mTarget = target.Describe();
            outcome.mExcludedInterface = isExcluded ? name : std::string();
            if (!route.mIsRouted) {
                outcome.mKind = SendOutcome(error);
                outcome.mDetail = strerror(error);
            } else if (outcome.mKind != ProbeOutcome::cAnswered) {
                outcome.mKind = ProbeOutcome::cSilent;
                outcome.mDetail.clear();
            }
        }
    }
    mTotal += target.GetCount();
    if (!route.mIsRouted) mFailed += route.mCount;  // counted now, sent never
    mRoutes.push_back(route);
}

void QipClient::ProbeSweep::Begin(long long nowMs) {
    {
        KspThreadMutex::Guard guard(mOuter->mProbeLock);
        mOuter->mProbedRanges.clear();
    }
    mRoutes.clear();
    mIsInSweep.assign(mIsInSweep.size(), false);
    mFirstError = 0;
    mFirstFailedAddress = 0;
    mTotal = 0;
    mFailed = 0;
    // Names at their last good address; those without one join when their lookup answers.
    std::vector<QipProbeTarget> own;
    for (size_t t = 0; t < mOuter->mProbeTargets.size(); ++t) {
        QipProbeTarget target = mOuter->mProbeTargets[t];
        if (target.GetKind() == QipProbeTarget::cName && !target.IsResolved()) {
            const uint32_t address = mResolver->GetNames()[mNameOf[t]].mAddress;
            if (address != 0) {
                target.SetResolvedAddress(address);
            }
        }
        own.push_back(target);
        if (target.IsResolved()) Plan(t, target);
    }
    // What the programs subscribed to this one asked for: addresses and ranges, with no
    // outcome of ours to keep.
    const std::vector<QipProbeTarget> all = mOuter->SweepTargets(own);
    for (size_t t = own.size(); t < all.size(); ++t) Plan(cAskedTarget, all[t]);
    mIsActive = mTotal > 0;
    mIsCounted = false;
    mStartMs = nowMs;
    mNext = 0;
    mRoute = 0;
    mRouteBase = 0;
    KspThreadMutex::Guard guard(mOuter->mProbeLock);
    ++mOuter->mProbeProgress.mSweepsStarted;
    mOuter->mProbeProgress.mTotal = mTotal;
    mOuter->mProbeProgress.mSent = 0;
    mOuter->mProbeProgress.mFailed = mFailed;
    mOuter->mProbeProgress.mIsActive = mIsActive;
    if (!mIsActive) {
        // Nothing to send yet (no target has an address): the sweep is over as it begins.
        ++mOuter->mProbeProgress.mSweeps;
        mOuter->mProbeProgress.mLastSweepEndMs = nowMs;
        mIsCounted = true;
    }
}

long long QipClient::ProbeSweep::SendDue(long long nowMs) {
    if (!mIsActive) return -1;
    const uint64_t due = std::min(ProbesDue(nowMs - mStartMs, mOuter->mProbeRate, mTotal),
                                  mNext + cMaxBatch);
    while (mNext < due) {
        while (mNext - mRouteBase >= mRoutes[mRoute].mCount) {
            mRouteBase += mRoutes[mRoute].mCount;
            ++mRoute;
        }
        const Route& route = mRoutes[mRoute];
        if (!route.mIsRouted) {
            // Its probes are already counted as failed; skip them whole.
            mNext = mRouteBase + route.mCount;
            continue;
        }
        const uint32_t address = route.mFirst + static_cast<uint32_t>(mNext - mRouteBase);
        int error = 0;
        if (!mOuter->ProbeSocket().Send(route.mPacket.data(), route.mPacket.size(),
                                  QipProbeTarget::FormatAddress(address), mOuter->mPort, &error)) {
            if (mFirstError == 0) {
                mFirstError = error;
                mFirstFailedAddress = address;
            }
            if (mRoutes[mRoute].mError == 0) mRoutes[mRoute].mError = error;
            ++mFailed;
        }
        ++mNext;
    }
    {
        KspThreadMutex::Guard guard(mOuter->mProbeLock);
        mOuter->mProbeProgress.mSent = mNext;
        mOuter->mProbeProgress.mFailed = mFailed;
    }
    if (mNext >= mTotal) {
        Finish(nowMs);
        return -1;
    }
    return std::max(mStartMs + ProbeDueMs(mNext, mOuter->mProbeRate), nowMs + cMinPauseMs);
}

void QipClient::ProbeSweep::Finish(long long nowMs) {
    mIsActive = false;
    if (mFailed > 0) {
        fprintf(stderr, "Probes: %llu of %llu could not be sent (first %s: %s)\n",
                static_cast<unsigned long long>(mFailed), static_cast<unsigned long long>(mTotal),
                QipProbeTarget::FormatAddress(mFirstFailedAddress).c_str(),
                mFirstError != 0 ? strerror(mFirstError) : "not sent");
    }
    if (mOuter->mTraceHandler != nullptr) {
        TraceHandler::Event event;
        event.mKind = TraceHandler::Event::cProbeSweepDone;
        event.mCount = mTotal - mFailed;
        event.mFailures = mFailed;
        mOuter->mTraceHandler->OnTrace(event);
    }
    mFirstError = 0;
    KspThreadMutex::Guard guard(mOuter->mProbeLock);
    for (const Route& route : mRoutes) {
        if (route.mTarget == cAskedTarget) continue;
        ProbeOutcome& outcome = mOuter->mProbeOutcomes[route.mTarget];
        if (route.mIsRouted && route.mError != 0 && outcome.mKind != ProbeOutcome::cAnswered) {
            outcome.mKind = SendOutcome(route.mError);
            outcome.mDetail = strerror(route.mError);
        }
    }
    mOuter->mProbeProgress.mIsActive = false;
    if (!mIsCounted) ++mOuter->mProbeProgress.mSweeps;
    mIsCounted = true;
    mOuter->mProbeProgress.mLastSweepEndMs = nowMs;
}
