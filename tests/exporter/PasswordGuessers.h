#pragma once

#include <stddef.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Clients that guess passwords over plain HTTP, from a namespace of the test bed: `rate`
// requests a second for /metrics with user "prometheus" and a wrong password, spread over
// the `sources` addresses (which the namespace must hold), each on a connection of its own
// read to its end, at most 512 open at once. Runs on a thread of its own from Start to
// Stop (or destruction).
class PasswordGuessers {
public:
    PasswordGuessers(const std::string& namespaceName, const std::vector<std::string>& sources,
                     const std::string& address, int port, double rate);
    PasswordGuessers(const PasswordGuessers&) = delete;
    PasswordGuessers& operator=(const PasswordGuessers&) = delete;
    ~PasswordGuessers();

    void Start();
    // Closes every connection and joins the thread.
    void Stop();
    // Requests sent, and the answers by status so far.
    size_t GetSent() const { return mSent.load(); }
    size_t GetUnauthorized() const { return mUnauthorized.load(); }  // 401
    size_t GetBusy() const { return mBusy.load(); }                  // 429
    size_t GetOther() const { return mOther.load(); }                // anything else, or none

private:
    void Run();

    std::string mNamespace;
    std::vector<std::string> mSources;
    std::string mAddress;
    int mPort;
    double mRate;
    std::atomic<bool> mRunning;
    std::atomic<size_t> mSent;
    std::atomic<size_t> mUnauthorized;
    std::atomic<size_t> mBusy;
    std::atomic<size_t> mOther;
    std::thread mThread;
};
