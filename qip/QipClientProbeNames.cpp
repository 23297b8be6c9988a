// The probe sweeps' host names: looked up each cycle without holding anything, each probed
// once its answer comes (QipClient::ProbeSweep).
#include <stdio.h>

#include <algorithm>

#include "qip/QipClient.h"

namespace {

// How often the send thread looks whether a lookup under way has answered: a name is
// probed at most this long after its answer.
const long long cResolvePollMs = 20;

}  // namespace

void QipClient::ProbeSweep::Request(long long nowMs,
                                    const std::vector<KspNetworkInterface>& interfaces) {
    mInterfaces = interfaces;
    if (mResolver) {
        mResolver->Begin(nowMs);
        KspThreadMutex::Guard guard(mOuter->mProbeLock);
        for (size_t n = 0; n < mTargetOf.size(); ++n) {
            const QipProbeResolver::Name& name = mResolver->GetNames()[n];
            // Only a name with no address at all waits for its lookup to be probed.
            mOuter->mProbeOutcomes[mTargetOf[n]].mLookupSinceMs =
                name.mIsPending && name.mAddress == 0 ? name.mPendingSinceMs : -1;
        }
    }
    Begin(nowMs);
}

long long QipClient::ProbeSweep::Step(long long nowMs) {
    long long lookupMs = -1;
    if (mResolver) {
        std::vector<size_t> ended;
        if (!mResolver->Poll(nowMs, &ended)) lookupMs = nowMs + cResolvePollMs;
        for (size_t n : ended) NoteLookup(mTargetOf[n]);
        if (!ended.empty()) AddResolved();
    }
    const long long sendMs = mIsActive ? SendDue(nowMs) : -1;
    if (sendMs < 0) return lookupMs;
    return lookupMs < 0 ? sendMs : std::min(sendMs, lookupMs);
}

void QipClient::ProbeSweep::NoteLookup(size_t index) {
    const QipProbeResolver::Name& name = mResolver->GetNames()[mNameOf[index]];
    KspThreadMutex::Guard guard(mOuter->mProbeLock);
    ProbeOutcome& outcome = mOuter->mProbeOutcomes[index];
    outcome.mLookupSinceMs = -1;
    if (name.mError.empty()) return;
    if (TraceHandler* tracer = mOuter->mTraceHandler) {
        TraceHandler::Event event;
        event.mKind = TraceHandler::Event::cProbeUnresolved;
        event.mAddress = name.mText;
        event.mDetail = name.mError;
        tracer->OnTrace(event);
    }
    // A name with a last good address is still probed there.
    if (name.mAddress != 0) return;
    // Said on standard error when it starts failing, not every cycle.
    if (outcome.mKind != ProbeOutcome::cUnresolved) {
        fprintf(stderr, "Probe target skipped: cannot resolve %s: %s\n", name.mText.c_str(),
                name.mError.c_str());
    }
    outcome.mKind = ProbeOutcome::cUnresolved;
    outcome.mDetail = name.mError;
}

void QipClient::ProbeSweep::AddResolved() {
    const uint64_t before = mTotal;
    for (size_t n = 0; n < mTargetOf.size(); ++n) {
        const size_t t = mTargetOf[n];
        const uint32_t address = mResolver->GetNames()[n].mAddress;
        if (mIsInSweep[t] || address == 0) continue;
        QipProbeTarget target = mOuter->mProbeTargets[t];
        target.SetResolvedAddress(address);
        Plan(t, target);
    }
    if (mTotal == before) return;
    KspThreadMutex::Guard guard(mOuter->mProbeLock);
    mOuter->mProbeProgress.mTotal = mTotal;
    mOuter->mProbeProgress.mFailed = mFailed;
    if (!mIsActive && mNext < mTotal) {
        // Taken up again for the late names, which are due at once.
        mIsActive = true;
        mOuter->mProbeProgress.mIsActive = true;
    }
}
