#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "tests/engine/LoopbackNamespace.h"

namespace {

// Each test process runs in a namespace of its own, so this port is free in every one of
// them and the client's broadcasts reach nothing but loopback.
const unsigned short cTestPort = 29375;

class NamespaceEnvironment : public testing::Environment {
public:
    void SetUp() override { LoopbackNamespace::Enter(); }
};
testing::Environment* const gNamespaceEnvironment =
    testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

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

std::chrono::milliseconds TimeToDestroy(std::unique_ptr<QipClient>& client) {
    const auto start = std::chrono::steady_clock::now();
    client.reset();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
}

}  // namespace

TEST(Client, HandsOnlyCompleteHellosToTheHandlerWithTheSenderAddress) {
    REQUIRE_NAMESPACE();
    HelloRecorder recorder;
    QipClient client(cTestPort);
    ASSERT_TRUE(client.IsSocketOpen());
    Sender sender("127.0.0.2");
    ASSERT_TRUE(sender.IsReady());
    sender.SendHello("unheard");  // no handler yet: received and dropped, or just in time

    client.SetHelloHandler(&recorder);
    testing::internal::CaptureStderr();
    sender.SendFields({"hello", "QAP-1", "short", "192.0.2.99", "255.255.255.0", "/st"});
    sender.SendFields({"whoisthere", "127.0.0.2", "255.0.0.0"});
    sender.SendFields({"Hello", "QAP-1", "capital", "192.0.2.99", "255.255.255.0", "/st", "p"});
    // Datagrams from one socket over loopback arrive in order, so once this one is in,
    // everything before it has been through the receive thread.
    sender.SendHello("dev-1");
    const bool arrived = recorder.WaitFor("dev-1");
    const std::string errors = testing::internal::GetCapturedStderr();

    ASSERT_TRUE(arrived);
    std::vector<std::pair<std::string, std::string>> hellos = recorder.Hellos();
    if (hellos.front().first == "unheard") {
        hellos.erase(hellos.begin());
    }
    // The sender's address, not the address the hello states.
    EXPECT_EQ(hellos, (std::vector<std::pair<std::string, std::string>>{{"dev-1", "127.0.0.2"}}));
    EXPECT_EQ(recorder.IpFields().back(), "192.0.2.99");
    EXPECT_NE(errors.find("Insufficient fields for creating 'hello' packet\n"),
              std::string::npos);
}

TEST(Client, FirstBroadcastWaitsForTheHandlerSoItsAnswersAreKept) {
    REQUIRE_NAMESPACE();
    // A device that answers every whoisthere at once. It hears the broadcasts on the
    // loopback broadcast address only, so the client's own port keeps the unicast answers.
    const int listener = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(cTestPort);
    inet_aton("127.255.255.255", &local.sin_addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    timeval receiveLimit = {12, 0};
    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &receiveLimit, sizeof receiveLimit);
    std::thread device([listener] {
        unsigned char question[1472];
        if (recv(listener, question, sizeof question, 0) > 0) {
            Sender("127.0.0.3").SendHello("first-answer");
        }
    });

    HelloRecorder recorder;
    const auto start = std::chrono::steady_clock::now();
    auto client = std::make_unique<QipClient>(cTestPort);
    // An owner does some work between building the client and registering its handler.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    client->SetHelloHandler(&recorder);
    const bool arrived = recorder.WaitFor("first-answer");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    device.join();
    close(listener);

    ASSERT_TRUE(arrived);
    // The answer to the first broadcast, not to the next one a whole period later.
    EXPECT_LT(elapsed, std::chrono::milliseconds(QipClient::cBroadcastPeriodMs - 2000));
}

TEST(Client, DestructionIsPromptWhenNothingArrives) {
    REQUIRE_NAMESPACE();
    // Hears the client's own first broadcast: it reaches this socket and the client's at
    // the same moment. Closed before the hello below, which only one of them would get.
    const int watcher = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(watcher, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const timeval patience = {15, 0};
    setsockopt(watcher, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(cTestPort);
    ASSERT_EQ(bind(watcher, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);

    HelloRecorder recorder;
    auto client = std::make_unique<QipClient>(cTestPort);
    client->SetHelloHandler(&recorder);
    bool broadcastSeen = false;
    char datagram[1500];
    for (ssize_t n; !broadcastSeen && (n = recv(watcher, datagram, sizeof datagram, 0)) > 0;) {
        broadcastSeen = std::string(datagram, static_cast<size_t>(n)).rfind("whoisthere", 0) == 0;
    }
    close(watcher);
    ASSERT_TRUE(broadcastSeen);
    // The client's socket hands datagrams over in order, so once this hello is through its
    // own broadcast is too: the receive thread is back in its blocking receive and the send
    // thread is in its 10-second pause; nothing else will come to wake either for a while.
    Sender("127.0.0.2").SendHello("dev-1");
    ASSERT_TRUE(recorder.WaitFor("dev-1"));
    // The handler has returned but its thread may not yet be back in the receive, where a
    // stop would still catch it; a pause that cannot make the test pass lets it get there.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    EXPECT_LT(TimeToDestroy(client), std::chrono::milliseconds(5000));
}

TEST(Client, UnopenableSocketNeitherSpinsNorDelaysDestruction) {
    REQUIRE_NAMESPACE();
    // A socket on the port without address reuse keeps the client from binding it.
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(cTestPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);

    testing::internal::CaptureStderr();
    auto client = std::make_unique<QipClient>(cTestPort);
    const bool open = client->IsSocketOpen();
    // Watching for a while is the point here: a spinning receive thread writes its
    // complaint thousands of times in this window, a paced one about twice.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::chrono::milliseconds destroyTime = TimeToDestroy(client);
    const std::string errors = testing::internal::GetCapturedStderr();
    close(blocker);

    EXPECT_FALSE(open);
    EXPECT_NE(errors.find("bind() failed"), std::string::npos);
    size_t complaints = 0;
    for (size_t at = errors.find("UDP socket not open"); at != std::string::npos;
         at = errors.find("UDP socket not open", at + 1)) {
        ++complaints;
    }
    EXPECT_GE(complaints, 1u);
    EXPECT_LE(complaints, 10u);
    EXPECT_LT(destroyTime, std::chrono::milliseconds(5000));
}

TEST(Client, NoHelloReachesHandlerAfterDestruction) {
    REQUIRE_NAMESPACE();
    HelloRecorder recorder;
    auto client = std::make_unique<QipClient>(cTestPort);
    client->SetHelloHandler(&recorder);
    std::atomic<bool> stopSending(false);
    std::thread streamer([&] {
        Sender sender("127.0.0.2");
        // Bounded: at most this many datagrams, however the test goes.
        for (int i = 0; i < 200000 && !stopSending.load(); ++i) {
            sender.SendHello("dev-" + std::to_string(i % 50));
        }
    });

    const bool flowing = recorder.WaitFor("dev-10");
    client.reset();
    recorder.MarkClientGone();
    Sender late("127.0.0.2");
    for (int i = 0; i < 100; ++i) {
        late.SendHello("late");
    }
    stopSending.store(true);
    streamer.join();

    EXPECT_TRUE(flowing);
    EXPECT_EQ(recorder.CallsAfterClientGone(), 0);
}

TEST(Client, ListStaysConsistentWhileHellosStreamAndSnapshotsAreTaken) {
    REQUIRE_NAMESPACE();
    const int cDevices = 240;
    const int cBatch = 30;

    // Counts the list's changes so that the sender can wait for each batch instead of
    // overrunning the socket's receive buffer.
    class ChangeCounter : public QipDeviceList::ChangeHandler {
    public:
        void OnChange() override {
            std::lock_guard<std::mutex> guard(mLock);
            ++mChanges;
            mChanged.notify_all();
        }
        bool WaitForChanges(int count) {
            std::unique_lock<std::mutex> guard(mLock);
            return mChanged.wait_for(guard, std::chrono::seconds(15),
                                     [&] { return mChanges >= count; });
        }

    private:
        std::mutex mLock;  // guards mChanges
        std::condition_variable mChanged;
        int mChanges = 0;
    };

    ChangeCounter counter;
    auto client = std::make_unique<QipClient>(cTestPort);
    QipDeviceList list(client.get());
    list.SetChangeHandler(&counter);

    std::atomic<bool> sending(true);
    std::atomic<int> badSnapshots(0);
    std::thread reader([&] {
        size_t lastSize = 0;
        while (sending.load()) {
            const std::vector<QipDevice> devices = list.Snapshot();
            std::set<std::string> ids;
            for (const QipDevice& device : devices) {
                ids.insert(device.GetDeviceId() + "@" + device.GetLastSourceAddress());
            }
            if (ids.size() != devices.size() || devices.size() < lastSize) {
                badSnapshots.fetch_add(1);
            }
            lastSize = devices.size();
        }
    });

    // Every device is first announced, then replaced by a new packet id: two changes each.
    Sender sender("127.0.0.2");
    bool allSeen = true;
    int expectedChanges = 0;
    for (int round = 1; round <= 2 && allSeen; ++round) {
        for (int first = 0; first < cDevices && allSeen; first += cBatch) {
            for (int i = first; i < first + cBatch; ++i) {
                sender.SendHello("dev-" + std::to_string(i), "p" + std::to_string(round));
            }
            expectedChanges += cBatch;
            allSeen = counter.WaitForChanges(expectedChanges);
        }
    }
    sending.store(false);
    reader.join();

    const std::vector<QipDevice> devices = list.Snapshot();
    client.reset();  // the client goes before the list it feeds

    EXPECT_TRUE(allSeen);
    EXPECT_EQ(badSnapshots.load(), 0);
    ASSERT_EQ(devices.size(), static_cast<size_t>(cDevices));
    for (int i = 0; i < cDevices; ++i) {
        EXPECT_EQ(devices[i].GetDeviceId(), "dev-" + std::to_string(i));
        EXPECT_EQ(devices[i].GetPacketId(), "p2");
    }
}

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
    sender.SendHello("last");
    ASSERT_TRUE(recorder.WaitFor("last"));
    // Eight datagrams from the sender and the client's own first broadcast, which is not
    // another client's question although it arrives like one.
    const QipReceiveCounts::Counts counts =
        WaitForCounts(client, [](const QipReceiveCounts::Counts& c) { return c.mDatagrams >= 9; });
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_EQ(counts.mDatagrams, 9u);
    EXPECT_EQ(counts.mHellos, 5u);
    EXPECT_EQ(counts.mMalformed, 2u);
    EXPECT_EQ(counts.mWhoIsThereFromOthers, 1u);
    EXPECT_EQ(counts.mWhoIsThereSources, std::vector<std::string>{"127.0.0.2"});
    EXPECT_EQ(counts.mDeviceIdsByType,
              (std::map<std::string, size_t>{{"Camera", 1}, {"QAP-1", 3}}));
    EXPECT_FALSE(counts.mIsCapped);
    // The parser's own report stays as it was.
    EXPECT_NE(errors.find("Insufficient fields for creating 'hello' packet\n"), std::string::npos);
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
    for (int i = 0; i < 150 && !sentinel; ++i) {
        sender.SendHello("sentinel");
        sentinel = holder.WaitFor("sentinel", std::chrono::milliseconds(100));
    }
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
    ASSERT_TRUE(held && sentinel);
    EXPECT_GT(counts.mKernelDrops, 0u);
    // Every flood datagram was either read or dropped (sentinels may be either too).
    EXPECT_GE(counts.mKernelDrops + counts.mHellos, 40000u + 2);
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
