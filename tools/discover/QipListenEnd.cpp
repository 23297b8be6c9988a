#include "tools/discover/QipListenEnd.h"

#include <algorithm>
#include <limits>

QipListenEnd::QipListenEnd(const Rules& rules, long long startMs)
    : mRules(rules), mStartMs(startMs), mLastNewMs(-1), mHoldingForProbes(rules.mHoldForProbes) {}

void QipListenEnd::OnProbesSent(long long nowMs) {
    if (!mHoldingForProbes) return;
    mHoldingForProbes = false;
    mStartMs = nowMs;
    if (mLastNewMs >= 0) mLastNewMs = std::max(mLastNewMs, nowMs);
}

bool QipListenEnd::OnRecord(const std::string& deviceId, const std::string& sourceAddress,
                            long long nowMs) {
    if (!mRecords.insert(std::make_pair(deviceId, sourceAddress)).second) return false;
    mIds.insert(deviceId);
    mLastNewMs = nowMs;
    return true;
}

bool QipListenEnd::IsTargetMet() const {
    for (const std::string& id : mRules.mWaitFor) {
        if (mIds.count(id) == 0) return false;
    }
    return mIds.size() >= mRules.mCount;
}

QipListenEnd::State QipListenEnd::GetState(long long nowMs) const {
    if (HasTarget()) {
        if (IsTargetMet()) return cSatisfied;
    } else if (!mHoldingForProbes && mRules.mSettleMs > 0 && mLastNewMs >= 0 &&
               nowMs - mLastNewMs >= mRules.mSettleMs) {
        return cSettled;
    }
    if (mHoldingForProbes) return cListening;
    return nowMs - mStartMs >= mRules.mWaitMs ? cWaitOver : cListening;
}

long long QipListenEnd::NextDeadline() const {
    long long deadline = mStartMs + mRules.mWaitMs;
    // The wait has not begun while the first sweep is being sent: only the sweep's end,
    // which the caller watches, can change the state.
    if (mHoldingForProbes) return std::numeric_limits<long long>::max();
    if (!HasTarget() && mRules.mSettleMs > 0 && mLastNewMs >= 0) {
        deadline = std::min(deadline, mLastNewMs + mRules.mSettleMs);
    }
    return deadline;
}

std::vector<std::string> QipListenEnd::MissingIds() const {
    std::vector<std::string> missing;
    for (const std::string& id : mRules.mWaitFor) {
        if (mIds.count(id) == 0 && std::find(missing.begin(), missing.end(), id) == missing.end()) {
            missing.push_back(id);
        }
    }
    return missing;
}
