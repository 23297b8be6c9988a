#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct ifaddrs;

// One IPv4 address of one network interface. A plain value: no socket, handle or lock.
// Addresses are stored in network byte order; texts are dotted quads.
class KspNetworkInterface {
public:
    // One record per IPv4 entry of the interface list that has a netmask, in list order.
    // Empty after "getifaddrs() failed".
    static std::vector<KspNetworkInterface> Enumerate();

    // From an entry of the interface list; a null entry looks the name up with QueryInfo.
    // When the lookup fails the record has an empty name and zero addresses.
    KspNetworkInterface(const std::string& name, const ifaddrs* entry);
    // From an address and a netmask in dotted-quad text; for callers that build the
    // interface list themselves (tests, made-up snapshots). Invalid text gives 0.0.0.0.
    KspNetworkInterface(const std::string& name, const std::string& ipAddress,
                        const std::string& netmask);
    KspNetworkInterface(const KspNetworkInterface& other) = default;
    KspNetworkInterface& operator=(const KspNetworkInterface& other) = default;
    virtual ~KspNetworkInterface();

    bool QueryInfo(const ifaddrs* entry);
    // Takes the last IPv4 entry named `name`; false when there is none.
    bool QueryInfo(const std::string& name);

    std::string GetName() const;
    int32_t GetInterfaceNumber() const;     // always 0
    std::string GetIpAddress() const;
    std::string GetNetmask() const;
    std::string GetMacAddress() const;      // always 00:00:00:00:00:00
    std::string MakeBroadcastAddress() const;
    // Whether `ip` (any form inet_aton accepts) lies in this interface's subnet.
    bool IsReachable(const std::string& ip) const;

private:
    std::string mName;
    int32_t mInterfaceNumber;
    uint32_t mIpAddress;
    uint32_t mNetmask;
    unsigned char mMacAddress[6];
};
