#include "tools/discover/QipDiscoverOptions.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>

#include "qip/QipClient.h"

const double QipDiscoverOptions::cDefaultWaitSeconds = 3;
const double QipDiscoverOptions::cMaxWaitSeconds = 86400;
const long QipDiscoverOptions::cDefaultSettleMs;
const long QipDiscoverOptions::cMinSettleMs;
const long QipDiscoverOptions::cMaxSettleMs;
const long QipDiscoverOptions::cMaxCount;

namespace {

// Splits "--name=value" into its parts; `value` is set only when there was a "=".
bool SplitInline(const std::string& arg, std::string& name, std::string& value) {
    std::string::size_type eq = arg.find('=');
    if (arg.compare(0, 2, "--") != 0 || eq == std::string::npos) {
        name = arg;
        return false;
    }
    name = arg.substr(0, eq);
    value = arg.substr(eq + 1);
    return true;
}

bool ParseSeconds(const std::string& text, double& seconds) {
    if (text.empty()) return false;
    char* end = nullptr;
    double value = strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !isfinite(value)) return false;
    if (value < 0 || value > QipDiscoverOptions::cMaxWaitSeconds) return false;
    seconds = value;
    return true;
}

// A whole decimal number from `low` to `high`, digits only (no sign, space or suffix).
bool ParseWhole(const std::string& text, long low, long high, long& number) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    long value = strtol(text.c_str(), nullptr, 10);
    if (value < low || value > high) return false;
    number = value;
    return true;
}

}  // namespace

QipDiscoverOptions::QipDiscoverOptions() : mProbeRate(QipClient::cDefaultProbeRate) {}

bool QipDiscoverOptions::Parse(int argc, const char* const* argv, std::string& error) {
    bool waitGiven = false;
    bool settleGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string name;
        std::string value;
        if (std::string(argv[i]) == "--") {
            if (i + 1 < argc) {
                error = std::string("unexpected argument '") + argv[i + 1] + "'";
                return false;
            }
            break;
        }
        bool hasInline = SplitInline(argv[i], name, value);
        bool takesValue = name == "--wait" || name == "--type" || name == "--settle" ||
                          name == "--wait-for" || name == "--count" ||
                          name == "--interface" || name == "--probe" || name == "--probe-rate";
        if (takesValue && !hasInline) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!takesValue && hasInline) {
            error = "option " + name + " takes no value";
            return false;
        }
        if (name == "--wait") {
            if (!ParseSeconds(value, mWaitSeconds)) {
                error = "--wait needs a number of seconds from 0 to 86400, not '" + value + "'";
                return false;
            }
            waitGiven = true;
        } else if (name == "--settle") {
            if (!ParseWhole(value, cMinSettleMs, cMaxSettleMs, mSettleMs)) {
                error = "--settle needs whole milliseconds from 50 to 10000, not '" + value + "'";
                return false;
            }
            settleGiven = true;
        } else if (name == "--no-settle") {
            mNoSettle = true;
        } else if (name == "--wait-for") {
            if (value.empty()) {
                error = "--wait-for needs a device id";
                return false;
            }
            mWaitFor.push_back(value);
        } else if (name == "--count") {
            long count = 0;
            if (!ParseWhole(value, 1, cMaxCount, count)) {
                error = "--count needs a whole number from 1 to 4096, not '" + value + "'";
                return false;
            }
            mCount = static_cast<size_t>(count);
        } else if (name == "--type") {
            if (value.empty()) {
                error = "--type needs a device type";
                return false;
            }
            mTypes.push_back(value);
        } else if (name == "--json") {
            mJson = true;
        } else if (name == "--no-ssid") {
            mNoSsid = true;
        } else if (name == "--watch") {
            mWatch = true;
        } else if (name == "--open") {
            mOpen = true;
        } else if (name == "--verbose" || name == "-v") {
            mVerbose = true;
        } else if (name == "--quiet" || name == "-q") {
            mQuiet = true;
        } else if (name == "--interface") {
            if (value.empty()) {
                error = "--interface needs an interface name";
                return false;
            }
            mInterfaces.push_back(value);
        } else if (name == "--probe") {
            QipProbeTarget target;
            std::string reason;
            if (!QipProbeTarget::Parse(value, target, reason)) {
                error = "--probe '" + value + "': " + reason;
                return false;
            }
            mProbeTargets.push_back(target);
        } else if (name == "--probe-rate") {
            long rate = 0;
            if (!ParseWhole(value, static_cast<long>(QipClient::cMinProbeRate),
                            static_cast<long>(QipClient::cMaxProbeRate), rate)) {
                error = "--probe-rate needs a whole number of probes a second from 1 to 50000, not '" +
                        value + "'";
                return false;
            }
            mProbeRate = static_cast<unsigned long>(rate);
        } else if (name == "--help" || name == "-h") {
            mHelp = true;
        } else if (name == "--version") {
            mVersion = true;
        } else if (name.size() > 1 && name[0] == '-') {
            error = "unknown option '" + name + "'";
            return false;
        } else {
            error = "unexpected argument '" + name + "'";
            return false;
        }
    }
    if (mWatch) {
        const char* listOnly = mOpen            ? "--open"
                               : waitGiven      ? "--wait"
                               : settleGiven    ? "--settle"
                               : mNoSettle      ? "--no-settle"
                               : !mWaitFor.empty() ? "--wait-for"
                               : mCount > 0     ? "--count"
                                                : nullptr;
        if (listOnly != nullptr) {
            error = std::string("--watch runs until interrupted; ") + listOnly + " does not apply to it";
            return false;
        }
    }
    if (mVerbose && mQuiet) {
        error = "--verbose and --quiet contradict each other";
        return false;
    }
    if (settleGiven && mNoSettle) {
        error = "--settle and --no-settle contradict each other";
        return false;
    }
    if (settleGiven && (!mWaitFor.empty() || mCount > 0)) {
        error = "--wait-for and --count end listening without settling; --settle does not apply";
        return false;
    }
    return true;
}

long long QipDiscoverOptions::GetWaitMs() const {
    return static_cast<long long>(llround(mWaitSeconds * 1000));
}

long long QipDiscoverOptions::GetEffectiveSettleMs() const {
    if (mNoSettle || !mWaitFor.empty() || mCount > 0) return 0;
    return mSettleMs;
}

std::string QipDiscoverOptions::Usage() {
    return "Usage: qip-discover [OPTION]...\n"
           "       qip-discover --watch [--type TYPE]... [--json] [--no-ssid]\n"
           "                    [--interface NAME]... [--verbose]\n"
           "Finds the QIP devices on every IPv4 network of this machine and lists them.\n"
           "\n"
           "When listening ends (not with --watch):\n"
           "  --wait SECONDS     listen at most this long (default 3, 0 to 86400)\n"
           "  --settle MS        end once a wanted device was heard and no new one for MS\n"
           "                     milliseconds (default 400, 50 to 10000)\n"
           "  --no-settle        listen the whole --wait\n"
           "  --wait-for ID      end as soon as the device with this id was heard; may be\n"
           "                     given several times (all must be heard; no settling)\n"
           "  --count N          end as soon as N wanted devices were heard (no settling)\n"
           "\n"
           "What is listed and how:\n"
           "  --type TYPE        list only devices of this type (exact, case-sensitive);\n"
           "                     may be given several times\n"
           "  --interface NAME   broadcast only on this interface and list only devices\n"
           "                     heard through it; may be given several times\n"
           "  --probe TARGET     also ask every address of TARGET by unicast, for devices\n"
           "                     behind a router: an address (198.51.100.20), a range\n"
           "                     (198.51.100.0/24, /16 to /32) or a host name; may be\n"
           "                     given several times; --wait counts from the last probe\n"
           "  --probe-rate N     send at most N probes a second (default 2000, 1 to 50000)\n"
           "  --json             one JSON object per device and line (with \"Reachable\",\n"
           "                     \"Page\" and, where there is one, \"Note\" beside the five\n"
           "                     device keys)\n"
           "  --no-ssid          do not read the devices' status pages\n"
           "  --open             open the page of the device in the default browser when\n"
           "                     exactly one was found (not with --watch)\n"
           "  --watch            keep running and print each change of the device list\n"
           "                     (appeared, changed, gone) until interrupted\n"
           "  -v, --verbose      tell on standard error the interfaces used and skipped,\n"
           "                     each broadcast, each probed range, each answer and why\n"
           "                     one was left out\n"
           "  -q, --quiet        when nothing is found, leave out the diagnosis of why\n"
           "  -h, --help         show this text and exit\n"
           "  --version          show the version and exit\n"
           "  --                 end of options\n"
           "\n"
           "Examples:\n"
           "  qip-discover                      list what answers, ending once it settles\n"
           "  qip-discover --wait-for 00:1A:2B:00:00:01 --open\n"
           "  qip-discover --count 2 --wait 10 --json\n"
           "  qip-discover --probe 198.51.100.0/24   also a network behind a router\n"
           "\n"
           "Exit status:\n"
           "  0    at least one wanted device was found (with --wait-for and --count: all\n"
           "       that were asked for); with --watch: ended by SIGINT or SIGTERM\n"
           "  1    no wanted device was found (or, with --wait-for or --count, not all);\n"
           "       unless --quiet, standard error says what answered and what to check\n"
           "  2    usage error (also an unknown --interface name or a --probe target that\n"
           "       is malformed or does not resolve), or UDP port 19375 cannot be opened\n"
           "  3    --open: the page of the found device could not be opened\n"
           "  4    the output could not be written (write error)\n"
           "  130  interrupted by SIGINT (Ctrl-C) before the list was written\n"
           "  143  ended by SIGTERM before the list was written\n";
}
