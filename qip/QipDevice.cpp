#include "qip/QipDevice.h"

QipDevice::QipDevice(const QipPacketHello& hello, const std::string& sourceAddress)
    : mHello(hello),
      mLastSourceAddress(sourceAddress),
      mLastResponseTime(0),
      mSysInfo(sourceAddress, hello.GetStatusUrl()) {}

QipDevice::~QipDevice() {}

std::string QipDevice::GetDeviceType() const { return mHello.GetDeviceType(); }
std::string QipDevice::GetDeviceId() const { return mHello.GetDeviceId(); }
std::string QipDevice::GetIpAddress() const { return mHello.GetIpAddress(); }
std::string QipDevice::GetNetmask() const { return mHello.GetNetmask(); }
std::string QipDevice::GetStatusUrl() const { return mHello.GetStatusUrl(); }
std::string QipDevice::GetPacketId() const { return mHello.GetPacketId(); }
std::string QipDevice::GetLastSourceAddress() const { return mLastSourceAddress; }
time_t QipDevice::GetLastResponseTime() const { return mLastResponseTime; }

SysInfo* QipDevice::GetSysInfo() { return &mSysInfo; }
const SysInfo* QipDevice::GetSysInfo() const { return &mSysInfo; }

void QipDevice::UpdateLastResponseTime() { UpdateLastResponseTime(time(nullptr)); }
void QipDevice::UpdateLastResponseTime(time_t now) { mLastResponseTime = now; }

bool QipDevice::operator==(const QipDevice& other) const {
    return GetDeviceId() == other.GetDeviceId();
}
