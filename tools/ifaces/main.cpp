// Lists the IPv4 interfaces the discovery client broadcasts on: one line per address, with
// the broadcast address each whoisthere would go to.
#include <stdio.h>

#include "ksp/KspNetworkInterface.h"

int main()
{
    const std::vector<KspNetworkInterface> interfaces = KspNetworkInterface::Enumerate();
    printf("%-16s %-15s %-15s %-15s\n", "Interface", "Address", "Netmask", "Broadcast");
    for (const KspNetworkInterface& entry : interfaces) {
        printf("%-16s %-15s %-15s %-15s\n", entry.GetName().c_str(), entry.GetIpAddress().c_str(),
               entry.GetNetmask().c_str(), entry.MakeBroadcastAddress().c_str());
    }
    return 0;
}
