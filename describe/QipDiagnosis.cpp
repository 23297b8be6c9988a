#include "describe/QipDiagnosis.h"

#include <strings.h>

#include <algorithm>

#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"

namespace {

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool StartsWithAny(const std::string& name, const std::vector<const char*>& prefixes) {
    for (const char* prefix : prefixes) {
        if (name.compare(0, std::string(prefix).size(), prefix) == 0) return true;
    }
    return false;
}

// Names that tunnels and virtual switches get from the usual tools.
bool LooksLikeVpnOrBridge(const std::string& name) {
    return StartsWithAny(name, {"tun", "tap", "wg", "ppp", "vpn", "ipsec", "nordlynx",
                                "tailscale", "zt", "docker", "br-", "virbr", "veth", "lxcbr",
                                "lxdbr", "cni", "podman", "vmnet", "vboxnet"});
}

bool LooksLikeWifi(const std::string& name) {
    return StartsWithAny(name, {"wl", "wifi"});
}

std::vector<std::string> AllNames(const QipDiagnosis::Input& input) {
    std::vector<std::string> names;
    for (const KspNetworkInterface& interface : input.mTried) {
        if (!Contains(names, interface.GetName())) names.push_back(interface.GetName());
    }
    for (const KspNetworkInterface::Skipped& skipped : input.mSkipped) {
        if (!Contains(names, skipped.mName)) names.push_back(skipped.mName);
    }
    return names;
}

void MoveToEnd(std::vector<QipDiagnosis::Cause>& causes, QipDiagnosis::CauseId id) {
    std::stable_partition(causes.begin(), causes.end(),
                          [id](const QipDiagnosis::Cause& cause) { return cause.mId != id; });
}

// "A (1) and B (2)", "A (1), B (2) and C (1)".
std::string JoinCounts(const std::vector<std::pair<std::string, size_t>>& counts) {
    std::string text;
    for (size_t i = 0; i < counts.size(); ++i) {
        if (i > 0) text += i + 1 == counts.size() ? " and " : ", ";
        text += counts[i].first + " (" + std::to_string(counts[i].second) + ")";
    }
    return text;
}

std::string JoinOr(const std::vector<std::string>& words) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += i + 1 == words.size() ? " or " : ", ";
        text += words[i];
    }
    return text;
}

std::string Join(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += separator;
        text += words[i];
    }
    return text;
}

}  // namespace

QipDiagnosis::Input QipDiagnosis::MakeInput(const QipClient& client,
                                            const KspNetworkInterface::Scan& scan,
                                            const std::vector<std::string>& wantedTypes,
                                            const QipDeviceList* list) {
    const KspNetworkInterface::Scan used = QipClient::ApplyFilter(scan, client.GetInterfaceFilter());
    const QipReceiveCounts::Counts counts = client.GetReceiveCounts();
    Input input;
    input.mTried = used.mUsable;
    input.mSkipped = used.mSkipped;
    input.mWantedTypes = wantedTypes;
    input.mDevicesByType = counts.mDeviceIdsByType;
    input.mWhoIsThereFromOthers = counts.mWhoIsThereFromOthers;
    input.mWhoIsThereSources = counts.mWhoIsThereSources;
    input.mMalformed = counts.mMalformed;
    input.mKernelDrops = counts.mKernelDrops;
    input.mIsPortShared = client.IsPortShared();
    input.mIsSocketOpen = client.IsSocketOpen();
    input.mPort = client.GetPort();
    for (const QipProbeTarget& target : client.GetProbeTargets()) {
        input.mProbed.push_back(target.Describe());
    }
    const QipClient::ProbeProgress probes = client.GetProbeProgress();
    input.mProbeAnswers = probes.mAnswers;
    input.mProbeFailures = probes.mFailed;
    for (const QipClient::ProbeOutcome& outcome : client.GetProbeOutcomes()) {
        switch (outcome.mKind) {
        case QipClient::ProbeOutcome::cUnresolved:
            input.mProbeUnresolved.push_back(outcome.mName);
            break;
        case QipClient::ProbeOutcome::cNoRoute:
            input.mProbeNoRoute.push_back(outcome.mTarget);
            break;
        case QipClient::ProbeOutcome::cSilent:
        case QipClient::ProbeOutcome::cSendFailed:
            input.mProbeSilent.push_back(outcome.mTarget);
            break;
        case QipClient::ProbeOutcome::cNotYet:
        case QipClient::ProbeOutcome::cAnswered:
            break;
        }
        if (!outcome.mExcludedInterface.empty()) {
            input.mProbeExcluded.push_back(outcome.mTarget + " through " + outcome.mExcludedInterface);
        }
    }
    if (list != nullptr) {
        for (const QipDeviceList::CrowdedSender& sender : list->GetCrowdedSenders()) {
            input.mCrowdedSenders.push_back(sender.mAddress);
        }
    }
    return input;
}

QipDiagnosis::Result QipDiagnosis::Diagnose(const Input& input) {
    Result result;
    std::vector<std::string> caseOnly;  // other types that differ from a wanted one in case only
    std::vector<std::string> others;
    for (const auto& type : input.mDevicesByType) {
        result.mAnswered += type.second;
        if (input.mWantedTypes.empty() || Contains(input.mWantedTypes, type.first)) {
            result.mWanted += type.second;
            continue;
        }
        result.mOtherTypes.push_back(type);
        bool isCaseOnly = false;
        for (const std::string& wanted : input.mWantedTypes) {
            isCaseOnly = isCaseOnly || strcasecmp(wanted.c_str(), type.first.c_str()) == 0;
        }
        (isCaseOnly ? caseOnly : others).push_back(type.first);
    }

    std::vector<Cause>& causes = result.mCauses;
    if (!input.mIsSocketOpen) {
        // Nothing can be heard at all; every other cause would only distract.
        causes.push_back({cCauseSocketNotOpen, {}});
        return result;
    }
    if (input.mTried.empty()) causes.push_back({cCauseNoInterface, {}});
    if (input.mIsPortShared) causes.push_back({cCausePortShared, {}});
    if (input.mKernelDrops > 0) causes.push_back({cCauseReceiveBuffer, {}});
    if (!result.mOtherTypes.empty()) {
        std::vector<std::string> subjects = caseOnly;
        subjects.insert(subjects.end(), others.begin(), others.end());
        causes.push_back({cCauseOtherType, subjects});
    }
    if (input.mMalformed > 0) causes.push_back({cCauseUnreadable, {}});
    // The wanted device may be among those left out, or its room taken by them.
    if (!input.mCrowdedSenders.empty()) causes.push_back({cCauseCrowdedSender, input.mCrowdedSenders});
    // The user named these networks, so a silence there is the likeliest thing to look at.
    // Each target is named for what became of it: a name without an address, a network
    // without a route, or one that was asked and kept silent.
    if (!input.mProbeUnresolved.empty()) causes.push_back({cCauseProbeUnresolved, input.mProbeUnresolved});
    if (!input.mProbeNoRoute.empty()) causes.push_back({cCauseProbeNoRoute, input.mProbeNoRoute});
    const bool outcomesKnown = !input.mProbeUnresolved.empty() || !input.mProbeNoRoute.empty() ||
                               !input.mProbeSilent.empty();
    if (!input.mProbed.empty() && input.mProbeAnswers == 0 &&
        (!outcomesKnown || !input.mProbeSilent.empty())) {
        causes.push_back({cCauseProbedSilent, outcomesKnown ? input.mProbeSilent : input.mProbed});
    }

    std::vector<std::string> networks;
    for (const KspNetworkInterface& interface : input.mTried) {
        networks.push_back(interface.GetName() + " " + interface.DescribeAddress());
    }
    std::vector<std::string> tunnels;
    for (const std::string& name : AllNames(input)) {
        if (LooksLikeVpnOrBridge(name)) tunnels.push_back(name);
    }
    std::vector<std::string> wifi;
    for (const KspNetworkInterface& interface : input.mTried) {
        if (LooksLikeWifi(interface.GetName()) && !Contains(wifi, interface.GetName())) {
            wifi.push_back(interface.GetName());
        }
    }
    std::vector<Cause> network = {{cCauseFirewall, {}},
                                  {cCauseOtherNetwork, networks},
                                  {cCauseWifiIsolation, wifi},
                                  {cCauseVpnOrBridge, tunnels},
                                  {cCauseDeviceOff, {}}};
    // Without Wi-Fi among the interfaces tried an access point can only stand between
    // the device and the router; a tunnel or bridge that exists is a suspect of its own.
    if (wifi.empty()) MoveToEnd(network, cCauseWifiIsolation);
    if (!tunnels.empty()) {
        std::stable_partition(network.begin(), network.end(), [](const Cause& cause) {
            return cause.mId == cCauseFirewall || cause.mId == cCauseVpnOrBridge;
        });
    }
    if (wifi.empty() || !tunnels.empty()) MoveToEnd(network, cCauseDeviceOff);
    // Anything that reached the port shows that incoming datagrams get through.
    if (result.mAnswered > 0 || input.mWhoIsThereFromOthers > 0 || input.mMalformed > 0) {
        MoveToEnd(network, cCauseFirewall);
    }
    if (!input.mTried.empty()) causes.insert(causes.end(), network.begin(), network.end());
    return result;
}

const char* QipDiagnosis::CauseName(CauseId id) {
    switch (id) {
    case cCauseSocketNotOpen: return "socket-not-open";
    case cCauseNoInterface: return "no-interface";
    case cCausePortShared: return "port-shared";
    case cCauseReceiveBuffer: return "receive-buffer";
    case cCauseOtherType: return "other-type";
    case cCauseUnreadable: return "unreadable";
    case cCauseFirewall: return "firewall";
    case cCauseOtherNetwork: return "other-network";
    case cCauseWifiIsolation: return "wifi-isolation";
    case cCauseVpnOrBridge: return "vpn-or-bridge";
    case cCauseDeviceOff: return "device-off";
    case cCauseProbedSilent: return "probed-silent";
    case cCauseCrowdedSender: return "crowded-sender";
    case cCauseProbeUnresolved: return "probe-unresolved";
    case cCauseProbeNoRoute: return "probe-no-route";
    }
    return "";
}

std::string QipDiagnosis::DescribeAnswers(const Input& input, const Result& result) {
    if (result.mAnswered == 0) return "No device answered.";
    std::vector<std::pair<std::string, size_t>> all(input.mDevicesByType.begin(),
                                                    input.mDevicesByType.end());
    std::string text = std::to_string(result.mAnswered) +
                       (result.mAnswered == 1 ? " device answered, of type "
                                              : " devices answered, of type ") +
                       JoinCounts(all);
    if (result.mWanted == 0 && !input.mWantedTypes.empty()) {
        text += "; none of type " + JoinOr(input.mWantedTypes);
    }
    return text;
}

std::string QipDiagnosis::Text(const Input& input, const Result& result) {
    const std::string port = std::to_string(input.mPort);
    std::string text;
    std::vector<std::string> tried;
    for (const KspNetworkInterface& interface : input.mTried) {
        tried.push_back(interface.GetName() + " " + interface.DescribeAddress() +
                        " (broadcast " + interface.MakeBroadcastAddress() + ")");
    }
    text += "Interfaces tried: " + (tried.empty() ? std::string("none") : Join(tried, ", ")) + "\n";
    if (!input.mSkipped.empty()) {
        std::vector<std::string> skipped;
        for (const KspNetworkInterface::Skipped& entry : input.mSkipped) {
            skipped.push_back(entry.mName + " (" +
                              KspNetworkInterface::DescribeSkipReason(entry.mReason) + ")");
        }
        text += "Skipped: " + Join(skipped, ", ") + "\n";
    }
    if (!input.mProbed.empty()) {
        text += "Networks probed: " + Join(input.mProbed, ", ");
        if (input.mProbeFailures > 0) {
            text += " (" + std::to_string(input.mProbeFailures) + " probes could not be sent)";
        }
        text += "\n";
    }
    for (const std::string& excluded : input.mProbeExcluded) {
        text += "Probes to " + excluded + ", which --interface leaves out; their answers are kept.\n";
    }
    text += DescribeAnswers(input, result);
    text += result.mAnswered == 0 ? "\n" : ".\n";
    if (input.mWhoIsThereFromOthers > 0) {
        text += "Other programs asked for devices on the network (" +
                std::to_string(input.mWhoIsThereFromOthers) + " times, from " +
                Join(input.mWhoIsThereSources, ", ") + "): datagrams to port " + port +
                " reach this computer.\n";
    }
    if (input.mIsPortShared) {
        text += "Warning: another program holds UDP port " + port +
                " on this computer; devices answer only one of them, so it may get the "
                "answers.\n";
    }
    if (result.mCauses.empty()) return text;
    text += "Likely causes, most likely first:\n";
    std::string broadcast = "<broadcast address>";
    if (!input.mTried.empty()) broadcast = input.mTried.front().MakeBroadcastAddress();
    int number = 0;
    for (const Cause& cause : result.mCauses) {
        const std::string n = std::to_string(++number) + ". ";
        const std::string indent(n.size(), ' ');
        const std::string subjects = Join(cause.mSubjects, ", ");
        switch (cause.mId) {
        case cCauseSocketNotOpen:
            text += n + "UDP port " + port + " could not be opened; another program may hold it.\n" +
                    indent + "Check: sudo ss -ulpn 'sport = :" + port + "'\n";
            break;
        case cCauseNoInterface:
            text += n + "No network interface is up with an IPv4 address and broadcast.\n" +
                    indent + "Check: ip -4 addr show\n";
            break;
        case cCausePortShared:
            text += n + "Another program on this computer holds UDP port " + port +
                    " and may have received the answers.\n" + indent +
                    "Check: sudo ss -ulpn 'sport = :" + port + "' (quit it and search again)\n";
            break;
        case cCauseReceiveBuffer:
            text += n + "The kernel dropped " + std::to_string(input.mKernelDrops) +
                    " answers because the receive buffer was full.\n" + indent +
                    "Check: sysctl net.core.rmem_max; raise it: sudo sysctl -w "
                    "net.core.rmem_max=8388608\n";
            break;
        case cCauseOtherType:
            text += n + "Devices of other types answered (" + subjects +
                    "): if yours is among them, it reports another type than the one searched "
                    "for.\n" + indent + "Check: search for that type, e.g. qip-discover --type " +
                    (cause.mSubjects.empty() ? std::string("TYPE") : cause.mSubjects.front()) +
                    "\n";
            break;
        case cCauseUnreadable:
            text += n + "Datagrams that could not be read arrived on port " + port + " (" +
                    std::to_string(input.mMalformed) +
                    "): a device may speak another version of the protocol.\n" + indent +
                    "Check: sudo tcpdump -ni any -X udp port " + port + "\n";
            break;
        case cCauseFirewall:
            text += n + "A firewall on this computer drops incoming UDP to port " + port +
                    " (the answers are not replies it recognises).\n" + indent +
                    "Check: sudo nft list ruleset (look for a drop or reject on input)\n" + indent +
                    "Allow: nftables: sudo nft add rule inet filter input udp dport " + port +
                    " accept\n" + indent + "       ufw: sudo ufw allow " + port + "/udp\n" +
                    indent + "       firewalld: sudo firewall-cmd --add-port=" + port +
                    "/udp (and again with --permanent to keep it)\n";
            break;
        case cCauseOtherNetwork:
            text += n + "The device is on another network or VLAN than " +
                    (subjects.empty() ? std::string("this computer's") : subjects) + ".\n" +
                    indent + "Check: ip -4 addr show, and compare with the address the device "
                    "or its router shows\n";
            break;
        case cCauseWifiIsolation:
            text += n + "A Wi-Fi access point or mesh system isolates its clients or drops "
                    "broadcasts (client or AP isolation, guest networks).\n" + indent +
                    "Check: " +
                    (cause.mSubjects.empty() ? std::string("iw dev")
                                             : "iw dev " + cause.mSubjects.front() + " link") +
                    "; try again over a cable or with isolation turned off\n";
            break;
        case cCauseVpnOrBridge:
            text += n + "A VPN or container bridge takes the route" +
                    (subjects.empty() ? std::string() : " (" + subjects + ")") + ".\n" + indent +
                    "Check: ip route get " + broadcast + "; ip rule show\n";
            break;
        case cCauseProbedSilent: {
            const std::string first = cause.mSubjects.empty() ? std::string("ADDRESS")
                                                              : cause.mSubjects.front();
            const std::string host = first.substr(0, first.find_first_of("/ "));
            text += n + "Nothing answered from the networks probed (" + subjects +
                    "): this computer may have no route to them, the router none back, or a "
                    "firewall on the router drops the probes or the answers.\n" + indent +
                    "Check: ip route get " + host + "; qip-discover -v --probe " + host + "\n" +
                    indent + "On the router, let through UDP port " + port +
                    " both ways (to the devices and their answers back) and TCP port 80 to "
                    "the devices.\n";
            break;
        }
        case cCauseProbeUnresolved:
            for (size_t i = 0; i < cause.mSubjects.size(); ++i) {
                text += (i == 0 ? n : indent) + "cannot resolve " + cause.mSubjects[i] +
                        ": the name server did not answer or does not know the name.\n";
            }
            text += indent + "Check: getent ahostsv4 " + cause.mSubjects.front() +
                    "; cat /etc/resolv.conf\n";
            break;
        case cCauseProbeNoRoute: {
            const std::string& first = cause.mSubjects.front();
            text += n + "This computer has no route to " + subjects +
                    " (Network is unreachable).\n" + indent + "Check: ip route get " +
                    first.substr(0, first.find_first_of("/ ")) + "\n";
            break;
        }
        case cCauseCrowdedSender:
            for (size_t i = 0; i < cause.mSubjects.size(); ++i) {
                const std::string& address = cause.mSubjects[i];
                text += (i == 0 ? n : indent) + QipDeviceList::DescribeCrowded(address) +
                        ": a device that answers from there may be among them.\n" + indent +
                        "Check: sudo tcpdump -ni any -c 20 udp port " + port + " and src host " +
                        address + "\n";
            }
            break;
        case cCauseDeviceOff:
            text += n + "The device is switched off, still starting, or not connected.\n" + indent +
                    "Check: its power and network lights; ip neigh show lists the hosts heard "
                    "from lately\n";
            break;
        }
    }
    return text;
}
