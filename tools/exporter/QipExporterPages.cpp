#include "tools/exporter/QipExporterPages.h"

#include <unordered_set>

const long long QipExporterPages::cFirstRetryMs;
const long long QipExporterPages::cMaxRetryMs;
const long long QipExporterPages::cMinReadIntervalMs;
const size_t QipExporterPages::cMaxReadsPerSender;

std::string QipExporterPages::KeyOf(const std::string& deviceId, const std::string& sourceAddress) {
    // Device texts never hold a zero byte (it ends a field), so it separates the two.
    return deviceId + std::string(1, '\0') + sourceAddress;
}

QipExporterPages::Record QipExporterPages::RecordOf(const QipDevice& device) {
    return {device.GetDeviceId(), device.GetLastSourceAddress(), device.GetPacketId()};
}

void QipExporterPages::Queue(const std::string& key, Entry& entry, const QipDevice& device,
                             long long dueMs) {
    if (entry.mDue) {
        // Already waiting: the latest record is read, at the earlier of the two times.
        *entry.mDue = device;
        if (entry.mQueued->first <= dueMs) return;
        mQueue.erase(entry.mQueued);
    } else {
        entry.mDue.reset(new QipDevice(device));
    }
    entry.mQueued = mQueue.emplace(dueMs, key);
}

void QipExporterPages::Unqueue(Entry& entry) {
    if (!entry.mDue) return;
    mQueue.erase(entry.mQueued);
    entry.mDue.reset();
}

void QipExporterPages::Note(const QipDevice& device, long long nowMs) {
    const std::string key = KeyOf(device.GetDeviceId(), device.GetLastSourceAddress());
    KspThreadMutex::Guard guard(mLock);
    Entry& entry = mEntries[key];
    if (!entry.mHasRead) {
        Queue(key, entry, device, nowMs);
        return;
    }
    if (entry.mPacketId == device.GetPacketId()) {
        // Read already (or being read); a failed read keeps its own retry time.
        if (entry.mDue) *entry.mDue = device;
        return;
    }
    const long long allowedMs = entry.mLastReadMs + cMinReadIntervalMs;
    Queue(key, entry, device, allowedMs > nowMs ? allowedMs : nowMs);
}

void QipExporterPages::Prune(const std::vector<QipDevice>& present) {
    std::unordered_set<std::string> keys;
    for (const QipDevice& device : present) {
        keys.insert(KeyOf(device.GetDeviceId(), device.GetLastSourceAddress()));
    }
    KspThreadMutex::Guard guard(mLock);
    for (auto it = mEntries.begin(); it != mEntries.end();) {
        if (keys.count(it->first) != 0) {
            ++it;
            continue;
        }
        Unqueue(it->second);
        it = mEntries.erase(it);
    }
}

std::vector<QipDevice> QipExporterPages::TakeDue(long long nowMs, size_t limit) {
    std::vector<QipDevice> due;
    std::unordered_map<std::string, size_t> perSender;
    KspThreadMutex::Guard guard(mLock);
    for (auto it = mQueue.begin(); it != mQueue.end() && it->first <= nowMs && due.size() < limit;) {
        Entry& entry = mEntries[it->second];
        size_t& fromSender = perSender[entry.mDue->GetLastSourceAddress()];
        if (fromSender >= cMaxReadsPerSender) {
            ++it;  // waits for the next batch, behind the ones of other senders
            continue;
        }
        ++fromSender;
        due.push_back(*entry.mDue);
        if (entry.mPacketId != entry.mDue->GetPacketId()) entry.mFailures = 0;
        entry.mPacketId = entry.mDue->GetPacketId();
        entry.mHasRead = true;
        entry.mLastReadMs = nowMs;
        entry.mReading = std::move(entry.mDue);
        it = mQueue.erase(it);
    }
    return due;
}

void QipExporterPages::Return(const QipDevice& device, long long nowMs) {
    const std::string key = KeyOf(device.GetDeviceId(), device.GetLastSourceAddress());
    KspThreadMutex::Guard guard(mLock);
    const auto found = mEntries.find(key);
    if (found == mEntries.end()) return;  // left the list meanwhile
    found->second.mReading.reset();
    Queue(key, found->second, device, nowMs);
}

void QipExporterPages::Store(const Record& record, const std::string& ssid,
                             const std::string& outcome, long long nowMs) {
    const std::string key = KeyOf(record.mDeviceId, record.mSourceAddress);
    KspThreadMutex::Guard guard(mLock);
    ++mReadCounts[outcome];
    Entry& entry = mEntries[key];
    if (entry.mPacketId != record.mPacketId) entry.mFailures = 0;
    entry.mPacketId = record.mPacketId;
    if (!entry.mHasRead) {
        entry.mHasRead = true;
        entry.mLastReadMs = nowMs;
    }
    if (outcome == "ok") {
        entry.mFailures = 0;
        entry.mPage.mSsid = ssid;
    } else {
        // A failed read keeps the SSID read before (empty for a device never read): the
        // device is still there, only its page did not come this time.
        long long delay = cFirstRetryMs;
        for (unsigned i = 0; i < entry.mFailures && delay < cMaxRetryMs; ++i) delay *= 2;
        ++entry.mFailures;
        // Tried again from the record it was read from, unless a newer one waits already.
        if (entry.mReading && !entry.mDue) Queue(key, entry, *entry.mReading, nowMs + delay);
    }
    entry.mReading.reset();
    entry.mPage.mOutcome = outcome;
}

bool QipExporterPages::Find(const std::string& deviceId, const std::string& sourceAddress,
                            Page& page) const {
    KspThreadMutex::Guard guard(mLock);
    const auto found = mEntries.find(KeyOf(deviceId, sourceAddress));
    if (found == mEntries.end() || found->second.mPage.mOutcome.empty()) return false;
    page = found->second.mPage;
    return true;
}

long long QipExporterPages::NextDueMs() const {
    KspThreadMutex::Guard guard(mLock);
    return mQueue.empty() ? -1 : mQueue.begin()->first;
}

std::map<std::string, uint64_t> QipExporterPages::GetReadCounts() const {
    KspThreadMutex::Guard guard(mLock);
    return mReadCounts;
}

size_t QipExporterPages::GetEntryCount() const {
    KspThreadMutex::Guard guard(mLock);
    return mEntries.size();
}
