#include "app/QipRoute.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "ksp/KspDescriptor.h"

bool QipRoutesThroughOneOf(const std::string& address,
                           const std::vector<KspNetworkInterface>& interfaces) {
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(80);
    if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return false;
    KspDescriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0 || connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        return false;
    }
    sockaddr_in local;
    socklen_t length = sizeof local;
    if (getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    char source[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &local.sin_addr, source, sizeof source) == nullptr) return false;
    for (const KspNetworkInterface& network : interfaces) {
        if (network.GetIpAddress() == source) return true;
    }
    return false;
}
