// What the owner holds for its subscribers, and how it writes it out.
#include <errno.h>
#include <sys/socket.h>

#include <string>

#include "qip/QipShareServer.h"
#include "qip/QipShareWire.h"

namespace {
// How much of a snapshot is written at a time: what a subscriber that never reads makes the
// owner hold for it, beyond what its socket buffer took.
const size_t cSnapshotPieceBytes = 16 * 1024;
// A string drained of more than this gives its memory back rather than keeping it for the
// next burst: with 64 subscribers the capacities alone would pass the budget.
const size_t cKeptCapacity = 64 * 1024;
const int cMaxRefillsPerPass = 8;

void Release(std::string& text) {
    if (text.capacity() > cKeptCapacity) {
        std::string().swap(text);
    } else {
        text.clear();
    }
}
}  // namespace

size_t QipShareServer::Held(const Subscriber& subscriber) {
    return subscriber.mQueue.size() + subscriber.mOutBytes;
}

void QipShareServer::WriteSnapshotPiece(Subscriber& subscriber, long long nowMs) {
    auto it = mRecords.lower_bound(subscriber.mSnapshotNext);
    for (; it != mRecords.end() && subscriber.mOut.size() < cSnapshotPieceBytes; ++it) {
        const Record& record = it->second;
        const long long age = nowMs - record.mHeardMs;
        // Handed on since it subscribed: in its queue already.
        if (record.mSeq >= subscriber.mSnapshotSeq || age > cMaxAgeMs) continue;
        QipShareWire::EncodeHello(
            subscriber.mOut, record.mSender, static_cast<uint32_t>(age < 0 ? 0 : age),
            record.mInterface, reinterpret_cast<const unsigned char*>(record.mDatagram.data()),
            record.mDatagram.size());
    }
    if (it == mRecords.end()) {
        QipShareWire::EncodeSnapshotEnd(subscriber.mOut);
        subscriber.mIsSnapshotDone = true;
        std::string().swap(subscriber.mSnapshotNext);
    } else {
        subscriber.mSnapshotNext = it->first;
    }
}

void QipShareServer::Drop(Subscriber& subscriber) {
    subscriber.mIsLagging = true;
    mQueuedBytes -= subscriber.mQueue.size();
    std::string().swap(subscriber.mQueue);
}

void QipShareServer::Enqueue(Subscriber& subscriber, const std::string& frame, long long nowMs,
                             bool& isWakeNeeded) {
    if (subscriber.mIsLagging) return;
    if (Held(subscriber) == 0) subscriber.mDrainedMs = nowMs;
    if (Held(subscriber) + frame.size() > cQueueBytes) {
        Drop(subscriber);
        isWakeNeeded = true;
        return;
    }
    // Past the total, those that have gone longest without reading go first: a subscriber
    // that keeps up but was a moment behind must not lose its place to ones that never read
    // (it would find their slots taken when it came back).
    while (mQueuedBytes + frame.size() > cTotalQueueBytes) {
        Subscriber* stalest = nullptr;
        for (const std::unique_ptr<Subscriber>& other : mSubscribers) {
            if (!other->mIsLagging && Held(*other) > 0 &&
                (stalest == nullptr || other->mDrainedMs < stalest->mDrainedMs)) {
                stalest = other.get();
            }
        }
        // What is left over the total is the dropped ones' last writes, gone at their pass.
        if (stalest == nullptr) break;
        Drop(*stalest);
        isWakeNeeded = true;
        if (stalest == &subscriber) return;
    }
    isWakeNeeded = isWakeNeeded || subscriber.mQueue.empty();
    subscriber.mQueue += frame;
    mQueuedBytes += frame.size();
}

bool QipShareServer::Pass(Subscriber& subscriber, long long nowMs, const char*& why) {
    bool isTaken = false;  // the socket took bytes since the lock was last held
    // A socket that takes all it is given gets the next piece at once, up to a bound, so
    // that a snapshot of thousands of records is not spread over as many passes.
    for (int refill = 0; refill < cMaxRefillsPerPass; ++refill) {
        {
            KspThreadMutex::Guard guard(mLock);
            if (subscriber.mIsLagging) {
                why = "fell behind and was dropped; it reconnects for a fresh list";
                return false;
            }
            if (isTaken) subscriber.mDrainedMs = nowMs;
            isTaken = false;
            mQueuedBytes -= Held(subscriber);
            if (subscriber.mOutOffset >= subscriber.mOut.size()) {
                Release(subscriber.mOut);
                subscriber.mOutOffset = 0;
                if (!subscriber.mIsSnapshotDone) {
                    WriteSnapshotPiece(subscriber, nowMs);
                } else {
                    subscriber.mOut.swap(subscriber.mQueue);
                }
            }
            subscriber.mOutBytes = subscriber.mOut.size() - subscriber.mOutOffset;
            mQueuedBytes += Held(subscriber);
        }
        if (subscriber.mOutOffset >= subscriber.mOut.size()) return true;
        while (subscriber.mOutOffset < subscriber.mOut.size()) {
            const ssize_t sent =
                send(subscriber.mFd.Get(), subscriber.mOut.data() + subscriber.mOutOffset,
                     subscriber.mOut.size() - subscriber.mOutOffset, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
                if (isTaken) {
                    KspThreadMutex::Guard guard(mLock);
                    subscriber.mDrainedMs = nowMs;
                }
                return true;
            }
            subscriber.mOutOffset += static_cast<size_t>(sent);
            isTaken = isTaken || sent > 0;
        }
    }
    return true;
}

void QipShareServer::Remove(size_t index, const char* why) {
    std::unique_ptr<Subscriber> gone;
    {
        KspThreadMutex::Guard guard(mLock);
        gone = std::move(mSubscribers[index]);
        mSubscribers.erase(mSubscribers.begin() + static_cast<long>(index));
        mQueuedBytes -= Held(*gone);
    }
    // Without the process: a churn of laggards would make every line another.
    if (why != nullptr) Report(std::string("Discovery port: a subscriber ") + why);
}

void QipShareServer::QueueKeepAlive() {
    std::string frame;
    QipShareWire::EncodeKeepAlive(frame);
    KspThreadMutex::Guard guard(mLock);
    for (const std::unique_ptr<Subscriber>& subscriber : mSubscribers) {
        // A full queue already tells the subscriber more than a keep-alive would.
        if (!subscriber->mIsLagging && Held(*subscriber) + frame.size() <= cQueueBytes) {
            subscriber->mQueue += frame;
            mQueuedBytes += frame.size();
        }
    }
}
