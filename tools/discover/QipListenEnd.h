#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

// Decides when qip-discover stops listening, from the wanted records it is shown and the
// times it is shown them. Pure: times are monotonic milliseconds handed in by the caller.
//
// Listening ends at the latest when the wait is over. Before that it ends
//  - with --wait-for and/or --count: as soon as every given id and at least the given
//    number of distinct ids have been heard (no settling);
//  - otherwise, unless settling is off: once at least one wanted device has been heard and
//    no new record (a new device id or a new source address) has come for the settle time.
// With probing, a run listens while its first probe sweep is still being sent; only
// --wait-for and --count can end it then. The wait and the settle time count from the last
// probe (OnProbesSent), as answers to it may still be on their way.
class QipListenEnd {
public:
    enum State {
        cListening,
        cSettled,     // answers came and then stopped coming
        cSatisfied,   // every --wait-for id and the --count were heard
        cWaitOver,    // the whole wait passed first
    };

    struct Rules {
        long long mWaitMs = 3000;
        long long mSettleMs = 0;              // 0: no settling
        std::vector<std::string> mWaitFor;    // ids that must all be heard
        size_t mCount = 0;                    // 0: no count
        bool mHoldForProbes = false;          // listen until OnProbesSent, whatever comes
    };

    QipListenEnd(const Rules& rules, long long startMs);

    // One wanted record, keyed as the device list keys it. A record already seen changes
    // nothing; a new one restarts the settle time. Returns whether it was new.
    bool OnRecord(const std::string& deviceId, const std::string& sourceAddress, long long nowMs);

    // The last probe of the first sweep went out at `nowMs`: the wait starts over from it,
    // and so does the settle time of what was heard during the sweep.
    void OnProbesSent(long long nowMs);
    bool IsHoldingForProbes() const { return mHoldingForProbes; }

    State GetState(long long nowMs) const;
    // The next time GetState may change if no record comes: the end of the settle time or
    // of the wait, whichever is first; the largest value while holding for probes.
    long long NextDeadline() const;
    // Whether the rules ask for specific ids or a count (then settling does not apply).
    bool HasTarget() const { return !mRules.mWaitFor.empty() || mRules.mCount > 0; }
    // Whether every --wait-for id and the --count were heard (true without either).
    bool IsTargetMet() const;
    // The --wait-for ids not heard yet, in the order given.
    std::vector<std::string> MissingIds() const;
    size_t GetDeviceCount() const { return mIds.size(); }

private:
    Rules mRules;
    long long mStartMs;
    long long mLastNewMs;  // time of the latest new record; -1 before the first
    bool mHoldingForProbes;
    std::set<std::pair<std::string, std::string>> mRecords;
    std::set<std::string> mIds;
};
