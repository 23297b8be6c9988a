#include "describe/DeviceDescriber.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <unordered_map>

#include "describe/DeviceNetworkCheck.h"

#include "ksp/KspClock.h"
#include "ksp/KspThread.h"
#include "sysinfo/SysInfo.h"

const char* const DeviceDescriber::cSsidPath = "status/wlan/ssid";
const unsigned DeviceDescriber::cMaxConcurrentFetches;
const unsigned long DeviceDescriber::cTimeBudgetMs;

// Reads the status pages of one call of FetchStatusPages. The calling thread works too, so
// with cMaxConcurrentFetches - 1 helpers at most that many requests run at once; if no
// helper can be started the caller alone reads every page. Helpers are joined before the
// job ends, whatever happened.
class DeviceDescriber::FetchJob {
public:
    FetchJob(const DeviceDescriber* outer, std::vector<QipDevice>& snapshot,
             const std::vector<Group>& groups)
        : mOuter(outer),
          mSnapshot(snapshot),
          mGroups(groups),
          mNext(0),
          mDeadlineMs(KspMonotonicMs() + static_cast<long long>(outer->mTimeBudgetMs)) {}
    FetchJob(const FetchJob&) = delete;
    FetchJob& operator=(const FetchJob&) = delete;
    ~FetchJob() {
        for (size_t i = 0; i < mHelpers.size(); ++i) mHelpers[i]->Stop();
        for (size_t i = 0; i < mHelpers.size(); ++i) mHelpers[i]->WaitForCompletion();
    }

    void Run() {
        size_t helpers = std::min<size_t>(mGroups.size(), cMaxConcurrentFetches) - 1;
        for (size_t i = 0; i < helpers; ++i) {
            std::unique_ptr<FetchThread> helper(new FetchThread(this));
            if (helper->Start() != 0) break;
            mHelpers.push_back(std::move(helper));
        }
        while (FetchNext()) {
        }
    }

    // Claims the next unread group and reads its page; false when none is left.
    bool FetchNext() {
        size_t index = mNext.fetch_add(1);
        if (index >= mGroups.size()) return false;
        QipDevice* first = GetElementAt(mSnapshot, mGroups[index].front());
        if (first == nullptr) return true;
        // Many devices that accept a connection and never answer must not hold the tick
        // for batch after batch: what the budget leaves unread stays without an SSID.
        const long long left = mDeadlineMs - KspMonotonicMs();
        if (left <= 0) return true;
        SysInfo& sysInfo = *first->GetSysInfo();
        sysInfo.SetTimeLimit(static_cast<unsigned long>(left));
        if (mOuter->mFetcher != nullptr) {
            mOuter->mFetcher->FetchStatus(sysInfo);
        } else {
            sysInfo.Fetch();
        }
        // Only the SSID is described; a whole page per device held until the tick ends
        // would let one host with many ids fill the memory.
        sysInfo.KeepOnly(cSsidPath);
        return true;
    }

private:
    class FetchThread : public KspThread {
    public:
        explicit FetchThread(FetchJob* outer) : mOuter(outer) {}
        // A stop is only requested once every group has been claimed, so checking it
        // between pages never leaves one unread.
        void Run() override {
            while (IsThreadRunning() && mOuter->FetchNext()) {
            }
        }

    private:
        FetchJob* mOuter;
    };

    const DeviceDescriber* mOuter;
    std::vector<QipDevice>& mSnapshot;
    const std::vector<Group>& mGroups;
    std::atomic<size_t> mNext;
    const long long mDeadlineMs;  // monotonic; no page is begun after it
    std::vector<std::unique_ptr<FetchThread>> mHelpers;
};

DeviceDescriber::DeviceDescriber(const std::vector<std::string>& wantedTypes,
                                 const std::vector<KspNetworkInterface>& interfaces)
    : mWantedTypes(wantedTypes),
      mInterfaces(interfaces),
      mMatchAnyType(false),
      mFetcher(nullptr),
      mTimeBudgetMs(cTimeBudgetMs) {}

bool DeviceDescriber::IsWanted(const std::string& deviceType) const {
    if (mMatchAnyType) return true;
    return std::find(mWantedTypes.begin(), mWantedTypes.end(), deviceType) != mWantedTypes.end();
}

bool DeviceDescriber::IsReachable(const std::string& address) const {
    for (size_t i = 0; i < mInterfaces.size(); ++i) {
        if (mInterfaces[i].IsReachable(address)) return true;
    }
    return false;
}

std::vector<DeviceDescriber::Group> DeviceDescriber::GroupDevices(
    const std::vector<QipDevice>& snapshot) const {
    // Positions are 32-bit; the device list caps its size far below that.
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(snapshot.size(), UINT32_MAX));
    // One pass sorts every entry into the bucket of its id: reachable entries in snapshot
    // order (reversed below, as each went to the front of its group), the others likewise.
    struct Bucket {
        Group mReachable;
        Group mUnreachable;
        bool mIsWanted = false;
    };
    std::vector<Bucket> buckets;
    std::unordered_map<std::string, size_t> bucketOfId;
    std::vector<size_t> order;  // buckets in the order their ids are first met wanted
    for (uint32_t p = 0; p < count; ++p) {
        const QipDevice& entry = snapshot[p];
        const auto found = bucketOfId.emplace(entry.GetDeviceId(), buckets.size());
        if (found.second) buckets.emplace_back();
        Bucket& bucket = buckets[found.first->second];
        (IsReachable(entry.GetLastSourceAddress()) ? bucket.mReachable : bucket.mUnreachable)
            .push_back(p);
        if (!bucket.mIsWanted && IsWanted(entry.GetDeviceType())) {
            bucket.mIsWanted = true;
            order.push_back(found.first->second);
        }
    }
    std::vector<Group> groups;
    groups.reserve(order.size());
    for (size_t b : order) {
        Bucket& bucket = buckets[b];
        Group group(bucket.mReachable.rbegin(), bucket.mReachable.rend());
        group.insert(group.end(), bucket.mUnreachable.begin(), bucket.mUnreachable.end());
        groups.push_back(std::move(group));
    }
    return groups;
}

void DeviceDescriber::FetchStatusPages(std::vector<QipDevice>& snapshot,
                                       const std::vector<Group>& groups) const {
    if (groups.empty()) return;
    FetchJob job(this, snapshot, groups);
    job.Run();
}

std::vector<DeviceDescriber::Description> DeviceDescriber::BuildDescriptions(
    const std::vector<QipDevice>& snapshot, const std::vector<Group>& groups,
    bool pagesRead) const {
    std::vector<Description> descriptions;
    for (size_t g = 0; g < groups.size(); ++g) {
        const QipDevice* first = GetElementAt(snapshot, groups[g].front());
        if (first == nullptr) continue;
        Description d;
        d.mDeviceType = first->GetDeviceType();
        d.mDeviceId = first->GetDeviceId();
        d.mSsid = first->GetSysInfo()->GetValue(cSsidPath);
        d.mDeviceIp = first->GetLastSourceAddress();
        d.mDisplayString = MakeDisplayString(d.mDeviceId, d.mDeviceType, d.mSsid);
        const KspNetworkInterface* network =
            DeviceNetworkCheck::FindNetwork(mInterfaces, d.mDeviceIp);
        d.mIsReachable = network != nullptr;
        d.mNetwork = network != nullptr ? network->GetName() : std::string();
        d.mHelloNote = DeviceNetworkCheck::CheckHello(mInterfaces, d.mDeviceIp,
                                                      first->GetIpAddress(), first->GetNetmask());
        const std::string& outcome = first->GetSysInfo()->GetOutcome();
        // A page never begun within the time budget has no outcome of its own.
        d.mPageOutcome = !pagesRead ? "skipped" : outcome.empty() ? "timeout" : outcome;
        descriptions.push_back(d);
    }
    return descriptions;
}

std::vector<DeviceDescriber::Description> DeviceDescriber::Describe(
    std::vector<QipDevice>& snapshot, bool readStatusPages) const {
    std::vector<Group> groups = GroupDevices(snapshot);
    if (readStatusPages) FetchStatusPages(snapshot, groups);
    return BuildDescriptions(snapshot, groups, readStatusPages);
}

std::string DeviceDescriber::MakeDisplayString(const std::string& deviceId,
                                               const std::string& deviceType,
                                               const std::string& ssid) {
    return deviceId + " - " + deviceType + " - SSID:\"" + ssid + "\"";
}

QipDevice* DeviceDescriber::GetElementAt(std::vector<QipDevice>& list, uint32_t n) {
    return n < list.size() ? &list[n] : nullptr;
}

const QipDevice* DeviceDescriber::GetElementAt(const std::vector<QipDevice>& list, uint32_t n) {
    return n < list.size() ? &list[n] : nullptr;
}
