#include "tools/exporter/QipExporterConnections.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

const long long QipExporterConnections::cHeadDeadlineMs;

unsigned long long QipExporterConnections::ReceivedBytes(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    // A kernel older than the field gives a shorter structure.
    if (length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return 0;
    return info.tcpi_bytes_received;
}

void QipExporterConnections::Close(Entry& entry) {
    if (entry.mIsClosing) return;
    entry.mIsClosing = true;
    shutdown(entry.mFd, SHUT_RDWR);
}

void QipExporterConnections::OnOpened(const void* connection, int fd, long long nowMs) {
    KspThreadMutex::Guard guard(mLock);
    mEntries[connection] = Entry{fd, nowMs, true, 0, -1, false};
    if (mEntries.size() <= mEvictAbove) return;
    Entry* oldest = nullptr;
    for (auto& entry : mEntries) {
        Entry& e = entry.second;
        if (entry.first != connection && e.mIsInHead && !e.mIsClosing &&
            (oldest == nullptr || e.mOpenedMs < oldest->mOpenedMs)) {
            oldest = &e;
        }
    }
    if (oldest != nullptr) Close(*oldest);
}

void QipExporterConnections::OnHead(const void* connection) {
    KspThreadMutex::Guard guard(mLock);
    const auto entry = mEntries.find(connection);
    if (entry != mEntries.end()) entry->second.mIsInHead = false;
}

void QipExporterConnections::OnAnswered(const void* connection) {
    KspThreadMutex::Guard guard(mLock);
    const auto entry = mEntries.find(connection);
    if (entry == mEntries.end()) return;
    entry->second.mIsInHead = true;
    entry->second.mBaseline = ReceivedBytes(entry->second.mFd);
    entry->second.mFirstByteMs = -1;
}

void QipExporterConnections::OnClosed(const void* connection) {
    KspThreadMutex::Guard guard(mLock);
    mEntries.erase(connection);
}

size_t QipExporterConnections::GetOpen() const {
    KspThreadMutex::Guard guard(mLock);
    return mEntries.size();
}

size_t QipExporterConnections::CloseOverdue(long long nowMs) {
    KspThreadMutex::Guard guard(mLock);
    size_t closed = 0;
    for (auto& entry : mEntries) {
        Entry& e = entry.second;
        if (!e.mIsInHead || e.mIsClosing) continue;
        if (e.mFirstByteMs < 0) {
            if (ReceivedBytes(e.mFd) > e.mBaseline) e.mFirstByteMs = nowMs;
        } else if (nowMs - e.mFirstByteMs >= cHeadDeadlineMs) {
            Close(e);
            ++closed;
        }
    }
    return closed;
}
