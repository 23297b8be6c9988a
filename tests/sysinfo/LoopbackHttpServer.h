#pragma once

#include <mutex>
#include <string>
#include <thread>

// A one-connection TCP server on 127.0.0.1 at a free port, run by a thread of its own. It
// accepts one connection, reads the request up to its blank line (or until the client stops
// sending), waits `delayMs`, sends `first`, pauses `pauseMs`, sends `second` and closes. A
// silent server answers nothing and keeps the connection open until it is destroyed.
// Construction fails the calling test through ADD_FAILURE when no port can be had.
// The destructor wakes and joins the thread; every descriptor is closed by then.
class LoopbackHttpServer {
public:
    struct Reply {
        Reply(const std::string& first = "", const std::string& second = "", int pauseMs = 0,
              int delayMs = 0, bool silent = false)
            : first(first), second(second), pauseMs(pauseMs), delayMs(delayMs), silent(silent) {}
        std::string first;
        std::string second;
        int pauseMs;
        int delayMs;
        bool silent;
    };

    explicit LoopbackHttpServer(const Reply& reply);
    explicit LoopbackHttpServer(const std::string& first, const std::string& second = "",
                                int pauseMs = 0, int delayMs = 0, bool silent = false)
        : LoopbackHttpServer(Reply(first, second, pauseMs, delayMs, silent)) {}
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;
    ~LoopbackHttpServer();

    unsigned short Port() const { return mPort; }
    // The bytes received so far; all of them once the client has been answered.
    std::string Request() const;

private:
    void Run();
    // Waits up to `ms` (-1: forever) for `fd` to be readable; false when woken to stop.
    bool WaitReadable(int fd, int ms) const;

    Reply mReply;
    int mListen = -1;
    int mWake[2] = {-1, -1};
    unsigned short mPort = 0;
    mutable std::mutex mRequestLock;
    std::string mRequest;  // guarded by mRequestLock
    std::thread mThread;
};

// A loopback TCP port that is bound but not listening, so connecting to it is refused.
class RefusingPort {
public:
    RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    ~RefusingPort();
    unsigned short Port() const { return mPort; }

private:
    int mFd = -1;
    unsigned short mPort = 0;
};

// A loopback TCP port whose accept queue is full, so a further connection attempt hangs.
class FullQueuePort {
public:
    FullQueuePort();
    FullQueuePort(const FullQueuePort&) = delete;
    FullQueuePort& operator=(const FullQueuePort&) = delete;
    ~FullQueuePort();
    unsigned short Port() const { return mPort; }

private:
    int mListen = -1;
    int mFiller = -1;
    unsigned short mPort = 0;
};
