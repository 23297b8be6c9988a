#include "describe/DeviceDescriber.h"

#include <algorithm>
#include <atomic>
#include <memory>

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
    std::vector<Group> groups;
    // Positions are 32-bit; the device list caps its size far below that.
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(snapshot.size(), UINT32_MAX));
    for (uint32_t e = 0; e < count; ++e) {
        if (!IsWanted(snapshot[e].GetDeviceType())) continue;
        const std::string id = snapshot[e].GetDeviceId();
        bool known = false;
        for (size_t g = 0; g < groups.size() && !known; ++g) {
            known = GetElementAt(snapshot, groups[g].front())->GetDeviceId() == id;
        }
        if (known) continue;
        Group group;
        for (uint32_t p = 0; p < count; ++p) {
            if (snapshot[p].GetDeviceId() != id) continue;
            if (IsReachable(snapshot[p].GetLastSourceAddress())) {
                group.insert(group.begin(), p);
            } else {
                group.push_back(p);
            }
        }
        groups.push_back(group);
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
    const std::vector<QipDevice>& snapshot, const std::vector<Group>& groups) const {
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
        descriptions.push_back(d);
    }
    return descriptions;
}

std::vector<DeviceDescriber::Description> DeviceDescriber::Describe(
    std::vector<QipDevice>& snapshot, bool readStatusPages) const {
    std::vector<Group> groups = GroupDevices(snapshot);
    if (readStatusPages) FetchStatusPages(snapshot, groups);
    return BuildDescriptions(snapshot, groups);
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
