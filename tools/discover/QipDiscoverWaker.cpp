#include "tools/discover/QipDiscoverWaker.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace {

// The signal that asked the program to end (0: none yet), and the write end of the pipe
// that wakes the main thread for it (-1 while there is none). The pipe carries nothing but
// signals, so it can hold far more wake-ups than a user can send; the flag is what counts.
// Lock-free atomics, not volatile flags: the handler may run on any of the program's threads
// (the discovery client's included), and only atomics order its writes for the main thread.
std::atomic<int> gSignal{0};
std::atomic<int> gSignalDescriptor{-1};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs lock-free atomics");

void OnSignal(int signalNumber) {
    int saved = errno;
    int none = 0;
    gSignal.compare_exchange_strong(none, signalNumber);
    int fd = gSignalDescriptor.load();
    if (fd >= 0) {
        ssize_t ignored = write(fd, "s", 1);
        (void)ignored;
    }
    errno = saved;
}

}  // namespace

int QipDiscoverPendingSignal() { return gSignal.load(); }

// The installing and the polling stay beside the handler and its descriptor.
void QipDiscover::Waker::InstallHandlers() {
    gSignalDescriptor = mSignalWrite;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &mOldInt);
    sigaction(SIGTERM, &action, &mOldTerm);
    mHandlersInstalled = true;
}

void QipDiscover::Waker::RemoveHandlers() {
    if (mHandlersInstalled) {
        sigaction(SIGINT, &mOldInt, nullptr);
        sigaction(SIGTERM, &mOldTerm, nullptr);
    }
    gSignalDescriptor = -1;
}
