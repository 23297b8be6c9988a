// The store's SQLite file: opening, checking, migrating, reading and writing. Writer thread only.
#include <errno.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "ksp/KspClock.h"
#include "store/QipDeviceStore.h"

namespace {

// Version 1: the devices table. A later version adds its step to cMigrations, which upgrades a
// file of the version before it in the same transaction that sets the new user_version.
const char* const cCreateSchema =
    "CREATE TABLE IF NOT EXISTS devices("
    " device_id TEXT NOT NULL,"
    " device_type TEXT NOT NULL,"
    " addresses TEXT NOT NULL DEFAULT '',"
    " ssid TEXT NOT NULL DEFAULT '',"
    " first_seen INTEGER NOT NULL,"
    " last_seen INTEGER NOT NULL,"
    " last_opened INTEGER NOT NULL DEFAULT 0,"
    " label TEXT NOT NULL DEFAULT '',"
    " PRIMARY KEY(device_id, device_type)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS devices_last_seen ON devices(last_seen);";

// cMigrations[v - 1] upgrades a file of version v to v + 1.
const char* const cMigrations[] = {nullptr};
const int cMigrationCount = sizeof cMigrations / sizeof cMigrations[0] - 1;

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Makes every missing folder of `path`'s parent, private to the user as the XDG rules ask.
bool MakeParents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool IsDamage(int code) { return (code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB; }

// Finalizes the statement however the scope ends.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { mCode = sqlite3_prepare_v2(db, sql, -1, &mStatement, nullptr); }
    ~Statement() { sqlite3_finalize(mStatement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int Code() const { return mCode; }
    sqlite3_stmt* Get() { return mStatement; }
    void Text(int index, const std::string& text) {
        sqlite3_bind_text(mStatement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void Integer(int index, long long value) { sqlite3_bind_int64(mStatement, index, value); }
    std::string ColumnText(int index) {
        const unsigned char* text = sqlite3_column_text(mStatement, index);
        return text == nullptr ? std::string()
                               : std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(mStatement, index));
    }

private:
    sqlite3_stmt* mStatement = nullptr;
    int mCode;
};

}  // namespace

std::string QipDeviceStore::Describe(int code) const { return sqlite3_errstr(code); }

bool QipDeviceStore::OpenFile(int flags) {
    const int code = sqlite3_open_v2(mPath.c_str(), &mDb, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code != SQLITE_OK) {
        const int error = mDb != nullptr ? sqlite3_system_errno(mDb) : 0;
        mOpenError = error != 0 ? strerror(error) : Describe(code);
        CloseFile();
        return false;
    }
    sqlite3_busy_timeout(mDb, cBusyTimeoutMs);
    sqlite3_extended_result_codes(mDb, 1);
    return true;
}

void QipDeviceStore::CloseFile() {
    if (mDb != nullptr) sqlite3_close_v2(mDb);
    mDb = nullptr;
}

bool QipDeviceStore::Execute(const char* sql) {
    return sqlite3_exec(mDb, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool QipDeviceStore::Open() {
    const std::string name = BaseName(mPath);
    if (mPath.empty()) {
        Report("no home folder to keep known devices in; they are not remembered");
        return false;
    }
    struct stat info;
    const bool exists = stat(mPath.c_str(), &info) == 0;
    if (!mWritable && !exists) {
        std::lock_guard<std::mutex> lock(mLock);
        mReadable = true;  // nothing known yet is no failure
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        int code = SQLITE_OK;
        if (!mWritable) {
            if (!OpenFile(SQLITE_OPEN_READONLY)) {
                Report("cannot open " + mPath + ": " + mOpenError);
                return false;
            }
            mReadOnly = true;
        } else {
            if (!MakeParents(mPath) || !OpenFile(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
                Report("cannot open " + mPath + ": " + (mDb == nullptr && mOpenError.empty() ? strerror(errno) : mOpenError) +
                       "; devices are not remembered");
                return false;
            }
            // SQLite falls back to reading when the file or its folder cannot be written.
            mReadOnly = sqlite3_db_readonly(mDb, "main") == 1;
            if (!mReadOnly) code = PrepareSchema();
            if (code == SQLITE_READONLY || (code & 0xFF) == SQLITE_READONLY || (code & 0xFF) == SQLITE_CANTOPEN ||
                (code & 0xFF) == SQLITE_IOERR) {
                mReadOnly = true;
                code = SQLITE_OK;
            }
        }
        if (code == cNewerSchema) {
            mReadOnly = true;
            Report(name + " was written by a newer version; it is read but not changed");
            code = SQLITE_OK;
        }
        std::map<Key, QipDeviceRecord> records;
        bool loaded = code == SQLITE_OK && LoadAll(records);
        if (!loaded && mReadOnly && code == SQLITE_OK &&
            (sqlite3_extended_errcode(mDb) & 0xFF) == SQLITE_CANTOPEN) {
            // A WAL file in a folder that cannot be written has no shared memory to read
            // with; nobody can write it there either, so it is read as it lies.
            CloseFile();
            std::string uri = "file:";
            for (char c : mPath) {
                if (c == '%' || c == '?' || c == '#') {
                    char escaped[4];
                    snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
                    uri += escaped;
                } else {
                    uri += c;
                }
            }
            uri += "?immutable=1";
            if (sqlite3_open_v2(uri.c_str(), &mDb, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
                sqlite3_extended_result_codes(mDb, 1);
                loaded = LoadAll(records);
            }
        }
        if (loaded) {
            if (mReadOnly && mWritable) Report(mPath + " cannot be written; known devices are shown but not updated");
            std::lock_guard<std::mutex> lock(mLock);
            mKnown.swap(records);
            mReadable = true;
            return true;
        }
        if (code == SQLITE_OK) code = sqlite3_extended_errcode(mDb);
        CloseFile();
        if (IsDamage(code) && mWritable && attempt == 0 && StartAfresh()) continue;
        if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED) {
            Report(name + " is locked by another program; devices are not remembered this time");
        } else if (IsDamage(code)) {
            Report(name + " is damaged" + (mWritable ? " and cannot be set aside" : "") +
                   "; devices are not remembered");
        } else {
            Report("cannot read " + mPath + ": " + Describe(code) + "; devices are not remembered");
        }
        return false;
    }
    return false;
}

int QipDeviceStore::PrepareSchema() {
    // WAL: readers never wait for the writer, and a killed writer's last transaction is rolled
    // back by the next opener. NORMAL syncs at checkpoints only: a process kill loses nothing
    // committed; only a power cut may lose the last transactions, never the file.
    {
        Statement mode(mDb, "PRAGMA journal_mode=WAL");
        if (mode.Code() != SQLITE_OK || sqlite3_step(mode.Get()) != SQLITE_ROW) return sqlite3_extended_errcode(mDb);
    }
    if (!Execute("PRAGMA synchronous=NORMAL")) return sqlite3_extended_errcode(mDb);
    int found;
    {
        Statement version(mDb, "PRAGMA user_version");
        if (version.Code() != SQLITE_OK || sqlite3_step(version.Get()) != SQLITE_ROW) {
            return sqlite3_extended_errcode(mDb);
        }
        found = sqlite3_column_int(version.Get(), 0);
    }
    if (found == cSchemaVersion) {
        // Cheap against a file damaged since the last run.
        Statement check(mDb, "PRAGMA quick_check(1)");
        if (check.Code() != SQLITE_OK) return sqlite3_extended_errcode(mDb);
        const int step = sqlite3_step(check.Get());
        if (step != SQLITE_ROW) return sqlite3_extended_errcode(mDb);
        return check.ColumnText(0) == "ok" ? SQLITE_OK : SQLITE_CORRUPT;
    }
    if (found > cSchemaVersion) return cNewerSchema;
    if (!Execute("BEGIN IMMEDIATE")) return sqlite3_extended_errcode(mDb);
    bool ok = true;
    if (found == 0) {
        ok = Execute(cCreateSchema);
    } else {
        for (int from = found; ok && from < cSchemaVersion; ++from) {
            ok = from - 1 < cMigrationCount && cMigrations[from - 1] != nullptr && Execute(cMigrations[from - 1]);
        }
    }
    char setVersion[48];
    snprintf(setVersion, sizeof setVersion, "PRAGMA user_version=%d", cSchemaVersion);
    if (ok) ok = Execute(setVersion) && Execute("COMMIT");
    if (ok) return SQLITE_OK;
    const int code = sqlite3_extended_errcode(mDb);
    Execute("ROLLBACK");
    return code == SQLITE_OK ? SQLITE_ERROR : code;
}

bool QipDeviceStore::StartAfresh() {
    char date[16] = "";
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::string saved = mPath + ".damaged-" + date;
    for (int n = 2; access(saved.c_str(), F_OK) == 0 && n < 100; ++n) {
        saved = mPath + ".damaged-" + date + "." + std::to_string(n);
    }
    if (rename(mPath.c_str(), saved.c_str()) != 0) return false;
    // The journal belongs to the damaged file; a fresh file must not replay it.
    rename((mPath + "-wal").c_str(), (saved + "-wal").c_str());
    unlink((mPath + "-shm").c_str());
    Report(BaseName(mPath) + " is damaged; saved as " + BaseName(saved) + " and started afresh");
    return true;
}

bool QipDeviceStore::LoadAll(std::map<Key, QipDeviceRecord>& records) {
    Statement select(mDb,
                     "SELECT device_id, device_type, addresses, ssid, first_seen, last_seen, last_opened, label "
                     "FROM devices ORDER BY last_seen DESC LIMIT 4096");
    if (select.Code() != SQLITE_OK) return false;
    int code;
    while ((code = sqlite3_step(select.Get())) == SQLITE_ROW) {
        QipDeviceRecord record;
        record.mDeviceId = select.ColumnText(0);
        record.mDeviceType = select.ColumnText(1);
        record.mAddresses = QipDeviceRecord::SplitAddresses(select.ColumnText(2));
        record.mSsid = select.ColumnText(3);
        record.mFirstSeen = static_cast<time_t>(sqlite3_column_int64(select.Get(), 4));
        record.mLastSeen = static_cast<time_t>(sqlite3_column_int64(select.Get(), 5));
        record.mLastOpened = static_cast<time_t>(sqlite3_column_int64(select.Get(), 6));
        record.mLabel = select.ColumnText(7);
        records[Key(record.mDeviceId, record.mDeviceType)] = record;
    }
    return code == SQLITE_DONE;
}

// The two statements of a sighting, prepared once a batch.
struct QipDeviceStore::SightingStatements {
    explicit SightingStatements(sqlite3* db)
        : mSelect(db, "SELECT addresses, ssid, first_seen, last_seen, last_opened, label FROM devices "
                      "WHERE device_id = ?1 AND device_type = ?2"),
          mUpsert(db, "INSERT OR REPLACE INTO devices(device_id, device_type, addresses, ssid, first_seen, "
                      "last_seen, last_opened, label) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)") {}
    Statement mSelect;
    Statement mUpsert;
};

bool QipDeviceStore::WriteBatch(std::map<Key, QipDeviceSighting>& sightings, std::vector<Operation>& operations,
                                std::map<Key, QipDeviceRecord>& written, std::vector<Operation>& applied) {
    mLastWriteMs = KspMonotonicMs();
    // IMMEDIATE takes the write lock before reading, so the rows merged are the rows replaced.
    if (!Execute("BEGIN IMMEDIATE")) return OnWriteFailure(sqlite3_extended_errcode(mDb));
    bool ok = true;
    SightingStatements statements(mDb);
    for (auto& entry : sightings) {
        QipDeviceRecord merged;
        if (!(ok = WriteSighting(statements, entry.second, merged))) break;
        written[entry.first] = merged;
    }
    for (size_t i = 0; ok && i < operations.size(); ++i) ok = ApplyOperation(operations[i]);
    if (ok && !sightings.empty()) ok = ForgetOldest();
    if (ok) ok = Execute("COMMIT");
    if (!ok) {
        const int code = sqlite3_extended_errcode(mDb);
        Execute("ROLLBACK");
        written.clear();
        return OnWriteFailure(code);
    }
    applied = operations;
    return true;
}

bool QipDeviceStore::OnWriteFailure(int code) {
    const std::string name = BaseName(mPath);
    if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED) {
        Report(name + " is busy in another program; changes are kept and written once it is free");
        return false;
    }
    if (IsDamage(code)) {
        // Damaged while open: set aside at the next start, which checks the file first.
        Report(name + " is damaged; devices are not remembered until the next start");
    } else {
        Report("cannot write " + mPath + ": " + Describe(code) + "; devices are not remembered");
    }
    std::lock_guard<std::mutex> lock(mLock);
    mWritesStopped = true;
    mPending.clear();
    mOperations.clear();
    return false;
}

bool QipDeviceStore::WriteSighting(SightingStatements& statements, const QipDeviceSighting& sighting,
                                   QipDeviceRecord& merged) {
    Statement& select = statements.mSelect;
    if (select.Code() != SQLITE_OK) return false;
    sqlite3_reset(select.Get());
    select.Text(1, sighting.mDeviceId);
    select.Text(2, sighting.mDeviceType);
    const int code = sqlite3_step(select.Get());
    if (code != SQLITE_ROW && code != SQLITE_DONE) return false;
    QipDeviceRecord stored;
    if (code == SQLITE_ROW) {
        stored.mDeviceId = sighting.mDeviceId;
        stored.mDeviceType = sighting.mDeviceType;
        stored.mAddresses = QipDeviceRecord::SplitAddresses(select.ColumnText(0));
        stored.mSsid = select.ColumnText(1);
        stored.mFirstSeen = static_cast<time_t>(sqlite3_column_int64(select.Get(), 2));
        stored.mLastSeen = static_cast<time_t>(sqlite3_column_int64(select.Get(), 3));
        stored.mLastOpened = static_cast<time_t>(sqlite3_column_int64(select.Get(), 4));
        stored.mLabel = select.ColumnText(5);
    }
    merged = QipDeviceMerge::Apply(code == SQLITE_ROW ? &stored : nullptr, sighting);
    Statement& upsert = statements.mUpsert;
    if (upsert.Code() != SQLITE_OK) return false;
    sqlite3_reset(upsert.Get());
    upsert.Text(1, merged.mDeviceId);
    upsert.Text(2, merged.mDeviceType);
    upsert.Text(3, merged.JoinAddresses());
    upsert.Text(4, merged.mSsid);
    upsert.Integer(5, merged.mFirstSeen);
    upsert.Integer(6, merged.mLastSeen);
    upsert.Integer(7, merged.mLastOpened);
    upsert.Text(8, merged.mLabel);
    return sqlite3_step(upsert.Get()) == SQLITE_DONE;
}

bool QipDeviceStore::ApplyOperation(const Operation& operation) {
    const char* sql = nullptr;
    switch (operation.mKind) {
    case Operation::cLabel:
        sql = "UPDATE devices SET label = ?2 WHERE device_id = ?1";
        break;
    case Operation::cForget:
        sql = operation.mDeviceId.empty() ? "DELETE FROM devices WHERE ?1 = ''" : "DELETE FROM devices WHERE device_id = ?1";
        break;
    case Operation::cOpened:
        sql = "UPDATE devices SET last_opened = max(last_opened, ?3) WHERE device_id = ?1 AND device_type = ?2";
        break;
    }
    Statement statement(mDb, sql);
    if (statement.Code() != SQLITE_OK) return false;
    statement.Text(1, operation.mDeviceId);
    const int parameters = sqlite3_bind_parameter_count(statement.Get());
    if (parameters >= 2) statement.Text(2, operation.mKind == Operation::cLabel ? operation.mText : operation.mDeviceType);
    if (parameters >= 3) statement.Integer(3, operation.mTime);
    return sqlite3_step(statement.Get()) == SQLITE_DONE;
}

bool QipDeviceStore::ForgetOldest() {
    return Execute("DELETE FROM devices WHERE (device_id, device_type) IN (SELECT device_id, device_type FROM devices "
                   "ORDER BY last_seen DESC LIMIT -1 OFFSET 4096)");
}
