#include "tools/exporter/QipExporterOptions.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <stdlib.h>

const unsigned short QipExporterOptions::cDefaultPort;
const char* const QipExporterOptions::cDefaultListen = "127.0.0.1:19376";

namespace {

enum LongOnly { cOptListen = 256, cOptType, cOptInterface, cOptNoSsid };

const option cLongOptions[] = {
    {"listen", required_argument, nullptr, cOptListen},
    {"type", required_argument, nullptr, cOptType},
    {"interface", required_argument, nullptr, cOptInterface},
    {"no-ssid", no_argument, nullptr, cOptNoSsid},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

std::string QipExporterOptions::CheckListen(const std::string& text) {
    const std::string::size_type colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::string();
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
        return std::string();
    }
    const long number = strtol(port.c_str(), nullptr, 10);
    if (number < 1 || number > 65535) return std::string();
    unsigned char address[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), address) != 1) {
            return std::string();
        }
    } else if (inet_pton(AF_INET, host.c_str(), address) != 1) {
        return std::string();
    }
    return host + ":" + std::to_string(number);
}

bool QipExporterOptions::Parse(int argc, char* const* argv, std::string& error) {
    // getopt_long keeps its place in globals; every parse starts afresh and silently, so
    // that the message is built here in the program's words.
    optind = 0;
    opterr = 0;
    for (;;) {
        const int previous = optind == 0 ? 1 : optind;
        const int c = getopt_long(argc, argv, "+:hV", cLongOptions, nullptr);
        if (c == -1) break;
        const std::string arg = previous < argc ? argv[previous] : "";
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
        case cOptListen:
            if (CheckListen(value).empty()) {
                error = "--listen needs ADDRESS:PORT with a numeric IPv4 address or a bracketed "
                        "IPv6 address and a port from 1 to 65535, not '" + value + "'";
                return false;
            }
            mListen = CheckListen(value);
            break;
        case cOptType:
            if (value.empty()) {
                error = "--type needs a device type";
                return false;
            }
            mTypes.push_back(value);
            break;
        case cOptInterface:
            if (value.empty()) {
                error = "--interface needs an interface name";
                return false;
            }
            mInterfaces.push_back(value);
            break;
        case cOptNoSsid:
            mNoSsid = true;
            break;
        case 'h':
            mHelp = true;
            break;
        case 'V':
            mVersion = true;
            break;
        case ':':
            error = "option '" + arg.substr(0, arg.find('=')) + "' requires an argument";
            return false;
        default:
            // getopt_long sets optopt to 0 for an unknown long option, to the letter of an
            // unknown short one, and to the option's value for a value given to a long
            // option that takes none.
            if (optopt == 0) {
                error = "unrecognized option '" + arg + "'";
            } else if (optopt < 256 && arg.compare(0, 2, "--") != 0) {
                error = std::string("invalid option -- '") + static_cast<char>(optopt) + "'";
            } else {
                error = "option '" + arg.substr(0, arg.find('=')) + "' doesn't allow an argument";
            }
            return false;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument '") + argv[optind] + "'";
        return false;
    }
    return true;
}

std::string QipExporterOptions::Usage() {
    return "Usage: qip-exporter [OPTION]...\n"
           "Discovers the QIP devices on this machine's IPv4 networks continuously and serves\n"
           "them as Prometheus metrics over HTTP at /metrics.\n"
           "\n"
           "  --listen ADDRESS:PORT  serve HTTP there (default 127.0.0.1:19376); ADDRESS is a\n"
           "                         numeric IPv4 address or a bracketed IPv6 one, [::1]\n"
           "  --type TYPE            export only devices of this type (exact,\n"
           "                         case-sensitive); may be given several times\n"
           "  --interface NAME       broadcast only on this interface and export only devices\n"
           "                         heard through it; may be given several times\n"
           "  --no-ssid              do not read the devices' status pages (ssid is empty)\n"
           "  -h, --help             show this text and exit\n"
           "  -V, --version          show the version and exit\n"
           "  --                     end of options\n"
           "\n"
           "Examples:\n"
           "  qip-exporter                              serve on 127.0.0.1:19376\n"
           "  qip-exporter --listen 192.0.2.1:19376 --type QipBox\n"
           "\n"
           "Exit status:\n"
           "  0  ended by SIGTERM or SIGINT\n"
           "  1  the HTTP port or UDP port 19375 cannot be opened\n"
           "  2  usage error (also an unknown --interface name)\n";
}
