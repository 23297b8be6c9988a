#include "qip/QipClient.h"

#include <memory>
#include <vector>

#include "ksp/KspNetworkInterface.h"

namespace {
// A receive pass on a socket that never opened returns at once; without a pause the
// receive thread would spin on one core for the client's whole life.
const unsigned long cClosedSocketPauseMs = 1000;
// How often the held first broadcast looks for a registered handler.
const unsigned long cHandlerCheckMs = 10;
}  // namespace

// Definitions for callers that take these constants by reference.
const unsigned short QipClient::cPort;
const unsigned long QipClient::cBufferSize;
const unsigned long QipClient::cBroadcastPeriodMs;
const unsigned long QipClient::cFirstBroadcastHoldMs;

QipClient::QipClient() : QipClient(cPort) {}

QipClient::QipClient(unsigned short port)
    : mSocket(), mHelloHandler(nullptr), mSendThread(this), mReceiveThread(this), mPort(port) {
    mSocket.Open(mPort);
    mSendThread.Start();
    mReceiveThread.Start();
}

QipClient::~QipClient() {
    try {
        // The receive thread goes first so that no hello is handed over while the send
        // thread is winding down; the socket closes only when neither thread can touch it.
        mReceiveThread.Stop();
        mReceiveThread.WaitForCompletion();
        mSendThread.Stop();
        mSendThread.WaitForCompletion();
        mHelloHandler.store(nullptr);
        mSocket.Close();
    } catch (...) {
    }
}

void QipClient::SetHelloHandler(HelloHandler* handler) {
    mHelloHandler.store(handler);
}

void QipClient::SendThread::Run() {
    // The owner registers its handler just after construction; answers to a broadcast sent
    // before that would be dropped and the devices seen only a whole period later. The
    // hold is made of monotonic pauses: a wait against the wall clock would stretch by any
    // step the clock takes backwards, holding every broadcast and the destructor with it.
    for (unsigned long held = 0;
         held < cFirstBroadcastHoldMs && mOuter->mHelloHandler.load() == nullptr;
         held += cHandlerCheckMs) {
        if (!Pause(cHandlerCheckMs)) {
            break;
        }
    }
    while (IsThreadRunning()) {
        // Taken anew every cycle so that interfaces coming and going are followed.
        const std::vector<KspNetworkInterface> interfaces = KspNetworkInterface::Enumerate();
        for (const KspNetworkInterface& interface : interfaces) {
            const QipPacketWhoIsThere question(interface.GetIpAddress(), interface.GetNetmask());
            unsigned char buffer[cBufferSize];
            const unsigned long length = question.Serialize(buffer, sizeof buffer);
            if (length > 0) {
                // A failed send is reported by the socket; the next interface still gets one.
                mOuter->mSocket.Send(buffer, length, interface.MakeBroadcastAddress(),
                                     mOuter->mPort);
            }
        }
        Pause(cBroadcastPeriodMs);
    }
}

void QipClient::ReceiveThread::Run() {
    while (IsThreadRunning()) {
        unsigned char buffer[cBufferSize];
        std::string sourceAddress;
        unsigned short sourcePort = 0;
        const unsigned long count =
            mOuter->mSocket.ReceiveFrom(buffer, sizeof buffer, sourceAddress, sourcePort, true);
        if (!mOuter->mSocket.IsOpen()) {
            Pause(cClosedSocketPauseMs);
            continue;
        }
        if (count == 0) {
            continue;  // interrupted or nothing usable: no bytes to parse
        }
        const std::unique_ptr<QipPacket> packet(QipPacket::Create(buffer, count));
        HelloHandler* handler = mOuter->mHelloHandler.load();
        if (packet == nullptr || handler == nullptr || packet->GetType() != cQipTypeHello) {
            continue;  // whoisthere (ours or another client's), unknown or malformed
        }
        const QipPacketHello* hello = dynamic_cast<const QipPacketHello*>(packet.get());
        if (hello != nullptr) {
            handler->OnHello(*hello, sourceAddress);
        }
    }
}

void QipClient::ReceiveThread::OnStopRequested() {
    // The receive blocks until a datagram arrives, and none may ever come.
    mOuter->mSocket.Interrupt();
}
