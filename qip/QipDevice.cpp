#include "qip/QipDevice.h"


QipDevice::QipDevice(const QipPacketHello& hello, const std::string& sourceAddress)
    : mHello(hello),
      mLastSourceAddress(sourceAddress),
      mLastResponseTime(0),
      mLastResponseMonotonic(0),
      mSysInfo(sourceAddress, hello.GetStatusUrl()) {}

QipDevice::~QipDevice() {}

const std::string& QipDevice::GetDeviceType() const { return mHello.GetDeviceType(); }
const std::string& QipDevice::GetDeviceId() const { return mHello.GetDeviceId(); }
const std::string& QipDevice::GetIpAddress() const { return mHello.GetIpAddress(); }
const std::string& QipDevice::GetNetmask() const { return mHello.GetNetmask(); }
const std::string& QipDevice::GetStatusUrl() const { return mHello.GetStatusUrl(); }
const std::string& QipDevice::GetPacketId() const { return mHello.GetPacketId(); }
const std::string& QipDevice::GetLastSourceAddress() const { return mLastSourceAddress; }
time_t QipDevice::GetLastResponseTime() const { return mLastResponseTime; }
time_t QipDevice::GetLastResponseMonotonic() const { return mLastResponseMonotonic; }

SysInfo* QipDevice::GetSysInfo() { return &mSysInfo; }
const SysInfo* QipDevice::GetSysInfo() const { return &mSysInfo; }

void QipDevice::UpdateLastResponseTime(time_t now) { UpdateLastResponseTime(now, now); }
void QipDevice::UpdateLastResponseTime(time_t wallNow, time_t monotonicNow) {
    mLastResponseTime = wallNow;
    mLastResponseMonotonic = monotonicNow;
}

bool QipDevice::operator==(const QipDevice& other) const {
    return GetDeviceId() == other.GetDeviceId();
}
