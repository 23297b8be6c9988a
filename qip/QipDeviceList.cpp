#include "qip/QipDeviceList.h"

#include "ksp/KspClock.h"

#include <stdio.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>

namespace {
// A flood of new devices would otherwise write one line per datagram.
const time_t cFullReportPeriodSeconds = 60;
}  // namespace

// Definitions for callers that take these constants by reference.
const size_t QipDeviceList::cMaxDevices;
const time_t QipDeviceList::cMaxSilenceSeconds;
const unsigned long QipDeviceList::cAgingPeriodMs;
const size_t QipDeviceList::cMaxPerSender;
const size_t QipDeviceList::cMaxCrowdedSenders;
const size_t QipDeviceList::cMinIndexSlots;
const uint32_t QipDeviceList::cEmptySlot;

QipDeviceList::QipDeviceList(QipClient* client)
    : mDevices(),
      mHashes(),
      mIndex(cMinIndexSlots, cEmptySlot),
      mDeviceListHelloHandler(this),
      mEarlierHelloHandler(this),
      mClient(client),
      mChangeHandler(nullptr),
      mDevicesLock(),
      mChangeCondition(),
      mReports(cFullReportPeriodSeconds * 1000),
      mAgingThread(this) {
    if (mClient != nullptr) {
        mClient->SetEarlierHelloHandler(&mEarlierHelloHandler);
        mClient->SetHelloHandler(&mDeviceListHelloHandler);
    }
    mAgingThread.Start();
}

QipDeviceList::~QipDeviceList() {
    try {
        mAgingThread.Stop();
        mAgingThread.WaitForCompletion();
    } catch (...) {
    }
    mClient = nullptr;
    mChangeHandler.store(nullptr);
}

std::vector<QipDevice> QipDeviceList::Snapshot() {
    KspThreadMutex::Guard guard(mDevicesLock);
    return mDevices;
}

std::vector<QipDevice> QipDeviceList::SnapshotChangedSince(uint64_t serial, uint64_t& nextSerial,
                                                          bool& removed) const {
    std::vector<QipDevice> changed;
    KspThreadMutex::Guard guard(mDevicesLock);
    for (size_t i = 0; i < mDevices.size(); ++i) {
        if (mSerials[i] > serial) changed.push_back(mDevices[i]);
    }
    nextSerial = mSerial;
    removed = mRemovedSerial > serial;
    return changed;
}

std::vector<QipDeviceList::CrowdedSender> QipDeviceList::GetCrowdedSenders() const {
    KspThreadMutex::Guard guard(mDevicesLock);
    return mCrowded;
}

uint64_t QipDeviceList::GetLeftOutCount() const {
    KspThreadMutex::Guard guard(mDevicesLock);
    return mLeftOut;
}

std::string QipDeviceList::DescribeCrowded(const std::string& address) {
    return address + " answers for more than " + std::to_string(cMaxPerSender) +
           " devices; the rest are left out";
}

void QipDeviceList::WaitForChange() {
    mChangeCondition.Wait();
}

void QipDeviceList::SetChangeHandler(ChangeHandler* handler) {
    mChangeHandler.store(handler);
}

void QipDeviceList::RemoveExpired() {
    RemoveExpired(KspMonotonicSeconds());
}

void QipDeviceList::RemoveExpired(time_t now) {
    bool removed = false;
    {
        KspThreadMutex::Guard guard(mDevicesLock);
        // Kept records close up in order, so that first-heard order holds.
        size_t kept = 0;
        for (size_t i = 0; i < mDevices.size(); ++i) {
            if (now > mDevices[i].GetLastResponseMonotonic() + cMaxSilenceSeconds) {
                removed = true;
                const auto sender = mPerSender.find(mDevices[i].GetLastSourceAddress());
                if (sender != mPerSender.end() && --sender->second == 0) mPerSender.erase(sender);
                continue;
            }
            if (kept != i) {
                mDevices[kept] = mDevices[i];
                mHashes[kept] = mHashes[i];
                mSerials[kept] = mSerials[i];
            }
            ++kept;
        }
        if (removed) {
            mDevices.erase(mDevices.begin() + static_cast<std::ptrdiff_t>(kept), mDevices.end());
            mHashes.resize(kept);
            mSerials.resize(kept);
            mRemovedSerial = ++mSerial;
            RebuildIndex(mIndex.size());
        }
    }
    if (removed) {
        NotifyChange();
    }
}

void QipDeviceList::OnHello(const QipPacketHello& hello, const std::string& sourceAddress,
                            time_t now) {
    OnHello(hello, sourceAddress, now, now);
}

void QipDeviceList::OnHello(const QipPacketHello& hello, const std::string& sourceAddress,
                            time_t wallNow, time_t monotonicNow) {
    bool changed = false;
    std::vector<std::string> reports;
    {
        KspThreadMutex::Guard guard(mDevicesLock);
        // The (id, address) pair is unique, so the index finds the one match there can be.
        const size_t hash = HashOf(hello.GetDeviceId(), sourceAddress);
        const size_t slot = FindSlot(hello.GetDeviceId(), sourceAddress, hash);
        if (mIndex[slot] == cEmptySlot) {
            size_t& fromSender = mPerSender[sourceAddress];
            if (fromSender >= cMaxPerSender) {
                ++mLeftOut;
                if (LeaveOutCrowded(sourceAddress)) {
                    reports = mReports.OnLine(DescribeCrowded(sourceAddress),
                                              static_cast<long long>(monotonicNow) * 1000);
                }
            } else if (mDevices.size() < cMaxDevices) {
                ++fromSender;
                mDevices.emplace_back(hello, sourceAddress);
                mDevices.back().UpdateLastResponseTime(wallNow, monotonicNow);
                mHashes.push_back(hash);
                mSerials.push_back(++mSerial);
                if (2 * mDevices.size() > mIndex.size()) {
                    RebuildIndex(2 * mIndex.size());
                } else {
                    mIndex[slot] = static_cast<uint32_t>(mDevices.size() - 1);
                }
                changed = true;
            } else {
                ++mLeftOut;
                reports = mReports.OnLine("Device list full", static_cast<long long>(monotonicNow) * 1000);
            }
            if (fromSender == 0) mPerSender.erase(sourceAddress);
        } else {
            QipDevice& match = mDevices[mIndex[slot]];
            if (match.GetPacketId() != hello.GetPacketId()) {
                // A new packet id means the device restarted or changed: nothing fetched
                // from the old record is trusted, but the record keeps its place (and so
                // its slot, as the pair is the same).
                QipDevice replacement(hello, sourceAddress);
                replacement.UpdateLastResponseTime(wallNow, monotonicNow);
                match = replacement;
                mSerials[mIndex[slot]] = ++mSerial;
                changed = true;
            } else {
                match.UpdateLastResponseTime(wallNow, monotonicNow);
            }
        }
    }
    QipReportLimiter::Write(reports);
    if (changed) {
        NotifyChange();
    }
}

bool QipDeviceList::LeaveOutCrowded(const std::string& address) {
    size_t at = 0;
    while (at < mCrowded.size() && mCrowded[at].mAddress != address) ++at;
    if (at == mCrowded.size()) {
        // Beyond the senders remembered, a crowded address is only totalled (and not said).
        if (mCrowded.size() >= cMaxCrowdedSenders) return false;
        mCrowded.push_back(CrowdedSender());
        mCrowded.back().mAddress = address;
    }
    ++mCrowded[at].mLeftOut;
    return true;
}

size_t QipDeviceList::HashOf(const std::string& deviceId, const std::string& sourceAddress) {
    const std::hash<std::string> hash;
    const size_t first = hash(deviceId);
    return first ^ (hash(sourceAddress) + 0x9e3779b9u + (first << 6) + (first >> 2));
}

size_t QipDeviceList::FindSlot(const std::string& deviceId, const std::string& sourceAddress,
                               size_t hash) const {
    const size_t mask = mIndex.size() - 1;
    for (size_t slot = hash;; ++slot) {
        slot &= mask;
        const uint32_t position = mIndex[slot];
        if (position == cEmptySlot) {
            return slot;
        }
        const QipDevice& device = mDevices[position];
        if (mHashes[position] == hash && device.GetDeviceId() == deviceId &&
            device.GetLastSourceAddress() == sourceAddress) {
            return slot;
        }
    }
}

void QipDeviceList::RebuildIndex(size_t slots) {
    mIndex.assign(slots, cEmptySlot);
    const size_t mask = slots - 1;
    // The pairs are distinct, so each record goes to the first empty slot from its home.
    for (size_t position = 0; position < mDevices.size(); ++position) {
        size_t slot = mHashes[position] & mask;
        while (mIndex[slot] != cEmptySlot) {
            slot = (slot + 1) & mask;
        }
        mIndex[slot] = static_cast<uint32_t>(position);
    }
}

void QipDeviceList::NotifyChange() {
    ChangeHandler* handler = mChangeHandler.load();
    if (handler != nullptr) {
        handler->OnChange();
    }
    mChangeCondition.Signal();
}

void QipDeviceList::DeviceListHelloHandler::OnHello(const QipPacketHello& hello,
                                                     const std::string& sourceAddress) {
    if (mOuter != nullptr) {
        mOuter->OnHello(hello, sourceAddress, time(nullptr), KspMonotonicSeconds());
    }
}

void QipDeviceList::AgingThread::Run() {
    while (IsThreadRunning()) {
        // A stop during the pause ends the loop without a last pass, so that no change
        // is announced by a list that is being destroyed.
        if (Pause(cAgingPeriodMs) && mOuter != nullptr) {
            mOuter->RemoveExpired();
        }
    }
}

void QipDeviceList::DeviceListEarlierHelloHandler::OnEarlierHello(const QipPacketHello& hello,
                                                                  const std::string& sourceAddress,
                                                                  unsigned long ageSeconds) {
    if (mOuter != nullptr) {
        const time_t age = static_cast<time_t>(ageSeconds);
        mOuter->OnHello(hello, sourceAddress, time(nullptr) - age, KspMonotonicSeconds() - age);
    }
}
