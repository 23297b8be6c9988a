#pragma once

#include <pthread.h>

// A plain, non-recursive mutex. Copying makes a new, unlocked mutex: the operating-system
// object is never shared. Lock results are not reported (no caller could act on them).
class KspThreadMutex {
public:
    KspThreadMutex();
    KspThreadMutex(const KspThreadMutex& other);
    KspThreadMutex& operator=(const KspThreadMutex& other);  // keeps this mutex as it is
    virtual ~KspThreadMutex();

    // Blocks until the calling thread holds the mutex. Must not be held already by the caller.
    void Lock();
    // Releases a mutex held by the calling thread.
    void Unlock();

    // For the condition waits of KspThread, which must pair with this very mutex.
    pthread_mutex_t* Native() { return &mMutex; }

    // Holds the mutex for the lifetime of the guard.
    class Guard {
    public:
        explicit Guard(KspThreadMutex& mutex) : mMutex(mutex) { mMutex.Lock(); }
        ~Guard() { mMutex.Unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        KspThreadMutex& mMutex;
    };

private:
    pthread_mutex_t mMutex;
};
