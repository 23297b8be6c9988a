#pragma once

#include <string>
#include <vector>

#include "ksp/KspNetworkInterface.h"

// Where a found device stands towards this machine's networks: whether the address its
// answers come from lies on the network of one of the interfaces, and whether what its hello
// says about itself (address and netmask) agrees with the network it was heard on. A device
// on no local network was reached through a router, and its page may not open; a device that
// states another address or netmask is misconfigured or lies. Pure functions on made-up or
// enumerated interfaces; they keep nothing.
class DeviceNetworkCheck {
public:
    // The first of `interfaces` whose subnet holds `sourceAddress`, or null (also for text
    // that is no IPv4 address). The pointer is into `interfaces`.
    static const KspNetworkInterface* FindNetwork(
        const std::vector<KspNetworkInterface>& interfaces, const std::string& sourceAddress);
    static bool IsOnLocalNetwork(const std::vector<KspNetworkInterface>& interfaces,
                                 const std::string& sourceAddress);
    // Empty when the hello agrees; otherwise a note that quotes it: "says 10.0.0.5/8" (or
    // "says 10.0.0.5 netmask 255.0.255.0" for a netmask that is no prefix, or the texts as
    // they came when they are no addresses). It disagrees when its address is not the source
    // address, or, for a device on a local network, when its netmask is not that network's.
    static std::string CheckHello(const std::vector<KspNetworkInterface>& interfaces,
                                  const std::string& sourceAddress,
                                  const std::string& helloAddress,
                                  const std::string& helloNetmask);
};
