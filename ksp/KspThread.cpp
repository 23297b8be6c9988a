#include "ksp/KspThread.h"

#include <errno.h>
#include <stdio.h>
#include <time.h>

#include "ksp/KspThreadCondition.h"

namespace {

// Pauses measure elapsed time, so a wall-clock step must not lengthen or cut them short.
void InitMonotonicCondition(pthread_cond_t* condition)
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(condition, &attributes);
    pthread_condattr_destroy(&attributes);
}

}  // namespace

extern "C" void* ThreadProc(void* thread)
{
    static_cast<KspThread*>(thread)->Run();
    return nullptr;
}

KspThread::KspThread()
    : mThread(), mHasThread(false), mIsThreadStopped(true), mIsWakeRequested(false)
{
    InitMonotonicCondition(&mStopCondition);
}

// A running thread is never shared: the copy is a fresh object that has not been started.
KspThread::KspThread(const KspThread&) : KspThread() {}

KspThread& KspThread::operator=(const KspThread&) { return *this; }

KspThread::~KspThread()
{
    if (mHasThread) {
        KspThreadMutex::Guard guard(mStopLock);
        mIsThreadStopped = true;
        pthread_cond_broadcast(&mStopCondition);
    }
    pthread_cond_destroy(&mStopCondition);
}

int KspThread::Start()
{
    {
        KspThreadMutex::Guard guard(mStopLock);
        mIsThreadStopped = false;
    }
    const int result = pthread_create(&mThread, nullptr, ThreadProc, this);
    if (result != 0) {
        // pthread_create returns its error rather than setting errno.
        errno = result;
        perror("pthread_create() failed");
        mHasThread = false;
        return result;
    }
    mHasThread = true;
    return 0;
}

void KspThread::Stop()
{
    if (!mHasThread) {
        return;
    }
    {
        KspThreadMutex::Guard guard(mStopLock);
        mIsThreadStopped = true;
        pthread_cond_broadcast(&mStopCondition);
    }
    OnStopRequested();
}

int KspThread::WaitForCompletion() const
{
    if (!mHasThread) {
        return 0;
    }
    return pthread_join(mThread, nullptr);
}

bool KspThread::IsThreadRunning()
{
    KspThreadMutex::Guard guard(mStopLock);
    return !mIsThreadStopped;
}

bool KspThread::Pause(unsigned long milliseconds)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const timespec deadline = KspThreadCondition::MakeDeadline(milliseconds, now);
    KspThreadMutex::Guard guard(mStopLock);
    // The flags are the predicate: a Stop or Wake before the wait begins is never missed.
    while (!mIsThreadStopped && !mIsWakeRequested) {
        // ETIMEDOUT ends the pause; any other failure must not spin.
        if (pthread_cond_timedwait(&mStopCondition, mStopLock.Native(), &deadline) != 0) {
            break;
        }
    }
    mIsWakeRequested = false;
    return !mIsThreadStopped;
}

void KspThread::Wake()
{
    KspThreadMutex::Guard guard(mStopLock);
    mIsWakeRequested = true;
    pthread_cond_broadcast(&mStopCondition);
}
