// The bed's router and the far network behind it.
#include "tests/testbed/TestBed.h"

#include "tests/testbed/TestBedInternal.h"

std::string TestBed::AddRouter() {
    if (!mRouterNamespace.empty()) return mRouterNamespace;
    if (!mIsReady) {
        ADD_FAILURE() << "AddRouter needs a ready bed";
        return "";
    }
    const std::string name = mPrefix + "r";
    TestBedRegisterNamespace(name);
    mDeviceNamespaces.push_back(name);
    const std::string routerCidr = std::string(cRouterHostAddress) + "/24";
    // Forwarding is a setting of the namespace, so it is written from inside it.
    std::string output;
    if (!Ip({"netns", "add", name}) || !Ip({"-n", name, "link", "set", "lo", "up"}) ||
        !Ip({"-n", mHostNamespace, "link", "add", "vr", "type", "veth", "peer", "name", "eth0",
             "netns", name}) ||
        !Ip({"-n", mHostNamespace, "link", "set", "vr", "master", "br0", "up"}) ||
        !Ip({"-n", name, "addr", "add", routerCidr, "dev", "eth0"}) ||
        !Ip({"-n", name, "link", "set", "eth0", "up"}) ||
        !Ip({"-n", name, "link", "add", "br1", "type", "bridge", "forward_delay", "0"}) ||
        !Ip({"-n", name, "addr", "add", cRouterFarCidr, "dev", "br1"}) ||
        !Ip({"-n", name, "link", "set", "br1", "up"}) ||
        !Ip({"-n", mHostNamespace, "route", "add", cFarSubnet, "via", cRouterHostAddress})) {
        return "";
    }
    if (Run(name, {"/bin/sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward"}, &output) != 0) {
        ADD_FAILURE() << "cannot turn on forwarding in " << name << ": " << output;
        return "";
    }
    mRouterNamespace = name;
    return name;
}

std::string TestBed::AddDeviceBehindRouter(const std::vector<std::string>& cidrAddresses) {
    if (cidrAddresses.empty() || AddRouter().empty()) {
        ADD_FAILURE() << "AddDeviceBehindRouter needs a router and at least one address";
        return "";
    }
    const std::string number = std::to_string(mDeviceNamespaces.size() + 1);
    const std::string name = mPrefix + "d" + number;
    const std::string routerEnd = "vf" + number;
    const std::string gateway = std::string(cRouterFarCidr).substr(0, std::string(cRouterFarCidr).find('/'));
    TestBedRegisterNamespace(name);
    mDeviceNamespaces.push_back(name);
    if (!Ip({"netns", "add", name}) || !Ip({"-n", name, "link", "set", "lo", "up"}) ||
        !Ip({"-n", mRouterNamespace, "link", "add", routerEnd, "type", "veth", "peer", "name", "eth0",
             "netns", name}) ||
        !Ip({"-n", mRouterNamespace, "link", "set", routerEnd, "master", "br1", "up"})) {
        return "";
    }
    for (const std::string& cidr : cidrAddresses) {
        if (!Ip({"-n", name, "addr", "add", cidr, "dev", "eth0"})) return "";
    }
    if (!Ip({"-n", name, "link", "set", "eth0", "up"}) ||
        !Ip({"-n", name, "route", "add", "default", "via", gateway})) {
        return "";
    }
    return name;
}
