#pragma once

#include <cstdint>
#include <set>
#include <string>

// When a search's first decision is due: once the answers have settled, that is no new
// wanted device for cQuietMs, and no sooner than cEarliestMs after the first broadcast, so
// that a lone device opens at once while a second one answering a moment later is still
// offered. Times are milliseconds on any one clock the caller keeps. A plain value; pure.
class QipSettle {
public:
    static constexpr int64_t cQuietMs = 400;
    static constexpr int64_t cEarliestMs = 1000;

    // `startMs`: when the first broadcast went out.
    explicit QipSettle(int64_t startMs = 0) : mStartMs(startMs) {}

    // Notes the ids of the wanted devices heard by `nowMs`; true once the decision is due,
    // and from then on. Never due while no wanted device was heard.
    bool Note(int64_t nowMs, const std::set<std::string>& wantedIds);
    bool IsSettled() const { return mSettled; }

private:
    int64_t mStartMs;
    int64_t mLastNewMs = 0;
    std::set<std::string> mSeen;
    bool mSettled = false;
};
