#pragma once

#include <stdint.h>

// Lets one kind of diagnostic line through at most once a period and counts the ones it
// holds back, so that a flood of bad datagrams costs a line a minute rather than one each.
// The caller passes the time (any clock that never jumps, in the unit of the period); a
// plain value without a lock, guarded by whoever holds it.
class QipReportLimiter {
public:
    explicit QipReportLimiter(long long period) : mPeriod(period) {}

    // True when a line may be written at `now`: the first time, and then once `period` has
    // passed since the last line written (or the clock went back). *leftOut is then the
    // number of lines held back since that last line, and the count starts over; otherwise
    // this one is counted as held back and *leftOut is untouched.
    bool Allow(long long now, uint64_t* leftOut);

    // Writes `line` (ending in a newline) to standard error as it stands, followed, when
    // `leftOut` is not 0, by one line saying how many like it were left out.
    static void Write(const char* line, uint64_t leftOut);

private:
    long long mPeriod;
    bool mHasReported = false;
    long long mLastReport = 0;
    uint64_t mHeldBack = 0;
};
