#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct ifaddrs;

// One IPv4 address of one network interface. A plain value: no socket, handle or lock.
// Addresses are stored in network byte order; texts are dotted quads.
class KspNetworkInterface {
public:
    // Why an interface of the machine is not one that discovery can reach devices through.
    enum SkipReason {
        cUsable = 0,
        cSkipLoopback,       // the loopback interface: no device lives there
        cSkipDown,           // administratively down
        cSkipNoLink,         // up, but without carrier (cable out, not associated)
        cSkipNoBroadcast,    // point-to-point (VPN tunnels and the like): nothing to broadcast to
        cSkipNoIpv4Address,  // the interface has no IPv4 address at all
        cSkipNotSelected,    // left out by the user's choice of interfaces
    };
    // One interface left out of discovery and why. `mAddress` and `mNetmask` are empty for
    // cSkipNoIpv4Address; an interface with several IPv4 addresses is listed once per address.
    struct Skipped {
        std::string mName;
        std::string mAddress;
        std::string mNetmask;
        SkipReason mReason;
    };
    // The interfaces discovery can use and the ones it cannot, in list order. Names are
    // unique in `mSkipped` for cSkipNoIpv4Address only.
    struct Scan {
        std::vector<KspNetworkInterface> mUsable;
        std::vector<Skipped> mSkipped;
    };

    // One record per IPv4 entry of the interface list that has a netmask, in list order.
    // Empty after "getifaddrs() failed". No interface flag is looked at: loopback, down and
    // point-to-point entries are all listed, and the client broadcasts on every one.
    static std::vector<KspNetworkInterface> Enumerate();
    // The same entries split into usable and skipped by their flags (Classify), plus every
    // interface without any IPv4 address; for telling a user what discovery tried. Both
    // lists are empty after "getifaddrs() failed".
    static Scan EnumerateForDiscovery();
    // Pure: the verdict for an IPv4 entry with the interface flags `flags` (IFF_*).
    static SkipReason Classify(unsigned int flags);
    // "loopback", "down", "no link", "no IPv4 broadcast", "no IPv4 address", "not
    // selected"; "" for cUsable.
    static const char* DescribeSkipReason(SkipReason reason);

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
    // The number of leading one bits of the netmask (24 for 255.255.255.0), or -1 when the
    // netmask is not a run of ones followed by zeros.
    int GetPrefixLength() const;
    // "192.0.2.1/24" (with " netmask <mask>" instead of the prefix for an odd netmask).
    std::string DescribeAddress() const;
    // Whether `ip` (any form inet_aton accepts) lies in this interface's subnet.
    bool IsReachable(const std::string& ip) const;

private:
    std::string mName;
    int32_t mInterfaceNumber;
    uint32_t mIpAddress;
    uint32_t mNetmask;
    unsigned char mMacAddress[6];
};
