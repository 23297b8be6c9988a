#include "ksp/KspNetworkInterface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

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

bool KspNetworkInterface::IsReachable(const std::string& ip) const
{
    in_addr parsed;
    if (inet_aton(ip.c_str(), &parsed) == 0) {
        return false;
    }
    return (parsed.s_addr & mNetmask) == (mIpAddress & mNetmask);
}
