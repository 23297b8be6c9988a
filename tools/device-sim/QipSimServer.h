#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/device-sim/QipSimDevice.h"
#include "tools/device-sim/QipSimOptions.h"

// The sockets of the simulator and its single-threaded event loop: the UDP receivers that
// hear whoisthere, one UDP socket per device address that answers from that address (and
// hears whoisthere sent to it directly), and the HTTP listeners with their connections.
// Owns every descriptor; all of them close with the server. Used by one thread.
class QipSimServer {
public:
    explicit QipSimServer(const QipSimOptions& options);
    QipSimServer(const QipSimServer&) = delete;
    QipSimServer& operator=(const QipSimServer&) = delete;
    ~QipSimServer();

    // Binds every socket. False after one line on standard error naming the socket that
    // could not be bound (the sockets bound so far close with the server).
    bool Open();
    // Serves until `stopDescriptor` becomes readable (the signal handler's pipe).
    void Run(int stopDescriptor);

private:
    // Closes the descriptor it holds; move-only.
    class Descriptor {
    public:
        explicit Descriptor(int fd = -1) : mFd(fd) {}
        Descriptor(Descriptor&& other) noexcept : mFd(other.mFd) { other.mFd = -1; }
        Descriptor& operator=(Descriptor&& other) noexcept;
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
        ~Descriptor();
        int Get() const { return mFd; }

    private:
        int mFd;
    };

    struct Receiver {
        Descriptor mSocket;
        std::string mAddress;
        std::vector<size_t> mDevices;  // the devices that hear what arrives here
    };
    struct Replier {
        Descriptor mSocket;
        std::string mAddress;
        size_t mDevice;
    };
    struct Listener {
        Descriptor mSocket;
        size_t mDevice;
    };
    // Answers of devices with an answer delay, waiting for their time.
    struct LateAnswer {
        long long mDueMs;
        size_t mDevice;
        sockaddr_in mTo;
        std::vector<QipSimDevice::Datagram> mDatagrams;
    };
    enum class ConnectionState { cReading, cAnswering, cDraining, cHanging, cClosed };
    struct Connection {
        Descriptor mSocket;
        size_t mDevice = 0;
        std::string mPeer;
        bool mPeerFinished = false;    // the peer has shut down its sending side
        ConnectionState mState = ConnectionState::cReading;
        std::string mReceived;
        std::string mResponse;
        size_t mSent = 0;
        size_t mPieceEnd = 0;          // bytes that may go out now
        long long mNextAtMs = 0;       // when the next piece may start
        long long mDeadlineMs = 0;     // reading or draining gives up then
    };

    Descriptor Bind(int type, const std::string& address, unsigned short port);
    bool FillBacklog(const Descriptor& listener, const std::string& address, unsigned short port);
    void OnDatagram(int fd, const std::vector<size_t>& devices);
    // `answered` counts the datagrams of one burst, which are paced.
    void SendAnswer(size_t device, const sockaddr_in& to, const std::vector<QipSimDevice::Datagram>& datagrams,
                    size_t* answered);
    // Sends the late answers that are due; returns when the next one is (-1: none waits).
    long long SendDueAnswers(long long now);
    void OnAccept(const Listener& listener);
    void OnReadable(Connection& connection);
    void OnWritable(Connection& connection);
    void Advance(Connection& connection);
    long long NowMs() const;

    QipSimOptions mOptions;
    std::vector<QipSimDevice> mDevices;
    std::vector<Receiver> mReceivers;
    std::vector<Replier> mRepliers;
    std::vector<Listener> mListeners;
    std::vector<Descriptor> mDeafListeners;  // no-accept listeners and the connections filling them
    std::vector<std::unique_ptr<Connection>> mConnections;
    std::vector<LateAnswer> mLateAnswers;  // in the order they fall due
    long long mStartMs;
};
