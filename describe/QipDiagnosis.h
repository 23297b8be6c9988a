#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ksp/KspNetworkInterface.h"

#include "qip/QipClient.h"

class QipDeviceList;

// Why a search found no device of the wanted types, from what it tried and what it heard:
// what did answer, and the likely causes in order, each with an identifier that a front end
// renders in its own words and language. Text() is the English rendering for a terminal,
// with the command that checks each cause. Pure logic, apart from MakeInput, which reads
// a running client; nothing is kept between calls.
class QipDiagnosis {
public:
    enum CauseId {
        cCauseSocketNotOpen,    // the discovery port could not be opened at all
        cCauseNoInterface,      // no interface to broadcast on
        cCausePortShared,       // another program holds the port and may get the answers
        cCauseReceiveBuffer,    // the kernel dropped answers: the receive buffer was full
        cCauseOtherType,        // devices of other types answered: a type spelled otherwise?
        cCauseUnreadable,       // datagrams that could not be read came in
        cCauseFirewall,         // a firewall drops incoming UDP to the port
        cCauseOtherNetwork,     // the device is on another network or VLAN
        cCauseWifiIsolation,    // an access point or mesh isolates clients or drops broadcasts
        cCauseVpnOrBridge,      // a VPN or container bridge takes the route
        cCauseDeviceOff,        // the device is off, starting or not connected
        cCauseProbedSilent,     // networks were probed by unicast and none of them answered
        cCauseCrowdedSender,    // a sender answered for too many devices; the rest left out
        cCauseProbeUnresolved,  // a probed host name could not be resolved
        cCauseProbeNoRoute,     // no route to a probed network
    };

    struct Cause {
        CauseId mId;
        // What the cause is about, for the text: the types that answered (cCauseOtherType,
        // any that differ from a wanted one only in letter case first), the interfaces that
        // look like a VPN or bridge (cCauseVpnOrBridge) or like Wi-Fi (cCauseWifiIsolation),
        // the networks tried (cCauseOtherNetwork), the networks probed (cCauseProbedSilent),
        // the crowded sender addresses (cCauseCrowdedSender), the names (cCauseProbeUnresolved),
        // the networks without a route (cCauseProbeNoRoute);
        // empty for the others.
        std::vector<std::string> mSubjects;
    };

    struct Input {
        std::vector<KspNetworkInterface> mTried;             // broadcast on
        std::vector<KspNetworkInterface::Skipped> mSkipped;  // left out, with the reason
        std::vector<std::string> mWantedTypes;               // empty: every type is wanted
        std::map<std::string, size_t> mDevicesByType;        // every type heard → distinct ids
        uint64_t mWhoIsThereFromOthers = 0;
        std::vector<std::string> mWhoIsThereSources;
        // More senders asked than the counts tell apart: the sources are only some of them.
        bool mIsWhoIsThereSourcesCapped = false;
        uint64_t mMalformed = 0;
        uint64_t mKernelDrops = 0;
        bool mIsPortShared = false;
        QipClient::Role mPortRole = QipClient::cRoleAlone;
        int mOwnerPid = 0;  // while subscribed
        bool mIsRequestsRefused = false;  // subscribed, but the owner takes no requests
        // An owner found and not believed, beside which the program listens alone:
        // pid 0 when none.
        int mUntrustedOwnerPid = 0;
        std::string mUntrustedOwnerUser;
        bool mIsSocketOpen = true;
        unsigned short mPort = 19375;
        std::vector<std::string> mProbed;  // the probe targets, described; empty: none
        uint64_t mProbeAnswers = 0;        // hellos from a probed address
        uint64_t mProbeFailures = 0;       // probes of the latest sweep that were not sent
        // How each target went (QipClient::GetProbeOutcomes): the names that could not be
        // resolved, the networks without a route, those probed and silent, and "TARGET
        // through INTERFACE" for each whose route leaves through an interface left out.
        // All empty: only mProbed and mProbeAnswers are known.
        std::vector<std::string> mProbeUnresolved;
        // Why each of them (same order): "no answer from the name server within 4 s", the
        // resolver's words; a name without a reason here is said in general words.
        std::vector<std::string> mProbeUnresolvedReasons;
        std::vector<std::string> mProbeNoRoute;
        std::vector<std::string> mProbeSilent;
        std::vector<std::string> mProbeExcluded;
        // Senders whose further devices the list left out (QipDeviceList::GetCrowdedSenders).
        std::vector<std::string> mCrowdedSenders;
    };

    struct Result {
        size_t mAnswered = 0;  // distinct devices of any type
        size_t mWanted = 0;    // of them, of a wanted type
        // The types heard that are not wanted, with their distinct devices, by type.
        std::vector<std::pair<std::string, size_t>> mOtherTypes;
        std::vector<Cause> mCauses;  // most likely first
    };

    // What `client` heard, with the interfaces of `scan` as the client's filter leaves them,
    // and what `list` (null: none) left out.
    static Input MakeInput(const QipClient& client, const KspNetworkInterface::Scan& scan,
                           const std::vector<std::string>& wantedTypes,
                           const QipDeviceList* list = nullptr);
    static Result Diagnose(const Input& input);

    // A stable lower-case identifier: "socket-not-open", "no-interface", "port-shared",
    // "receive-buffer", "other-type", "unreadable", "firewall", "other-network",
    // "wifi-isolation", "vpn-or-bridge", "device-off", "probed-silent", "crowded-sender", "probe-unresolved",
    // "probe-no-route".
    static const char* CauseName(CauseId id);
    // "2 devices answered, of type Camera (1) and Plug (1); none of type QipBox",
    // "No device answered." without any answer.
    static std::string DescribeAnswers(const Input& input, const Result& result);
    // The whole diagnosis in English for a terminal, several lines each ending in "\n": the
    // interfaces tried and skipped, the networks probed, what answered, the shared port, then the causes in order,
    // each with the command that checks it.
    static std::string Text(const Input& input, const Result& result);
    // How the program hears the port (from the mPort* fields, mOwnerPid,
    // mIsRequestsRefused and mUntrustedOwner*): "UDP port 19375: owned by this program",
    // "... subscribed to process 1234, which owns it", "... held by this program alone",
    // and what a refused subscriber or an untrusted owner costs.
    static std::string DescribePortRole(const Input& input);
    static std::string DescribePortRole(const QipClient& client);
};
