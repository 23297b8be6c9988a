#pragma once

#include <time.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ksp/KspThread.h"
#include "store/QipDeviceRecord.h"

struct sqlite3;

// The user's store of known devices: one SQLite file (WAL mode) that remembers every device
// by id and type across runs, shared by every program of the user that runs at the same time.
//
// Never in the way of discovery. The file is opened, checked and read on a writer thread of
// the store's own; Note, NoteOpened, SetLabel and Forget only queue under a lock and return at
// once (any thread). The writer writes what was queued at most once a second, in one
// transaction, merging each row with what another program may have written meanwhile (the
// newer last_seen wins, the earlier first_seen, the label set last), so two programs writing
// at once lose neither's updates, and a program killed mid-write loses at most its last second.
//
// Failure result: a store that cannot be opened, stays locked past the busy timeout, is
// read-only or damaged never fails the caller. It is said once on standard error, prefixed
// with the program's name ("qip-discover: devices.sqlite is damaged; saved as
// devices.sqlite.damaged-2026-12-08 and started afresh"), GetProblem returns the same sentence,
// and the store then works as far as it can: a damaged file is set aside and started afresh, a
// read-only one is read but not written, one that cannot be opened or is locked is neither.
//
// Size: at most cMaxDevices records; past that the ones seen longest ago are forgotten. What a
// stranger on the network can make the store hold is bounded by that, by the per-record limits
// of QipDeviceRecord, and by cMaxPending queued sightings.
//
// Last seen is kept to cLastSeenStepSeconds: a device that answers again from the same address
// with the same SSID is written again only once its stored last_seen is that old, so thousands
// of devices answering every cycle cost a write a minute each, not one a cycle.
//
// Thread: every public member may be called on any thread. Not copyable. The destructor writes
// what is queued (waiting at most about the busy timeout) and joins the writer thread.
class QipDeviceStore {
public:
    static const size_t cMaxDevices = 4096;
    static const size_t cMaxPending = 4 * 4096;
    static const time_t cLastSeenStepSeconds = 60;
    static const unsigned long cWritePeriodMs = 1000;
    static const int cBusyTimeoutMs = 500;
    static const int cSchemaVersion = 1;

    // $XDG_STATE_HOME/qipfinder/devices.sqlite, or ~/.local/state/qipfinder/devices.sqlite
    // when XDG_STATE_HOME is unset, empty or not absolute (as the XDG rules say); "" when
    // neither it nor HOME (or the password database) gives a home.
    static std::string DefaultPath();

    // Starts the writer thread, which opens (creating the file and its folder when missing)
    // and reads the store at `path`. `program` prefixes the lines said on standard error.
    // `writable` false opens for reading only (listing the known devices) and never creates.
    QipDeviceStore(const std::string& path, const std::string& program, bool writable = true);
    QipDeviceStore(const QipDeviceStore&) = delete;
    QipDeviceStore& operator=(const QipDeviceStore&) = delete;
    ~QipDeviceStore();

    const std::string& GetPath() const { return mPath; }

    // Blocks until the writer has opened and read the store (about the busy timeout at most).
    // True when the store could be read; the known devices are then in GetKnown.
    bool WaitUntilLoaded();
    // The known devices as this program last read or wrote them, most recently seen first.
    // Waits for the first read like WaitUntilLoaded; empty when the store could not be read.
    std::vector<QipDeviceRecord> GetKnown();
    // The record of (id, type), or null; the same waiting.
    bool FindKnown(const std::string& deviceId, const std::string& deviceType, QipDeviceRecord& record);

    // A device answered at `now` (wall clock) from `address`, with `ssid` when its page was
    // read (empty: not read, the last one stays). Queued; never blocks on the file.
    void Note(const std::string& deviceId, const std::string& deviceType, const std::string& address,
              const std::string& ssid, time_t now);
    // The user opened the device's page at `now`.
    void NoteOpened(const std::string& deviceId, const std::string& deviceType, time_t now);
    // Sets (or, with an empty text, removes) the label of every record of `deviceId`. False,
    // with `error` saying why, when the text is no label (QipDeviceRecord::CheckLabel); the
    // change is then not queued.
    bool SetLabel(const std::string& deviceId, const std::string& label, std::string& error);
    // Removes every record of `deviceId`; an empty id removes every record.
    void Forget(const std::string& deviceId);

    // Writes what is queued now, not at the next period, and waits for it (about the busy
    // timeout at most). True when it was written (or nothing was queued), false when the store
    // cannot be written.
    bool Flush();
    // The sentence said about the store, "" while all is well.
    std::string GetProblem();

private:
    class Writer : public KspThread {
    public:
        explicit Writer(QipDeviceStore* outer) : mOuter(outer) {}
        void Run() override;

    private:
        QipDeviceStore* mOuter;
    };

    typedef std::pair<std::string, std::string> Key;  // device id, device type

    struct Operation {
        enum Kind { cLabel, cForget, cOpened } mKind;
        std::string mDeviceId;
        std::string mDeviceType;
        std::string mText;
        time_t mTime = 0;
    };

    // Writer thread only: the file and the transactions.
    bool Open();
    bool OpenFile(int flags);
    // WAL mode, the schema made or migrated, the file checked: SQLITE_OK or the failing code,
    // or cNewerSchema for a file of a later version.
    int PrepareSchema();
    static const int cNewerSchema = -1;
    bool LoadAll(std::map<Key, QipDeviceRecord>& records);
    // Writes one batch; false when it could not (the batch is then given back).
    bool WriteBatch(std::map<Key, QipDeviceSighting>& sightings, std::vector<Operation>& operations,
                    std::map<Key, QipDeviceRecord>& written, std::vector<Operation>& applied);
    struct SightingStatements;
    bool WriteSighting(SightingStatements& statements, const QipDeviceSighting& sighting, QipDeviceRecord& merged);
    bool ApplyOperation(const Operation& operation);
    bool ForgetOldest();
    bool Execute(const char* sql);
    // Sets the damaged file (and its journal) aside and starts afresh; false when it cannot.
    bool StartAfresh();
    void CloseFile();
    // Says `sentence` once per kind of problem; the first one is kept for GetProblem.
    void Report(const std::string& sentence);
    std::string Describe(int code) const;
    // A write failed with `code`: reports it and says whether the writes go on.
    bool OnWriteFailure(int code);
    // Takes what is queued and writes it; wakes the waiters of Flush.
    void WriteQueued();

    const std::string mPath;
    const std::string mProgram;
    const bool mWritable;

    sqlite3* mDb = nullptr;  // writer thread only
    bool mReadOnly = false;  // writer thread only: opened, but not written
    std::string mOpenError;  // writer thread only: why the last open failed
    long long mLastWriteMs = 0;  // writer thread only

    std::mutex mLock;  // guards everything below it
    std::condition_variable mChanged;  // paired with mLock: loaded, written, asked to flush
    bool mLoaded = false;
    bool mReadable = false;
    bool mWritesStopped = false;  // a store that cannot be written takes no more changes
    std::map<Key, QipDeviceRecord> mKnown;
    std::map<Key, QipDeviceSighting> mPending;
    std::vector<Operation> mOperations;
    unsigned long long mFlushAsked = 0;
    unsigned long long mFlushDone = 0;
    bool mLastFlushOk = true;
    bool mStopping = false;
    std::vector<std::string> mReported;
    std::string mProblem;

    Writer mWriter;
};
