#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "cli/QipOptionParser.h"
#include "qip/QipProbeTarget.h"

// The command line of qip-discover. Parse is pure: it reads only its arguments.
class QipDiscoverOptions {
public:
    static const double cDefaultWaitSeconds;
    static const double cMaxWaitSeconds;
    static const long cDefaultSettleMs = 400;
    static const long cMinSettleMs = 50;
    static const long cMaxSettleMs = 10000;
    // The device list holds at most this many records, so no larger count can be reached.
    static const long cMaxCount = 4096;

    QipDiscoverOptions();

    double mWaitSeconds = cDefaultWaitSeconds;
    long mSettleMs = cDefaultSettleMs;
    bool mNoSettle = false;
    std::vector<std::string> mWaitFor;  // device ids that end listening once all are heard
    size_t mCount = 0;                  // 0: no count
    std::vector<std::string> mTypes;    // empty: every type
    bool mJson = false;
    bool mNoSsid = false;
    bool mWatch = false;
    bool mOpen = false;
    bool mVerbose = false;
    bool mQuiet = false;
    std::vector<std::string> mInterfaces;  // empty: every interface
    std::vector<QipProbeTarget> mProbeTargets;  // parsed; names not yet resolved
    unsigned long mProbeRate;                   // probes a second
    // The store of known devices: --known lists it, --label and --forget change it (each
    // alone, without discovering); --no-store discovers without reading or writing it.
    bool mKnown = false;
    bool mLabel = false;
    std::string mLabelId;
    std::string mLabelText;
    std::string mForgetId;  // empty: no --forget
    bool mNoStore = false;
    bool mHelp = false;
    bool mVersion = false;

    // Reads argv[1..argc-1] with the shared conventions of QipOptionParser (the program
    // takes no operands). True with mHelp or mVersion set when one of those was asked for.
    // False on a usage error, with `error` naming the argument that was wrong; the options
    // are then partly set and must not be used.
    bool Parse(int argc, const char* const* argv, std::string& error);

    // Whether the options ask for a change or a listing of the store rather than a search.
    bool IsStoreCommand() const { return mKnown || mLabel || !mForgetId.empty(); }

    // The listening time in milliseconds, and the settle time (0 when listening does not
    // settle: --no-settle, --wait-for or --count).
    long long GetWaitMs() const;
    long long GetEffectiveSettleMs() const;

    // The text of --help.
    static std::string Usage();

private:
    class Reader;
};
