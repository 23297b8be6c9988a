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
#include "qip/QipShareDecoder.h"

// The owner's side of a shared discovery port: the abstract UNIX socket
// "@qipfinder/<port>" of the network namespace, and every program subscribed to it. Each
// subscriber first gets the hellos heard in the last cMaxAgeMs (with their ages), then
// every hello the owner hears, as the owner publishes it.
//
// The owner's receive path never waits for a subscriber: Publish only appends to each
// subscriber's queue under a short lock; the server's own thread writes the queues out
// without blocking, in passes at most every 5 ms (so frames go out in batches, at most that
// much later). A subscriber whose queue passes its bound is dropped (one line on
// standard error) and reconnects for a fresh snapshot. At most cMaxSubscribers; the next
// one is told the owner is full and closed.
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
    // What one subscriber may have waiting beyond its snapshot.
    static const size_t cQueueBytes = 256 * 1024;
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
        pid_t mPid = 0;
        std::string mQueue;          // guarded by mLock
        size_t mLimit = cQueueBytes;  // guarded by mLock
        bool mIsLagging = false;     // guarded by mLock
        std::vector<QipProbeTarget> mProbes;  // guarded by mLock
        std::string mOut;            // server thread only: taken from mQueue, not yet written
        QipShareDecoder mDecoder;    // server thread only
    };
    struct Record {
        std::string mDatagram;
        uint32_t mSender = 0;
        std::string mInterface;
        long long mHeardMs = 0;
        long long mForwardedMs = 0;  // when subscribers were last handed this device's hello
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

    void Accept();
    // False when the subscriber is to be closed.
    bool ReadRequests(Subscriber& subscriber);
    bool Flush(Subscriber& subscriber);
    void Remove(size_t index, const char* why);
    void QueueKeepAlive();
    void Wake();

    std::unique_ptr<KspDescriptor> mListener;  // null until Start
    KspDescriptor mWake;  // eventfd that ends the server's poll
    RequestHandler* mHandler;
    ServeThread mThread;
    bool mIsStarted;
    mutable KspThreadMutex mLock;  // guards mSubscribers (changed by the server thread only),
                                   // mRecords and the fields of Subscriber marked so
    std::vector<std::unique_ptr<Subscriber>> mSubscribers;
    std::map<std::string, Record> mRecords;
    long long mLastPruneMs = 0;  // guarded by mLock; a full table is pruned once a second
};
