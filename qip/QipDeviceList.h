#pragma once

#include <time.h>

#include <stdint.h>

#include <atomic>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "ksp/KspThread.h"
#include "ksp/KspThreadCondition.h"
#include "ksp/KspThreadMutex.h"
#include "qip/QipClient.h"
#include "qip/QipDevice.h"
#include "qip/QipReportLimiter.h"

// The devices currently answering, one record per (device id, source address), in the order
// first heard. Attaches itself to one client as its hello handler; an ageing thread removes
// records silent for more than 30 seconds every 3 seconds. Each change calls the change
// handler (if any) and then signals a condition, on the changing thread, with no lock held.
//
// Room for everyone: one sender address holds at most cMaxPerSender records (a real device
// answers from its own address, so a few per address are normal). Hellos of further ids from
// a crowded address are left out and counted, and each crowded address is said on standard
// error at most once a minute ("203.0.113.3 answers for more than 256 devices; the rest are
// left out"), so one host sending thousands of ids cannot fill the list and lock real
// devices out.
//
// Take-down rule: the owner destroys the client before the device list, so that no OnHello
// can reach a list whose destruction has begun. The list never withdraws its handler.
// Not copyable.
class QipDeviceList {
public:
    static const size_t cMaxDevices = 4096;
    static const time_t cMaxSilenceSeconds = 30;
    static const unsigned long cAgingPeriodMs = 3000;
    static const size_t cMaxPerSender = 256;
    // The crowded addresses remembered; beyond them the left-out hellos are only totalled.
    static const size_t cMaxCrowdedSenders = 64;

    // A sender address that answered for more than cMaxPerSender devices.
    struct CrowdedSender {
        std::string mAddress;
        uint64_t mLeftOut = 0;  // hellos of new ids left out since the list began
    };

    // Told after each change; one call at a time per changing thread, no list lock held,
    // so it may call Snapshot.
    class ChangeHandler {
    public:
        virtual void OnChange() = 0;

    protected:
        ~ChangeHandler() = default;
    };

    // `client` may be null: the list then hears nothing but still ages.
    explicit QipDeviceList(QipClient* client);
    QipDeviceList(const QipDeviceList&) = delete;
    QipDeviceList& operator=(const QipDeviceList&) = delete;
    // Stops and joins the ageing thread (within about a second).
    virtual ~QipDeviceList();

    // A copy of every record in list order, taken under the list's lock; the caller owns it.
    std::vector<QipDevice> Snapshot();
    // For a reader that follows the changes rather than the whole list: the records added
    // or given a new packet id after `serial` (0: every record), in list order, with
    // `nextSerial` set to pass next time and `removed` telling whether records left the
    // list after `serial`. Costs a comparison per record and a copy per change.
    std::vector<QipDevice> SnapshotChangedSince(uint64_t serial, uint64_t& nextSerial,
                                                bool& removed) const;
    // The senders left out for answering for too many devices, in the order first crowded.
    std::vector<CrowdedSender> GetCrowdedSenders() const;
    // Hellos of new ids left out since the list began, for a crowded sender or a full list.
    uint64_t GetLeftOutCount() const;
    // The sentence a front end shows for a crowded sender, without a newline.
    static std::string DescribeCrowded(const std::string& address);
    // Blocks until the next change after the call began (or a spurious wake-up).
    void WaitForChange();
    // Null removes the handler. It must stay valid while set and until a notification under
    // way has returned.
    void SetChangeHandler(ChangeHandler* handler);

    // One ageing pass against the monotonic clock (KspMonotonicSeconds), or against `now` on
    // that clock (seam for tests): a step of the wall clock neither removes a live device nor
    // keeps a silent one.
    void RemoveExpired();
    void RemoveExpired(time_t now);
    // What the client's receive thread does with a hello. The seam takes the wall-clock time
    // the record shows and the monotonic time it ages by; with one `now`, both are `now`.
    void OnHello(const QipPacketHello& hello, const std::string& sourceAddress, time_t now);
    void OnHello(const QipPacketHello& hello, const std::string& sourceAddress, time_t wallNow,
                 time_t monotonicNow);

private:
    class DeviceListHelloHandler : public QipClient::HelloHandler {
    public:
        explicit DeviceListHelloHandler(QipDeviceList* outer) : mOuter(outer) {}
        void OnHello(const QipPacketHello& hello, const std::string& sourceAddress) override;

    private:
        QipDeviceList* mOuter;
    };

    // Hellos the port's owner heard before this program subscribed: the record ages from
    // when the device answered, not from when the subscriber learnt of it.
    class DeviceListEarlierHelloHandler : public QipClient::EarlierHelloHandler {
    public:
        explicit DeviceListEarlierHelloHandler(QipDeviceList* outer) : mOuter(outer) {}
        void OnEarlierHello(const QipPacketHello& hello, const std::string& sourceAddress,
                            unsigned long ageSeconds) override;

    private:
        QipDeviceList* mOuter;
    };

    class AgingThread : public KspThread {
    public:
        AgingThread() : mOuter(nullptr) {}
        explicit AgingThread(QipDeviceList* outer) : mOuter(outer) {}
        void Run() override;

    private:
        QipDeviceList* mOuter;
    };

    void NotifyChange();
    // Counts a hello left out for `address` being crowded; true when the address is one of
    // those remembered, whose line may be said. Under mDevicesLock.
    bool LeaveOutCrowded(const std::string& address);
    // The index: an open-addressing hash table of positions in mDevices, one slot per record
    // keyed by (device id, source address), with linear probing. It has at least twice as
    // many slots as records (a power of two, doubled as the list grows), so a lookup probes
    // a slot or two whatever the list's size. FindSlot returns the slot that holds the
    // record of the pair (whose hash is `hash`), or the empty slot where it would go.
    static size_t HashOf(const std::string& deviceId, const std::string& sourceAddress);
    size_t FindSlot(const std::string& deviceId, const std::string& sourceAddress,
                    size_t hash) const;
    // Every record indexed anew from its stored hash, without touching its texts, in
    // `slots` slots: after records were removed (positions shift) or to grow the table.
    void RebuildIndex(size_t slots);

    static const size_t cMinIndexSlots = 16;
    static const uint32_t cEmptySlot = UINT32_MAX;

    std::vector<QipDevice> mDevices;               // guarded by mDevicesLock
    std::vector<size_t> mHashes;                   // guarded by mDevicesLock; per record
    std::vector<uint64_t> mSerials;                // guarded by mDevicesLock; per record
    uint64_t mSerial = 0;                          // guarded by mDevicesLock; last given
    uint64_t mRemovedSerial = 0;                   // guarded by mDevicesLock
    std::vector<uint32_t> mIndex;                  // guarded by mDevicesLock
    DeviceListHelloHandler mDeviceListHelloHandler;
    DeviceListEarlierHelloHandler mEarlierHelloHandler;
    QipClient* mClient;
    std::atomic<ChangeHandler*> mChangeHandler;
    mutable KspThreadMutex mDevicesLock;
    KspThreadCondition mChangeCondition;
    // Guarded by mDevicesLock: "Device list full" and each crowded sender's line, each once
    // a minute with its count.
    QipReportLimiter mReports;
    // Guarded by mDevicesLock: records per sender address, and the crowded senders.
    std::unordered_map<std::string, size_t> mPerSender;
    std::vector<CrowdedSender> mCrowded;
    uint64_t mLeftOut = 0;
    AgingThread mAgingThread;
};
