#include "app/QipCommandLine.h"

#include <algorithm>
#include <iterator>

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

QipCommandLine::Action QipCommandLine::Parse(const std::vector<std::string>& arguments,
                                             std::string* error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            if (i + 1 < arguments.size()) {
                *error = "unexpected argument '" + arguments[i + 1] + "'";
                return Action::UsageError;
            }
            break;
        }
        if (argument == "--help" || argument == "-h") {
            return Action::Help;
        }
        if (argument == "--version" || argument == "-V") {
            return Action::Version;
        }
        if (argument.size() < 2 || argument[0] != '-') {
            *error = "unexpected argument '" + argument + "'";
            return Action::UsageError;
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
        } else if (hasValue || !Contains(std::begin(cToolkitFlagOptions),
                                         std::end(cToolkitFlagOptions), name)) {
            *error = "unknown option '" + argument + "'";
            return Action::UsageError;
        }
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
           "RemoveAfterConfigure, CFBundleName, CFBundleVersion. A device that answers but\n"
           "is not listed (\"Only devices of other types answered\") has another type: add\n"
           "that type to the DeviceKennung array to list it too.\n"
           "\n"
           "Environment:\n"
           "  LANG, LC_ALL, LC_MESSAGES  language of the texts (English or German)\n"
           "  LANG, LC_ALL, LC_TIME      format of the date in the About box\n"
           "  DISPLAY, WAYLAND_DISPLAY   the display the window opens on\n"
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
