#include "describe/QipDiagnosis.h"

#include <strings.h>

#include <algorithm>

#include "ksp/KspClock.h"
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
    input.mIsWhoIsThereSourcesCapped =
        counts.mIsCapped && counts.mWhoIsThereSources.size() >= QipReceiveCounts::cMaxSources;
    input.mMalformed = counts.mMalformed;
    input.mKernelDrops = counts.mKernelDrops;
    input.mIsPortShared = client.IsPortShared();
    input.mPortRole = client.GetRole();
    input.mOwnerPid = static_cast<int>(client.GetOwnerPid());
    input.mIsRequestsRefused = client.IsRequestsRefused();
    const QipClient::UntrustedOwner untrusted = client.GetUntrustedOwner();
    if (client.GetRole() == QipClient::cRoleAlone) {
        input.mUntrustedOwnerPid = static_cast<int>(untrusted.mPid);
        input.mUntrustedOwnerUser = untrusted.mUser;
    }
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
            input.mProbeUnresolvedReasons.push_back(outcome.mDetail);
            break;
        case QipClient::ProbeOutcome::cNoRoute:
            input.mProbeNoRoute.push_back(outcome.mTarget);
            break;
        case QipClient::ProbeOutcome::cSilent:
        case QipClient::ProbeOutcome::cSendFailed:
            input.mProbeSilent.push_back(outcome.mTarget);
            break;
        case QipClient::ProbeOutcome::cNotYet:
            // A name the name server has not answered for yet is, for this search, a name
            // that could not be resolved: nothing was asked there.
            if (outcome.mLookupSinceMs >= 0) {
                const long long seconds = (KspMonotonicMs() - outcome.mLookupSinceMs) / 1000;
                input.mProbeUnresolved.push_back(outcome.mName);
                input.mProbeUnresolvedReasons.push_back(
                    seconds < 1 ? std::string("no answer from the name server yet")
                                : "no answer from the name server within " +
                                      std::to_string(seconds) + " s");
            }
            break;
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

std::string QipDiagnosis::DescribePortRole(const QipClient& client) {
    Input input;
    input.mPortRole = client.GetRole();
    input.mOwnerPid = static_cast<int>(client.GetOwnerPid());
    input.mIsRequestsRefused = client.IsRequestsRefused();
    input.mPort = client.GetPort();
    const QipClient::UntrustedOwner untrusted = client.GetUntrustedOwner();
    if (input.mPortRole == QipClient::cRoleAlone) {
        input.mUntrustedOwnerPid = static_cast<int>(untrusted.mPid);
        input.mUntrustedOwnerUser = untrusted.mUser;
    }
    return DescribePortRole(input);
}

std::string QipDiagnosis::DescribePortRole(const Input& input) {
    const std::string head = "UDP port " + std::to_string(input.mPort) + ": ";
    switch (input.mPortRole) {
    case QipClient::cRoleOwner:
        return head + "owned by this program, which shares the answers with the other QIP "
                      "programs of this computer";
    case QipClient::cRoleSubscriber:
        if (input.mIsRequestsRefused) {
            return head + "subscribed to process " + std::to_string(input.mOwnerPid) +
                   ", which owns it and shares every answer but takes no requests from this "
                   "program's user; this program sends its own broadcasts and probes";
        }
        return head + "subscribed to process " + std::to_string(input.mOwnerPid) +
               ", which owns it and shares every answer";
    case QipClient::cRoleAlone:
        break;
    }
    if (input.mUntrustedOwnerPid != 0) {
        return head + "held by this program alone, beside process " +
               std::to_string(input.mUntrustedOwnerPid) + " of user " + input.mUntrustedOwnerUser +
               ", which it does not trust: answers to broadcasts reach both, but answers by "
               "unicast (to probes, and from devices that answer so) may reach only one of them";
    }
    return head + "held by this program alone";
}
