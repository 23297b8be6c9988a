#include "tools/discover/QipDiscoverOptions.h"

#include <math.h>

#include "cli/QipOptionValue.h"
#include "qip/QipClient.h"
#include "store/QipDeviceRecord.h"

const double QipDiscoverOptions::cDefaultWaitSeconds = 3;
const double QipDiscoverOptions::cMaxWaitSeconds = 86400;
const long QipDiscoverOptions::cDefaultSettleMs;
const long QipDiscoverOptions::cMinSettleMs;
const long QipDiscoverOptions::cMaxSettleMs;
const long QipDiscoverOptions::cMaxCount;

namespace {

enum OptionId {
    cWait, cSettle, cNoSettle, cWaitFor, cCount, cType, cJson, cNoSsid, cWatch, cOpen,
    cVerbose, cQuiet, cInterface, cProbe, cProbeRate, cKnown, cLabel, cForget, cNoStore,
};

const std::vector<QipOptionParser::Option> cOptions = {
    {"wait", 0, true, cWait},           {"settle", 0, true, cSettle},
    {"no-settle", 0, false, cNoSettle}, {"wait-for", 0, true, cWaitFor},
    {"count", 0, true, cCount},         {"type", 0, true, cType},
    {"json", 0, false, cJson},          {"no-ssid", 0, false, cNoSsid},
    {"watch", 0, false, cWatch},        {"open", 0, false, cOpen},
    {"verbose", 'v', false, cVerbose},  {"quiet", 'q', false, cQuiet},
    {"interface", 0, true, cInterface}, {"probe", 0, true, cProbe},
    {"probe-rate", 0, true, cProbeRate},
    {"known", 0, false, cKnown},        {"label", 0, true, cLabel},
    {"forget", 0, true, cForget},       {"no-store", 0, false, cNoStore},
};

}  // namespace

// Fills the options one at a time as the parser reads them.
class QipDiscoverOptions::Reader : public QipOptionParser::Handler {
public:
    explicit Reader(QipDiscoverOptions* outer) : mOuter(outer) {}
    bool OnOption(int id, const std::string& value, std::string& error) override;

    bool mWaitGiven = false;
    bool mSettleGiven = false;

private:
    QipDiscoverOptions* mOuter;
};

bool QipDiscoverOptions::Reader::OnOption(int id, const std::string& value, std::string& error) {
    long long number = 0;
    switch (id) {
    case cWait:
        if (!QipOptionValue::ParseDecimal(value, 0, cMaxWaitSeconds, mOuter->mWaitSeconds)) {
            error = "--wait needs a number of seconds from 0 to 86400, not '" + value + "'";
            return false;
        }
        mWaitGiven = true;
        return true;
    case cSettle:
        if (!QipOptionValue::ParseWhole(value, cMinSettleMs, cMaxSettleMs, number)) {
            error = "--settle needs whole milliseconds from 50 to 10000, not '" + value + "'";
            return false;
        }
        mOuter->mSettleMs = static_cast<long>(number);
        mSettleGiven = true;
        return true;
    case cNoSettle:
        mOuter->mNoSettle = true;
        return true;
    case cWaitFor:
        if (value.empty()) {
            error = "--wait-for needs a device id";
            return false;
        }
        mOuter->mWaitFor.push_back(value);
        return true;
    case cCount:
        if (!QipOptionValue::ParseWhole(value, 1, cMaxCount, number)) {
            error = "--count needs a whole number from 1 to 4096, not '" + value + "'";
            return false;
        }
        mOuter->mCount = static_cast<size_t>(number);
        return true;
    case cType:
        if (value.empty()) {
            error = "--type needs a device type";
            return false;
        }
        mOuter->mTypes.push_back(value);
        return true;
    case cJson:
        mOuter->mJson = true;
        return true;
    case cNoSsid:
        mOuter->mNoSsid = true;
        return true;
    case cWatch:
        mOuter->mWatch = true;
        return true;
    case cOpen:
        mOuter->mOpen = true;
        return true;
    case cVerbose:
        mOuter->mVerbose = true;
        return true;
    case cQuiet:
        mOuter->mQuiet = true;
        return true;
    case cInterface:
        if (value.empty()) {
            error = "--interface needs an interface name";
            return false;
        }
        mOuter->mInterfaces.push_back(value);
        return true;
    case cProbe: {
        QipProbeTarget target;
        std::string reason;
        if (!QipProbeTarget::Parse(value, target, reason)) {
            error = "--probe '" + value + "': " + reason;
            return false;
        }
        mOuter->mProbeTargets.push_back(target);
        return true;
    }
    case cProbeRate:
        if (!QipOptionValue::ParseWhole(value, QipClient::cMinProbeRate, QipClient::cMaxProbeRate, number)) {
            error = "--probe-rate needs a whole number of probes a second from 1 to 50000, not '" +
                    value + "'";
            return false;
        }
        mOuter->mProbeRate = static_cast<unsigned long>(number);
        return true;
    case cKnown:
        mOuter->mKnown = true;
        return true;
    case cLabel:
        if (value.empty()) {
            error = "--label needs a device id and a text";
            return false;
        }
        mOuter->mLabel = true;
        mOuter->mLabelId = value;
        return true;
    case cForget:
        if (value.empty()) {
            error = "--forget needs a device id";
            return false;
        }
        mOuter->mForgetId = value;
        return true;
    case cNoStore:
        mOuter->mNoStore = true;
        return true;
    }
    return true;
}

QipDiscoverOptions::QipDiscoverOptions() : mProbeRate(QipClient::cDefaultProbeRate) {}

bool QipDiscoverOptions::Parse(int argc, const char* const* argv, std::string& error) {
    Reader reader(this);
    std::vector<std::string> operands;
    const QipOptionParser parser("qip-discover", cOptions);
    switch (parser.Parse(argc, argv, reader, operands, error)) {
    case QipOptionParser::Outcome::cHelp:
        mHelp = true;
        return true;
    case QipOptionParser::Outcome::cVersion:
        mVersion = true;
        return true;
    case QipOptionParser::Outcome::cUsageError:
        return false;
    case QipOptionParser::Outcome::cRun:
        break;
    }
    if (mLabel) {
        // --label ID TEXT: the text is the one operand ("" removes the label).
        if (operands.size() != 1) {
            error = operands.empty() ? "--label needs a text after the device id (\"\" removes the label)"
                                     : "unexpected argument '" + operands[1] + "'";
            return false;
        }
        mLabelText = operands.front();
        operands.clear();
        const std::string why = QipDeviceRecord::CheckLabel(mLabelText);
        if (!why.empty()) {
            error = "--label: " + why;
            return false;
        }
    }
    if (!operands.empty()) {
        error = "unexpected argument '" + operands.front() + "'";
        return false;
    }
    const int storeCommands = (mKnown ? 1 : 0) + (mLabel ? 1 : 0) + (mForgetId.empty() ? 0 : 1);
    if (storeCommands > 1) {
        error = "--known, --label and --forget are used one at a time";
        return false;
    }
    if (storeCommands == 1) {
        const char* name = mKnown ? "--known" : mLabel ? "--label" : "--forget";
        const char* other = mNoStore ? "--no-store" : mWatch ? "--watch" : mOpen ? "--open"
                            : !mWaitFor.empty() ? "--wait-for" : mCount > 0 ? "--count"
                            : reader.mWaitGiven ? "--wait" : !mProbeTargets.empty() ? "--probe" : nullptr;
        if (other != nullptr) {
            error = std::string(name) + " searches for nothing; " + other + " does not apply to it";
            return false;
        }
    }
    const bool waitGiven = reader.mWaitGiven;
    const bool settleGiven = reader.mSettleGiven;
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
           "                    [--interface NAME]... [--probe TARGET]...\n"
           "                    [--probe-rate N] [--verbose]\n"
           "       qip-discover --known [--type TYPE]... [--json]\n"
           "       qip-discover --label ID TEXT | --forget ID\n"
           "Finds the QIP devices on every IPv4 network of this machine and lists them.\n"
           "\n"
           "When listening ends (not with --watch):\n"
           "  --wait SECONDS     listen at most this long (default 3; 0 to 86400, fractions\n"
           "                     allowed)\n"
           "  --settle MS        end once a wanted device was heard and no new one for MS\n"
           "                     milliseconds (default 400, 50 to 10000)\n"
           "  --no-settle        listen the whole --wait\n"
           "  --wait-for ID      end as soon as the device with this id was heard; may be\n"
           "                     given several times (all must be heard; no settling)\n"
           "  --count N          end as soon as N wanted devices were heard (no settling;\n"
           "                     1 to 4096)\n"
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
           "  --open             open the page of a device in the default browser: of the\n"
           "                     one --wait-for names, or else of the only one found (not\n"
           "                     with --watch)\n"
           "  --watch            keep running and print each change of the device list\n"
           "                     (appeared, changed, gone) until interrupted\n"
           "  -v, --verbose      tell on standard error the interfaces used and skipped,\n"
           "                     each broadcast, each probed range, each answer and why\n"
           "                     one was left out\n"
           "  -q, --quiet        when nothing is found, leave out the diagnosis of why\n"
           "\n"
           "Known devices (kept in $XDG_STATE_HOME/qipfinder/devices.sqlite):\n"
           "  --known            list the devices seen before, with when they were last\n"
           "                     seen and their labels, without sending anything\n"
           "  --label ID TEXT    give the known device ID the label TEXT (at most 64\n"
           "                     characters; \"\" removes it), shown beside it from then on\n"
           "  --forget ID        forget the known device ID (its label too)\n"
           "  --no-store         search without reading or writing the known devices\n"
           "  -h, --help         show this text and exit\n"
           "  -V, --version      show the version and exit\n"
           "  --                 end of options\n"
           "A value may also follow its option after '=' (--wait=5).\n"
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
           "  1    no wanted device was found (or, with --wait-for or --count, not all;\n"
           "       with --known, none is known; with --label or --forget, ID is unknown);\n"
           "       after a search, unless --quiet, standard error says what answered and\n"
           "       what to check\n"
           "  2    usage error (also an unknown --interface name or a malformed --probe\n"
           "       target), or UDP port 19375 cannot be opened\n"
           "  3    --open: the page of the device could not be opened\n"
           "  4    the output could not be written (write error)\n"
           "  5    --open: several devices were found and --wait-for named none of them\n"
           "       (or several), so no page was opened\n"
           "  6    --label, --forget: the known devices could not be changed\n"
           "  130  interrupted by SIGINT (Ctrl-C) before the list was written\n"
           "  143  ended by SIGTERM before the list was written\n"
           "Whenever --open opens no page the status is not 0.\n"
           "\n"
           "Environment:\n"
           "  XDG_STATE_HOME     where the known devices are kept (default ~/.local/state)\n"
           "  PATH               where --open looks for xdg-open\n"
           "  BROWSER, DISPLAY, WAYLAND_DISPLAY\n"
           "                     read by xdg-open to choose the browser (--open)\n";
}
