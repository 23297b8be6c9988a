#pragma once

#include <string>
#include <vector>

#include "tools/device-sim/QipSimOptions.h"

// The discovery side of one simulated device, without sockets or clocks: the caller says
// when a whoisthere arrived and sends what comes back. Used by one thread.
class QipSimDevice {
public:
    // One datagram to send from `mSource` (one of the device's addresses).
    struct Datagram {
        std::string mSource;
        std::vector<unsigned char> mBytes;
    };

    explicit QipSimDevice(const QipSimDeviceConfig& config);

    const QipSimDeviceConfig& GetConfig() const { return mConfig; }

    // The answer to one whoisthere that arrived `elapsedMs` after the simulator started:
    // one hello (or its broken form) per address, or nothing once the device has fallen
    // silent. Each non-empty answer counts towards the packet id changes.
    std::vector<Datagram> Answer(long long elapsedMs);
    // The packet id the next answer carries.
    std::string GetCurrentPacketId() const;

private:
    QipSimDeviceConfig mConfig;
    unsigned long mAnswerCount;
};
