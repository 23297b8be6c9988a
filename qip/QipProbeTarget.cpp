#include "qip/QipProbeTarget.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

namespace {

// Letters, digits and hyphens in labels of 1 to 63 characters, at most 253 in all, the
// last label not all digits (that would be a malformed address rather than a name).
bool IsHostName(const std::string& text) {
    std::string name = text;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (name.empty() || name.size() > 253) return false;
    size_t begin = 0;
    bool lastAllDigits = true;
    while (begin <= name.size()) {
        size_t end = name.find('.', begin);
        if (end == std::string::npos) end = name.size();
        const std::string label = name.substr(begin, end - begin);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
            return false;
        }
        lastAllDigits = true;
        for (char c : label) {
            const bool isDigit = c >= '0' && c <= '9';
            const bool isLetter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!isDigit && !isLetter && c != '-') return false;
            lastAllDigits = lastAllDigits && isDigit;
        }
        begin = end + 1;
    }
    return !lastAllDigits;
}

// Why no address of [first, last] may be probed, or null when all may.
const char* RefuseRange(uint32_t first, uint32_t last, QipProbeTarget::Fault& fault) {
    fault = QipProbeTarget::cFaultZero;
    if (first >> 24 == 0) return "the zero network 0.0.0.0/8 cannot be probed";
    fault = QipProbeTarget::cFaultMulticast;
    if (last >= 0xE0000000u && first < 0xF0000000u) return "a multicast address cannot be probed";
    fault = QipProbeTarget::cFaultReserved;
    if (last >= 0xF0000000u) return "a reserved or broadcast address cannot be probed";
    fault = QipProbeTarget::cFaultNone;
    return nullptr;
}

bool ParseAddress(const std::string& text, uint32_t& address) {
    in_addr parsed;
    if (text.empty() || inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    address = ntohl(parsed.s_addr);
    return true;
}

}  // namespace

QipProbeTarget::QipProbeTarget() : mKind(cAddress), mPrefix(32), mFirst(0), mCount(0) {}

bool QipProbeTarget::Parse(const std::string& text, QipProbeTarget& target, std::string& error,
                           Fault* fault) {
    Fault ignored = cFaultNone;
    Fault& found = fault != nullptr ? *fault : ignored;
    found = cFaultNone;
    QipProbeTarget result;
    result.mText = text;
    if (text.empty()) {
        found = cFaultEmpty;
        error = "an empty target";
        return false;
    }
    const bool looksNumeric = text.find_first_not_of("0123456789./") == std::string::npos;
    if (!looksNumeric) {
        if (!IsHostName(text)) {
            found = cFaultMalformed;
            error = "neither an IPv4 address, a range like 198.51.100.0/24 nor a host name";
            return false;
        }
        result.mKind = cName;
        target = result;
        return true;
    }
    const size_t slash = text.find('/');
    uint32_t address = 0;
    if (!ParseAddress(text.substr(0, slash), address)) {
        found = cFaultNotAddress;
        error = "not an IPv4 address (four numbers from 0 to 255, like 198.51.100.20)";
        return false;
    }
    if (slash == std::string::npos) {
        result.mKind = cAddress;
        result.mPrefix = 32;
    } else {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 2 || bits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(bits) > 32) {
            found = cFaultPrefix;
            error = "the prefix after '/' must be a number from 16 to 32";
            return false;
        }
        result.mKind = cRange;
        result.mPrefix = std::stoi(bits);
        if (result.mPrefix < cMinPrefix) {
            found = cFaultTooLarge;
            error = "a prefix shorter than /16 is too large a range (65,534 addresses at most)";
            return false;
        }
    }
    const uint32_t mask = result.mPrefix == 0 ? 0 : ~uint32_t(0) << (32 - result.mPrefix);
    const uint32_t network = address & mask;
    const uint32_t size = ~mask + 1;  // 2^(32 - prefix); the prefix is at least 16
    if (result.mPrefix >= 31) {
        result.mFirst = network;
        result.mCount = result.mKind == cAddress ? 1 : size;
        if (result.mKind == cAddress) result.mFirst = address;
    } else {
        result.mFirst = network + 1;
        result.mCount = size - 2;
    }
    if (const char* refusal = RefuseRange(network, network + (size - 1), found)) {
        error = refusal;
        return false;
    }
    target = result;
    return true;
}

bool QipProbeTarget::ParseAll(const std::vector<std::string>& texts,
                              std::vector<QipProbeTarget>& targets, std::string& error) {
    std::vector<QipProbeTarget> parsed;
    for (const std::string& text : texts) {
        QipProbeTarget target;
        std::string reason;
        if (!Parse(text, target, reason)) {
            error = "'" + text + "': " + reason;
            return false;
        }
        parsed.push_back(target);
    }
    targets.swap(parsed);
    return true;
}

bool QipProbeTarget::Resolve(std::string& error) {
    if (mKind != cName || mCount > 0) return mCount > 0;
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(mText.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        error = "cannot resolve host name '" + mText + "': " +
                (status != 0 ? gai_strerror(status) : "no IPv4 address");
        return false;
    }
    const uint32_t address =
        ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    Fault fault = cFaultNone;
    if (const char* refusal = RefuseRange(address, address, fault)) {
        error = "host name '" + mText + "' resolves to " + FormatAddress(address) + ": " + refusal;
        return false;
    }
    mFirst = address;
    mCount = 1;
    return true;
}

std::string QipProbeTarget::Describe() const {
    switch (mKind) {
    case cAddress:
        return FormatAddress(mFirst);
    case cRange: {
        const uint32_t mask = ~uint32_t(0) << (32 - mPrefix);
        return FormatAddress(mFirst & mask) + "/" + std::to_string(mPrefix);
    }
    case cName:
        return IsResolved() ? mText + " (" + FormatAddress(mFirst) + ")" : mText;
    }
    return mText;
}

std::string QipProbeTarget::FormatAddress(uint32_t address) {
    in_addr value;
    value.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &value, text, sizeof text) == nullptr) return std::string();
    return text;
}
