// inet_aton (BSD's, on every Unix-like system) reads every spelling of an address a device
// may state; POSIX's inet_pton takes only four decimal numbers.
#define _DEFAULT_SOURCE 1
#include "describe/DeviceNetworkCheck.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

bool Parse(const std::string& text, in_addr& address) {
    return inet_aton(text.c_str(), &address) != 0;
}

std::string Quote(const std::string& address, const std::string& netmask) {
    in_addr parsedAddress;
    in_addr parsedNetmask;
    if (!Parse(address, parsedAddress) || !Parse(netmask, parsedNetmask)) {
        return "says \"" + address + "\" netmask \"" + netmask + "\"";
    }
    return "says " + KspNetworkInterface("", address, netmask).DescribeAddress();
}

}  // namespace

const KspNetworkInterface* DeviceNetworkCheck::FindNetwork(
    const std::vector<KspNetworkInterface>& interfaces, const std::string& sourceAddress) {
    for (const KspNetworkInterface& interface : interfaces) {
        if (interface.IsReachable(sourceAddress)) {
            return &interface;
        }
    }
    return nullptr;
}

bool DeviceNetworkCheck::IsOnLocalNetwork(const std::vector<KspNetworkInterface>& interfaces,
                                          const std::string& sourceAddress) {
    return FindNetwork(interfaces, sourceAddress) != nullptr;
}

std::string DeviceNetworkCheck::CheckHello(const std::vector<KspNetworkInterface>& interfaces,
                                           const std::string& sourceAddress,
                                           const std::string& helloAddress,
                                           const std::string& helloNetmask) {
    in_addr source;
    in_addr stated;
    in_addr statedNetmask;
    // Compared as addresses, not as texts: every spelling inet_aton reads alike is the same.
    const bool isSameAddress = Parse(sourceAddress, source) && Parse(helloAddress, stated) &&
                               source.s_addr == stated.s_addr;
    const bool isNetmaskRead = Parse(helloNetmask, statedNetmask);
    const KspNetworkInterface* network = FindNetwork(interfaces, sourceAddress);
    bool agrees = isSameAddress && isNetmaskRead;
    if (agrees && network != nullptr) {
        in_addr netmask;
        agrees = Parse(network->GetNetmask(), netmask) && netmask.s_addr == statedNetmask.s_addr;
    }
    return agrees ? std::string() : Quote(helloAddress, helloNetmask);
}
