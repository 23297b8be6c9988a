#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ksp/KspNetworkInterface.h"
#include "ksp/KspThread.h"
#include "ksp/KspThreadMutex.h"
#include "ksp/KspUdpSocket.h"
#include "qip/QipClientHandlers.h"
#include "qip/QipClientOptions.h"
#include "qip/QipPacket.h"
#include "qip/QipProbeResolver.h"
#include "qip/QipProbeTarget.h"
#include "qip/QipReceiveCounts.h"
#include "qip/QipShareConnection.h"
#include "qip/QipShareServer.h"
#include "qip/QipShareWire.h"
#include "qip/QipReportLimiter.h"

// The active side of discovery: one UDP socket on port 19375, a send thread that broadcasts
// a whoisthere on every IPv4 interface every 10 seconds, and a receive thread that hands
// each hello with its sender's address to the registered handler.
//
// Discovery runs from the end of the constructor until the destructor, which stops and
// joins both threads (within about a second, whatever arrives) before closing the socket.
// A socket that cannot be opened is reported on standard error; the client then finds
// nothing. Not copyable.
//
// Beside that, for front ends that must tell a user why nothing was found: before opening
// the port the client probes whether another socket of this machine already holds it
// (IsPortShared); it raises the socket's receive buffer to the system's maximum so that
// answers arriving together are not lost, and says once on standard error when the kernel
// dropped datagrams all the same; it counts what it hears (GetReceiveCounts); and it can be
// limited to some interfaces (Options::mInterfaces).
//
// Devices beyond the broadcast domain are reached by probing: with probe targets, every
// cycle sends after its broadcasts the same whoisthere by unicast to each target address,
// carrying the address and netmask of the interface the kernel routes that target through,
// paced at Options::mProbeRate datagrams a second. A sweep still under way when the next
// cycle is due goes on (that cycle only broadcasts), so no address is probed twice at once.
// Failed sends are counted and reported on standard error once per sweep. Host names are
// looked up in the background, all at once at the start of each cycle (QipProbeResolver):
// neither the broadcasts nor the sweep wait for them. The sweep begins at once with what
// has an address; a name is probed as soon as its lookup answers, in the same sweep (one
// already over is taken up again for it), and at its last good address while a lookup
// fails. Answers from a probed address are kept whatever interface they arrive on: the
// interface filter is for broadcasts.
//
// Sharing the port: devices answer to port 19375 of the asking machine, and the kernel hands
// each answer to one socket only. So the first client of a network namespace owns the port
// and serves what it hears on the abstract socket "@qipfinder/<port>" (QipShareServer);
// every later client subscribes (QipShareConnection) instead of binding the port: it gets
// the owner's recent hellos and then every hello as it arrives, through the same hello
// handler, and its BroadcastNow goes to the owner. It probes its targets itself, as it would
// alone (same sweeps, pace, progress and outcomes), from a socket of its own on a port the
// system chooses: an answer sent back to that port arrives there, one sent to the discovery
// port comes through the owner. When the owner ends, a
// subscriber takes the port over at once (GetHandoverCount); its device list keeps its
// records. A port held by a program that serves no such socket is shared as before
// (IsPortShared). Only an owner of a believed user (QipShareTrust) is subscribed to; beside
// any other the client listens alone (GetUntrustedOwner). An owner that does not believe
// this client's user passes the answers on but refuses its requests (IsRequestsRefused):
// the client then broadcasts when asked and probes each cycle itself, from a socket of its
// own that is not bound to the port, and reads that socket too.
//
// A malformed datagram is reported on standard error as the parser words it, but by each
// client at most once a minute per kind after the first, with the number of repeats (every
// one is still counted in GetReceiveCounts), so that a host flooding the port neither fills
// a log nor stalls the receive thread on a slow standard error.
class QipClient {
public:
    static const unsigned short cPort = QipClientOptions::cPort;
    static const unsigned long cBufferSize = 1472;
    static const unsigned long cBroadcastPeriodMs = QipClientOptions::cBroadcastPeriodMs;
    static const unsigned long cFirstBroadcastHoldMs = 1000;
    static const unsigned long cDefaultProbeRate = QipClientOptions::cDefaultProbeRate;
    static const unsigned long cMinProbeRate = QipClientOptions::cMinProbeRate;
    static const unsigned long cMaxProbeRate = QipClientOptions::cMaxProbeRate;

    // The callbacks (qip/QipClientHandlers.h): their threads, locks and ownership there.
    using HelloHandler = QipClientHelloHandler;
    using EarlierHelloHandler = QipClientEarlierHelloHandler;
    using TraceHandler = QipClientTraceHandler;
    using Clock = QipClientClock;
    // What the client is built with and tells of its probing (qip/QipClientOptions.h).
    using Options = QipClientOptions;
    using ProbeProgress = QipClientProbeProgress;
    using ProbeOutcome = QipClientProbeOutcome;

    QipClient();
    // Test seam: discovery on another port (both local and destination).
    explicit QipClient(unsigned short port);
    explicit QipClient(const Options& options);
    QipClient(const QipClient&) = delete;
    QipClient& operator=(const QipClient&) = delete;
    virtual ~QipClient();

    // Registers the handler (null allowed). Does not wait for an OnHello under way: the
    // handler must stay valid until the client is destroyed or given another handler.
    // The first broadcast waits up to cFirstBroadcastHoldMs for a handler, because answers
    // that arrive while none is registered are dropped.
    void SetHelloHandler(HelloHandler* handler);
    // The same rules as for SetHelloHandler; register it before the hello handler.
    void SetEarlierHelloHandler(EarlierHelloHandler* handler) { mEarlierHandler.store(handler); }
    // How this client hears the devices: it owns the port (and serves it to others), it is
    // subscribed to the owner, or it holds the port alone (the owner refused it, or spoke
    // no protocol of ours). Changes from subscriber to owner on a hand-over. Any thread.
    enum Role { cRoleAlone, cRoleOwner, cRoleSubscriber };
    Role GetRole() const { return static_cast<Role>(mRole.load()); }
    // The process id of the owner while subscribed, else 0.
    pid_t GetOwnerPid() const { return GetRole() == cRoleSubscriber ? mOwnerPid.load() : 0; }
    // While subscribed: the owner passes the answers on but refuses this client's requests
    // (it does not believe this client's user, QipShareTrust), so the client sends its own
    // broadcasts and probes from a socket of its own, not bound to the port.
    bool IsRequestsRefused() const {
        return GetRole() == cRoleSubscriber && mIsRequestsRefused.load();
    }
    // The owner this client found and did not believe (QipShareTrust): it then listens
    // alone beside it. mPid 0: none.
    struct UntrustedOwner {
        pid_t mPid = 0;
        std::string mUser;  // the name, or the number when the user has none
    };
    UntrustedOwner GetUntrustedOwner() const;
    // How often this client took the port over from an owner that ended.
    uint64_t GetHandoverCount() const { return mHandovers.load(); }
    // Programs subscribed to this client while it owns the port.
    size_t GetSubscriberCount() const { return mShareServer.GetSubscriberCount(); }
    // Whether the client hears the devices: the UDP port opened, or it is subscribed to its
    // owner (for front ends that must say why nothing is found).
    bool IsSocketOpen() const { return mIsHearing.load(); }
    // Whether a program that shares nothing (no owner's socket) held the port just before
    // the client opened it. Answers come back by unicast to one of the sockets on the port,
    // so then this client may not hear some or all of them. Set at construction and again
    // on a hand-over; false while subscribed, as a subscriber hears all its owner hears.
    bool IsPortShared() const { return mIsPortShared.load(); }
    // The receive buffer the kernel granted, in bytes (its own accounting, which counts
    // overhead); 0 when the socket did not open.
    int GetReceiveBufferBytes() const { return mReceiveBufferBytes.load(); }
    // Sends the next round of whoisthere now instead of at the end of the period, which
    // then starts over; for a user who asks to search again. Any thread; returns at once.
    // A probe sweep under way goes on; otherwise a new one follows the broadcasts.
    void BroadcastNow() {
        mIsBroadcastRequested.store(true);
        mSendThread.Wake();
    }
    // Any thread.
    ProbeProgress GetProbeProgress() const;
    // One per probe target, in the order given. Any thread.
    std::vector<ProbeOutcome> GetProbeOutcomes() const;
    bool HasProbeTargets() const { return !mProbeTargets.empty(); }
    // The targets as given (names perhaps still unresolved).
    const std::vector<QipProbeTarget>& GetProbeTargets() const { return mProbeTargets; }
    // Pure: how many of `total` probes are due `elapsedMs` after a sweep began at `rate` a
    // second: the first at once, then one every 1/rate s.
    static uint64_t ProbesDue(long long elapsedMs, unsigned long rate, uint64_t total);
    // Pure: when (ms after the sweep began) probe number `index` is due.
    static long long ProbeDueMs(uint64_t index, unsigned long rate);
    // What was heard since the client started. Any thread. A hello is counted only after the
    // handler's OnHello has returned: counts taken before a snapshot of the handler's list
    // show no hello that the snapshot lacks.
    QipReceiveCounts::Counts GetReceiveCounts() const { return mReceiveCounts.GetCounts(); }
    const std::vector<std::string>& GetInterfaceFilter() const { return mInterfaceFilter; }
    unsigned short GetPort() const { return mPort; }

    // Pure: the interfaces of `scan` that a client with `filter` broadcasts on; the others
    // move to the skipped list with cSkipNotSelected. An empty filter changes nothing.
    static KspNetworkInterface::Scan ApplyFilter(const KspNetworkInterface::Scan& scan,
                                                 const std::vector<std::string>& filter);
    // Pure: the names of `filter` that name no interface of `scan` (usable or skipped).
    static std::vector<std::string> FindUnknownNames(const KspNetworkInterface::Scan& scan,
                                                     const std::vector<std::string>& filter);

private:
    class SendThread : public KspThread {
    public:
        explicit SendThread(QipClient* outer) : mOuter(outer) {}
        void Run() override;

    private:
        QipClient* mOuter;
    };

    // The probe sweeps; used by the send thread only, apart from the progress it publishes.
    class ProbeSweep {
    public:
        explicit ProbeSweep(QipClient* outer);
        bool IsActive() const { return mIsActive; }
        // Asks for the names and begins a sweep over `interfaces` at once, with every target
        // that has an address; a name joins it when its lookup answers (Step).
        void Request(long long nowMs, const std::vector<KspNetworkInterface>& interfaces);
        // Takes in the lookups that ended, adds the names that resolved, sends what is due;
        // returns when to come back, or -1 when neither a lookup nor a probe is pending.
        long long Step(long long nowMs);
        // Sends the probes due by `nowMs`; returns when the next one is due, or -1 once the
        // sweep is over (its failures then reported).
        long long SendDue(long long nowMs);

    private:
        struct Route {
            uint32_t mFirst = 0;
            uint32_t mCount = 0;
            bool mIsRouted = false;
            size_t mTarget = 0;  // index in mOuter->mProbeTargets
            int mError = 0;      // the first send error of this sweep
            std::vector<unsigned char> mPacket;  // the serialised whoisthere for this target
        };
        // Starts a sweep over every target that has an address, routed as the system
        // routes it right now.
        void Begin(long long nowMs);
        // The route of one target (`index` in mOuter->mProbeTargets, or cAskedTarget), its
        // outcome and trace as planned; counts it into the sweep.
        void Plan(size_t index, const QipProbeTarget& target);
        // Says what became of the lookup of target `index` that just ended.
        void NoteLookup(size_t index);
        // Adds to the sweep the names that resolved since it began; reopens one that is over.
        void AddResolved();
        void Finish(long long nowMs);

        QipClient* mOuter;
        bool mIsActive = false;
        bool mIsCounted = false;  // its end is in the progress (a reopened one's is not again)
        std::vector<KspNetworkInterface> mInterfaces;  // of the requested sweep
        std::vector<size_t> mNameOf;  // per target: its index among the resolver's names
        std::vector<size_t> mTargetOf;  // per resolver name: its target's index
        std::unique_ptr<QipProbeResolver> mResolver;   // null without names
        std::vector<bool> mOtherInterfaceSaid;         // per target
        std::vector<bool> mIsInSweep;                  // per target: probed by this sweep
        std::vector<Route> mRoutes;
        long long mStartMs = 0;
        uint64_t mTotal = 0;
        uint64_t mNext = 0;      // index of the next probe over all targets
        size_t mRoute = 0;       // the route holding mNext
        uint64_t mRouteBase = 0; // the index of mRoutes[mRoute]'s first probe
        uint64_t mFailed = 0;
        int mFirstError = 0;
        uint32_t mFirstFailedAddress = 0;
    };

    class ReceiveThread : public KspThread {
    public:
        explicit ReceiveThread(QipClient* outer) : mOuter(outer) {}
        void Run() override;

    protected:
        void OnStopRequested() override;

    private:
        QipClient* mOuter;
    };

    // Asks the client for a broadcast when a subscriber does.
    class ShareRequests : public QipShareServer::RequestHandler {
    public:
        explicit ShareRequests(QipClient* outer) : mOuter(outer) {}
        // At most one a second, whatever the subscribers ask: the owner paces the sum.
        void OnBroadcastRequested() override;

    private:
        QipClient* mOuter;
        long long mLastMs = -1000000;  // the server's thread only
    };

    // Passes the parser's reports of malformed datagrams through the client's own limiter.
    // Receive thread only.
    class MalformedReporter : public QipPacket::Reporter {
    public:
        MalformedReporter(QipClient* outer, long long periodMs) : mOuter(outer), mLimiter(periodMs) {}
        void OnMalformed(const std::string& line) override;

    private:
        QipClient* mOuter;
        QipReportLimiter mLimiter;
    };

    // What the send thread learns each cycle and the receive thread needs per datagram.
    struct Local {
        std::vector<std::string> mAddresses;                // this machine's IPv4 addresses
        std::vector<std::pair<int, std::string>> mIndexes;  // interface index → name
        std::vector<int> mAllowed;                          // indexes the filter admits
    };

    void Learn(const std::vector<KspNetworkInterface>& interfaces);
    void Broadcast(const std::vector<KspNetworkInterface>& interfaces);
    // Whether a hello from `address` answers one of the sweep's probes; if so it is
    // counted as an answer of its target.
    bool IsProbedAddress(const std::string& address);
    void Trace(TraceHandler::Event::Kind kind, const std::string& interface,
               const std::string& address);
    std::string InterfaceName(int index);
    void ReceiveOne(unsigned char* buffer, unsigned long count,
                    const KspUdpSocket::ReceiveInfo& info);
    // Sharing (QipClientShare.cpp). JoinOrOwn subscribes to the owner, or claims the port
    // and opens the socket, or opens it alone; at construction, and on the receive thread
    // when the owner ended.
    void JoinOrOwn(bool isHandover);
    void OwnPort(int listener, bool isHandover);
    void ListenAlone();
    // Receive thread: feeds the owner's hellos, and the answers to this subscriber's own
    // probes, until the connection ends; false when the owner broke the format or fell
    // silent (the client then listens alone).
    bool ReceiveShared();
    // The socket probes leave through: the subscriber's own while subscribed.
    const KspUdpSocket& ProbeSocket() const;
    // The socket broadcasts leave through: a listen-only subscriber's own, else the port's.
    const KspUdpSocket& BroadcastSocket() const;
    void DeliverShared(const QipShareWire::Message& message);
    void PublishShared(const unsigned char* buffer, unsigned long count,
                       const KspUdpSocket::ReceiveInfo& info, const QipPacketHello& hello);
    // Send thread, once a cycle is due: false when a subscriber, which only forwards a
    // requested broadcast to its owner and sends nothing itself.
    bool SendsOwnCycle(bool isRequested);
    std::vector<QipProbeTarget> SweepTargets(const std::vector<QipProbeTarget>& own) const;

    KspUdpSocket mSocket;
    // A subscriber's own socket (see above): opened when the client subscribes with probe
    // targets or listen-only, closed with the client. The send thread sends on it, the
    // receive thread reads it.
    KspUdpSocket mProbeSocket;
    std::atomic<HelloHandler*> mHelloHandler;
    SendThread mSendThread;
    ReceiveThread mReceiveThread;
    unsigned short mPort;
    const std::vector<std::string> mInterfaceFilter;
    TraceHandler* const mTraceHandler;
    const std::vector<QipProbeTarget> mProbeTargets;
    const unsigned long mProbeRate;
    const unsigned long mPeriodMs;
    std::atomic<bool> mIsBroadcastRequested;
    // What IsProbedAddress matches: the addresses of one target as last probed.
    struct ProbedRange {
        uint32_t mFirst;
        uint32_t mCount;
        size_t mTarget;
    };
    mutable KspThreadMutex mProbeLock;  // guards mProbeProgress, mProbedRanges, mProbeOutcomes
    ProbeProgress mProbeProgress;
    std::vector<ProbedRange> mProbedRanges;
    std::vector<ProbeOutcome> mProbeOutcomes;  // one per target
    std::atomic<bool> mIsPortShared;
    std::atomic<int> mReceiveBufferBytes;
    QipReceiveCounts mReceiveCounts;
    KspThreadMutex mLocalLock;  // guards mLocal
    Local mLocal;
    ShareRequests mShareRequests;
    QipShareServer mShareServer;
    QipShareConnection mShareConnection;
    std::atomic<int> mRole;
    std::atomic<pid_t> mOwnerPid;
    // mProbeSocket is open: set once, after opening it, so that the send thread never meets
    // it half opened.
    std::atomic<bool> mIsOwnSocketOpen;
    std::atomic<bool> mIsRequestsRefused;
    mutable KspThreadMutex mUntrustedLock;  // guards mUntrustedOwner
    UntrustedOwner mUntrustedOwner;
    std::atomic<uint64_t> mHandovers;
    std::atomic<bool> mIsHearing;
    std::atomic<EarlierHelloHandler*> mEarlierHandler;
    // Receive thread only.
    Clock* const mReportClock;
    MalformedReporter mMalformedReporter;
    uint32_t mLastDropCount;
    uint64_t mKernelDrops;
    // Last: it reads the targets and fills mProbeOutcomes as it is built.
    ProbeSweep mProbeSweep;
};
