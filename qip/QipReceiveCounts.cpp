#include "qip/QipReceiveCounts.h"

#include <algorithm>

const size_t QipReceiveCounts::cMaxTypes;
const size_t QipReceiveCounts::cMaxIdsPerType;
const size_t QipReceiveCounts::cMaxSources;

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
        type = mIdsByType.emplace(deviceType, std::unordered_set<std::string>()).first;
    }
    std::unordered_set<std::string>& ids = type->second;
    if (ids.size() >= cMaxIdsPerType) {
        mCounts.mIsCapped = mCounts.mIsCapped || ids.count(deviceId) == 0;
        return;
    }
    ids.insert(deviceId);
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
