#include "tools/exporter/QipExporterPages.h"

#include <unordered_set>

const long long QipExporterPages::cFirstRetryMs;
const long long QipExporterPages::cMaxRetryMs;

std::string QipExporterPages::KeyOf(const std::string& deviceId, const std::string& sourceAddress) {
    // Device texts never hold a zero byte (it ends a field), so it separates the two.
    return deviceId + std::string(1, '\0') + sourceAddress;
}

std::vector<size_t> QipExporterPages::Plan(const std::vector<Record>& present,
                                           const std::vector<Record>& wanted, long long nowMs) {
    std::unordered_set<std::string> keys;
    for (const Record& record : present) keys.insert(KeyOf(record.mDeviceId, record.mSourceAddress));
    std::vector<size_t> due;
    KspThreadMutex::Guard guard(mLock);
    for (auto it = mEntries.begin(); it != mEntries.end();) {
        it = keys.count(it->first) != 0 ? std::next(it) : mEntries.erase(it);
    }
    for (size_t i = 0; i < wanted.size(); ++i) {
        const auto found = mEntries.find(KeyOf(wanted[i].mDeviceId, wanted[i].mSourceAddress));
        if (found == mEntries.end() || found->second.mPacketId != wanted[i].mPacketId ||
            (found->second.mFailures > 0 && nowMs >= found->second.mRetryAtMs)) {
            due.push_back(i);
        }
    }
    return due;
}

void QipExporterPages::Store(const Record& record, const std::string& ssid,
                             const std::string& outcome, long long nowMs) {
    KspThreadMutex::Guard guard(mLock);
    ++mReadCounts[outcome];
    Entry& entry = mEntries[KeyOf(record.mDeviceId, record.mSourceAddress)];
    if (entry.mPacketId != record.mPacketId) entry.mFailures = 0;
    entry.mPacketId = record.mPacketId;
    if (outcome == "ok") {
        entry.mFailures = 0;
        entry.mPage.mSsid = ssid;
    } else {
        // A failed read keeps the SSID read before (empty for a device never read): the
        // device is still there, only its page did not come this time.
        long long delay = cFirstRetryMs;
        for (unsigned i = 0; i < entry.mFailures && delay < cMaxRetryMs; ++i) delay *= 2;
        entry.mRetryAtMs = nowMs + (delay < cMaxRetryMs ? delay : cMaxRetryMs);
        ++entry.mFailures;
    }
    entry.mPage.mOutcome = outcome;
}

bool QipExporterPages::Find(const std::string& deviceId, const std::string& sourceAddress,
                            Page& page) const {
    KspThreadMutex::Guard guard(mLock);
    const auto found = mEntries.find(KeyOf(deviceId, sourceAddress));
    if (found == mEntries.end()) return false;
    page = found->second.mPage;
    return true;
}

long long QipExporterPages::NextRetryMs() const {
    KspThreadMutex::Guard guard(mLock);
    long long next = -1;
    for (const auto& entry : mEntries) {
        if (entry.second.mFailures > 0 && (next < 0 || entry.second.mRetryAtMs < next)) {
            next = entry.second.mRetryAtMs;
        }
    }
    return next;
}

std::map<std::string, uint64_t> QipExporterPages::GetReadCounts() const {
    KspThreadMutex::Guard guard(mLock);
    return mReadCounts;
}

size_t QipExporterPages::GetEntryCount() const {
    KspThreadMutex::Guard guard(mLock);
    return mEntries.size();
}
