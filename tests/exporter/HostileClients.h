#pragma once

#include <stddef.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Clients that try to wear an HTTP server down, from a namespace of the test bed: `idle`
// connections that never send a byte, and `slow` ones that send a request head one header
// line a second and never end it. A connection the server closes is made again a second
// later, as a determined client would. With `sources`, the connections are spread over
// those addresses (which the namespace must hold), as clients of many hosts. Runs on a thread of its own from Start to Stop (or
// destruction); raises this process's descriptor limit to hold them all.
class HostileClients {
public:
    HostileClients(const std::string& namespaceName, const std::string& address, int port,
                   size_t idle, size_t slow, const std::vector<std::string>& sources = {});
    HostileClients(const HostileClients&) = delete;
    HostileClients& operator=(const HostileClients&) = delete;
    ~HostileClients();

    void Start();
    // Closes every connection and joins the thread.
    void Stop();
    // Connections made so far, and how many are open now.
    size_t GetConnects() const { return mConnects.load(); }
    size_t GetOpen() const { return mOpen.load(); }

private:
    void Run();

    std::string mNamespace;
    std::string mAddress;
    int mPort;
    size_t mIdle;
    size_t mSlow;
    std::vector<std::string> mSources;
    std::atomic<bool> mRunning;
    std::atomic<size_t> mConnects;
    std::atomic<size_t> mOpen;
    std::thread mThread;
};
