#include "tools/device-sim/QipSimOptions.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>

#include "cli/QipOptionParser.h"

namespace {

const long long cMaxMs = 3600000;
const long long cMaxPageSize = 64LL * 1024 * 1024;

bool ParseNumber(const std::string& text, long long low, long long high, long long* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

// Seconds with an optional fraction ("30", "0.5") as milliseconds.
bool ParseSeconds(const std::string& text, long long* ms) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    double seconds = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || seconds < 0 || seconds > 1e7) return false;
    *ms = static_cast<long long>(seconds * 1000 + 0.5);
    return true;
}

std::string Dotted(uint32_t hostOrder) {
    in_addr address{};
    address.s_addr = htonl(hostOrder);
    return inet_ntoa(address);
}

}  // namespace

bool QipSimOptions::ParseAddress(const std::string& text, QipSimAddress* address) {
    size_t slash = text.find('/');
    long long bits = 24;
    if (slash != std::string::npos && !ParseNumber(text.substr(slash + 1), 0, 32, &bits)) return false;
    std::string dotted = text.substr(0, slash);
    in_addr parsed{};
    // inet_pton, unlike inet_aton, takes only the four-number form that devices send.
    if (inet_pton(AF_INET, dotted.c_str(), &parsed) != 1) return false;
    uint32_t host = ntohl(parsed.s_addr);
    uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    address->mAddress = dotted;
    address->mNetmask = Dotted(mask);
    address->mBroadcast = Dotted((host & mask) | ~mask);
    return true;
}

namespace {

enum OptionId {
    cVerbose, cPort, cDevice, cLfOnly, cNoHttp, cHttpHang, cType, cId, cAddress, cListen, cUrl,
    cPacketId, cSsid, cHelloIp, cHttpPort, cHttpStatus, cHttpDelay, cHttpSplit, cPageSize,
    cAnswerDelay, cSilentAfter, cPacketIdEvery, cMalformed, cHttpFault, cIds,
};

const std::vector<QipOptionParser::Option> cOptions = {
    {"verbose", 'v', false, cVerbose},
    {"port", 0, true, cPort},
    {"device", 0, false, cDevice},
    {"lf-only", 0, false, cLfOnly},
    {"no-http", 0, false, cNoHttp},
    {"http-hang", 0, false, cHttpHang},
    {"type", 0, true, cType},
    {"id", 0, true, cId},
    {"address", 0, true, cAddress},
    {"listen", 0, true, cListen},
    {"url", 0, true, cUrl},
    {"packet-id", 0, true, cPacketId},
    {"ssid", 0, true, cSsid},
    {"hello-ip", 0, true, cHelloIp},
    {"http-port", 0, true, cHttpPort},
    {"http-status", 0, true, cHttpStatus},
    {"http-delay", 0, true, cHttpDelay},
    {"http-split", 0, true, cHttpSplit},
    {"page-size", 0, true, cPageSize},
    {"answer-delay", 0, true, cAnswerDelay},
    {"silent-after", 0, true, cSilentAfter},
    {"packet-id-every", 0, true, cPacketIdEvery},
    {"malformed", 0, true, cMalformed},
    {"http-fault", 0, true, cHttpFault},
    {"ids", 0, true, cIds},
};

const char* Spelling(int id) {
    for (const QipOptionParser::Option& option : cOptions) {
        if (option.mId == id) return option.mName;
    }
    return "?";
}

}  // namespace

// Applies each option to the simulator or to the device of the latest --device.
class QipSimOptions::Reader : public QipOptionParser::Handler {
public:
    explicit Reader(QipSimOptions* outer) : mOuter(outer) {}
    bool OnOption(int id, const std::string& value, std::string& error) override;

private:
    QipSimDeviceConfig& Device();
    QipSimOptions* mOuter;
};

QipSimDeviceConfig& QipSimOptions::Reader::Device() {
    if (mOuter->mDevices.empty()) mOuter->mDevices.emplace_back();
    return mOuter->mDevices.back();
}

bool QipSimOptions::Reader::OnOption(int id, const std::string& value, std::string& error) {
    long long number = 0;
    auto bad = [&](const char* what) {
        error = std::string("--") + Spelling(id) + ": " + what + ", not '" + value + "'";
        return false;
    };
    switch (id) {
    case cVerbose:
        mOuter->mVerbose = true;
        return true;
    case cPort:
        if (!ParseNumber(value, 1, 65535, &number)) return bad("a port 1-65535");
        mOuter->mPort = static_cast<unsigned short>(number);
        return true;
    case cDevice:
        mOuter->mDevices.emplace_back();
        return true;
    }
    QipSimDeviceConfig& current = Device();
    switch (id) {
    case cLfOnly:
        current.mLfOnly = true;
        break;
    case cNoHttp:
        current.mHttpMode = QipSimHttpMode::cNone;
        break;
    case cHttpHang:
        current.mHttpMode = QipSimHttpMode::cHang;
        break;
    case cType:
        current.mType = value;
        break;
    case cId:
        current.mId = value;
        break;
    case cAddress: {
        QipSimAddress address;
        if (!ParseAddress(value, &address)) return bad("an address a.b.c.d or a.b.c.d/bits");
        current.mAddresses.push_back(address);
        break;
    }
    case cListen: {
        QipSimAddress address;
        if (!ParseAddress(value, &address)) return bad("an address a.b.c.d");
        current.mListen.push_back(address.mAddress);
        break;
    }
    case cUrl:
        current.mStatusUrl = value;
        break;
    case cPacketId:
        current.mPacketId = value;
        break;
    case cSsid:
        current.mSsid = value;
        break;
    case cHelloIp:
        current.mHelloIp = value;
        break;
    case cHttpPort:
        if (!ParseNumber(value, 1, 65535, &number)) return bad("a port 1-65535");
        current.mHttpPort = static_cast<unsigned short>(number);
        break;
    case cHttpStatus:
        if (!ParseNumber(value, 100, 999, &number)) return bad("a status 100-999");
        current.mHttpStatus = static_cast<int>(number);
        break;
    case cHttpDelay:
        if (!ParseNumber(value, 0, cMaxMs, &number)) return bad("milliseconds 0-3600000");
        current.mHttpDelayMs = static_cast<int>(number);
        break;
    case cAnswerDelay:
        if (!ParseNumber(value, 0, cMaxMs, &number)) return bad("milliseconds 0-3600000");
        current.mAnswerDelayMs = static_cast<int>(number);
        break;
    case cHttpSplit:
        if (!ParseNumber(value, 0, cMaxMs, &number)) return bad("milliseconds 0-3600000");
        current.mHttpSplitMs = static_cast<int>(number);
        break;
    case cPageSize:
        if (!ParseNumber(value, 1, cMaxPageSize, &number)) return bad("bytes from 1 to 67108864 (64 MiB)");
        current.mPageSize = static_cast<unsigned long>(number);
        break;
    case cSilentAfter:
        if (!ParseSeconds(value, &current.mSilentAfterMs)) return bad("seconds 0-10000000");
        break;
    case cPacketIdEvery:
        if (!ParseNumber(value, 1, 1000000000, &number)) return bad("a count of answers 1-1000000000");
        current.mPacketIdEvery = static_cast<unsigned long>(number);
        break;
    case cIds:
        if (!ParseNumber(value, 1, 4096, &number)) return bad("a count of ids 1-4096");
        current.mIdCount = static_cast<unsigned long>(number);
        break;
    case cHttpFault: {
        static const std::map<std::string, QipSimHttpFault> cFaults = {
            {"trickle", QipSimHttpFault::cTrickle}, {"endless", QipSimHttpFault::cEndless},
            {"garbage", QipSimHttpFault::cGarbage}, {"reset", QipSimHttpFault::cReset},
            {"nested", QipSimHttpFault::cNested},   {"tiny-tags", QipSimHttpFault::cTinyTags}};
        if (value == "silent") {
            current.mHttpMode = QipSimHttpMode::cHang;
        } else if (value == "no-accept") {
            current.mHttpMode = QipSimHttpMode::cNoAccept;
        } else if (cFaults.count(value) != 0) {
            current.mHttpFault = cFaults.at(value);
        } else {
            return bad("silent, trickle, endless, garbage, reset, nested, tiny-tags or no-accept");
        }
        break;
    }
    case cMalformed:
        if (value != "unterminated" && value != "few-fields" && value != "wrong-case")
            return bad("unterminated, few-fields or wrong-case");
        current.mMalformed = value;
        break;
    }
    return true;
}

bool QipSimOptions::Parse(int argc, const char* const* argv, QipSimOptions* options, std::string* error) {
    *options = QipSimOptions();
    Reader reader(options);
    std::vector<std::string> operands;
    const QipOptionParser parser("qip-device-sim", cOptions);
    switch (parser.Parse(argc, argv, reader, operands, *error)) {
    case QipOptionParser::Outcome::cHelp:
        options->mHelp = true;
        return true;
    case QipOptionParser::Outcome::cVersion:
        options->mVersion = true;
        return true;
    case QipOptionParser::Outcome::cUsageError:
        return false;
    case QipOptionParser::Outcome::cRun:
        break;
    }
    if (!operands.empty()) {
        *error = "unexpected argument '" + operands.front() + "'";
        return false;
    }
    if (options->mHelp || options->mVersion) return true;
    if (options->mDevices.empty()) {
        *error = "no device given (at least --address)";
        return false;
    }
    std::set<std::string> taken;
    for (size_t n = 0; n < options->mDevices.size(); ++n) {
        QipSimDeviceConfig& config = options->mDevices[n];
        if (config.mId.empty()) config.mId = "sim-" + std::to_string(n + 1);
        if (config.mAddresses.empty()) {
            *error = "device " + config.mId + " has no --address";
            return false;
        }
        for (const QipSimAddress& address : config.mAddresses) {
            if (!taken.insert(address.mAddress).second) {
                *error = "address " + address.mAddress + " is given twice";
                return false;
            }
        }
    }
    return true;
}

std::string QipSimOptions::Usage() {
    return R"(Usage: qip-device-sim [--verbose] [--port N] --device DEVICE-FLAGS [--device DEVICE-FLAGS ...]

Simulates QIP devices: each answers every whoisthere on the discovery port with one hello
per address, unicast to the sender, and serves its status page over HTTP/1.0.
Prints "ready" on standard output once every socket is bound. Ends cleanly on SIGINT/SIGTERM.

Global:
  --verbose, -v          one line on standard error per datagram and per HTTP request
  --port N               discovery port (default 19375; 1 to 65535)
  -h, --help             show this text and exit
  -V, --version          show the version and exit
  --                     end of options (the simulator takes no operands)
A value may also follow its option after '=' (--port=19999).

Per device (they apply to the latest --device; the first --device may be left out):
  --device               starts the next device
  --address A[/BITS]     address to answer from (repeatable; /24 when BITS is absent);
                         the device hears whoisthere sent to it, to its subnet's broadcast
                         address and to 255.255.255.255
  --listen A             also hear whoisthere sent to A (e.g. a foreign subnet's broadcast)
  --type TEXT            device type (default QipSim)
  --id TEXT              device id (default sim-N)
  --url TEXT             status URL sent in the hello and served (default /status.xml)
  --packet-id TEXT       packet id (default 1)
  --ssid TEXT            value of status/wlan/ssid on the status page (default QipSim)
  --http-port N          TCP port of the status page (default 80; 1 to 65535); the hello
                         cannot carry a port and clients read port 80, so another port is
                         for trying a page reader (curl) without root, and such a device
                         is listed without its SSID

Fault modes (per device):
  --http-status CODE     answer with this status (e.g. 404; 100 to 999) and the same page
  --lf-only              end the answer's lines with LF instead of CRLF
  --no-http              no HTTP server: connections are refused
  --http-hang            accept and read the request, never answer
  --http-split MS        answer in two pieces, MS milliseconds apart; the SSID line starts
                         the second piece
  --http-delay MS        answer MS milliseconds after the request
  --page-size BYTES      make the whole answer this many bytes (filler lines before <wlan>;
                         1 to 67108864, which is 64 MiB)
  --answer-delay MS      send each hello MS milliseconds after the whoisthere arrived
                         (MS for these three: 0 to 3600000, an hour)
  --silent-after SECONDS stop answering whoisthere this long after start (fractions
                         allowed; 0 to 10000000)
  --packet-id-every N    change the packet id after every N answers (1, 2, 3 ... for a
                         numeric id, else ID-1, ID-2 ...; 1 to 1000000000)
  --malformed KIND       send a broken hello instead: unterminated (no final 0x00),
                         few-fields (6 fields) or wrong-case (type "Hello")
  --hello-ip TEXT        put TEXT in the hello's IP field instead of the source address
  --ids N                answer as N devices from each address: ids ID-1 ... ID-N, one
                         hello each, all sharing the status page (1 to 4096)
  --http-fault KIND      a hostile status page: silent (accept, read, never answer, the
                         same as --http-hang), trickle (one byte a second), endless (a 200 OK head,
                         then lines for ever), garbage (1 MiB of arbitrary bytes), reset
                         (half the answer, then a reset), nested (a 200 OK page of 60,000
                         nested tags), tiny-tags (a 200 OK page of 64 KiB of tiny distinct
                         values), no-accept (connection attempts never answered)

Exit status: 0 when ended by SIGINT or SIGTERM, 1 when a socket cannot be bound or
"ready" cannot be written, 2 on a usage error.

Environment: none is read. Every --address and --listen address must be one the
machine (or its network namespace) has; the status page's port 80 needs root.
)";
}
