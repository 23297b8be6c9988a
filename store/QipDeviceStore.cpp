// The store's queue and its writer thread; the file itself is in QipDeviceStoreFile.cpp.
#include "store/QipDeviceStore.h"

#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "ksp/KspClock.h"

const size_t QipDeviceStore::cMaxDevices;
const size_t QipDeviceStore::cMaxPending;
const time_t QipDeviceStore::cLastSeenStepSeconds;
const unsigned long QipDeviceStore::cWritePeriodMs;
const int QipDeviceStore::cBusyTimeoutMs;
const int QipDeviceStore::cSchemaVersion;

std::string QipDeviceStore::DefaultPath() {
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/qipfinder/devices.sqlite";
    std::string home;
    const char* variable = getenv("HOME");
    if (variable != nullptr && variable[0] == '/') {
        home = variable;
    } else {
        passwd entry;
        passwd* found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    if (home.empty()) return std::string();
    return home + "/.local/state/qipfinder/devices.sqlite";
}

QipDeviceStore::QipDeviceStore(const std::string& path, const std::string& program, bool writable)
    : mPath(path), mProgram(program), mWritable(writable), mWriter(this) {
    if (mWriter.Start() != 0) {
        // No thread, no store: discovery goes on without it.
        std::lock_guard<std::mutex> lock(mLock);
        mLoaded = true;
        mWritesStopped = true;
        mProblem = "the device store cannot be used: no thread for it";
        fprintf(stderr, "%s: %s\n", mProgram.c_str(), mProblem.c_str());
    }
}

QipDeviceStore::~QipDeviceStore() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mStopping = true;
    }
    mWriter.Stop();
    mWriter.WaitForCompletion();
}

bool QipDeviceStore::WaitUntilLoaded() {
    std::unique_lock<std::mutex> lock(mLock);
    mChanged.wait(lock, [this] { return mLoaded; });
    return mReadable;
}

std::vector<QipDeviceRecord> QipDeviceStore::GetKnown() {
    std::unique_lock<std::mutex> lock(mLock);
    mChanged.wait(lock, [this] { return mLoaded; });
    std::vector<QipDeviceRecord> records;
    records.reserve(mKnown.size());
    for (const auto& entry : mKnown) records.push_back(entry.second);
    lock.unlock();
    std::stable_sort(records.begin(), records.end(), [](const QipDeviceRecord& a, const QipDeviceRecord& b) {
        return a.mLastSeen > b.mLastSeen;
    });
    return records;
}

bool QipDeviceStore::FindKnown(const std::string& deviceId, const std::string& deviceType,
                               QipDeviceRecord& record) {
    std::unique_lock<std::mutex> lock(mLock);
    mChanged.wait(lock, [this] { return mLoaded; });
    auto found = mKnown.find(Key(deviceId, deviceType));
    if (found == mKnown.end()) return false;
    record = found->second;
    return true;
}

void QipDeviceStore::Note(const std::string& deviceId, const std::string& deviceType, const std::string& address,
                          const std::string& ssid, time_t now) {
    QipDeviceSighting sighting;
    sighting.mDeviceId = deviceId.substr(0, QipDeviceRecord::cMaxTextBytes);
    sighting.mDeviceType = deviceType.substr(0, QipDeviceRecord::cMaxTextBytes);
    if (!address.empty()) sighting.mAddresses.push_back(address.substr(0, QipDeviceRecord::cMaxTextBytes));
    sighting.mSsid = ssid.substr(0, QipDeviceRecord::cMaxTextBytes);
    sighting.mSeen = now;
    const Key key(sighting.mDeviceId, sighting.mDeviceType);
    std::lock_guard<std::mutex> lock(mLock);
    if (mWritesStopped) return;
    auto known = mKnown.find(key);
    auto pending = mPending.find(key);
    if (pending != mPending.end()) {
        QipDeviceMerge::Combine(pending->second, sighting);
        return;
    }
    if (known != mKnown.end() && QipDeviceMerge::IsStale(known->second, sighting, cLastSeenStepSeconds)) return;
    if (mPending.size() >= cMaxPending) return;  // more than the store can hold anyway
    mPending.emplace(key, sighting);
}

void QipDeviceStore::NoteOpened(const std::string& deviceId, const std::string& deviceType, time_t now) {
    Operation operation;
    operation.mKind = Operation::cOpened;
    operation.mDeviceId = deviceId;
    operation.mDeviceType = deviceType;
    operation.mTime = now;
    std::lock_guard<std::mutex> lock(mLock);
    if (mWritesStopped || mOperations.size() >= cMaxPending) return;
    mOperations.push_back(operation);
}

bool QipDeviceStore::SetLabel(const std::string& deviceId, const std::string& label, std::string& error) {
    error = deviceId.empty() ? std::string("a label needs a device id") : QipDeviceRecord::CheckLabel(label);
    if (!error.empty()) return false;
    Operation operation;
    operation.mKind = Operation::cLabel;
    operation.mDeviceId = deviceId;
    operation.mText = label;
    std::lock_guard<std::mutex> lock(mLock);
    if (mWritesStopped || mOperations.size() >= cMaxPending) return true;
    mOperations.push_back(operation);
    return true;
}

void QipDeviceStore::Forget(const std::string& deviceId) {
    Operation operation;
    operation.mKind = Operation::cForget;
    operation.mDeviceId = deviceId;
    std::lock_guard<std::mutex> lock(mLock);
    if (mWritesStopped) return;
    // A sighting queued before the forget would bring the device back.
    for (auto it = mPending.begin(); it != mPending.end();) {
        it = deviceId.empty() || it->first.first == deviceId ? mPending.erase(it) : std::next(it);
    }
    if (mOperations.size() < cMaxPending) mOperations.push_back(operation);
}

bool QipDeviceStore::Flush() {
    std::unique_lock<std::mutex> lock(mLock);
    const unsigned long long ticket = ++mFlushAsked;
    lock.unlock();
    mWriter.Wake();
    lock.lock();
    mChanged.wait(lock, [this, ticket] { return mFlushDone >= ticket; });
    return mLastFlushOk && !mWritesStopped;
}

std::string QipDeviceStore::GetProblem() {
    std::lock_guard<std::mutex> lock(mLock);
    return mProblem;
}

void QipDeviceStore::Report(const std::string& sentence) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (std::find(mReported.begin(), mReported.end(), sentence) != mReported.end()) return;
        mReported.push_back(sentence);
        if (mProblem.empty()) mProblem = sentence;
    }
    fprintf(stderr, "%s: %s\n", mProgram.c_str(), sentence.c_str());
}

void QipDeviceStore::Writer::Run() {
    QipDeviceStore* outer = mOuter;
    const bool opened = outer->Open();
    {
        std::lock_guard<std::mutex> lock(outer->mLock);
        outer->mLoaded = true;
        if (!opened || outer->mReadOnly) {
            outer->mWritesStopped = true;
            outer->mPending.clear();
            outer->mOperations.clear();
        }
    }
    outer->mChanged.notify_all();
    for (;;) {
        bool flushAsked;
        bool stopping;
        {
            std::lock_guard<std::mutex> lock(outer->mLock);
            flushAsked = outer->mFlushAsked > outer->mFlushDone;
            stopping = outer->mStopping;
        }
        // At most one transaction a second, unless someone waits for it.
        const long long sinceWrite = KspMonotonicMs() - outer->mLastWriteMs;
        if (flushAsked || stopping || sinceWrite >= static_cast<long long>(cWritePeriodMs)) {
            // A turn with nothing to write counts as one: the thread sleeps until the next.
            outer->mLastWriteMs = KspMonotonicMs();
            outer->WriteQueued();
        }
        if (stopping) break;
        // The period runs from the start of the last transaction, so that what is noted is
        // written within a second and the transaction's own time.
        const long long untilNext = static_cast<long long>(cWritePeriodMs) - (KspMonotonicMs() - outer->mLastWriteMs);
        if (!flushAsked && untilNext > 0) Pause(static_cast<unsigned long>(untilNext));
    }
    outer->CloseFile();
}

void QipDeviceStore::WriteQueued() {
    std::map<Key, QipDeviceSighting> sightings;
    std::vector<Operation> operations;
    unsigned long long asked;
    {
        std::lock_guard<std::mutex> lock(mLock);
        sightings.swap(mPending);
        operations.swap(mOperations);
        asked = mFlushAsked;
    }
    bool ok = true;
    if (!sightings.empty() || !operations.empty()) {
        std::map<Key, QipDeviceRecord> written;
        std::vector<Operation> applied;
        ok = mDb != nullptr && !mReadOnly && WriteBatch(sightings, operations, written, applied);
        std::lock_guard<std::mutex> lock(mLock);
        if (ok) {
            for (auto& entry : written) mKnown[entry.first] = entry.second;
            for (const Operation& operation : applied) {
                for (auto it = mKnown.begin(); it != mKnown.end();) {
                    const bool match = operation.mDeviceId.empty() || it->first.first == operation.mDeviceId;
                    if (operation.mKind == Operation::cForget && match) {
                        it = mKnown.erase(it);
                        continue;
                    }
                    if (operation.mKind == Operation::cLabel && match) it->second.mLabel = operation.mText;
                    if (operation.mKind == Operation::cOpened && match && it->first.second == operation.mDeviceType) {
                        it->second.mLastOpened = std::max(it->second.mLastOpened, operation.mTime);
                    }
                    ++it;
                }
            }
            // The oldest forgotten in the file are forgotten here too.
            while (mKnown.size() > cMaxDevices) {
                auto oldest = std::min_element(mKnown.begin(), mKnown.end(), [](const auto& a, const auto& b) {
                    return a.second.mLastSeen < b.second.mLastSeen;
                });
                mKnown.erase(oldest);
            }
        } else if (!mWritesStopped) {
            // Kept for the next try (a busy store); later sightings of the same device win.
            for (auto& entry : sightings) {
                auto pending = mPending.find(entry.first);
                if (pending == mPending.end()) {
                    if (mPending.size() < cMaxPending) mPending.emplace(entry.first, entry.second);
                } else {
                    QipDeviceSighting later = pending->second;
                    pending->second = entry.second;
                    QipDeviceMerge::Combine(pending->second, later);
                }
            }
            operations.insert(operations.end(), mOperations.begin(), mOperations.end());
            mOperations.swap(operations);
            if (mOperations.size() > cMaxPending) mOperations.resize(cMaxPending);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mFlushDone < asked) {
            mFlushDone = asked;
            mLastFlushOk = ok;
        }
    }
    mChanged.notify_all();
}
