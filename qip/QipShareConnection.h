#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "ksp/KspDescriptor.h"
#include "ksp/KspThreadMutex.h"
#include "qip/QipShareDecoder.h"
#include "qip/QipShareWire.h"

// A subscriber's connection to the program that owns the discovery port of this network
// namespace (see QipShareServer). The owner is input like the network: every frame is
// bounded and checked, and a stream that breaks the format ends the connection. An owner
// whose user QipShareTrust does not believe is not read at all (cUntrusted).
//
// Join, Read and Close run on one thread (the client's receive thread); Send* on any other,
// under the connection's own lock; Interrupt on any thread. Not copyable.
class QipShareConnection {
public:
    enum JoinResult {
        cJoined,
        cNoOwner,  // nobody serves the name (or the owner ended meanwhile)
        cFull,     // the owner has all the subscribers it takes
        cBroken,   // something serves the name but does not speak this protocol
        cUntrusted,  // the name is served by a process of a user not to be believed
                     // (QipShareTrust); nothing was read from it
    };
    enum ReadResult {
        cMessage,
        cEnded,       // the owner closed the connection, or Interrupt was called
        cUnreadable,  // the owner broke the format; `error` says how
        cSilent,      // nothing at all, not even a keep-alive, for cSilenceMs: stopped or hung
        cOtherReady,  // the descriptor given to WatchAlso has something to read
    };
    static const int cWelcomeWaitMs = 2000;
    // Three of the owner's keep-alive intervals, and well inside the 30 s after which a
    // list gives a silent device up, so that a subscriber of a stopped owner listens
    // itself before any device is reported gone.
    static const int cSilenceMs = 6000;

    QipShareConnection();
    QipShareConnection(const QipShareConnection&) = delete;
    QipShareConnection& operator=(const QipShareConnection&) = delete;

    // Connects to the owner of `port` and reads its welcome (waiting up to cWelcomeWaitMs).
    // On cBroken, `error` says what was wrong. Closes a connection still open first.
    JoinResult Join(unsigned short port, std::string& error);
    // The owner's process id and user (SO_PEERCRED) as of the last Join that connected; pid
    // 0 when not known.
    pid_t GetOwnerPid() const { return mOwnerPid; }
    uid_t GetOwnerUid() const { return mOwnerUid; }
    // After cJoined: the owner passes the answers on but takes none of this program's
    // requests (QipShareWire::cListenOnly); the program sends its own.
    bool IsListenOnly() const { return mIsListenOnly; }
    // Blocks until the next message, or until the owner has sent nothing for cSilenceMs
    // (keep-alives included). On anything but cMessage the caller Closes; after cEnded,
    // IsInterrupted tells an Interrupt from the owner's end.
    ReadResult Read(QipShareWire::Message& message, std::string& error);
    // A descriptor of the reading thread's own that Read also waits on (-1: none): Read
    // returns cOtherReady while it is readable and nothing from the owner is. Not owned;
    // reading thread only.
    void WatchAlso(int fd) { mOtherFd = fd; }
    // Asks the owner to broadcast now, or to probe `text` too; false when not connected.
    bool SendBroadcastNow();
    bool SendProbe(const std::string& text);
    void Close();
    // Ends a Read under way and every later one, for good.
    void Interrupt();
    bool IsInterrupted() const;

private:
    bool Send(const std::string& frame);
    enum Wait { cReadable, cOtherReadable, cTimedOut, cStopped };
    // Waits for the socket or the interrupt (cStopped, as is a poll error), and for the
    // descriptor of WatchAlso when `isOtherWatched`.
    Wait WaitReadable(int timeoutMs, bool isOtherWatched);

    KspDescriptor mWake;         // eventfd written by Interrupt
    KspThreadMutex mSendLock;    // guards mSocket against the reading thread's Join and Close
    std::unique_ptr<KspDescriptor> mSocket;
    pid_t mOwnerPid;             // reading thread only
    uid_t mOwnerUid;             // reading thread only
    bool mIsListenOnly;          // reading thread only
    QipShareDecoder mDecoder;    // reading thread only
    long long mLastHeardMs;      // reading thread only: the owner's last bytes, monotonic
    int mOtherFd;                // reading thread only
};
