#include "store/QipDeviceRecord.h"

#include <algorithm>

const size_t QipDeviceRecord::cMaxAddresses;
const size_t QipDeviceRecord::cMaxLabelCharacters;
const size_t QipDeviceRecord::cMaxTextBytes;

namespace {

void AddAddress(std::vector<std::string>& addresses, const std::string& address, bool first) {
    if (address.empty() || address.size() > QipDeviceRecord::cMaxTextBytes) return;
    auto found = std::find(addresses.begin(), addresses.end(), address);
    if (found != addresses.end()) {
        if (!first) return;
        addresses.erase(found);
    }
    if (first) {
        addresses.insert(addresses.begin(), address);
    } else {
        addresses.push_back(address);
    }
    if (addresses.size() > QipDeviceRecord::cMaxAddresses) addresses.resize(QipDeviceRecord::cMaxAddresses);
}

}  // namespace

std::string QipDeviceRecord::JoinAddresses() const {
    std::string text;
    for (const std::string& address : mAddresses) text += (text.empty() ? "" : " ") + address;
    return text;
}

std::vector<std::string> QipDeviceRecord::SplitAddresses(const std::string& text) {
    std::vector<std::string> addresses;
    size_t start = 0;
    while (start < text.size() && addresses.size() < cMaxAddresses) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) addresses.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return addresses;
}

std::string QipDeviceRecord::CheckLabel(const std::string& label) {
    size_t characters = 0;
    for (size_t i = 0; i < label.size();) {
        const unsigned char c = static_cast<unsigned char>(label[i]);
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > label.size() || (length == 2 && c < 0xC2) || (length == 4 && c > 0xF4)) {
            return "a label must be UTF-8 text";
        }
        unsigned long code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const unsigned char b = static_cast<unsigned char>(label[i + k]);
            if ((b & 0xC0) != 0x80) return "a label must be UTF-8 text";
            code = (code << 6) | (b & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
            return "a label must be UTF-8 text";
        }
        if (code < 0x20 || (code >= 0x7F && code < 0xA0)) return "a label may not hold control characters";
        i += length;
        ++characters;
    }
    if (characters > cMaxLabelCharacters) return "a label has at most 64 characters";
    return std::string();
}

QipDeviceRecord QipDeviceMerge::Apply(const QipDeviceRecord* stored, const QipDeviceSighting& sighting) {
    QipDeviceRecord record;
    if (stored != nullptr) record = *stored;
    record.mDeviceId = sighting.mDeviceId.substr(0, QipDeviceRecord::cMaxTextBytes);
    record.mDeviceType = sighting.mDeviceType.substr(0, QipDeviceRecord::cMaxTextBytes);
    if (stored == nullptr || sighting.mSeen < record.mFirstSeen) record.mFirstSeen = sighting.mSeen;
    const bool newer = stored == nullptr || sighting.mSeen >= stored->mLastSeen;
    if (newer) {
        record.mLastSeen = sighting.mSeen;
        for (auto it = sighting.mAddresses.rbegin(); it != sighting.mAddresses.rend(); ++it) {
            AddAddress(record.mAddresses, *it, true);
        }
        if (!sighting.mSsid.empty()) record.mSsid = sighting.mSsid.substr(0, QipDeviceRecord::cMaxTextBytes);
    } else {
        for (const std::string& address : sighting.mAddresses) AddAddress(record.mAddresses, address, false);
        if (record.mSsid.empty()) record.mSsid = sighting.mSsid.substr(0, QipDeviceRecord::cMaxTextBytes);
    }
    return record;
}

void QipDeviceMerge::Combine(QipDeviceSighting& queued, const QipDeviceSighting& later) {
    for (auto it = later.mAddresses.rbegin(); it != later.mAddresses.rend(); ++it) {
        AddAddress(queued.mAddresses, *it, true);
    }
    if (!later.mSsid.empty()) queued.mSsid = later.mSsid;
    queued.mSeen = std::max(queued.mSeen, later.mSeen);
}

bool QipDeviceMerge::IsStale(const QipDeviceRecord& stored, const QipDeviceSighting& sighting,
                             time_t stepSeconds) {
    if (sighting.mAddresses.empty() || stored.mAddresses.empty()) return false;
    if (stored.mAddresses.front() != sighting.mAddresses.front()) return false;
    if (!sighting.mSsid.empty() && sighting.mSsid != stored.mSsid) return false;
    return sighting.mSeen >= stored.mLastSeen && sighting.mSeen - stored.mLastSeen < stepSeconds;
}

std::string QipDeviceMerge::DescribeAge(time_t lastSeen, time_t now) {
    const time_t age = now > lastSeen ? now - lastSeen : 0;
    if (age < 60) return "just now";
    long count;
    const char* unit;
    if (age < 3600) {
        count = static_cast<long>(age / 60);
        unit = "minute";
    } else if (age < 86400) {
        count = static_cast<long>(age / 3600);
        unit = "hour";
    } else {
        count = static_cast<long>(age / 86400);
        unit = "day";
    }
    return std::to_string(count) + " " + unit + (count == 1 ? "" : "s") + " ago";
}
