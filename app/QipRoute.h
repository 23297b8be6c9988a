#pragma once

#include <string>
#include <vector>

#include "ksp/KspNetworkInterface.h"

// Whether the kernel routes `address` (dotted quad) out through one of `interfaces`, found
// by connecting a throw-away UDP socket (which sends nothing) and comparing the source
// address it gets with theirs. False for no route, a route through an interface not among
// them (a tunnel the search does not use), or what is no address. Quick: no packet, no
// name lookup. Any thread.
bool QipRoutesThroughOneOf(const std::string& address,
                           const std::vector<KspNetworkInterface>& interfaces);
