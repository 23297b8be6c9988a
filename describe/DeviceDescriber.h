#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "ksp/KspNetworkInterface.h"
#include "qip/QipDevice.h"

class SysInfo;

// Turns one device list snapshot into the descriptions a search tick reports: the entries of
// the wanted types grouped by device id (entries reachable from a local interface first),
// each group's status page read, and one description per group in the order the ids are
// first met. Written once for the Qt search and for qip-discover; needs no toolkit.
//
// Everything but FetchStatusPages and Describe is pure. Those two block the calling thread
// until every page is read, has failed or was given up: up to cMaxConcurrentFetches requests
// run at once, no request begins once the time budget (cTimeBudgetMs by default) has passed
// and none runs beyond it, so one call blocks for about the budget at most, whatever the
// number of devices. A page given up leaves its SSID empty, like a page that cannot be read.
// A describer keeps nothing between calls; it may be used by one thread at a time.
class DeviceDescriber {
public:
    static const unsigned cMaxConcurrentFetches = 16;
    static const unsigned long cTimeBudgetMs = 5000;
    static const char* const cSsidPath;  // "status/wlan/ssid"

    // The values of one device dictionary, as bytes from the network.
    struct Description {
        std::string mDeviceType;
        std::string mDeviceId;
        std::string mSsid;
        std::string mDeviceIp;
        std::string mDisplayString;
        // Beside the five values above, for front ends that explain what they show (with
        // initializers, so that code listing only the five still compiles warning-free):
        // whether the address lies on the network of one of the interfaces, and the name of
        // the first such interface (empty when none: the device is behind a router and its
        // page may not open).
        bool mIsReachable = false;
        std::string mNetwork = std::string();
        // DeviceNetworkCheck::CheckHello of the hello's address and netmask: empty when they
        // agree with the network it was heard on, else a note such as "says 10.0.0.5/8".
        std::string mHelloNote = std::string();
        // How reading the status page ended: SysInfo::GetOutcome ("ok", "refused",
        // "timeout", "http 404", "too large", ...), "skipped" when pages were not read, and
        // "timeout" too for a page that the time budget left unread.
        std::string mPageOutcome = std::string();
    };
    // Snapshot positions of all entries of one device id; the first supplies the description.
    typedef std::vector<uint32_t> Group;

    // Reads one status page into `sysInfo`. Called on fetch threads, several calls at once,
    // each with a SysInfo of its own; the result of the read is not used.
    class StatusFetcher {
    public:
        virtual void FetchStatus(SysInfo& sysInfo) = 0;

    protected:
        ~StatusFetcher() = default;
    };

    // `wantedTypes` are compared byte-wise and case-sensitively with each entry's type;
    // an address counts as reachable when any of `interfaces` reaches it.
    DeviceDescriber(const std::vector<std::string>& wantedTypes,
                    const std::vector<KspNetworkInterface>& interfaces);

    // Every type is wanted (for a front end that was given no types).
    void SetMatchAnyType(bool matchAnyType) { mMatchAnyType = matchAnyType; }
    // Not owned; it must outlive the calls. Null (the default) fetches over the network.
    void SetStatusFetcher(StatusFetcher* fetcher) { mFetcher = fetcher; }
    // The time one FetchStatusPages may take, in milliseconds (not 0).
    void SetTimeBudget(unsigned long milliseconds) { mTimeBudgetMs = milliseconds; }

    bool IsWanted(const std::string& deviceType) const;
    bool IsReachable(const std::string& address) const;

    // The device groups of `snapshot`, in the order their ids are first met among the wanted
    // entries. Within a group the reachable entries come first, latest in the snapshot first,
    // then the unreachable ones in snapshot order; a group holds every entry of its id,
    // whatever that entry's own type. Linear in the size of the snapshot.
    std::vector<Group> GroupDevices(const std::vector<QipDevice>& snapshot) const;
    // Reads the status page of each group's first entry into that entry of `snapshot`,
    // keeping only its SSID.
    void FetchStatusPages(std::vector<QipDevice>& snapshot, const std::vector<Group>& groups) const;
    // One description per group, in group order, from the values already read;
    // `pagesRead` false says that FetchStatusPages was not called (every page "skipped").
    std::vector<Description> BuildDescriptions(const std::vector<QipDevice>& snapshot,
                                               const std::vector<Group>& groups,
                                               bool pagesRead = true) const;
    // Groups, reads the status pages (unless `readStatusPages` is false, when every SSID is
    // empty) and describes. The pages are read into `snapshot`, which the caller discards.
    std::vector<Description> Describe(std::vector<QipDevice>& snapshot,
                                      bool readStatusPages = true) const;

    // "<id> - <type> - SSID:\"<ssid>\"", each text inserted unchanged.
    static std::string MakeDisplayString(const std::string& deviceId,
                                         const std::string& deviceType,
                                         const std::string& ssid);
    // The entry at 0-based position `n`, or null when `n` is not less than the entry count.
    static QipDevice* GetElementAt(std::vector<QipDevice>& list, uint32_t n);
    static const QipDevice* GetElementAt(const std::vector<QipDevice>& list, uint32_t n);

private:
    class FetchJob;

    std::vector<std::string> mWantedTypes;
    std::vector<KspNetworkInterface> mInterfaces;
    bool mMatchAnyType;
    StatusFetcher* mFetcher;
    unsigned long mTimeBudgetMs;
};
