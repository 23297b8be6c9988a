#pragma once

#include <string>
#include <vector>

// The command line of qip-discover. Parse is pure: it reads only its arguments.
class QipDiscoverOptions {
public:
    static const double cDefaultWaitSeconds;
    static const double cMaxWaitSeconds;

    double mWaitSeconds = cDefaultWaitSeconds;
    std::vector<std::string> mTypes;  // empty: every type
    bool mJson = false;
    bool mNoSsid = false;
    bool mWatch = false;
    bool mOpen = false;
    bool mHelp = false;
    bool mVersion = false;

    // Reads argv[1..argc-1] ("--wait 5" and "--wait=5" alike). False on a usage error, with
    // `error` saying what was wrong; the options are then partly set and must not be used.
    bool Parse(int argc, const char* const* argv, std::string& error);

    // The text of --help.
    static std::string Usage();
};
