#include "qip/QipReportLimiter.h"

#include <stdio.h>

bool QipReportLimiter::Allow(long long now, uint64_t* leftOut) {
    if (mHasReported && now >= mLastReport && now - mLastReport < mPeriod) {
        ++mHeldBack;
        return false;
    }
    mHasReported = true;
    mLastReport = now;
    *leftOut = mHeldBack;
    mHeldBack = 0;
    return true;
}

void QipReportLimiter::Write(const char* line, uint64_t leftOut) {
    if (leftOut == 0) {
        fputs(line, stderr);
    } else {
        fprintf(stderr, "%s(%llu more of the line above left out since it was last shown)\n", line,
                static_cast<unsigned long long>(leftOut));
    }
}
