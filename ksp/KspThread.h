#pragma once

#include <pthread.h>

#include "ksp/KspThreadMutex.h"

// An abstract worker thread that stops cooperatively. A derived class supplies Run, which
// loops while IsThreadRunning() is true and does one unit of work per turn.
//
// Owner's calling order: construct, Start, later Stop followed by exactly one
// WaitForCompletion (from a thread other than the worker), then destroy. The destructor
// requests a stop but never joins. Copying makes a thread object that has not been started.
class KspThread {
public:
    KspThread();
    KspThread(const KspThread& other);
    KspThread& operator=(const KspThread& other);  // keeps this object's thread and state
    virtual ~KspThread();

    // Creates the thread, which runs Run. 0 on success, else the error number of
    // pthread_create (reported as "pthread_create() failed" with that error's text).
    virtual int Start();
    // Requests a stop and returns at once. Wakes a Pause under way and calls OnStopRequested.
    // Does nothing on a thread object that was never started or whose start failed.
    virtual void Stop();
    // Joins the thread. 0, or the error number of the join; 0 at once when never started.
    int WaitForCompletion() const;
    // True while no stop has been requested (not whether the thread is alive).
    bool IsThreadRunning();
    // Ends the worker's Pause under way, or its next one, early without stopping it; any
    // thread. Wakes that come before the worker pauses again count as one.
    void Wake();

    // The worker's loop; runs on the new thread only.
    virtual void Run() = 0;

protected:
    // Pauses the worker for `milliseconds` (a monotonic clock), returning early once a
    // stop or a Wake is requested. Returns IsThreadRunning() as it stands when the pause ends.
    bool Pause(unsigned long milliseconds);
    // Called by Stop on the stopping thread, after the stop flag is set and with no lock
    // held, so that a worker blocked outside Pause (in a receive, say) can be woken.
    virtual void OnStopRequested() {}

private:
    pthread_t mThread;
    bool mHasThread;                 // pthread_t has no null value of its own
    KspThreadMutex mStopLock;        // guards mIsThreadStopped and mIsWakeRequested
    bool mIsThreadStopped;
    bool mIsWakeRequested;
    pthread_cond_t mStopCondition;   // paired with mStopLock; ends a Pause on Stop or Wake
};

// The entry point of every KspThread: runs the object's Run, returns null.
extern "C" void* ThreadProc(void* thread);
