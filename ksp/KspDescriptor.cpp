#include "ksp/KspDescriptor.h"

#include <unistd.h>

KspDescriptor::~KspDescriptor() {
    if (mFd >= 0) close(mFd);
}

int KspDescriptor::Release() {
    int fd = mFd;
    mFd = -1;
    return fd;
}
