#pragma once

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

// A broadcast signal that something has changed. It keeps no record of past signals:
// a Signal with nobody waiting is lost, and a return from Wait is only a hint to re-read
// the guarded data under that data's own lock. Copying makes a new, independent pair.
class KspThreadCondition {
public:
    KspThreadCondition();
    KspThreadCondition(const KspThreadCondition& other);
    KspThreadCondition& operator=(const KspThreadCondition& other);  // keeps this pair
    virtual ~KspThreadCondition();

    // Waits once for the next Signal (or a spurious wake-up); no time limit.
    void Wait();
    // Waits at most `milliseconds` from now, against an absolute wall-clock deadline.
    // True when woken before the deadline; false when the deadline passed or the wait failed.
    bool Wait(unsigned long milliseconds);
    // Wakes every thread waiting at this moment.
    void Signal();

    // The absolute deadline `milliseconds` after the time of day `now`
    // (pure arithmetic, so the deadline rules are testable without waiting).
    static timespec MakeDeadline(unsigned long milliseconds, const timeval& now);
    // The same with a nanosecond start, for deadlines on other clocks (the monotonic
    // pause of KspThread). `now` must hold fewer than 1,000,000,000 nanoseconds.
    static timespec MakeDeadline(unsigned long milliseconds, const timespec& now);

private:
    pthread_mutex_t mMutex;      // guards nothing but the wait itself
    pthread_cond_t mCondition;
};
