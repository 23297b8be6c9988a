#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ksp/KspThreadMutex.h"
#include "qip/QipDevice.h"

// What the exporter has read of the devices' status pages, one entry per (device id, source
// address) whose page was asked for, and which reads are due. The page reader tells it of
// each record that appeared or whose packet id changed (Note) and takes the reads due
// (TakeDue), so its work follows the changes, not the size of the list.
//
// A page is read when its record appears, and again when its packet id changes, but never
// twice within cMinReadIntervalMs: a device (or a host posing as thousands) that changes its
// packet id on every answer is read at most every 30 s, its latest state then. At most
// cMaxReadsPerSender reads towards one source address are handed out at once. A read that
// failed is tried again after cFirstRetryMs, then after twice as long each time up to
// cMaxRetryMs, so that a device whose web server starts after its discovery answers gets its
// SSID without being asked on every scrape. Scrapes only look entries up.
//
// Prune drops the entries of records that left the list, so the table never holds more
// entries than the list holds records. All members may be called from any thread; every
// call is one short step under mLock. Times are monotonic milliseconds.
class QipExporterPages {
public:
    static const long long cFirstRetryMs = 30000;
    static const long long cMaxRetryMs = 600000;
    static const long long cMinReadIntervalMs = 30000;
    static const size_t cMaxReadsPerSender = 4;

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

    static Record RecordOf(const QipDevice& device);

    // `device` appeared in the list or changed its packet id at `nowMs`: its page becomes
    // due, at once when never read, else once cMinReadIntervalMs have passed since the
    // last read began. A packet id already read (and not failed) changes nothing.
    void Note(const QipDevice& device, long long nowMs);
    // Drops the entries of records not among `present` (every record of the list now).
    void Prune(const std::vector<QipDevice>& present);
    // Up to `limit` reads due at `nowMs`, earliest first, at most cMaxReadsPerSender per
    // source address; each counts as begun now. The caller reads them and calls Store, or
    // Return for one it did not begin.
    std::vector<QipDevice> TakeDue(long long nowMs, size_t limit);
    // Hands back a read TakeDue gave out but that was not begun: due again at once.
    void Return(const QipDevice& device, long long nowMs);
    // Stores how the read of `record` ended; counts the outcome.
    void Store(const Record& record, const std::string& ssid, const std::string& outcome,
               long long nowMs);
    // The page last read for (device id, source address), whatever packet id it was read
    // under (a read for a new packet id keeps the old SSID shown until it ends); false
    // when none was read yet.
    bool Find(const std::string& deviceId, const std::string& sourceAddress, Page& page) const;
    // When the next read is due (monotonic ms; at most nowMs when one is due now), -1 when
    // none is waiting: the reader sleeps until then or until the list changes.
    long long NextDueMs() const;
    // Every read since start, by outcome.
    std::map<std::string, uint64_t> GetReadCounts() const;
    size_t GetEntryCount() const;

private:
    struct Entry {
        std::string mPacketId;      // the packet id last read (or being read)
        Page mPage;
        unsigned mFailures = 0;     // failed reads in a row under this packet id
        bool mHasRead = false;      // a read was begun once
        long long mLastReadMs = 0;  // when the last read began
        // The read waiting, with the record to read it from; null when none waits.
        std::unique_ptr<QipDevice> mDue;
        // The record of the read under way, kept to try again from should it fail.
        std::unique_ptr<QipDevice> mReading;
        std::multimap<long long, std::string>::iterator mQueued;  // valid while mDue is set
    };
    static std::string KeyOf(const std::string& deviceId, const std::string& sourceAddress);
    // Queues the read of `device` for `entry` at `dueMs` (the earlier time when queued).
    void Queue(const std::string& key, Entry& entry, const QipDevice& device, long long dueMs);
    void Unqueue(Entry& entry);

    mutable KspThreadMutex mLock;  // guards mEntries, mQueue and mReadCounts
    std::unordered_map<std::string, Entry> mEntries;
    std::multimap<long long, std::string> mQueue;  // due time → key of an entry with mDue
    std::map<std::string, uint64_t> mReadCounts;
};
