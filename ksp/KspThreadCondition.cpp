#include "ksp/KspThreadCondition.h"

#include <errno.h>

namespace {
const long cNanosPerSecond = 1000000000L;
}

KspThreadCondition::KspThreadCondition()
{
    pthread_mutex_init(&mMutex, nullptr);
    pthread_cond_init(&mCondition, nullptr);
}

KspThreadCondition::KspThreadCondition(const KspThreadCondition&) : KspThreadCondition() {}

KspThreadCondition& KspThreadCondition::operator=(const KspThreadCondition&) { return *this; }

KspThreadCondition::~KspThreadCondition()
{
    pthread_cond_destroy(&mCondition);
    pthread_mutex_destroy(&mMutex);
}

void KspThreadCondition::Wait()
{
    pthread_mutex_lock(&mMutex);
    pthread_cond_wait(&mCondition, &mMutex);
    pthread_mutex_unlock(&mMutex);
}

bool KspThreadCondition::Wait(unsigned long milliseconds)
{
    timeval now;
    gettimeofday(&now, nullptr);
    const timespec deadline = MakeDeadline(milliseconds, now);
    pthread_mutex_lock(&mMutex);
    const int result = pthread_cond_timedwait(&mCondition, &mMutex, &deadline);
    pthread_mutex_unlock(&mMutex);
    return result == 0;
}

void KspThreadCondition::Signal()
{
    pthread_mutex_lock(&mMutex);
    pthread_cond_broadcast(&mCondition);
    pthread_mutex_unlock(&mMutex);
}

timespec KspThreadCondition::MakeDeadline(unsigned long milliseconds, const timeval& now)
{
    timespec start;
    start.tv_sec = now.tv_sec;
    start.tv_nsec = static_cast<long>(now.tv_usec) * 1000L;
    return MakeDeadline(milliseconds, start);
}

timespec KspThreadCondition::MakeDeadline(unsigned long milliseconds, const timespec& now)
{
    timespec deadline;
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(milliseconds / 1000UL);
    deadline.tv_nsec = static_cast<long>(milliseconds % 1000UL) * 1000000L + now.tv_nsec;
    // Both parts are below one second, so one carry is always enough.
    if (deadline.tv_nsec >= cNanosPerSecond) {
        deadline.tv_nsec -= cNanosPerSecond;
        deadline.tv_sec += 1;
    }
    return deadline;
}
