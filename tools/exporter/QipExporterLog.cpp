#include "tools/exporter/QipExporterLog.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ksp/KspClock.h"

QipExporterLog::QipExporterLog(long long reportPeriodMs)
    : mReportPeriodMs(reportPeriodMs),
      mOut(STDERR_FILENO),
      mPipeRead(-1),
      mIsJournal(IsJournalStream(STDERR_FILENO, getenv("JOURNAL_STREAM"))),
      mIsOpen(false),
      mReader(this) {}

QipExporterLog::~QipExporterLog() { Close(); }

bool QipExporterLog::IsJournalStream(int fd, const char* journalStream) {
    if (journalStream == nullptr) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (sscanf(journalStream, "%llu:%llu", &device, &inode) != 2) return false;
    return device == static_cast<unsigned long long>(st.st_dev) &&
           inode == static_cast<unsigned long long>(st.st_ino);
}

std::string QipExporterLog::Format(Priority priority, const std::string& line, bool isJournal) {
    if (isJournal) return "<" + std::to_string(static_cast<int>(priority)) + ">" + line + "\n";
    return "qip-exporter: " + line + "\n";
}

void QipExporterLog::Write(Priority priority, const std::string& line) {
    const std::string text = Format(priority, line, mIsJournal);
    KspThreadMutex::Guard guard(mWriteLock);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(mOut, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // nowhere to tell it
        done += static_cast<size_t>(n);
    }
}

bool QipExporterLog::Open() {
    if (mIsOpen) return true;
    const int out = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (out < 0) return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        close(out);
        return false;
    }
    fflush(stderr);
    mOut = out;
    mPipeRead = fds[0];
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    // Each library message is written whole by stdio at its line end.
    setvbuf(stderr, nullptr, _IOLBF, 0);
    mIsOpen = true;
    if (mReader.Start() != 0) {
        Close();
        return false;
    }
    return true;
}

void QipExporterLog::Close() {
    if (!mIsOpen) return;
    fflush(stderr);
    // Descriptor 2 was the pipe's only write end: giving it back ends the reader at EOF.
    dup2(mOut, STDERR_FILENO);
    mReader.Stop();
    mReader.WaitForCompletion();
    close(mPipeRead);
    mPipeRead = -1;
    close(mOut);
    mOut = STDERR_FILENO;
    mIsOpen = false;
}

void QipExporterLog::ReaderThread::Run() {
    QipReportLimiter limiter(mOuter->mReportPeriodMs);
    std::string pending;
    char buffer[4096];
    for (;;) {
        const long long next = limiter.NextFlushMs();
        const long long wait = next < 0 ? -1 : next - KspMonotonicMs();
        pollfd p = {mOuter->mPipeRead, POLLIN, 0};
        const int ready = poll(&p, 1, next < 0 ? -1 : static_cast<int>(wait < 0 ? 0 : wait));
        std::vector<std::string> lines = limiter.Flush(KspMonotonicMs());
        bool ended = false;
        if (ready > 0) {
            const ssize_t n = read(mOuter->mPipeRead, buffer, sizeof buffer);
            if (n > 0) {
                pending.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ended = true;
            }
        }
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            // A line that long is no diagnostic; its start says enough.
            std::string line = pending.substr(0, end < 512 ? end : 512);
            pending.erase(0, end + 1);
            for (std::string& out : limiter.OnLine(line, KspMonotonicMs())) lines.push_back(out);
        }
        if (pending.size() > 512) {
            for (std::string& out : limiter.OnLine(pending.substr(0, 512), KspMonotonicMs())) {
                lines.push_back(out);
            }
            pending.clear();
        }
        if (ended) {
            if (!pending.empty()) lines.push_back(pending);
            for (std::string& out : limiter.FlushAll()) lines.push_back(out);
        }
        for (const std::string& line : lines) mOuter->Write(cWarning, line);
        if (ended) return;
    }
}
