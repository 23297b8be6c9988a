#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qip/QipClientHandlers.h"
#include "qip/QipProbeTarget.h"
#include "qip/QipReportLimiter.h"

// What a QipClient is built with, and what it tells of its probing (QipClient names them
// Options, ProbeProgress and ProbeOutcome). Plain values, copied in and out; the client
// hands out its progress and outcomes from any thread.

struct QipClientOptions {
    // The defaults and bounds, also reachable as QipClient::cPort and so on.
    static constexpr unsigned short cPort = 19375;
    static constexpr unsigned long cBroadcastPeriodMs = 10000;
    static constexpr unsigned long cDefaultProbeRate = 2000;
    static constexpr unsigned long cMinProbeRate = 1;
    static constexpr unsigned long cMaxProbeRate = 50000;

    // The discovery port, both local and destination (another one only in tests).
    unsigned short mPort = cPort;
    // Interface names to broadcast on and to accept answers through (by the interface
    // each datagram arrived on). Empty: every IPv4 interface, answers from anywhere.
    std::vector<std::string> mInterfaces;
    // Not owned; must outlive the client. Null: nothing is traced.
    QipClientTraceHandler* mTraceHandler = nullptr;
    // Networks to probe by unicast each cycle; names not yet resolved are looked up anew
    // each cycle, off the client's threads (see QipClient). Empty: broadcasts only.
    std::vector<QipProbeTarget> mProbeTargets;
    // Probes a second at most, spread evenly (cMinProbeRate to cMaxProbeRate).
    unsigned long mProbeRate = cDefaultProbeRate;
    // Test seam: the time from one cycle to the next.
    unsigned long mPeriodMs = cBroadcastPeriodMs;
    // Test seam: not owned, must outlive the client. Null: the monotonic clock.
    QipClientClock* mReportClock = nullptr;
    // Test seam: how often a malformed datagram's report is written again while it repeats
    // (QipReportLimiter's period), so that the default clock can be tried in a short test.
    long long mReportPeriodMs = QipReportLimiter::cDefaultPeriodMs;
};

// How far probing has come. mSweeps counts finished sweeps, mSweepsStarted begun ones
// (one more than mSweeps while a sweep is under way, except while a finished one is taken
// up again for a name that resolved late, which counts once); the others describe the
// sweep under way, or the last one when none is.
struct QipClientProbeProgress {
    uint64_t mSweeps = 0;
    uint64_t mSweepsStarted = 0;
    uint64_t mSent = 0;      // probes handed to the system (or failed) so far
    uint64_t mFailed = 0;
    uint64_t mTotal = 0;     // probes of the whole sweep
    bool mIsActive = false;
    long long mLastSweepEndMs = 0;  // monotonic (KspMonotonicMs) end of the last sweep
    uint64_t mAnswers = 0;   // hellos heard from a probed address since the start
};

// How probing a target went, for front ends that say why a target gave nothing.
struct QipClientProbeOutcome {
    enum Kind {
        cNotYet,      // not probed yet (its name is still being looked up: mLookupSinceMs)
        cUnresolved,  // a name without any address: the lookup failed (mDetail why)
        cNoRoute,     // no route to it (the system's words in mDetail)
        cSendFailed,  // sends to it failed for another reason (mDetail)
        cSilent,      // probed, nothing answered from it yet
        cAnswered,    // a hello came from one of its addresses
    };
    std::string mTarget;  // QipProbeTarget::Describe of the target as last probed
    std::string mName;    // the text the user gave
    Kind mKind = cNotYet;
    std::string mDetail;
    // While a name that has no address yet is being looked up: when the lookup was asked
    // (monotonic, as KspMonotonicMs); -1 otherwise.
    long long mLookupSinceMs = -1;
    // The interface the route to it leaves through when the interface filter leaves
    // that interface out (its answers are kept all the same); empty otherwise.
    std::string mExcludedInterface;
};
