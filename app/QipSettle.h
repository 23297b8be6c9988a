#pragma once

#include <cstdint>
#include <set>
#include <string>

// When a search's first decision is due: once the answers have settled, that is no new
// wanted device for cQuietMs, and no sooner than cEarliestMs after the first broadcast, so
// that a lone device opens at once while a second one answering a moment later is still
// offered. Times are milliseconds on any one clock the caller keeps. A plain value; pure.
//
// A warm search, one subscribed to a program that already owns the discovery port, gets
// what that program heard in one burst over a local socket at once: its decision waits only
// cWarmQuietMs past the last new wanted device, and not for cEarliestMs, since the devices
// have had the owner's broadcasts to answer already.
class QipSettle {
public:
    static constexpr int64_t cQuietMs = 400;
    static constexpr int64_t cEarliestMs = 1000;
    static constexpr int64_t cWarmQuietMs = 100;

    // `startMs`: when the first broadcast went out (or the subscription began, if warm).
    explicit QipSettle(int64_t startMs = 0, bool isWarm = false)
        : mStartMs(startMs),
          mEarliestMs(isWarm ? 0 : cEarliestMs),
          mQuietMs(isWarm ? cWarmQuietMs : cQuietMs) {}

    // Notes the ids of the wanted devices heard by `nowMs`; true once the decision is due,
    // and from then on. Never due while no wanted device was heard.
    bool Note(int64_t nowMs, const std::set<std::string>& wantedIds);
    bool IsSettled() const { return mSettled; }

private:
    int64_t mStartMs;
    int64_t mEarliestMs;
    int64_t mQuietMs;
    int64_t mLastNewMs = 0;
    std::set<std::string> mSeen;
    bool mSettled = false;
};
