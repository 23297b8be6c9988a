#pragma once

#include <string>
#include <vector>

#include "qip/QipDevice.h"

// What changed between two snapshots of a device list, entry by entry. Entries are matched
// as the list keys them, by (device id, source address), so each change the list announces
// shows up here: a new pair appeared, a pair's packet id changed, a pair was aged out.
// Several changes between two looks are seen as their net effect. Pure.
class QipDeviceChanges {
public:
    enum Kind { cAppeared, cChanged, cGone };

    struct Entry {
        std::string mDeviceType;
        std::string mDeviceId;
        std::string mSourceAddress;
        std::string mPacketId;
    };
    struct Change {
        Kind mKind;
        Entry mEntry;  // for cGone the entry as it was last seen
        // Position of the entry in the snapshot it comes from (the later one, or for cGone
        // the earlier one).
        size_t mPosition;
    };

    static Entry FromDevice(const QipDevice& device);
    static std::vector<Entry> FromSnapshot(const std::vector<QipDevice>& snapshot);
    // Appeared and changed entries in `after` order, then gone entries in `before` order.
    static std::vector<Change> Compare(const std::vector<Entry>& before,
                                       const std::vector<Entry>& after);
    // "appeared", "changed" or "gone".
    static const char* KindName(Kind kind);
};
