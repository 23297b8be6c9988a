// What the client counts beside the hellos it hands on, its interface filter, and what it
// says about a shared port and dropped answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "describe/QipDiagnosis.h"
#include "qip/QipClient.h"
#include "tests/engine/ClientTestSupport.h"

namespace {

// Keeps every trace event.
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

// Polls the client's counts until `done` holds of them, for at most 15 s.
template <typename Condition>
QipReceiveCounts::Counts WaitForCounts(const QipClient& client, Condition done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    QipReceiveCounts::Counts counts = client.GetReceiveCounts();
    while (!done(counts) && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        counts = client.GetReceiveCounts();
    }
    return counts;
}

}  // namespace

TEST(Client, CountsOtherTypesUnreadableDatagramsAndOtherClientsQuestions) {
    REQUIRE_NAMESPACE();
    HelloRecorder recorder;
    QipClient client(cTestPort);
    EXPECT_FALSE(client.IsPortShared());
    client.SetHelloHandler(&recorder);
    Sender sender("127.0.0.2");
    ASSERT_TRUE(sender.IsReady());
    testing::internal::CaptureStderr();
    sender.SendHello("dev-1");
    sender.SendHello("dev-2");
    sender.SendHello("dev-1", "p2");
    sender.SendFields({"hello", "Camera", "cam-1", "127.0.0.2", "255.0.0.0", "/st", "p"});
    sender.SendFields({"hello", "QAP-1", "short", "192.0.2.99", "255.255.255.0", "/st"});
    sender.SendFields({"ping", "1"});
    sender.SendFields({"whoisthere", "127.0.0.2", "255.0.0.0"});
    sender.SendFields({"whoisthere", "127.0.0.2", "255.0.0.0"});  // asking again: one source
    sender.SendHello("last");
    ASSERT_TRUE(recorder.WaitFor("last"));
    // Nine datagrams from the sender and the client's own first broadcast, which is not
    // another client's question although it arrives like one.
    const QipReceiveCounts::Counts counts =
        WaitForCounts(client, [](const QipReceiveCounts::Counts& c) { return c.mDatagrams >= 10; });
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_EQ(counts.mDatagrams, 10u);
    EXPECT_EQ(counts.mHellos, 5u);
    EXPECT_EQ(counts.mMalformed, 2u);
    EXPECT_EQ(counts.mWhoIsThereFromOthers, 2u);
    EXPECT_EQ(counts.mWhoIsThereSources, std::vector<std::string>{"127.0.0.2"});
    EXPECT_EQ(counts.mDeviceIdsByType,
              (std::map<std::string, size_t>{{"Camera", 1}, {"QAP-1", 3}}));
    EXPECT_FALSE(counts.mIsCapped);
    // The parser's own report stays as it was.
    EXPECT_NE(errors.find("Insufficient fields for creating 'hello' packet\n"), std::string::npos);
}

TEST(Client, QuestionsFromManySendersKeepSixteenOfThemAndTheDiagnosisSaysAtLeast) {
    REQUIRE_NAMESPACE();
    HelloRecorder recorder;
    QipClient client(cTestPort);
    client.SetHelloHandler(&recorder);
    for (int i = 0; i < 20; ++i) {
        const std::string address = "127.0.0." + std::to_string(10 + i);
        Sender sender(address);
        ASSERT_TRUE(sender.IsReady());
        sender.SendFields({"whoisthere", address, "255.0.0.0"});
    }
    Sender("127.0.0.2").SendHello("last");
    ASSERT_TRUE(recorder.WaitFor("last"));
    const QipDiagnosis::Input input =
        QipDiagnosis::MakeInput(client, KspNetworkInterface::EnumerateForDiscovery(), {"QipBox"});
    EXPECT_EQ(input.mWhoIsThereFromOthers, 20u);
    EXPECT_EQ(input.mWhoIsThereSources.size(), QipReceiveCounts::cMaxSources);
    const std::string text = QipDiagnosis::Text(input, QipDiagnosis::Diagnose(input));
    EXPECT_NE(text.find("(20 times, from at least 16 addresses: 127.0.0.10, 127.0.0.11, "), std::string::npos)
        << text;
}

TEST(Client, InterfaceFilterSendsAndListensOnlyThroughTheNamedInterfaces) {
    REQUIRE_NAMESPACE();
    for (const std::string name : {"lo", "no-such-interface"}) {
        HelloRecorder recorder;
        TraceRecorder trace;
        QipClient::Options options;
        options.mPort = cTestPort;
        options.mInterfaces = {name};
        options.mTraceHandler = &trace;
        auto client = std::make_unique<QipClient>(options);
        client->SetHelloHandler(&recorder);
        Sender sender("127.0.0.2");
        sender.SendHello("dev-1");
        const bool isLo = name == "lo";
        // With "lo" the client's own broadcast comes back to it as well.
        const QipReceiveCounts::Counts counts =
            WaitForCounts(*client, [isLo](const QipReceiveCounts::Counts& c) {
                return c.mHellos >= 1 && c.mDatagrams >= (isLo ? 2u : 1u);
            });
        if (isLo) {
            EXPECT_TRUE(recorder.WaitFor("dev-1"));
        }
        client.reset();

        EXPECT_EQ(counts.mOtherInterface, isLo ? 0u : 1u) << name;
        EXPECT_EQ(recorder.Hellos().size(), isLo ? 1u : 0u) << name;
        bool sentOnLo = false;
        bool heardOnLo = false;
        for (const QipClient::TraceHandler::Event& event : trace.Events()) {
            sentOnLo = sentOnLo || (event.mKind == QipClient::TraceHandler::Event::cBroadcastSent &&
                                    event.mInterface == "lo" && event.mAddress == "127.255.255.255");
            heardOnLo = heardOnLo || (event.mInterface == "lo" && event.mDeviceId == "dev-1" &&
                                      event.mKind == (isLo ? QipClient::TraceHandler::Event::cHelloHeard
                                                           : QipClient::TraceHandler::Event::cHelloOtherInterface));
        }
        EXPECT_EQ(sentOnLo, isLo) << name;
        EXPECT_TRUE(heardOnLo) << name;
    }
}

TEST(Client, ReportsASharedPortAndOnceWhenTheKernelDroppedAnswers) {
    REQUIRE_NAMESPACE();
    // Another program on the port, sharing it as the client itself does; on an address of
    // its own, so that the datagrams sent here to 127.0.0.1 still go to the client.
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(cTestPort);
    inet_aton("127.0.0.5", &local.sin_addr);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);

    // Holds the receive thread in its first hello until released, so the buffer fills.
    class Holder : public QipClient::HelloHandler {
    public:
        void OnHello(const QipPacketHello& hello, const std::string&) override {
            std::unique_lock<std::mutex> guard(mLock);
            mIds.insert(hello.GetDeviceId());
            mChanged.notify_all();
            mChanged.wait_for(guard, std::chrono::seconds(15), [this] { return mReleased; });
        }
        bool WaitFor(const std::string& id, std::chrono::milliseconds limit) {
            std::unique_lock<std::mutex> guard(mLock);
            return mChanged.wait_for(guard, limit, [&] { return mIds.count(id) > 0; });
        }
        void Release() {
            std::lock_guard<std::mutex> guard(mLock);
            mReleased = true;
            mChanged.notify_all();
        }

    private:
        std::mutex mLock;  // guards everything below
        std::condition_variable mChanged;
        std::set<std::string> mIds;
        bool mReleased = false;
    };

    Holder holder;
    testing::internal::CaptureStderr();
    auto client = std::make_unique<QipClient>(cTestPort);
    const bool shared = client->IsPortShared();
    const int buffer = client->GetReceiveBufferBytes();
    client->SetHelloHandler(&holder);
    Sender sender("127.0.0.2");
    sender.SendHello("first");
    const bool held = holder.WaitFor("first", std::chrono::seconds(15));
    // Far more than even a raised buffer holds (the kernel charges about 1 KiB each).
    for (int i = 0; i < 40000; ++i) {
        sender.SendHello("flood-" + std::to_string(i % 100));
    }
    holder.Release();
    // Drops show on a datagram queued after them; keep one coming until it is through.
    bool sentinel = false;
    int sentinels = 0;
    for (; sentinels < 150 && !sentinel; ++sentinels) {
        sender.SendHello("sentinel");
        sentinel = holder.WaitFor("sentinel", std::chrono::milliseconds(100));
    }
    // Later datagrams carry the same count of the kernel's: they add no drops.
    sender.SendHello("after");
    const bool after = holder.WaitFor("after", std::chrono::seconds(15));
    // What the diagnosis is made of, taken first: the counts can only grow after it.
    const QipDiagnosis::Input diagnosisInput =
        QipDiagnosis::MakeInput(*client, KspNetworkInterface::EnumerateForDiscovery(), {});
    const QipReceiveCounts::Counts counts = client->GetReceiveCounts();
    client.reset();
    const std::string errors = testing::internal::GetCapturedStderr();
    close(other);

    EXPECT_TRUE(shared);
    // At least the system's maximum (which the kernel reports doubled), so that answers
    // arriving together are not lost to the default buffer.
    int maximum = 0;
    FILE* limit = fopen("/proc/sys/net/core/rmem_max", "r");
    ASSERT_NE(limit, nullptr);
    ASSERT_EQ(fscanf(limit, "%d", &maximum), 1);
    fclose(limit);
    EXPECT_GE(buffer, 2 * maximum);
    ASSERT_TRUE(held && sentinel && after);
    EXPECT_GT(counts.mKernelDrops, 0u);
    // Every flood datagram was either read or dropped (sentinels may be either too), and
    // none counted twice; the client's own broadcasts may be among the drops.
    EXPECT_GE(counts.mKernelDrops + counts.mHellos, 40000u + 2);
    EXPECT_LE(counts.mKernelDrops + counts.mHellos, 40000u + 2 + sentinels + 2);
    EXPECT_GT(diagnosisInput.mKernelDrops, 0u);
    EXPECT_LE(diagnosisInput.mKernelDrops, counts.mKernelDrops);
    const std::string diagnosis =
        QipDiagnosis::Text(diagnosisInput, QipDiagnosis::Diagnose(diagnosisInput));
    EXPECT_NE(diagnosis.find("because the receive buffer was full"), std::string::npos) << diagnosis;
    EXPECT_NE(diagnosis.find("sudo sysctl -w net.core.rmem_max="), std::string::npos) << diagnosis;
    const std::string line = "Discovery answers were dropped";
    EXPECT_NE(errors.find(line), std::string::npos);
    EXPECT_EQ(errors.find(line), errors.rfind(line));
    EXPECT_NE(errors.find("net.core.rmem_max"), std::string::npos);
}

TEST(Client, FilterNamesMoveOtherInterfacesToTheSkippedAndUnknownNamesAreFound) {
    KspNetworkInterface::Scan scan;
    scan.mUsable = {KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0"),
                    KspNetworkInterface("wlan0", "198.51.100.1", "255.255.255.0")};
    scan.mSkipped = {{"lo", "127.0.0.1", "255.0.0.0", KspNetworkInterface::cSkipLoopback},
                     {"eth1", "", "", KspNetworkInterface::cSkipNoIpv4Address}};
    const KspNetworkInterface::Scan filtered = QipClient::ApplyFilter(scan, {"wlan0", "eth1"});
    ASSERT_EQ(filtered.mUsable.size(), 1u);
    EXPECT_EQ(filtered.mUsable[0].GetName(), "wlan0");
    std::vector<std::string> skipped;
    for (const KspNetworkInterface::Skipped& entry : filtered.mSkipped) {
        skipped.push_back(entry.mName + " " + KspNetworkInterface::DescribeSkipReason(entry.mReason));
    }
    // A named interface that cannot be used keeps its own reason.
    EXPECT_EQ(skipped, (std::vector<std::string>{"eth0 not selected", "lo not selected",
                                                 "eth1 no IPv4 address"}));
    EXPECT_EQ(QipClient::ApplyFilter(scan, {}).mUsable.size(), 2u);
    EXPECT_EQ(QipClient::FindUnknownNames(scan, {"eth1", "eth9", "lo", "eth9"}),
              std::vector<std::string>{"eth9"});
}
