#include <gtest/gtest.h>

#include <net/if.h>
#include <sched.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "ksp/KspUdpSocket.h"

namespace {

// Fixed loopback ports of this test program (the API cannot bind an ephemeral port).
const unsigned short cPortA = 47811;
const unsigned short cPortB = 47812;
const std::string cLoopback = "127.0.0.1";
const unsigned char cData[] = {'w', 'h', 'o', 0, 'x'};

bool SendTo(const KspUdpSocket& socket, unsigned short port, unsigned long length = sizeof(cData))
{
    return socket.Send(cData, length, cLoopback, port);
}

// Waits (bounded) for a receive running on another thread; a datagram frees it on failure.
unsigned long Finish(std::future<unsigned long>& pending, const KspUdpSocket& sender)
{
    if (pending.wait_for(std::chrono::seconds(15)) != std::future_status::ready) {
        ADD_FAILURE() << "receive still blocked after 15 s";
        SendTo(sender, cPortA);
    }
    return pending.get();
}

}  // namespace

TEST(KspUdpSocket, ClosedOrUnbindableSocketFailsWithTheDocumentedReports)
{
    KspUdpSocket socket;
    unsigned char buffer[16];
    std::string address = "unchanged";
    unsigned short port = 7;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(socket.Send(cData, sizeof(cData), "not-an-address", cPortA));
    EXPECT_FALSE(SendTo(socket, cPortA));
    EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof(buffer), address, port, true), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Invalid IP address\nUDP socket not open\nUDP socket not open\n");
    EXPECT_EQ(address, "unchanged");

    // A socket without SO_REUSEADDR holds the port exclusively.
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(cPortA);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(socket.Open(cPortA));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bind() failed: Address already in use\n");
    EXPECT_FALSE(socket.IsOpen());
    close(holder);
    EXPECT_TRUE(socket.Open(cPortA));
}

TEST(KspUdpSocket, LoopbackDatagramsArriveWithTheirSenderAndAreCutToTheBuffer)
{
    KspUdpSocket receiver;
    KspUdpSocket sender;
    ASSERT_TRUE(receiver.Open(cPortA));
    ASSERT_TRUE(sender.Open(cPortB));
    unsigned char buffer[16];
    std::string address = "unchanged";
    unsigned short port = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof(buffer), address, port, false), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(address, "unchanged");

    ASSERT_TRUE(SendTo(sender, cPortA));
    EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof(buffer), address, port, true), sizeof(cData));
    EXPECT_EQ(std::basic_string<unsigned char>(buffer, sizeof(cData)),
              std::basic_string<unsigned char>(cData, sizeof(cData)));
    EXPECT_EQ(address, cLoopback);
    EXPECT_EQ(port, cPortB);

    ASSERT_TRUE(SendTo(sender, cPortA));
    EXPECT_EQ(receiver.Receive(buffer, 2, true), 2u);
    address.clear();  // an empty datagram counts 0 but names its sender
    ASSERT_TRUE(SendTo(sender, cPortA, 0));
    EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof(buffer), address, port, true), 0u);
    EXPECT_EQ(address, cLoopback);
    // The loopback broadcast address is refused without SO_BROADCAST.
    ASSERT_TRUE(sender.Send(cData, sizeof(cData), "127.255.255.255", cPortA));
    EXPECT_EQ(receiver.Receive(buffer, sizeof(buffer), true), sizeof(cData));

    // A closed copy must not close the original's descriptor when it goes.
    { KspUdpSocket copy(receiver); EXPECT_FALSE(copy.IsOpen()); }
    ASSERT_TRUE(SendTo(sender, cPortA));
    EXPECT_EQ(receiver.Receive(buffer, sizeof(buffer), true), sizeof(cData));
}

TEST(KspUdpSocket, InterruptEndsABlockedReceiveAndStaysUntilTheNextOpen)
{
    KspUdpSocket receiver;
    KspUdpSocket sender;
    ASSERT_TRUE(receiver.Open(cPortA));
    ASSERT_TRUE(sender.Open(cPortB));
    unsigned char buffer[16];
    auto blockingReceive = [&] { return receiver.Receive(buffer, sizeof(buffer), true); };
    std::future<unsigned long> pending = std::async(std::launch::async, blockingReceive);
    receiver.Interrupt();
    EXPECT_EQ(Finish(pending, sender), 0u);
    EXPECT_EQ(receiver.Receive(buffer, sizeof(buffer), true), 0u);

    // A datagram already waiting is still delivered.
    ASSERT_TRUE(SendTo(sender, cPortA));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    unsigned long received = 0;
    while (received == 0 && std::chrono::steady_clock::now() < deadline) {
        received = receiver.Receive(buffer, sizeof(buffer), true);
    }
    EXPECT_EQ(received, sizeof(cData));

    ASSERT_TRUE(receiver.Open(cPortA));
    pending = std::async(std::launch::async, blockingReceive);
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    ASSERT_TRUE(SendTo(sender, cPortA));
    EXPECT_EQ(Finish(pending, sender), sizeof(cData));
}

TEST(KspUdpSocket, ProbeSeesAHeldPortAndReceiveMessageCarriesDropsAndArrivalInterface)
{
    ASSERT_EQ(KspUdpSocket::ProbePort(cPortA), KspUdpSocket::cPortFree);
    KspUdpSocket receiver;
    KspUdpSocket sender;
    ASSERT_TRUE(receiver.Open(cPortA));
    ASSERT_TRUE(sender.Open(cPortB));
    // Our own socket set SO_REUSEADDR; the probe must see the port taken all the same.
    EXPECT_EQ(KspUdpSocket::ProbePort(cPortA), KspUdpSocket::cPortInUse);
    ASSERT_TRUE(receiver.EnableReceiveInfo());

    // The default buffer holds a few hundred small datagrams; loopback drops the rest at once.
    const int cSent = 5000;
    for (int i = 0; i < cSent; ++i) {
        SendTo(sender, cPortA);
    }
    unsigned char buffer[16];
    KspUdpSocket::ReceiveInfo info;
    int received = 0;
    while (receiver.ReceiveMessage(buffer, sizeof(buffer), info, false) > 0) {
        ++received;
        EXPECT_EQ(info.mInterfaceIndex, static_cast<int>(if_nametoindex("lo")));
        EXPECT_EQ(info.mAddress, cLoopback);
    }
    // Drops show on the first datagram queued after them.
    ASSERT_TRUE(SendTo(sender, cPortA));
    ASSERT_EQ(receiver.ReceiveMessage(buffer, sizeof(buffer), info, true), sizeof(cData));
    EXPECT_TRUE(info.mHasDropCount);
    EXPECT_GT(info.mDropCount, 0u);
    EXPECT_EQ(received + static_cast<int>(info.mDropCount), cSent);

    // Raised to at least the system's maximum, which the kernel reports doubled.
    int maximum = 0;
    FILE* limit = fopen("/proc/sys/net/core/rmem_max", "r");
    ASSERT_NE(limit, nullptr);
    ASSERT_EQ(fscanf(limit, "%d", &maximum), 1);
    fclose(limit);
    EXPECT_GE(receiver.RaiseReceiveBuffer(), 2 * maximum);
    // Where the process may, past the maximum.
    if (geteuid() == 0) {
        EXPECT_GE(receiver.RaiseReceiveBuffer(4 * maximum), 8 * maximum);
        // A user who may not pass it still gets the maximum: a child that gives up root, and
        // with it CAP_NET_ADMIN, raises the buffer of a socket of its own.
        int result[2];
        ASSERT_EQ(pipe(result), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int obtained = -1;
            KspUdpSocket unprivileged;
            if (unprivileged.Open(cPortB) && setresgid(65534, 65534, 65534) == 0 &&
                setresuid(65534, 65534, 65534) == 0) {
                obtained = unprivileged.RaiseReceiveBuffer(4 * maximum);
            }
            _exit(write(result[1], &obtained, sizeof obtained) == sizeof obtained ? 0 : 1);
        }
        close(result[1]);
        int obtained = -1;
        EXPECT_EQ(read(result[0], &obtained, sizeof obtained), static_cast<ssize_t>(sizeof obtained));
        close(result[0]);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(obtained, 2 * maximum);
    }
}

// Another program opening the port while this one probes it must never find it taken by
// the probe: the two run side by side as they would at two programs' start.
TEST(KspUdpSocket, ProbeNeverTakesThePortFromAnOpenRunningAtTheSameTime)
{
    const unsigned short port = 47813;
    ASSERT_EQ(KspUdpSocket::ProbePort(port), KspUdpSocket::cPortFree);
    std::atomic<bool> opening(true);
    std::atomic<int> probes(0);
    std::thread prober([&] {
        while (opening) {
            KspUdpSocket::ProbePort(port);
            ++probes;
        }
    });
    int failures = 0;
    int tries = 0;
    testing::internal::CaptureStderr();
    // At least 2,000 opens, and long enough for some hundreds of probes to meet them.
    const auto start = std::chrono::steady_clock::now();
    while (tries < 2000 || (probes < 200 && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))) {
        KspUdpSocket socket;
        failures += socket.Open(port) ? 0 : 1;
        ++tries;
    }
    opening = false;
    prober.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(failures, 0) << "of " << tries << " opens, with " << probes << " probes";
    EXPECT_GE(probes, 1);
}

// A thread that entered a network namespace of its own probes that namespace, not the one of
// the process's first thread (where this test holds the port).
TEST(KspUdpSocket, ProbeLooksAtTheCallingThreadsNetworkNamespace)
{
    const unsigned short port = 47814;
    KspUdpSocket holder;
    ASSERT_TRUE(holder.Open(port));
    ASSERT_EQ(KspUdpSocket::ProbePort(port), KspUdpSocket::cPortInUse);
    int unshared = -1;
    KspUdpSocket::PortState inThread = KspUdpSocket::cPortUnknown;
    std::thread prober([&] {
        unshared = unshare(CLONE_NEWNET);
        if (unshared == 0) inThread = KspUdpSocket::ProbePort(port);
    });
    prober.join();
    if (unshared != 0) GTEST_SKIP() << "needs the right to make a network namespace (root)";
    EXPECT_EQ(inThread, KspUdpSocket::cPortFree);
}
