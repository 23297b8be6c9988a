#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "ksp/KspThreadMutex.h"

// What the exporter has read of the devices' status pages, one entry per (device id, source
// address) whose page was asked for, and how the reads ended. The page reader decides with
// Plan which pages to read: that of an entry never read, or whose packet id changed (the
// device appeared, or says its state changed). A read that failed is tried again after
// cFirstRetryMs, then after twice as long each time up to cMaxRetryMs, so that a device
// whose web server starts after its discovery answers gets its SSID without being asked on
// every scrape. Scrapes only look entries up.
//
// Entries of records that left the list are dropped by Plan, so the table never holds more
// entries than the list holds records. All members may be called from any thread; every
// call is one short step under mLock. `nowMs` is a monotonic time.
class QipExporterPages {
public:
    static const long long cFirstRetryMs = 30000;
    static const long long cMaxRetryMs = 600000;

    // One record of the list as the reader sees it.
    struct Record {
        std::string mDeviceId;
        std::string mSourceAddress;
        std::string mPacketId;
    };
    // What the scrape shows of a record whose page was read (or given up).
    struct Page {
        std::string mSsid;
        std::string mOutcome;  // "ok", "refused", "timeout", "http 404", ...
    };

    QipExporterPages() = default;
    QipExporterPages(const QipExporterPages&) = delete;
    QipExporterPages& operator=(const QipExporterPages&) = delete;

    // Drops the entries of records not among `present` (every record of the list now), and
    // returns the positions in `wanted` whose page is due: never read, read with another
    // packet id, or failed and due for another try at `nowMs`.
    std::vector<size_t> Plan(const std::vector<Record>& present, const std::vector<Record>& wanted,
                             long long nowMs);
    // Stores how the read of `record` ended; counts the outcome.
    void Store(const Record& record, const std::string& ssid, const std::string& outcome,
               long long nowMs);
    // The page last read for (device id, source address), whatever packet id it was read
    // under (a read for a new packet id keeps the old SSID shown until it ends); false
    // when none was read yet.
    bool Find(const std::string& deviceId, const std::string& sourceAddress, Page& page) const;
    // When the first failed read is due again (monotonic ms), -1 when none failed: the
    // reader sleeps until then or until the list changes, and costs nothing while idle.
    long long NextRetryMs() const;
    // Every read since start, by outcome.
    std::map<std::string, uint64_t> GetReadCounts() const;
    size_t GetEntryCount() const;

private:
    struct Entry {
        std::string mPacketId;
        Page mPage;
        unsigned mFailures = 0;  // failed reads in a row under this packet id
        long long mRetryAtMs = 0;
    };
    static std::string KeyOf(const std::string& deviceId, const std::string& sourceAddress);

    mutable KspThreadMutex mLock;  // guards mEntries and mReadCounts
    std::unordered_map<std::string, Entry> mEntries;
    std::map<std::string, uint64_t> mReadCounts;
};
