#include "app/QipCommandLine.h"

#include <algorithm>
#include <iterator>

#include "cli/QipOptionParser.h"

namespace {

// The toolkit's own options that take a value as the next argument, and those that do not.
const char* const cToolkitValueOptions[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin",      "qwindowgeometry",
    "qwindowicon", "qwindowtitle",   "display",       "geometry",    "style",
    "stylesheet", "session",         "qmljsdebugger"};
const char* const cToolkitFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

bool Contains(const char* const* first, const char* const* last, const std::string& name) {
    return std::find_if(first, last, [&name](const char* option) { return name == option; }) !=
           last;
}

}  // namespace

// The program has no options beyond the shared -h/--help and -V/--version.
class QipCommandLine::NoOptions : public QipOptionParser::Handler {
public:
    bool OnOption(int, const std::string&, std::string&) override { return true; }
};

QipCommandLine::Action QipCommandLine::Parse(const std::vector<std::string>& arguments,
                                             std::string* error) {
    // The toolkit's options are taken out first (they may have one dash, which the shared
    // parser would read as letters); the rest follows the conventions of every program.
    std::vector<const char*> own = {"qipfinder"};
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            for (; i < arguments.size(); ++i) own.push_back(arguments[i].c_str());
            break;
        }
        if (argument.size() < 2 || argument[0] != '-') {
            own.push_back(argument.c_str());
            continue;
        }
        std::string name = argument.substr(argument[1] == '-' ? 2 : 1);
        const size_t equals = name.find('=');
        const bool hasValue = equals != std::string::npos;
        name = name.substr(0, equals);
        if (Contains(std::begin(cToolkitValueOptions), std::end(cToolkitValueOptions), name)) {
            if (!hasValue && ++i >= arguments.size()) {
                *error = "option '" + argument + "' needs a value";
                return Action::UsageError;
            }
        } else if (!hasValue && Contains(std::begin(cToolkitFlagOptions),
                                         std::end(cToolkitFlagOptions), name)) {
            continue;
        } else {
            own.push_back(argument.c_str());
        }
    }
    NoOptions noOptions;
    std::vector<std::string> operands;
    switch (QipOptionParser("qipfinder", {}).Parse(static_cast<int>(own.size()), own.data(),
                                                   noOptions, operands, *error)) {
    case QipOptionParser::Outcome::cHelp:
        return Action::Help;
    case QipOptionParser::Outcome::cVersion:
        return Action::Version;
    case QipOptionParser::Outcome::cUsageError:
        return Action::UsageError;
    case QipOptionParser::Outcome::cRun:
        break;
    }
    if (!operands.empty()) {
        *error = "unexpected argument '" + operands.front() + "'";
        return Action::UsageError;
    }
    return Action::Run;
}

std::string QipCommandLine::HelpText() {
    return "Usage: qipfinder [OPTION]...\n"
           "Searches the local network for QIP devices and opens the chosen device's page,\n"
           "http://<device address>/, in the default web browser. With exactly one device\n"
           "found it opens that page at once and ends.\n"
           "\n"
           "Options:\n"
           "  -h, --help       show this help and exit\n"
           "  -V, --version    show the version and exit\n"
           "  --               end of options\n"
           "The toolkit's own options (-platform NAME, -display NAME, -style NAME and the\n"
           "like) are passed on to it.\n"
           "\n"
           "Settings: Info.plist in <folder of the executable>/../share/qipfinder/ (for an\n"
           "installed program /usr/share/qipfinder/Info.plist): DeviceKennung (the device\n"
           "types listed), QipTimeout (seconds between two looks at the devices heard: 10 when\n"
           "absent, 2 in the shipped file), TerminateAfterLastItem, TerminateAfterConfigure,\n"
           "RemoveAfterConfigure, QipProbeTargets (networks behind routers to probe every\n"
           "cycle: addresses, ranges from /16 to /32, host names), CFBundleName,\n"
           "CFBundleVersion. A device that answers but is not listed (\"Only devices of other\n"
           "types answered\") has another type: add that type to the DeviceKennung array to\n"
           "list it too. The networks added with Search Another Network are kept in\n"
           "~/.config/qipfinder/qipfinder.ini (under $XDG_CONFIG_HOME when set).\n"
           "The devices seen before, their labels and the one opened last are kept in\n"
           "~/.local/state/qipfinder/devices.sqlite (under $XDG_STATE_HOME when set), shared\n"
           "with qip-discover; QipKnownDevices false runs without reading or writing it.\n"
           "\n"
           "Environment:\n"
           "  LANGUAGE, LC_ALL, LC_MESSAGES, LANG\n"
           "                             language of the texts (English or German)\n"
           "  LC_ALL, LC_TIME, LANG      format of the date in the About box\n"
           "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM\n"
           "                             the display the window opens on (QT_QPA_PLATFORM\n"
           "                             names the toolkit's platform, e.g. offscreen)\n"
           "  BROWSER                    read by xdg-open to choose the browser a device's\n"
           "                             page opens in\n"
           "\n"
           "The program needs no root: it listens on UDP port 19375 (devices answer there) and\n"
           "reads device pages over TCP port 80.\n"
           "\n"
           "Exit status:\n"
           "  0  the window was closed, Quit was chosen, or a device's page was opened\n"
           "  1  no display to open the window on\n"
           "  2  usage error (an unknown option or argument)\n"
           "  3  a device's page could not be opened (the browser failed) and none was\n"
           "     opened since\n";
}

std::string QipCommandLine::VersionText() { return std::string("qipfinder ") + QIPFINDER_VERSION + "\n"; }
