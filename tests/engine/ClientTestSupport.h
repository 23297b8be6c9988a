#pragma once

// What the client tests share: the port, the namespace guard, a raw sender and a recorder
// of the hellos handed over. The tests run in a loopback namespace of their own, entered
// once per test process (QipClientTest.cpp registers that).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qip/QipClient.h"
#include "tests/engine/LoopbackNamespace.h"

// Each test process runs in a namespace of its own, so this port is free in every one of
// them and the client's broadcasts reach nothing but loopback.
const unsigned short cTestPort = 29375;

// Without a namespace of its own the client would broadcast on the machine's interfaces,
// so the test must not run; a CI run must not pass by skipping, though.
#define REQUIRE_NAMESPACE()                                                        \
    if (!LoopbackNamespace::IsEntered()) {                                         \
        const char* ci = getenv("CI");                                             \
        if (ci != nullptr && std::string(ci) == "true") {                          \
            FAIL() << "a network namespace of its own is required under CI=true";  \
        }                                                                          \
        GTEST_SKIP() << "needs a network namespace of its own (run as root)";      \
    }

// Sends raw datagrams to the client from a chosen loopback address.
class Sender {
public:
    explicit Sender(const std::string& sourceAddress) : mFd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        inet_aton(sourceAddress.c_str(), &local.sin_addr);
        mBound = mFd >= 0 && bind(mFd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~Sender() {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    bool IsReady() const { return mBound; }
    void SendFields(const std::vector<std::string>& fields) const {
        std::string bytes;
        for (const std::string& field : fields) {
            bytes += field;
            bytes.push_back('\0');
        }
        sockaddr_in target;
        memset(&target, 0, sizeof target);
        target.sin_family = AF_INET;
        target.sin_port = htons(cTestPort);
        inet_aton("127.0.0.1", &target.sin_addr);
        sendto(mFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target),
               sizeof target);
    }
    void SendHello(const std::string& deviceId, const std::string& packetId = "p1") const {
        SendFields({"hello", "QAP-1", deviceId, "192.0.2.99", "255.255.255.0", "/st", packetId});
    }

private:
    int mFd;
    bool mBound;
};

// Records every hello it is handed, and whether any came after it was told the client is gone.
class HelloRecorder : public QipClient::HelloHandler {
public:
    void OnHello(const QipPacketHello& hello, const std::string& sourceAddress) override {
        std::lock_guard<std::mutex> guard(mLock);
        mHellos.emplace_back(hello.GetDeviceId(), sourceAddress);
        mIpFields.push_back(hello.GetIpAddress());
        if (mClientGone) {
            ++mCallsAfterClientGone;
        }
        mArrived.notify_all();
    }
    bool WaitFor(const std::string& deviceId) {
        std::unique_lock<std::mutex> guard(mLock);
        return mArrived.wait_for(guard, std::chrono::seconds(15), [&] {
            for (const auto& hello : mHellos) {
                if (hello.first == deviceId) {
                    return true;
                }
            }
            return false;
        });
    }
    std::vector<std::pair<std::string, std::string>> Hellos() {
        std::lock_guard<std::mutex> guard(mLock);
        return mHellos;
    }
    std::vector<std::string> IpFields() {
        std::lock_guard<std::mutex> guard(mLock);
        return mIpFields;
    }
    void MarkClientGone() {
        std::lock_guard<std::mutex> guard(mLock);
        mClientGone = true;
    }
    int CallsAfterClientGone() {
        std::lock_guard<std::mutex> guard(mLock);
        return mCallsAfterClientGone;
    }

private:
    std::mutex mLock;  // guards every member below
    std::condition_variable mArrived;
    std::vector<std::pair<std::string, std::string>> mHellos;
    std::vector<std::string> mIpFields;
    bool mClientGone = false;
    int mCallsAfterClientGone = 0;
};
