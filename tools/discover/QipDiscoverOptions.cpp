#include "tools/discover/QipDiscoverOptions.h"

#include <math.h>
#include <stdlib.h>

const double QipDiscoverOptions::cDefaultWaitSeconds = 3;
const double QipDiscoverOptions::cMaxWaitSeconds = 86400;

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

}  // namespace

bool QipDiscoverOptions::Parse(int argc, const char* const* argv, std::string& error) {
    bool waitGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string name;
        std::string value;
        bool hasInline = SplitInline(argv[i], name, value);
        bool takesValue = name == "--wait" || name == "--type";
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
        } else if (name == "--help" || name == "-h") {
            mHelp = true;
        } else if (name == "--version") {
            mVersion = true;
        } else {
            error = "unknown argument '" + name + "'";
            return false;
        }
    }
    if (mWatch && (mOpen || waitGiven)) {
        error = "--watch runs until interrupted; --open and --wait do not apply to it";
        return false;
    }
    return true;
}

std::string QipDiscoverOptions::Usage() {
    return "Usage: qip-discover [OPTION]...\n"
           "Finds the QIP devices on every IPv4 network of this machine and lists them.\n"
           "\n"
           "  --wait SECONDS  listen this long before listing (default 3)\n"
           "  --type TYPE     list only devices of this type (exact, case-sensitive);\n"
           "                  may be given several times\n"
           "  --json          one JSON object per device and line\n"
           "  --no-ssid       do not read the devices' status pages\n"
           "  --watch         keep running and print each change of the device list\n"
           "                  (appeared, changed, gone) until interrupted\n"
           "  --open          open the page of the device in the default browser when\n"
           "                  exactly one was found\n"
           "  --help          show this text\n"
           "  --version       show the version\n"
           "\n"
           "Exit status: 0 when at least one device was found, 1 when none was,\n"
           "2 on a usage error or when UDP port 19375 cannot be opened,\n"
           "3 when the page of the found device could not be opened.\n";
}
