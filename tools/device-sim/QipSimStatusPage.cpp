#include "tools/device-sim/QipSimStatusPage.h"

#include <stdint.h>

namespace {

// "http://host/path" -> "/path"; anything else unchanged.
std::string PathOf(const std::string& url) {
    if (url.compare(0, 7, "http://") != 0) return url;
    size_t slash = url.find('/', 7);
    return slash == std::string::npos ? "/" : url.substr(slash);
}

std::string Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

}  // namespace

QipSimStatusPage::Request QipSimStatusPage::ParseRequest(const std::string& received, std::string* target) {
    size_t lineEnd = received.find('\n');
    if (lineEnd == std::string::npos) return received.size() > 8192 ? Request::cBad : Request::cIncomplete;
    std::string line = received.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t firstSpace = line.find(' ');
    size_t lastSpace = line.rfind(' ');
    if (line.compare(0, 4, "GET ") != 0 || lastSpace <= firstSpace ||
        line.compare(lastSpace + 1, 7, "HTTP/1.") != 0)
        return Request::cBad;
    bool ended = received.find("\r\n\r\n") != std::string::npos || received.find("\n\n") != std::string::npos;
    if (!ended) return received.size() > 16384 ? Request::cBad : Request::cIncomplete;
    *target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    return Request::cComplete;
}

std::string QipSimStatusPage::BuildResponse(const QipSimDeviceConfig& config, const std::string& target) {
    const std::string eol = config.mLfOnly ? "\n" : "\r\n";
    bool known = PathOf(target) == PathOf(config.mStatusUrl);
    int status = known ? config.mHttpStatus : 404;
    std::string head = "HTTP/1.0 " + std::to_string(status) + " " + Reason(status) + eol +
                       "Server: qip-device-sim" + eol + "Content-Type: text/xml" + eol + eol;
    if (!known) return head + "<html><body>Not Found</body></html>" + eol;
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + eol;
    switch (config.mHttpFault) {
    case QipSimHttpFault::cGarbage: {
        // Arbitrary but repeatable bytes, zero bytes and line breaks included.
        std::string garbage(1 << 20, '\0');
        uint32_t state = 2463534242u;
        for (char& c : garbage) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            c = static_cast<char>(state);
        }
        return garbage;
    }
    case QipSimHttpFault::cNested: {
        std::string page = head + declaration;
        for (int level = 0; level < 60000; ++level) page += "<n>" + eol;
        return page + "<ssid>" + config.mSsid + "</ssid>" + eol;
    }
    case QipSimHttpFault::cTinyTags: {
        // Two-character tags from the printable characters but "<" and ">", each value
        // empty: about 9,000 distinct pairs in 64 KiB.
        std::string page = head + declaration;
        std::string alphabet;
        for (char c = '!'; c <= '~'; ++c) {
            if (c != '<' && c != '>') alphabet += c;
        }
        for (size_t a = 0; a < alphabet.size(); ++a) {
            for (size_t b = 0; b < alphabet.size(); ++b) {
                const std::string line = std::string("<") + alphabet[a] + alphabet[b] + "></\n";
                if (page.size() + line.size() > 65535) return page;
                page += line;
            }
        }
        return page;
    }
    default:
        break;
    }

    std::string top = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + eol + "<status>";
    std::string middle = eol + "  <device>" + eol + "    <type>" + config.mType + "</type>" + eol +
                         "    <id>" + config.mId + "</id>" + eol + "  </device>" + eol;
    std::string bottom = "  <wlan>" + eol + "    <ssid>" + config.mSsid + "</ssid>" + eol + "  </wlan>" +
                         eol + "</status>" + eol;
    size_t natural = head.size() + top.size() + middle.size() + bottom.size();
    std::string filler;
    if (config.mPageSize > natural) {
        // Filler lines hold neither "<" nor ">", so a parser ignores them; the rest of the
        // padding is trailing blanks on the <status> line, which leave its tag name alone.
        size_t missing = config.mPageSize - natural;
        const std::string line = std::string(62, 'x') + eol;
        while (missing >= line.size()) {
            filler += line;
            missing -= line.size();
        }
        top += std::string(missing, ' ');
    }
    return head + top + middle + filler + bottom;
}

size_t QipSimStatusPage::SplitPoint(const std::string& response) {
    size_t ssid = response.find("<ssid>");
    if (ssid == std::string::npos) return response.size() / 2;
    size_t lineStart = response.rfind('\n', ssid);
    return lineStart == std::string::npos ? ssid : lineStart + 1;
}
