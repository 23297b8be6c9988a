#include "qip/QipDeviceList.h"

#include <stdio.h>

#include <algorithm>
#include <limits>

namespace {
// A flood of new devices would otherwise write one line per datagram.
const time_t cFullReportPeriodSeconds = 60;
const time_t cNeverReported = std::numeric_limits<time_t>::min();
}  // namespace

// Definitions for callers that take these constants by reference.
const size_t QipDeviceList::cMaxDevices;
const time_t QipDeviceList::cMaxSilenceSeconds;
const unsigned long QipDeviceList::cAgingPeriodMs;

QipDeviceList::QipDeviceList(QipClient* client)
    : mDevices(),
      mDeviceListHelloHandler(this),
      mClient(client),
      mChangeHandler(nullptr),
      mDevicesLock(),
      mChangeCondition(),
      mLastFullReport(cNeverReported),
      mAgingThread(this) {
    if (mClient != nullptr) {
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

void QipDeviceList::WaitForChange() {
    mChangeCondition.Wait();
}

void QipDeviceList::SetChangeHandler(ChangeHandler* handler) {
    mChangeHandler.store(handler);
}

void QipDeviceList::RemoveExpired() {
    RemoveExpired(time(nullptr));
}

void QipDeviceList::RemoveExpired(time_t now) {
    bool removed = false;
    {
        KspThreadMutex::Guard guard(mDevicesLock);
        const auto kept = std::remove_if(mDevices.begin(), mDevices.end(),
                                         [now](const QipDevice& device) {
                                             return now > device.GetLastResponseTime() +
                                                              cMaxSilenceSeconds;
                                         });
        removed = kept != mDevices.end();
        mDevices.erase(kept, mDevices.end());
    }
    if (removed) {
        NotifyChange();
    }
}

void QipDeviceList::OnHello(const QipPacketHello& hello, const std::string& sourceAddress,
                            time_t now) {
    const std::string deviceId = hello.GetDeviceId();
    bool changed = false;
    bool reportFull = false;
    {
        KspThreadMutex::Guard guard(mDevicesLock);
        // The whole list is walked and the last match taken; the (id, address) pair is
        // unique, so this only matters if that rule were ever broken.
        QipDevice* match = nullptr;
        for (QipDevice& device : mDevices) {
            if (device.GetDeviceId() == deviceId &&
                device.GetLastSourceAddress() == sourceAddress) {
                match = &device;
            }
        }
        if (match == nullptr) {
            if (mDevices.size() < cMaxDevices) {
                mDevices.emplace_back(hello, sourceAddress);
                mDevices.back().UpdateLastResponseTime(now);
                changed = true;
            } else if (mLastFullReport == cNeverReported || now < mLastFullReport ||
                       now - mLastFullReport >= cFullReportPeriodSeconds) {
                mLastFullReport = now;
                reportFull = true;
            }
        } else if (match->GetPacketId() != hello.GetPacketId()) {
            // A new packet id means the device restarted or changed: nothing fetched from
            // the old record is trusted, but the record keeps its place in the list.
            QipDevice replacement(hello, sourceAddress);
            replacement.UpdateLastResponseTime(now);
            *match = replacement;
            changed = true;
        } else {
            match->UpdateLastResponseTime(now);
        }
    }
    if (reportFull) {
        fputs("Device list full\n", stderr);
    }
    if (changed) {
        NotifyChange();
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
        mOuter->OnHello(hello, sourceAddress, time(nullptr));
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
