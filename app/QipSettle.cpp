#include "app/QipSettle.h"

bool QipSettle::Note(int64_t nowMs, const std::set<std::string>& wantedIds) {
    if (mSettled) return true;
    for (const std::string& id : wantedIds) {
        if (mSeen.insert(id).second) mLastNewMs = nowMs;
    }
    mSettled = !mSeen.empty() && nowMs - mStartMs >= mEarliestMs && nowMs - mLastNewMs >= mQuietMs;
    return mSettled;
}
