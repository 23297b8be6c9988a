#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ksp/KspThreadMutex.h"

// What a discovery client has heard since it started, whatever its hello handler keeps:
// devices of every type, datagrams it could not read, other clients' questions, answers its
// interface filter left out and what the kernel dropped. A front end tells a user from
// these why the devices it wants did not show. The receive thread records; any thread may
// take a copy with GetCounts. Every record is a short step under one lock. Not copyable.
class QipReceiveCounts {
public:
    // Beyond these, distinct ids, types and senders are no longer told apart (a flood of
    // made-up ids must not grow the memory without end); the counts are then lower bounds.
    // Ids are kept as 64-bit hashes, whatever their length, and what the type names and id
    // hashes take is bounded in bytes too (an estimate that includes the containers' own
    // share), so that one host sending long names cannot push the memory past it either.
    static const size_t cMaxTypes = 64;
    static const size_t cMaxIdsPerType = 4096;
    static const size_t cMaxSources = 16;
    static const size_t cMaxStoredBytes = 2 * 1024 * 1024;

    // A copy of the counts at one moment.
    struct Counts {
        uint64_t mDatagrams = 0;   // every datagram read, the client's own broadcasts included
        uint64_t mHellos = 0;      // hellos of any type, also those the filter left out
        // Datagrams that are neither a readable hello nor a readable whoisthere (the packet
        // parser reports each on standard error as it always has).
        uint64_t mMalformed = 0;
        // Whoisthere datagrams from an address that is none of this machine's: another
        // client on that network, which proves that datagrams to the port get through.
        uint64_t mWhoIsThereFromOthers = 0;
        std::vector<std::string> mWhoIsThereSources;  // their distinct senders, first heard first
        // Hellos that arrived through an interface outside the client's filter.
        uint64_t mOtherInterface = 0;
        // Datagrams the kernel dropped because the receive buffer was full.
        uint64_t mKernelDrops = 0;
        // Device type → number of distinct device ids heard with it, for every type.
        std::map<std::string, size_t> mDeviceIdsByType;
        // True when a limit above was reached: counts of ids, types and senders are then
        // at least the figures given.
        bool mIsCapped = false;
    };

    QipReceiveCounts() = default;
    QipReceiveCounts(const QipReceiveCounts&) = delete;
    QipReceiveCounts& operator=(const QipReceiveCounts&) = delete;

    void CountDatagram();
    void CountHello(const std::string& deviceType, const std::string& deviceId,
                    bool isOtherInterface);
    void CountMalformed();
    void CountWhoIsThereFromOther(const std::string& sourceAddress);
    // The kernel's running total of drops for the socket (it only grows).
    void SetKernelDrops(uint64_t total);

    Counts GetCounts() const;

private:
    // What one stored id hash and one stored type (beside its name) are taken to cost.
    static const size_t cIdCostBytes = 48;
    static const size_t cTypeCostBytes = 160;

    // Takes `bytes` from the budget; false (and the counts capped) when they do not fit.
    bool Spend(size_t bytes);

    mutable KspThreadMutex mLock;  // guards every member below
    Counts mCounts;                // mDeviceIdsByType is filled in by GetCounts
    // Two ids with the same hash count once: the counts are lower bounds in any case.
    std::unordered_map<std::string, std::unordered_set<uint64_t>> mIdsByType;
    size_t mStoredBytes = 0;
};
