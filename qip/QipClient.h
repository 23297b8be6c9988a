#pragma once

#include <atomic>
#include <string>

#include "ksp/KspThread.h"
#include "ksp/KspUdpSocket.h"
#include "qip/QipPacket.h"

// The active side of discovery: one UDP socket on port 19375, a send thread that broadcasts
// a whoisthere on every IPv4 interface every 10 seconds, and a receive thread that hands
// each hello with its sender's address to the registered handler.
//
// Discovery runs from the end of the constructor until the destructor, which stops and
// joins both threads (within about a second, whatever arrives) before closing the socket.
// A socket that cannot be opened is reported on standard error; the client then finds
// nothing. Not copyable.
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

    QipClient();
    // Test seam: discovery on another port (both local and destination).
    explicit QipClient(unsigned short port);
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

    KspUdpSocket mSocket;
    std::atomic<HelloHandler*> mHelloHandler;
    SendThread mSendThread;
    ReceiveThread mReceiveThread;
    unsigned short mPort;
};
