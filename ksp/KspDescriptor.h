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

private:
    int mFd;
};
