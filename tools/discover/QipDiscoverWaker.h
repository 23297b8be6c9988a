#pragma once

#include <signal.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "ksp/KspDescriptor.h"
#include "tools/discover/QipDiscover.h"

// The signal that asked the program to end (0: none yet). Set by the handlers the Waker
// installs; read anywhere.
int QipDiscoverPendingSignal();

// Wakes the main thread, sleeping in one poll(), for a signal (a pipe of its own, written by
// the handler) or for a notice from another thread: a change of the list or the end of the
// status page reads. Notices coalesce: each is a flag, and only setting a flag that was
// clear writes a byte, so the notice pipe never holds more than a few and never fills.
// Installs the SIGINT and SIGTERM handlers for its lifetime.
class QipDiscover::Waker {
public:
    static const int cSignal = 1;
    static const int cChange = 2;
    static const int cDone = 4;

    Waker() : mSignalRead(-1), mSignalWrite(-1), mNoticeRead(-1), mNoticeWrite(-1) {
        int fds[2];
        if (KspDescriptor::OpenPipe(fds) != 0) {
            perror("pipe2() failed");
            return;
        }
        mSignalRead = fds[0];
        mSignalWrite = fds[1];
        if (KspDescriptor::OpenPipe(fds) != 0) {
            perror("pipe2() failed");
            return;
        }
        mNoticeRead = fds[0];
        mNoticeWrite = fds[1];
        InstallHandlers();
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    ~Waker() {
        RemoveHandlers();
        for (int fd : {mSignalRead, mSignalWrite, mNoticeRead, mNoticeWrite}) {
            if (fd >= 0) close(fd);
        }
    }

    bool IsOpen() const { return mHandlersInstalled; }
    // Any thread.
    void Notify(int what) {
        std::atomic<bool>& flag = what == cDone ? mDonePending : mChangePending;
        if (flag.exchange(true)) return;
        ssize_t ignored = write(mNoticeWrite, "n", 1);
        (void)ignored;
    }
    // Waits up to `timeoutMs` (-1: no limit) and returns what woke it (cSignal, cChange,
    // cDone, several of them, or 0 on time-out). A signal is reported on every call after it.
    int Wait(int timeoutMs) {
        if (QipDiscoverPendingSignal() != 0) return cSignal;
        pollfd p[2] = {{mSignalRead, POLLIN, 0}, {mNoticeRead, POLLIN, 0}};
        if (poll(p, 2, timeoutMs) < 0 && errno != EINTR) perror("poll() failed");
        char buffer[64];
        while (read(mNoticeRead, buffer, sizeof buffer) > 0) {
        }
        int what = 0;
        if (QipDiscoverPendingSignal() != 0) what |= cSignal;
        if (mChangePending.exchange(false)) what |= cChange;
        if (mDonePending.exchange(false)) what |= cDone;
        return what;
    }

private:
    void InstallHandlers();
    void RemoveHandlers();

    int mSignalRead;
    int mSignalWrite;
    int mNoticeRead;
    int mNoticeWrite;
    bool mHandlersInstalled = false;
    std::atomic<bool> mChangePending{false};
    std::atomic<bool> mDonePending{false};
    struct sigaction mOldInt;
    struct sigaction mOldTerm;
};

