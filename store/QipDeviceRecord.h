#pragma once

#include <time.h>

#include <string>
#include <vector>

// What the store remembers of one device (id and type), and the pure rules by which a new
// sighting and a record already stored are merged. Plain values; no lock, no file.
struct QipDeviceRecord {
    static const size_t cMaxAddresses = 4;      // the last ones it answered from
    static const size_t cMaxLabelCharacters = 64;
    static const size_t cMaxTextBytes = 256;     // a longer id, type or SSID is cut there

    std::string mDeviceId;
    std::string mDeviceType;
    std::vector<std::string> mAddresses;  // most recent first, at most cMaxAddresses
    std::string mSsid;                    // as its page said last time it was read; may be ""
    time_t mFirstSeen = 0;                // wall clock, seconds
    time_t mLastSeen = 0;
    time_t mLastOpened = 0;               // 0: never opened
    std::string mLabel;                   // "" for none

    // The addresses as stored: space-separated, most recent first; and back.
    std::string JoinAddresses() const;
    static std::vector<std::string> SplitAddresses(const std::string& text);

    // "" when `label` may be a label: well-formed UTF-8 of at most cMaxLabelCharacters
    // characters and no control characters; else why not ("a label has at most 64 characters").
    static std::string CheckLabel(const std::string& label);
};

// One device heard: what a program hands to the store.
struct QipDeviceSighting {
    std::string mDeviceId;
    std::string mDeviceType;
    std::vector<std::string> mAddresses;  // most recent first
    std::string mSsid;                    // "" when its page was not read
    time_t mSeen = 0;
};

class QipDeviceMerge {
public:
    // The record after `sighting`, given the stored record (null when there is none). The
    // later last_seen wins with its address first and its SSID (when it read one); an older
    // sighting (another program wrote a newer one meanwhile) adds only its addresses not yet
    // known, at the end, and an earlier first_seen. Label and last opened are kept.
    static QipDeviceRecord Apply(const QipDeviceRecord* stored, const QipDeviceSighting& sighting);
    // Folds a later sighting of the same device into a queued one.
    static void Combine(QipDeviceSighting& queued, const QipDeviceSighting& later);
    // Whether `sighting` tells the store nothing new about `stored`: the same first address,
    // no other SSID, and a last_seen less than `stepSeconds` old.
    static bool IsStale(const QipDeviceRecord& stored, const QipDeviceSighting& sighting,
                        time_t stepSeconds);
    // "last seen 3 days ago" and its kin for `lastSeen` at `now`: "just now" under a minute,
    // then minutes, hours, days (English; front ends translate their own).
    static std::string DescribeAge(time_t lastSeen, time_t now);
};
