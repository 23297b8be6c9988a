#include "qip/QipReceiveCounts.h"

#include <algorithm>
#include <functional>

const size_t QipReceiveCounts::cMaxTypes;
const size_t QipReceiveCounts::cMaxIdsPerType;
const size_t QipReceiveCounts::cMaxSources;
const size_t QipReceiveCounts::cMaxStoredBytes;
const size_t QipReceiveCounts::cIdCostBytes;
const size_t QipReceiveCounts::cTypeCostBytes;

bool QipReceiveCounts::Spend(size_t bytes) {
    if (bytes > cMaxStoredBytes - mStoredBytes) {
        mCounts.mIsCapped = true;
        return false;
    }
    mStoredBytes += bytes;
    return true;
}

void QipReceiveCounts::CountDatagram() {
    KspThreadMutex::Guard guard(mLock);
    ++mCounts.mDatagrams;
}

void QipReceiveCounts::CountHello(const std::string& deviceType, const std::string& deviceId,
                                  bool isOtherInterface) {
    KspThreadMutex::Guard guard(mLock);
    ++mCounts.mHellos;
    if (isOtherInterface) {
        ++mCounts.mOtherInterface;
    }
    auto type = mIdsByType.find(deviceType);
    if (type == mIdsByType.end()) {
        if (mIdsByType.size() >= cMaxTypes) {
            mCounts.mIsCapped = true;
            return;
        }
        if (!Spend(cTypeCostBytes + deviceType.size())) return;
        type = mIdsByType.emplace(deviceType, std::unordered_set<uint64_t>()).first;
    }
    std::unordered_set<uint64_t>& ids = type->second;
    const uint64_t id = std::hash<std::string>()(deviceId);
    if (ids.count(id) != 0) return;
    if (ids.size() >= cMaxIdsPerType || !Spend(cIdCostBytes)) {
        mCounts.mIsCapped = true;
        return;
    }
    ids.insert(id);
}

void QipReceiveCounts::CountMalformed() {
    KspThreadMutex::Guard guard(mLock);
    ++mCounts.mMalformed;
}

void QipReceiveCounts::CountWhoIsThereFromOther(const std::string& sourceAddress) {
    KspThreadMutex::Guard guard(mLock);
    ++mCounts.mWhoIsThereFromOthers;
    std::vector<std::string>& sources = mCounts.mWhoIsThereSources;
    if (std::find(sources.begin(), sources.end(), sourceAddress) != sources.end()) {
        return;
    }
    if (sources.size() >= cMaxSources) {
        mCounts.mIsCapped = true;
        return;
    }
    sources.push_back(sourceAddress);
}

void QipReceiveCounts::SetKernelDrops(uint64_t total) {
    KspThreadMutex::Guard guard(mLock);
    mCounts.mKernelDrops = total;
}

QipReceiveCounts::Counts QipReceiveCounts::GetCounts() const {
    KspThreadMutex::Guard guard(mLock);
    Counts counts = mCounts;
    for (const auto& type : mIdsByType) {
        counts.mDeviceIdsByType[type.first] = type.second.size();
    }
    return counts;
}
