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
#include "tests/engine/ClientTestSupport.h"
#include "tests/engine/LoopbackNamespace.h"

namespace {

// Every test of this program (those of QipClientCountsTest.cpp too) runs in the namespace.
class NamespaceEnvironment : public testing::Environment {
public:
    void SetUp() override { LoopbackNamespace::Enter(); }
};
testing::Environment* const gNamespaceEnvironment =
    testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

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
