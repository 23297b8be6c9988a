#pragma once

#include <stddef.h>

#include <map>

#include "ksp/KspThreadMutex.h"

// The connections of one HTTP server and how far each is with its request head, so that
// slow clients cannot keep their slots: a head (with its TLS handshake) must be complete
// cHeadDeadlineMs after its first byte arrived, however slowly the bytes trickle in, and
// once more than cEvictAbove connections are open every new one closes the oldest that is
// still waiting for its head, so that the last slots stay free for clients that send one
// at once. A connection that sends nothing at all is left to the server's idle timeout.
// The first byte is read from the kernel's count of bytes received (TCP_INFO), so the
// server's own reading needs no hook. Any thread; the server calls the On* methods, a
// timer CloseOverdue. Closing means shutdown(2): the server sees the end and closes the
// descriptor itself, which stays valid until OnClosed.
class QipExporterConnections {
public:
    static const long long cHeadDeadlineMs = 5000;

    // `evictAbove`: how many may be open before new ones close the oldest waiting heads.
    explicit QipExporterConnections(size_t evictAbove) : mEvictAbove(evictAbove) {}
    QipExporterConnections(const QipExporterConnections&) = delete;
    QipExporterConnections& operator=(const QipExporterConnections&) = delete;

    // `connection` identifies it (the server's handle), `fd` is its socket.
    void OnOpened(const void* connection, int fd, long long nowMs);
    // Its request head is complete: off the deadline until its answer has gone.
    void OnHead(const void* connection);
    // Its answer has gone: the next head's deadline starts at the next byte.
    void OnAnswered(const void* connection);
    void OnClosed(const void* connection);
    size_t GetOpen() const;
    // Shuts down every connection whose head is late at `nowMs`; how many it shut down.
    size_t CloseOverdue(long long nowMs);

private:
    struct Entry {
        int mFd;
        long long mOpenedMs;
        bool mIsInHead;                 // waiting for a request head
        unsigned long long mBaseline;   // bytes received when that wait began
        long long mFirstByteMs;         // when a byte past mBaseline was first seen; -1 before
        bool mIsClosing;
    };
    // Bytes the kernel received on `fd` so far, 0 when it cannot tell.
    static unsigned long long ReceivedBytes(int fd);
    void Close(Entry& entry);

    const size_t mEvictAbove;
    mutable KspThreadMutex mLock;  // guards mEntries
    std::map<const void*, Entry> mEntries;
};
