#pragma once

// Owns one file descriptor and closes it when it goes, unless Release hands it over first.
// -1 owns nothing. Not copyable; used by one thread at a time.
class KspDescriptor {
public:
    explicit KspDescriptor(int fd) : mFd(fd) {}
    KspDescriptor(const KspDescriptor&) = delete;
    KspDescriptor& operator=(const KspDescriptor&) = delete;
    ~KspDescriptor();

    int Get() const { return mFd; }
    // The descriptor, no longer owned (-1 when there was none).
    int Release();

    // A pipe whose ends are non-blocking and close-on-exec from the start, so that a program
    // another thread starts meanwhile inherits neither: fds[0] reads, fds[1] writes, both the
    // caller's to close. 0, or -1 with errno set.
    static int OpenPipe(int fds[2]);

private:
    int mFd;
};
