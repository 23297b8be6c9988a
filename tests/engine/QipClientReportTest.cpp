// What a client writes about a flood of malformed datagrams: bounded per client, again
// each minute, and never silenced by what another client or a parse elsewhere wrote.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qip/QipClient.h"
#include "tests/engine/ClientTestSupport.h"

namespace {

class FakeClock : public QipClient::Clock {
public:
    long long NowMs() override { return mNowMs.load(); }
    void Set(long long nowMs) { mNowMs.store(nowMs); }

private:
    std::atomic<long long> mNowMs{0};
};

// Sees marker hellos arrive; a marker through means every datagram sent before it has been
// read (or dropped by the kernel), as loopback keeps one sender's datagrams in order.
class Markers : public QipClient::HelloHandler {
public:
    void OnHello(const QipPacketHello& hello, const std::string&) override {
        std::lock_guard<std::mutex> guard(mLock);
        mIds.insert(hello.GetDeviceId());
        mArrived.notify_all();
    }
    // Sends the marker until it is through (a full buffer may drop one), for at most 15 s.
    bool SendAndWait(const Sender& sender, const std::string& id) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        std::unique_lock<std::mutex> guard(mLock);
        while (std::chrono::steady_clock::now() < limit) {
            sender.SendHello(id);
            if (mArrived.wait_for(guard, std::chrono::milliseconds(100),
                                  [&] { return mIds.count(id) > 0; })) {
                return true;
            }
        }
        return false;
    }

private:
    std::mutex mLock;  // guards mIds
    std::condition_variable mArrived;
    std::set<std::string> mIds;
};

const std::vector<std::string> cShortHello = {"hello", "QAP-1", "short"};
const std::string cShortHelloLine = "Insufficient fields for creating 'hello' packet";

// The lines about short hellos (a full receive buffer has a line of its own).
std::vector<std::string> ShortHelloLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (text.compare(start, cShortHelloLine.size(), cShortHelloLine) == 0) {
            lines.push_back(text.substr(start, end - start));
        }
    }
    return lines;
}

}  // namespace

TEST(Client, TellsAFloodOfMalformedDatagramsOnceAMinuteAndEachNewClientAfresh) {
    REQUIRE_NAMESPACE();
    FakeClock clock;
    QipClient::Options options;
    options.mPort = cTestPort;
    options.mReportClock = &clock;
    Sender sender("127.0.0.2");
    ASSERT_TRUE(sender.IsReady());

    testing::internal::CaptureStderr();
    uint64_t malformedByMinute[3] = {0, 0, 0};
    bool synced = true;
    {
        Markers markers;
        QipClient client(options);
        client.SetHelloHandler(&markers);
        // 100,002 datagrams over three minutes, paced so that the kernel keeps most of them.
        for (int minute = 0; minute < 3 && synced; ++minute) {
            clock.Set(minute * 60000LL + 1000);
            for (int batch = 0; batch < 34 && synced; ++batch) {
                for (int i = 0; i < 1000 - (batch == 33 ? 666 : 0); ++i) sender.SendFields(cShortHello);
                synced = markers.SendAndWait(sender, std::to_string(minute) + "/" + std::to_string(batch));
            }
            malformedByMinute[minute] = client.GetReceiveCounts().mMalformed;
        }
    }
    // A client made after that flood has its own limit: its first line is written.
    {
        Markers markers;
        QipClient client(options);
        client.SetHelloHandler(&markers);
        sender.SendFields(cShortHello);
        synced = synced && markers.SendAndWait(sender, "second client");
    }
    const std::vector<std::string> lines = ShortHelloLines(testing::internal::GetCapturedStderr());
    ASSERT_TRUE(synced);

    EXPECT_GT(malformedByMinute[2], 50000u) << "the flood did not reach the client";
    // One line a minute, the first as the parser words it, then each with the repeats of
    // the minute before; nothing more, however many came.
    ASSERT_EQ(lines.size(), 4u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], cShortHelloLine);
    EXPECT_EQ(lines[1], cShortHelloLine + " (repeated " +
                            std::to_string(malformedByMinute[0] - 1) + " times in 60 s)");
    EXPECT_EQ(lines[2], cShortHelloLine + " (repeated " +
                            std::to_string(malformedByMinute[1] - malformedByMinute[0]) +
                            " times in 60 s)");
    EXPECT_EQ(lines[3], cShortHelloLine);
}

TEST(Client, TellsARepeatingReportAgainAfterItsPeriodOnTheDefaultClock) {
    REQUIRE_NAMESPACE();
    // No clock given: the client's own. A period of 1 s on it must end within seconds; a
    // clock read in the wrong unit would hold the repeats for hours (or tell every one).
    QipClient::Options options;
    options.mPort = cTestPort;
    options.mReportPeriodMs = 1000;
    Sender sender("127.0.0.2");
    ASSERT_TRUE(sender.IsReady());
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    const int savedStderr = dup(STDERR_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    std::string written;
    std::vector<std::string> lines;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    {
        Markers markers;
        QipClient client(options);
        client.SetHelloHandler(&markers);
        for (int round = 0; lines.size() < 2 && std::chrono::steady_clock::now() < limit; ++round) {
            sender.SendFields(cShortHello);
            sender.SendFields(cShortHello);
            if (!markers.SendAndWait(sender, std::to_string(round))) break;
            char buffer[4096];
            for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) written.append(buffer, n);
            lines = ShortHelloLines(written);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a pace, not a sync
        }
    }
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    close(pipeFds[0]);
    close(pipeFds[1]);
    ASSERT_EQ(lines.size(), 2u) << written;
    EXPECT_EQ(lines[0], cShortHelloLine);
    EXPECT_EQ(lines[1].rfind(cShortHelloLine + " (repeated ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" times in 1 s)"), std::string::npos) << lines[1];
}
