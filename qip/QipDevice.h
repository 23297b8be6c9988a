#pragma once

#include <time.h>

#include <string>

#include "qip/QipPacket.h"
#include "sysinfo/SysInfo.h"

// The record of one answering device: its last accepted hello, the address that hello came
// from, the second of its last answer (wall-clock time to show, and monotonic time to age
// by, which no clock step moves) and a status page client aimed at that address.
// A plain value without a lock; the device list guards the records it holds.
class QipDevice {
public:
    // The status page client aims at `sourceAddress` (never the hello's own IP field) and at
    // the hello's status URL. Both last response times start at 0.
    QipDevice(const QipPacketHello& hello, const std::string& sourceAddress);
    QipDevice(const QipDevice& other) = default;
    QipDevice& operator=(const QipDevice& other) = default;
    virtual ~QipDevice();

    // The texts live as long as the record and change only by assignment to it.
    const std::string& GetDeviceType() const;
    const std::string& GetDeviceId() const;
    const std::string& GetIpAddress() const;  // the hello's statement, not the source address
    const std::string& GetNetmask() const;
    const std::string& GetStatusUrl() const;
    const std::string& GetPacketId() const;
    const std::string& GetLastSourceAddress() const;
    time_t GetLastResponseTime() const;       // wall clock (time()), for showing
    time_t GetLastResponseMonotonic() const;  // seconds on the monotonic clock, for ageing
    // This record's own status page client; valid as long as the record lives.
    SysInfo* GetSysInfo();
    const SysInfo* GetSysInfo() const;

    // Both clocks at `now`, or each given: the list passes time(nullptr) and
    // KspMonotonicSeconds() of the moment the answer came.
    void UpdateLastResponseTime(time_t now);
    void UpdateLastResponseTime(time_t wallNow, time_t monotonicNow);

    // Equal exactly when the device ids are byte-wise equal.
    bool operator==(const QipDevice& other) const;

private:
    QipPacketHello mHello;
    std::string mLastSourceAddress;
    time_t mLastResponseTime;
    time_t mLastResponseMonotonic;
    SysInfo mSysInfo;
};
