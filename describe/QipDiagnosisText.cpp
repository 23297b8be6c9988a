// The English rendering of a diagnosis for a terminal, with the command that checks each cause.
#include "describe/QipDiagnosis.h"

#include "qip/QipDeviceList.h"

namespace {

std::string Join(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += separator;
        text += words[i];
    }
    return text;
}

}  // namespace

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
                (input.mIsWhoIsThereSourcesCapped
                     ? "at least " + std::to_string(input.mWhoIsThereSources.size()) + " addresses: "
                     : std::string()) +
                Join(input.mWhoIsThereSources, ", ") + "): datagrams to port " + port +
                " reach this computer.\n";
    }
    // Said only when the answers came through another program, or one not trusted holds
    // the port: that one is then worth a look.
    if (input.mPortRole == QipClient::cRoleSubscriber || input.mUntrustedOwnerPid != 0) {
        text += DescribePortRole(input) + ".\n";
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
                    // Whole: a lone rule fails where the table has no input chain, and one
                    // added at the end comes after a final drop. Adding a table or chain that
                    // exists changes nothing; the chain made here lets everything else pass.
                    "Allow: nftables: sudo nft add table inet filter\n" + indent +
                    "                 sudo nft add chain inet filter input '{ type filter hook "
                    "input priority 0; }'\n" + indent +
                    "                 sudo nft insert rule inet filter input udp dport " + port +
                    " accept\n" + indent +
                    "                 (where another table or chain drops it, insert the rule "
                    "there)\n" + indent + "       ufw: sudo ufw allow " + port + "/udp\n" +
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
                const std::vector<std::string>& reasons = input.mProbeUnresolvedReasons;
                const bool hasReason = i < reasons.size() && !reasons[i].empty();
                text += (i == 0 ? n : indent) + "cannot resolve " + cause.mSubjects[i] + ": " +
                        (hasReason ? reasons[i]
                                   : std::string("the name server did not answer or does not "
                                                 "know the name")) +
                        ".\n";
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
