#include "tools/discover/QipDeviceChanges.h"

namespace {

bool SameKey(const QipDeviceChanges::Entry& a, const QipDeviceChanges::Entry& b) {
    return a.mDeviceId == b.mDeviceId && a.mSourceAddress == b.mSourceAddress;
}

// Position of the entry keyed like `entry` in `list`, or list.size().
size_t Find(const std::vector<QipDeviceChanges::Entry>& list,
            const QipDeviceChanges::Entry& entry) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (SameKey(list[i], entry)) return i;
    }
    return list.size();
}

}  // namespace

QipDeviceChanges::Entry QipDeviceChanges::FromDevice(const QipDevice& device) {
    return Entry{device.GetDeviceType(), device.GetDeviceId(), device.GetLastSourceAddress(),
                 device.GetPacketId()};
}

std::vector<QipDeviceChanges::Entry> QipDeviceChanges::FromSnapshot(
    const std::vector<QipDevice>& snapshot) {
    std::vector<Entry> entries;
    for (const QipDevice& device : snapshot) entries.push_back(FromDevice(device));
    return entries;
}

std::vector<QipDeviceChanges::Change> QipDeviceChanges::Compare(const std::vector<Entry>& before,
                                                                const std::vector<Entry>& after) {
    std::vector<Change> changes;
    for (size_t i = 0; i < after.size(); ++i) {
        size_t old = Find(before, after[i]);
        if (old == before.size()) {
            changes.push_back(Change{cAppeared, after[i], i});
        } else if (before[old].mPacketId != after[i].mPacketId) {
            changes.push_back(Change{cChanged, after[i], i});
        }
    }
    for (size_t i = 0; i < before.size(); ++i) {
        if (Find(after, before[i]) == after.size()) changes.push_back(Change{cGone, before[i], i});
    }
    return changes;
}

const char* QipDeviceChanges::KindName(Kind kind) {
    switch (kind) {
        case cAppeared: return "appeared";
        case cChanged: return "changed";
        case cGone: return "gone";
    }
    return "changed";
}
