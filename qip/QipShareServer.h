#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ksp/KspDescriptor.h"
#include "ksp/KspThread.h"
#include "ksp/KspThreadMutex.h"
#include "qip/QipProbeTarget.h"
#include "qip/QipReportLimiter.h"
#include "qip/QipShareDecoder.h"

// The owner's side of a shared discovery port: the abstract UNIX socket
// "@qipfinder/<port>" of the network namespace, and every program subscribed to it. Each
// subscriber first gets the hellos heard in the last cMaxAgeMs (with their ages), then
// every hello the owner hears, as the owner publishes it.
//
// Anyone on the machine can connect, so what a subscriber can make the owner hold is bounded
// in total: the snapshot is written from the records as the subscriber's socket drains, a
// piece at a time, never copied whole; everything waiting for all subscribers together stays
// within cTotalQueueBytes, and for one within cQueueBytes; a subscriber past its own bound is
// dropped, and past the total those that have gone longest without reading are, so that
// subscribers that never read cannot push out one that keeps up. A dropped subscriber
// reconnects for a fresh snapshot. Its lines go through one QipReportLimiter, so
// a churn of connections costs a few lines a minute.
//
// Subscribers of any user get the answers (anyone on the network hears them too), but probe
// targets and broadcast requests are taken only from one whose user QipShareTrust believes;
// the others are welcomed with QipShareWire::cListenOnly and their requests refused.
//
// The owner's receive path never waits for a subscriber: Publish only appends to each
// subscriber's queue under a short lock; the server's own thread writes the queues out
// without blocking, in passes at most every 5 ms (so frames go out in batches, at most that
// much later). At most cMaxSubscribers, of which cMaxListenOnly not believed; the next one
// is told the owner is full and closed.
//
// Every cKeepAliveMs the server thread queues a keep-alive for each subscriber, so that a
// subscriber hears from a running owner even when no device answers; one that hears
// nothing for longer (the owner is stopped or hung) stops waiting for it.
//
// Claim may be called on any thread; Start, Stop and destruction on the owning thread;
// Publish and the queries on any thread. Not copyable.
class QipShareServer {
public:
    static const size_t cMaxSubscribers = 64;
    // Of them, the most that may be of users it does not believe: the rest stay for its own
    // and root's programs, whatever a stranger holds open.
    static const size_t cMaxListenOnly = cMaxSubscribers / 2;
    // What one subscriber may have waiting, and all of them together.
    static const size_t cQueueBytes = 256 * 1024;
    static const size_t cTotalQueueBytes = 4 * 1024 * 1024;
    static const size_t cMaxRecords = 4096;
    static const long long cMaxAgeMs = 30000;
    static const long long cKeepAliveMs = 2000;
    // A device repeating the same hello reaches the subscribers at most this often.
    static const long long cForwardRepeatMs = 1000;

    // Told, on the server's thread, when a subscriber asks for a broadcast now. Must return
    // quickly (it wakes the sender).
    class RequestHandler {
    public:
        virtual void OnBroadcastRequested() = 0;

    protected:
        ~RequestHandler() = default;
    };

    // The abstract socket name for `port` ("\0qipfinder/19375"), and its length.
    static std::string SocketName(unsigned short port);
    // Binds and listens on the name: the descriptor, or -1 with errno set (EADDRINUSE when
    // another program owns the port). Nothing is written on failure.
    static int Claim(unsigned short port);

    QipShareServer();
    QipShareServer(const QipShareServer&) = delete;
    QipShareServer& operator=(const QipShareServer&) = delete;
    ~QipShareServer();

    // Serves on `listener` (from Claim; owned from now on). False after a line on standard
    // error when the thread cannot start; the listener is closed then.
    bool Start(int listener, RequestHandler* handler);
    // Closes every subscriber (they see the end and one of them takes over) and the listener.
    void Stop();

    // Hands one received hello datagram to every subscriber and keeps it for later ones.
    // `sender` in host byte order; `nowMs` on the monotonic clock. A datagram that repeats
    // the last one of its device (same bytes, same sender and interface) is handed on at most
    // once per cForwardRepeatMs: a subscriber's list only needs it to know the device still
    // answers, and a flood of repeats would otherwise cost every subscriber what it costs the
    // owner.
    void Publish(const unsigned char* datagram, size_t length, uint32_t sender,
                 const std::string& interface, const std::string& deviceId, long long nowMs);

    size_t GetSubscriberCount() const;
    // The probe targets subscribers asked for, parsed and checked, without repeats.
    std::vector<QipProbeTarget> GetProbeTargets() const;

private:
    struct Subscriber {
        explicit Subscriber(int fd) : mFd(fd) {}
        KspDescriptor mFd;
        uid_t mUid = 0;
        bool mIsTrusted = false;     // its probe targets and broadcast requests are taken
        std::string mQueue;          // guarded by mLock
        bool mIsLagging = false;     // guarded by mLock
        // What it holds of the budget: its queue and the unsent rest of mOut as last
        // counted. Guarded by mLock.
        size_t mOutBytes = 0;
        // When its socket last took bytes, or it held nothing; 0 until its socket first took
        // some, so that a churn of connections that never read goes before those that do.
        // Past the total, the subscriber drained longest ago is dropped first. Guarded by mLock.
        long long mDrainedMs = 0;
        std::vector<QipProbeTarget> mProbes;  // guarded by mLock
        // The snapshot, written as the socket drains: the records published before the
        // subscriber came (sequence below mSnapshotSeq), in key order from mSnapshotNext.
        // Guarded by mLock.
        bool mIsSnapshotDone = false;
        uint64_t mSnapshotSeq = 0;
        std::string mSnapshotNext;
        std::string mOut;            // server thread only: being written, from mOutOffset
        size_t mOutOffset = 0;       // server thread only
        bool mIsRefusalSaid = false;  // server thread only
        QipShareDecoder mDecoder;    // server thread only
    };
    struct Record {
        std::string mDatagram;
        uint32_t mSender = 0;
        std::string mInterface;
        long long mHeardMs = 0;
        long long mForwardedMs = 0;  // when subscribers were last handed this device's hello
        uint64_t mSeq = 0;           // mSeq of the server when last handed on
    };

    class ServeThread : public KspThread {
    public:
        explicit ServeThread(QipShareServer* outer) : mOuter(outer) {}
        void Run() override;

    protected:
        void OnStopRequested() override;

    private:
        QipShareServer* mOuter;
    };

    // The connections (QipShareServerAccept.cpp); server thread only.
    void Accept();
    // False when the subscriber is to be closed.
    bool ReadRequests(Subscriber& subscriber);
    // The queues (QipShareServerQueues.cpp). Under mLock: what one subscriber holds of the
    // budget, and the next piece of its snapshot.
    static size_t Held(const Subscriber& subscriber);
    void WriteSnapshotPiece(Subscriber& subscriber, long long nowMs);
    // Server thread: refills the subscriber's output from its snapshot or queue, writes what
    // the socket takes; false when it is to be closed (`why` then says why, or is null).
    bool Pass(Subscriber& subscriber, long long nowMs, const char*& why);
    // Adds a frame to one subscriber's queue, or marks it (or, past the total, the ones
    // that have read least lately) lagging; under mLock.
    void Enqueue(Subscriber& subscriber, const std::string& frame, long long nowMs,
                 bool& isWakeNeeded);
    // Marks a subscriber lagging and gives its queue back; under mLock.
    void Drop(Subscriber& subscriber);
    void Remove(size_t index, const char* why);
    void QueueKeepAlive();
    void Wake();
    // Server thread: one diagnostic line, through the limiter.
    void Report(const std::string& line);

    std::unique_ptr<KspDescriptor> mListener;  // null until Start
    KspDescriptor mWake;  // eventfd that ends the server's poll
    RequestHandler* mHandler;
    ServeThread mThread;
    bool mIsStarted;
    QipReportLimiter mLimiter;  // server thread only, then Stop
    mutable KspThreadMutex mLock;  // guards mSubscribers (changed by the server thread only),
                                   // mRecords, mSeq, mQueuedBytes and the fields of
                                   // Subscriber marked so
    std::vector<std::unique_ptr<Subscriber>> mSubscribers;
    std::map<std::string, Record> mRecords;
    uint64_t mSeq = 0;           // counts the hellos handed on
    size_t mQueuedBytes = 0;     // the sum of Held over the subscribers
    long long mLastPruneMs = 0;  // guarded by mLock; a full table is pruned once a second
};
