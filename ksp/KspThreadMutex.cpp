#include "ksp/KspThreadMutex.h"

KspThreadMutex::KspThreadMutex() { pthread_mutex_init(&mMutex, nullptr); }

// The source mutex is never shared or copied: a copy owns a fresh, unlocked one.
KspThreadMutex::KspThreadMutex(const KspThreadMutex&) { pthread_mutex_init(&mMutex, nullptr); }

KspThreadMutex& KspThreadMutex::operator=(const KspThreadMutex&) { return *this; }

KspThreadMutex::~KspThreadMutex() { pthread_mutex_destroy(&mMutex); }

void KspThreadMutex::Lock() { pthread_mutex_lock(&mMutex); }

void KspThreadMutex::Unlock() { pthread_mutex_unlock(&mMutex); }
