#pragma once

#include <string>

#include "ksp/KspThread.h"
#include "ksp/KspThreadMutex.h"
#include "qip/QipReportLimiter.h"

// The exporter's log on standard error, in a form the journal reads: when standard error is
// the journal's stream (systemd sets JOURNAL_STREAM to it), each line starts with its
// syslog priority ("<3>", "<4>", "<6>") and no program name, which the journal records
// itself; elsewhere each line starts with "qip-exporter: ".
//
// The library writes its own diagnostics to standard error, one per malformed datagram or
// failed page read. While the log is open, descriptor 2 is a pipe that a thread of the log
// reads line by line through a QipReportLimiter, so that no flood of datagrams becomes
// a flood of lines; those lines are warnings. Not copyable; one per process.
class QipExporterLog {
public:
    enum Priority { cError = 3, cWarning = 4, cInfo = 6 };

    // `reportPeriodMs`: how often a repeating line is told again (QipReportLimiter's period;
    // another than the minute only in tests).
    explicit QipExporterLog(long long reportPeriodMs = QipReportLimiter::cDefaultPeriodMs);
    QipExporterLog(const QipExporterLog&) = delete;
    QipExporterLog& operator=(const QipExporterLog&) = delete;
    // Closes (as Close).
    ~QipExporterLog();

    // Takes over descriptor 2. False (standard error left as it was) when the pipe or the
    // thread cannot be made; Write still works then.
    bool Open();
    // Gives descriptor 2 back and writes what is pending. Main thread.
    void Close();
    // One line (without its end), written at once. Any thread.
    void Write(Priority priority, const std::string& line);

    // Pure: the line as written, for the journal or not.
    static std::string Format(Priority priority, const std::string& line, bool isJournal);
    // Whether descriptor `fd` is the stream named by `journalStream` ("<device>:<inode>").
    static bool IsJournalStream(int fd, const char* journalStream);

private:
    class ReaderThread : public KspThread {
    public:
        explicit ReaderThread(QipExporterLog* outer) : mOuter(outer) {}
        void Run() override;

    private:
        QipExporterLog* mOuter;
    };

    const long long mReportPeriodMs;
    int mOut;        // the standard error the program was given
    int mPipeRead;   // the read end; descriptor 2 is the write end while open
    bool mIsJournal;
    bool mIsOpen;
    KspThreadMutex mWriteLock;  // guards writes to mOut, so that lines never interleave
    ReaderThread mReader;
};
