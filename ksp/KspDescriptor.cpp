// pipe2 is Linux's and the BSDs' (POSIX has it only since 2024): the one place that asks for
// it by name, so the portable build's strict POSIX holds everywhere else.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "ksp/KspDescriptor.h"

#include <fcntl.h>
#include <unistd.h>

KspDescriptor::~KspDescriptor() {
    if (mFd >= 0) close(mFd);
}

int KspDescriptor::OpenPipe(int fds[2]) { return pipe2(fds, O_CLOEXEC | O_NONBLOCK); }

int KspDescriptor::Release() {
    int fd = mFd;
    mFd = -1;
    return fd;
}
