#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "ksp/KspNetworkInterface.h"
#include "ksp/KspThread.h"
#include "ksp/KspThreadMutex.h"
#include "ksp/KspUdpSocket.h"
#include "qip/QipPacket.h"
#include "qip/QipReceiveCounts.h"

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
class QipClient {
public:
    static const unsigned short cPort = 19375;
    static const unsigned long cBufferSize = 1472;
    static const unsigned long cBroadcastPeriodMs = 10000;
    static const unsigned long cFirstBroadcastHoldMs = 1000;

    // Receives every hello, one call at a time, on the client's receive thread. The packet
    // is valid only during the call. Called with none of the client's locks held.
    class HelloHandler {
    public:
        virtual void OnHello(const QipPacketHello& hello, const std::string& sourceAddress) = 0;

    protected:
        ~HelloHandler() = default;
    };

    // Told of each step of discovery, for a front end that shows them (a verbose mode).
    // Called on the send thread (broadcasts) and the receive thread (everything else): one
    // call at a time per thread, but calls from the two may overlap. None of the client's
    // locks is held; it must return quickly, as datagrams wait meanwhile.
    class TraceHandler {
    public:
        struct Event {
            enum Kind {
                cBroadcastSent,        // mInterface, mAddress: the broadcast address
                cBroadcastFailed,      // as cBroadcastSent; the socket reported why
                cHelloHeard,           // mInterface, mAddress: the sender, mDeviceType, mDeviceId
                cHelloOtherInterface,  // as cHelloHeard, left out by the interface filter
                cWhoIsThereHeard,      // mInterface, mAddress; mIsFromOther: not this machine's
                cMalformedHeard,       // mInterface, mAddress
                cDatagramsDropped,     // mCount: the kernel's drops so far
            };
            Kind mKind;
            std::string mInterface;  // interface name; empty when not known
            std::string mAddress;
            std::string mDeviceType;
            std::string mDeviceId;
            bool mIsFromOther = false;
            uint64_t mCount = 0;
        };
        virtual void OnTrace(const Event& event) = 0;

    protected:
        ~TraceHandler() = default;
    };

    struct Options {
        // The discovery port, both local and destination (another one only in tests).
        unsigned short mPort = cPort;
        // Interface names to broadcast on and to accept answers through (by the interface
        // each datagram arrived on). Empty: every IPv4 interface, answers from anywhere.
        std::vector<std::string> mInterfaces;
        // Not owned; must outlive the client. Null: nothing is traced.
        TraceHandler* mTraceHandler = nullptr;
    };

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
    // Whether the UDP port could be opened (for front ends that must say why nothing is found).
    bool IsSocketOpen() const { return mSocket.IsOpen(); }
    // Whether another socket of this machine held the port just before the client opened
    // it. Answers come back by unicast to one of the sockets on the port, so then this
    // client may not hear some or all of them. Fixed at construction.
    bool IsPortShared() const { return mIsPortShared; }
    // The receive buffer the kernel granted, in bytes (its own accounting, which counts
    // overhead); 0 when the socket did not open.
    int GetReceiveBufferBytes() const { return mReceiveBufferBytes; }
    // Sends the next round of whoisthere now instead of at the end of the period, which
    // then starts over; for a user who asks to search again. Any thread; returns at once.
    void BroadcastNow() { mSendThread.Wake(); }
    // What was heard since the client started. Any thread.
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

    class ReceiveThread : public KspThread {
    public:
        explicit ReceiveThread(QipClient* outer) : mOuter(outer) {}
        void Run() override;

    protected:
        void OnStopRequested() override;

    private:
        QipClient* mOuter;
    };

    // What the send thread learns each cycle and the receive thread needs per datagram.
    struct Local {
        std::vector<std::string> mAddresses;                // this machine's IPv4 addresses
        std::vector<std::pair<int, std::string>> mIndexes;  // interface index → name
        std::vector<int> mAllowed;                          // indexes the filter admits
    };

    void Learn(const std::vector<KspNetworkInterface>& interfaces);
    void Trace(TraceHandler::Event::Kind kind, const std::string& interface,
               const std::string& address);
    std::string InterfaceName(int index);
    void ReceiveOne(unsigned char* buffer, unsigned long count,
                    const KspUdpSocket::ReceiveInfo& info);

    KspUdpSocket mSocket;
    std::atomic<HelloHandler*> mHelloHandler;
    SendThread mSendThread;
    ReceiveThread mReceiveThread;
    unsigned short mPort;
    const std::vector<std::string> mInterfaceFilter;
    TraceHandler* const mTraceHandler;
    bool mIsPortShared;
    int mReceiveBufferBytes;
    QipReceiveCounts mReceiveCounts;
    KspThreadMutex mLocalLock;  // guards mLocal
    Local mLocal;
    // Receive thread only.
    uint32_t mLastDropCount;
    uint64_t mKernelDrops;
};
