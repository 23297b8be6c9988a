#include "tools/discover/QipDiscoverOutput.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// Standard output as the program found it: closed at start, or the error of the first
// write that failed (0 for none). Main thread only.
bool gStdoutClosed = false;
int gWriteError = 0;
bool gWriteErrorReported = false;

}  // namespace

bool QipDiscoverOutput(const std::string& text) {
    if (gStdoutClosed && gWriteError == 0) gWriteError = EBADF;
    if (gWriteError != 0) return false;
    errno = 0;
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        gWriteError = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

bool QipDiscoverFlushOutput() {
    if (gWriteError == 0 && !gStdoutClosed) {
        errno = 0;
        if (fflush(stdout) != 0 || ferror(stdout)) gWriteError = errno != 0 ? errno : EIO;
    }
    if (gWriteError == 0) return true;
    if (!gWriteErrorReported) {
        fprintf(stderr, "qip-discover: write error: %s\n", strerror(gWriteError));
        gWriteErrorReported = true;
    }
    return false;
}

void QipDiscoverGuardStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) gStdoutClosed = true;
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

