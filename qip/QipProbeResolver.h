#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "qip/QipProbeTarget.h"

// Looks up the host names among the probe targets without ever blocking its caller: every
// name of a sweep is asked for at once in the background (getaddrinfo on the threads of a
// pool the process keeps for its whole life), each lookup is given up after cTimeoutMs, and
// the last address a name had is kept for the sweeps after a lookup that failed. A name
// server that never answers therefore costs a sweep that name only, never a broadcast, and
// destroying the resolver never waits for a lookup (one under way is left to its worker,
// which frees it when the answer comes).
//
// Used by one thread (the client's send thread); not copyable.
class QipProbeResolver {
public:
    static const long long cTimeoutMs = 4000;

    // How the latest lookup of a name went.
    struct Name {
        std::string mText;
        uint32_t mAddress = 0;     // last good answer, host order; 0 while none
        bool mIsPending = false;   // a lookup of this sweep is still under way
        std::string mError;        // why the latest lookup failed; empty when it did not
        // The failure may pass: no answer in time, or the name server's "try again".
        bool mIsTemporary = false;
        long long mPendingSinceMs = -1;  // when the pending lookup was asked; -1 while none
    };

    explicit QipProbeResolver(const std::vector<std::string>& names);
    QipProbeResolver(const QipProbeResolver&) = delete;
    QipProbeResolver& operator=(const QipProbeResolver&) = delete;
    ~QipProbeResolver();

    // Asks for every name whose previous lookup has ended, all at once, at `nowMs`
    // (monotonic). Returns at once.
    void Begin(long long nowMs);
    // Takes in the lookups that ended and gives up those older than cTimeoutMs, adding the
    // index of each name whose lookup so ended to `ended` (if not null); true when none of
    // this sweep's is pending any more. Returns at once.
    bool Poll(long long nowMs, std::vector<size_t>* ended = nullptr);
    const std::vector<Name>& GetNames() const { return mNames; }

    // One lookup in the background; defined in the source.
    struct Lookup;

private:
    std::vector<Name> mNames;
    std::vector<std::shared_ptr<Lookup>> mLookups;  // one per name; null when none runs
};
