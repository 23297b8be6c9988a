#pragma once

// What the device list tests share: a time beyond the ageing thread's reach, a hello, a
// recorder of the list's announcements and the ids of a snapshot.
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ksp/KspClock.h"
#include "qip/QipDeviceList.h"

// The list's own ageing thread ages against the real monotonic clock; records stamped this
// far in its future are never touched by it, so only the passes a test makes itself remove
// anything.
inline time_t Future() {
    return KspMonotonicSeconds() + 1000000;
}

inline QipPacketHello MakeHello(const std::string& deviceId, const std::string& packetId,
                                const std::string& statusUrl = "/status.txt",
                                const std::string& ipField = "198.51.100.77") {
    return QipPacketHello("QAP-1", deviceId, ipField, "255.255.255.0", statusUrl, packetId);
}

// Counts announcements and, when asked, looks at the list from inside the announcement,
// which works only if the list's lock has been released by then.
class ChangeRecorder : public QipDeviceList::ChangeHandler {
public:
    ChangeRecorder(QipDeviceList& list, bool snapshotOnChange)
        : mList(list), mSnapshotOnChange(snapshotOnChange) {}

    void OnChange() override {
        const size_t size = mSnapshotOnChange ? mList.Snapshot().size() : 0;
        std::lock_guard<std::mutex> guard(mLock);
        mSizes.push_back(size);
        mChanged.notify_all();
    }
    size_t Calls() {
        std::lock_guard<std::mutex> guard(mLock);
        return mSizes.size();
    }
    std::vector<size_t> Sizes() {
        std::lock_guard<std::mutex> guard(mLock);
        return mSizes;
    }
    bool WaitForCalls(size_t count, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, limit, [&] { return mSizes.size() >= count; });
    }

private:
    QipDeviceList& mList;
    const bool mSnapshotOnChange;
    std::mutex mLock;  // guards mSizes
    std::condition_variable mChanged;
    std::vector<size_t> mSizes;
};

inline std::vector<std::string> Ids(const std::vector<QipDevice>& devices) {
    std::vector<std::string> ids;
    for (const QipDevice& device : devices) {
        ids.push_back(device.GetDeviceId() + "@" + device.GetLastSourceAddress());
    }
    return ids;
}
