#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qip/QipClient.h"
#include "qip/QipPacket.h"
#include "tests/engine/LoopbackNamespace.h"

namespace {

const unsigned short cTestPort = 29376;

class NamespaceEnvironment : public testing::Environment {
public:
    void SetUp() override { LoopbackNamespace::Enter(); }
};
testing::Environment* const gNamespaceEnvironment =
    testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

#define REQUIRE_NAMESPACE()                                                        \
    if (!LoopbackNamespace::IsEntered()) {                                         \
        const char* ci = getenv("CI");                                             \
        if (ci != nullptr && std::string(ci) == "true") {                          \
            FAIL() << "a network namespace of its own is required under CI=true";  \
        }                                                                          \
        GTEST_SKIP() << "needs a network namespace of its own (run as root)";      \
    }

// A socket on one probed address: what a device there would receive.
class Listener {
public:
    explicit Listener(const std::string& address) : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        setsockopt(mFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_port = htons(cTestPort);
        inet_aton(address.c_str(), &local.sin_addr);
        mBound = bind(mFd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~Listener() { close(mFd); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool IsBound() const { return mBound; }
    // The next datagram within `timeoutMs`, parsed; null when none came.
    std::unique_ptr<QipPacket> Next(int timeoutMs) const {
        pollfd wait{mFd, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) != 1) return nullptr;
        unsigned char buffer[1500];
        const ssize_t count = recv(mFd, buffer, sizeof buffer, 0);
        return std::unique_ptr<QipPacket>(QipPacket::Create(buffer, count > 0 ? count : 0));
    }
    // How many datagrams are waiting now (each read).
    int Drain() const {
        int count = 0;
        while (Next(0) != nullptr) ++count;
        return count;
    }

private:
    int mFd;
    bool mBound;
};

class TraceRecorder : public QipClient::TraceHandler {
public:
    void OnTrace(const Event& event) override {
        std::lock_guard<std::mutex> guard(mLock);
        mEvents.push_back(event);
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> guard(mLock);
        return mEvents;
    }

private:
    std::mutex mLock;  // guards mEvents
    std::vector<Event> mEvents;
};

class NullHandler : public QipClient::HelloHandler {
public:
    void OnHello(const QipPacketHello&, const std::string&) override {}
};

}  // namespace

TEST(ClientProbe, EachAddressGetsTheRoutedInterfacesWhoIsThereOnceASweepEvenWhenCyclesOverrun) {
    REQUIRE_NAMESPACE();
    Listener first("127.3.0.1");
    Listener last("127.3.0.62");
    ASSERT_TRUE(first.IsBound() && last.IsBound());
    TraceRecorder tracer;
    NullHandler handler;
    QipClient::Options options;
    options.mPort = cTestPort;
    options.mTraceHandler = &tracer;
    std::vector<std::string> texts = {"127.3.0.0/26"};  // 62 addresses
    std::string error;
    ASSERT_TRUE(QipProbeTarget::ParseAll(texts, options.mProbeTargets, error));
    // 0.62 s a sweep against cycles of 0.2 s: three cycles are due while one sweep runs.
    options.mProbeRate = 100;
    options.mPeriodMs = 200;
    const auto start = std::chrono::steady_clock::now();
    QipClient client(options);
    client.SetHelloHandler(&handler);

    std::unique_ptr<QipPacket> probe = first.Next(5000);
    ASSERT_NE(probe, nullptr);
    const auto* question = dynamic_cast<const QipPacketWhoIsThere*>(probe.get());
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->GetIpAddress(), "127.0.0.1");  // lo, which the kernel routes 127/8 through
    EXPECT_EQ(question->GetNetmask(), "255.0.0.0");

    ASSERT_NE(last.Next(5000), nullptr) << "the sweep reaches its last address";
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                  .count(),
              600)
        << "the 62nd probe at 100 a second is due 0.61 s into the sweep (the client's clock "
           "counts whole milliseconds, so it may leave a millisecond or so early; the default "
           "pace would have sent it after 31 ms)";
    EXPECT_EQ(first.Drain(), 0) << "cycles that came due during the sweep did not probe again";
    EXPECT_NE(first.Next(5000), nullptr) << "a later cycle sweeps again";

    const std::vector<QipClient::TraceHandler::Event> events = tracer.Events();
    bool traced = false;
    for (const auto& event : events) {
        if (event.mKind != QipClient::TraceHandler::Event::cProbeTarget) continue;
        traced = true;
        EXPECT_EQ(event.mInterface, "lo");
        EXPECT_EQ(event.mCount, 62u);
        EXPECT_EQ(event.mDetail, "127.3.0.1 to 127.3.0.62");
    }
    EXPECT_TRUE(traced);
    const QipClient::ProbeProgress progress = client.GetProbeProgress();
    EXPECT_GE(progress.mSweeps, 1u);
    EXPECT_EQ(progress.mTotal, 62u);
    EXPECT_EQ(progress.mFailed, 0u);
}

TEST(ClientProbe, UnroutableTargetsAreCountedAndReportedOncePerSweepWhileTheRestGoOut) {
    REQUIRE_NAMESPACE();
    Listener reachable("127.4.0.9");
    ASSERT_TRUE(reachable.IsBound());
    NullHandler handler;
    QipClient::Options options;
    options.mPort = cTestPort;
    std::string error;
    // The namespace has loopback only: nothing routes to the test network.
    ASSERT_TRUE(QipProbeTarget::ParseAll({"198.51.100.0/30", "127.4.0.9"}, options.mProbeTargets, error));
    options.mPeriodMs = 300;
    testing::internal::CaptureStderr();
    std::unique_ptr<QipClient> client(new QipClient(options));
    client->SetHelloHandler(&handler);
    int probes = 0;
    while (probes < 3 && reachable.Next(5000) != nullptr) ++probes;
    const QipClient::ProbeProgress progress = client->GetProbeProgress();
    client.reset();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(probes, 3) << "one target's failure does not stop the other";
    EXPECT_EQ(progress.mFailed, 2u);
    size_t lines = 0;
    for (size_t at = errors.find("Probes: 2 of 3 could not be sent (first 198.51.100.1: ");
         at != std::string::npos; at = errors.find("Probes: 2 of 3", at + 1)) {
        ++lines;
    }
    EXPECT_GE(lines, 2u) << errors;
    EXPECT_LE(lines, 3u) << "one line a sweep, not one a probe: " << errors;
    EXPECT_EQ(errors.find("sendto() failed"), std::string::npos) << errors;
}
