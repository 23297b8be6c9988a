// POSIX has no call that lists the interfaces with their addresses and flags: getifaddrs
// and the IFF_ flags are BSD's, on every Unix-like system, and so is inet_aton, whose every
// spelling this class's contract accepts. This file alone asks for them.
#define _DEFAULT_SOURCE 1
#include "ksp/KspNetworkInterface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

// inet_ntop into a local buffer: inet_ntoa's shared buffer is not safe across threads.
std::string ToDottedQuad(uint32_t address)
{
    in_addr value;
    value.s_addr = address;
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &value, text, sizeof(text)) == nullptr) {
        return std::string();
    }
    return text;
}

uint32_t AddressOf(const sockaddr* address)
{
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
}

bool IsIpv4(const sockaddr* address) { return address != nullptr && address->sa_family == AF_INET; }

}  // namespace

std::vector<KspNetworkInterface> KspNetworkInterface::Enumerate()
{
    std::vector<KspNetworkInterface> interfaces;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        perror("getifaddrs() failed");
        return interfaces;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        // An entry without a netmask has no subnet to broadcast to.
        if (!IsIpv4(entry->ifa_addr) || entry->ifa_netmask == nullptr) {
            continue;
        }
        interfaces.push_back(KspNetworkInterface(entry->ifa_name, entry));
    }
    freeifaddrs(list);
    return interfaces;
}

KspNetworkInterface::Scan KspNetworkInterface::EnumerateForDiscovery()
{
    Scan scan;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        perror("getifaddrs() failed");
        return scan;
    }
    std::vector<std::string> withIpv4;
    std::vector<std::string> withoutIpv4;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) {
            continue;
        }
        const std::string name = entry->ifa_name;
        if (!IsIpv4(entry->ifa_addr) || entry->ifa_netmask == nullptr) {
            if (std::find(withoutIpv4.begin(), withoutIpv4.end(), name) == withoutIpv4.end()) {
                withoutIpv4.push_back(name);
            }
            continue;
        }
        withIpv4.push_back(name);
        const KspNetworkInterface record(name, entry);
        const SkipReason reason = Classify(entry->ifa_flags);
        if (reason == cUsable) {
            scan.mUsable.push_back(record);
        } else {
            scan.mSkipped.push_back({name, record.GetIpAddress(), record.GetNetmask(), reason});
        }
    }
    freeifaddrs(list);
    // Loopback aside, an interface that has no IPv4 address is worth naming: it is often
    // the Wi-Fi or cable that the user believes the device is on.
    for (const std::string& name : withoutIpv4) {
        if (std::find(withIpv4.begin(), withIpv4.end(), name) == withIpv4.end() && name != "lo") {
            scan.mSkipped.push_back({name, std::string(), std::string(), cSkipNoIpv4Address});
        }
    }
    return scan;
}

KspNetworkInterface::SkipReason KspNetworkInterface::Classify(unsigned int flags)
{
    if ((flags & IFF_LOOPBACK) != 0) {
        return cSkipLoopback;
    }
    if ((flags & IFF_UP) == 0) {
        return cSkipDown;
    }
    if ((flags & IFF_RUNNING) == 0) {
        return cSkipNoLink;
    }
    if ((flags & IFF_BROADCAST) == 0) {
        return cSkipNoBroadcast;
    }
    return cUsable;
}

const char* KspNetworkInterface::DescribeSkipReason(SkipReason reason)
{
    switch (reason) {
    case cSkipLoopback:
        return "loopback";
    case cSkipDown:
        return "down";
    case cSkipNoLink:
        return "no link";
    case cSkipNoBroadcast:
        return "no IPv4 broadcast";
    case cSkipNoIpv4Address:
        return "no IPv4 address";
    case cSkipNotSelected:
        return "not selected";
    case cUsable:
        break;
    }
    return "";
}

KspNetworkInterface::KspNetworkInterface(const std::string& name, const ifaddrs* entry)
    : mName(name), mInterfaceNumber(0), mIpAddress(0), mNetmask(0), mMacAddress{}
{
    if (entry != nullptr) {
        QueryInfo(entry);
    } else if (!QueryInfo(name)) {
        mName.clear();
    }
}

KspNetworkInterface::KspNetworkInterface(const std::string& name, const std::string& ipAddress,
                                         const std::string& netmask)
    : mName(name), mInterfaceNumber(0), mIpAddress(0), mNetmask(0), mMacAddress{}
{
    in_addr parsed;
    if (inet_aton(ipAddress.c_str(), &parsed) != 0) {
        mIpAddress = parsed.s_addr;
    }
    if (inet_aton(netmask.c_str(), &parsed) != 0) {
        mNetmask = parsed.s_addr;
    }
}

KspNetworkInterface::~KspNetworkInterface() {}

bool KspNetworkInterface::QueryInfo(const ifaddrs* entry)
{
    if (entry == nullptr || !IsIpv4(entry->ifa_addr)) {
        return false;
    }
    mIpAddress = AddressOf(entry->ifa_addr);
    // A missing netmask is read as 0.0.0.0 rather than dereferenced.
    mNetmask = entry->ifa_netmask != nullptr ? AddressOf(entry->ifa_netmask) : 0;
    mInterfaceNumber = 0;
    memset(mMacAddress, 0, sizeof(mMacAddress));
    return true;
}

bool KspNetworkInterface::QueryInfo(const std::string& name)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        perror("getifaddrs() failed");
        return false;
    }
    bool isFound = false;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        // Entries without a netmask are passed over here as in Enumerate.
        if (entry->ifa_name != nullptr && entry->ifa_netmask != nullptr && name == entry->ifa_name &&
            QueryInfo(entry)) {
            isFound = true;
        }
    }
    freeifaddrs(list);
    return isFound;
}

std::string KspNetworkInterface::GetName() const { return mName; }

int32_t KspNetworkInterface::GetInterfaceNumber() const { return mInterfaceNumber; }

std::string KspNetworkInterface::GetIpAddress() const { return ToDottedQuad(mIpAddress); }

std::string KspNetworkInterface::GetNetmask() const { return ToDottedQuad(mNetmask); }

std::string KspNetworkInterface::GetMacAddress() const
{
    char text[32];
    snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mMacAddress[0], mMacAddress[1],
             mMacAddress[2], mMacAddress[3], mMacAddress[4], mMacAddress[5]);
    return text;
}

std::string KspNetworkInterface::MakeBroadcastAddress() const
{
    return ToDottedQuad((mIpAddress & mNetmask) | ~mNetmask);
}

int KspNetworkInterface::GetPrefixLength() const
{
    const uint32_t mask = ntohl(mNetmask);
    // A contiguous mask, inverted, is one less than a power of two.
    const uint32_t inverted = ~mask;
    if ((inverted & (inverted + 1)) != 0) {
        return -1;
    }
    int length = 0;
    for (uint32_t bit = 0x80000000u; bit != 0 && (mask & bit) != 0; bit >>= 1) {
        ++length;
    }
    return length;
}

std::string KspNetworkInterface::DescribeAddress() const
{
    const int prefix = GetPrefixLength();
    if (prefix < 0) {
        return GetIpAddress() + " netmask " + GetNetmask();
    }
    return GetIpAddress() + "/" + std::to_string(prefix);
}

bool KspNetworkInterface::IsReachable(const std::string& ip) const
{
    in_addr parsed;
    if (inet_aton(ip.c_str(), &parsed) == 0) {
        return false;
    }
    return (parsed.s_addr & mNetmask) == (mIpAddress & mNetmask);
}
