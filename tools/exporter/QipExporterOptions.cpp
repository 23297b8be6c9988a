#include "tools/exporter/QipExporterOptions.h"

#include <arpa/inet.h>
#include <stdlib.h>

#include "cli/QipOptionValue.h"
#include "qip/QipClient.h"

const unsigned short QipExporterOptions::cDefaultPort;
const char* const QipExporterOptions::cDefaultListen = "127.0.0.1:19376";

namespace {

enum OptionId { cListen, cType, cInterface, cNoSsid, cProbe, cProbeRate, cWebConfig };

const std::vector<QipOptionParser::Option> cOptions = {
    {"listen", 0, true, cListen},
    {"type", 0, true, cType},
    {"interface", 0, true, cInterface},
    {"no-ssid", 0, false, cNoSsid},
    {"probe", 0, true, cProbe},
    {"probe-rate", 0, true, cProbeRate},
    {"web-config", 0, true, cWebConfig},
};

}  // namespace

// Fills the options one at a time as the parser reads them.
class QipExporterOptions::Reader : public QipOptionParser::Handler {
public:
    explicit Reader(QipExporterOptions* outer) : mOuter(outer) {}
    bool OnOption(int id, const std::string& value, std::string& error) override;

private:
    QipExporterOptions* mOuter;
};

bool QipExporterOptions::Reader::OnOption(int id, const std::string& value, std::string& error) {
    switch (id) {
    case cListen:
        mOuter->mListen = CheckListen(value);
        if (mOuter->mListen.empty()) {
            error = "--listen needs ADDRESS:PORT with a numeric IPv4 address or a bracketed "
                    "IPv6 address and a port from 1 to 65535, not '" + value + "'";
            return false;
        }
        return true;
    case cType:
        if (value.empty()) {
            error = "--type needs a device type";
            return false;
        }
        mOuter->mTypes.push_back(value);
        return true;
    case cInterface:
        if (value.empty()) {
            error = "--interface needs an interface name";
            return false;
        }
        mOuter->mInterfaces.push_back(value);
        return true;
    case cNoSsid:
        mOuter->mNoSsid = true;
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
    case cWebConfig:
        if (value.empty()) {
            error = "--web-config needs a file name";
            return false;
        }
        mOuter->mWebConfig = value;
        return true;
    case cProbeRate: {
        long long rate = 0;
        if (!QipOptionValue::ParseWhole(value, QipClient::cMinProbeRate, QipClient::cMaxProbeRate, rate)) {
            error = "--probe-rate needs a whole number of probes a second from 1 to 50000, not '" +
                    value + "'";
            return false;
        }
        mOuter->mProbeRate = static_cast<unsigned long>(rate);
        return true;
    }
    }
    return true;
}

QipExporterOptions::QipExporterOptions() : mProbeRate(QipClient::cDefaultProbeRate) {}

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

bool QipExporterOptions::Parse(int argc, const char* const* argv, std::string& error) {
    Reader reader(this);
    std::vector<std::string> operands;
    const QipOptionParser parser("qip-exporter", cOptions);
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
    if (!operands.empty()) {
        error = "unexpected argument '" + operands.front() + "'";
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
           "  --probe TARGET         also ask every address of TARGET by unicast each cycle,\n"
           "                         for devices behind a router: an address (198.51.100.20),\n"
           "                         a range (198.51.100.0/24, /16 to /32) or a host name\n"
           "                         (looked up again each cycle, in the background); may be\n"
           "                         given several times\n"
           "  --probe-rate N         send at most N probes a second (default 2000, 1 to\n"
           "                         50000)\n"
           "  --web-config FILE      serve HTTPS and/or ask for passwords as FILE says (the\n"
           "                         Prometheus exporters' web configuration format);\n"
           "                         read again on SIGHUP\n"
           "  -h, --help             show this text and exit\n"
           "  -V, --version          show the version and exit\n"
           "  --                     end of options\n"
           "\n"
           "Examples:\n"
           "  qip-exporter                              serve on 127.0.0.1:19376\n"
           "  qip-exporter --listen 192.0.2.1:19376 --type QipBox\n"
           "  qip-exporter --probe 198.51.100.0/24     also a network behind a router\n"
           "\n"
           "Exit status:\n"
           "  0  ended by SIGTERM or SIGINT\n"
           "  1  the HTTP port or UDP port 19375 cannot be opened, or the --web-config\n"
           "     file or a file it names cannot be read or used\n"
           "  2  usage error (also an unknown --interface name or a --probe target that is\n"
           "     malformed or does not resolve)\n";
}
