// The simulator as a real program in a device namespace, asked from the host namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <chrono>
#include <memory>
#include <thread>

#include "ksp/KspUdpSocket.h"
#include "qip/QipPacket.h"
#include "sysinfo/SysInfo.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Reply {
    std::string mSender;
    std::vector<unsigned char> mBytes;
};

// A discovery socket in a namespace of the bed (the host's unless named), on `port` so that
// replies to other ports show.
class Asker {
public:
    Asker(const TestBed& bed, unsigned short port, const std::string& namespaceName = "") {
        TestBed::EnterHost inside(namespaceName.empty() ? bed.GetHostNamespace() : namespaceName);
        mSocket.Open(port);
    }

    void Ask(const std::string& destination) const {
        unsigned char buffer[1472];
        unsigned long length = QipPacketWhoIsThere(TestBed::cHostAddress, "255.255.255.0").Serialize(buffer, sizeof buffer);
        mSocket.Send(buffer, length, destination, 19375);
    }

    // Everything but whoisthere datagrams that arrives within `windowMs`, or until `count` came.
    std::vector<Reply> Collect(size_t count, int windowMs = 5000) const {
        std::vector<Reply> replies;
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(windowMs);
        while (replies.size() < count && Clock::now() < end) {
            unsigned char buffer[1472];
            std::string sender;
            unsigned short port = 0;
            unsigned long length = mSocket.ReceiveFrom(buffer, sizeof buffer, sender, port, false);
            if (length == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            std::vector<std::string> fields = QipPacket::SplitFields(buffer, length);
            if (!fields.empty() && fields[0] == cQipTypeWhoIsThere) continue;  // our own broadcast
            replies.push_back(Reply{sender, std::vector<unsigned char>(buffer, buffer + length)});
        }
        return replies;
    }

private:
    KspUdpSocket mSocket;
};

std::unique_ptr<QipPacketHello> Hello(const Reply& reply) {
    QipPacket* packet = QipPacket::Create(reply.mBytes.data(), reply.mBytes.size());
    return std::unique_ptr<QipPacketHello>(dynamic_cast<QipPacketHello*>(packet));
}

// A TCP connection from the host namespace to address:80, or -1 with errno.
int Connect(const TestBed& bed, const std::string& address) {
    TestBed::EnterHost host(bed);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(80);
    inet_aton(address.c_str(), &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    const char request[] = "GET /status.xml HTTP/1.0\r\nHost: x\r\n\r\n";
    send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
    return fd;
}

// What arrives on `fd` within `windowMs`; `closed` tells whether the peer closed by then.
std::string ReadFor(int fd, int windowMs, bool* closed = nullptr) {
    std::string text;
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(windowMs);
    bool ended = false;
    while (!ended && Clock::now() < end) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, left > 0 ? left : 0) != 1) break;
        char buffer[8192];
        ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) ended = true;
        else text.append(buffer, static_cast<size_t>(count));
    }
    if (closed != nullptr) *closed = ended;
    return text;
}

}  // namespace

TEST(QipDeviceSim, AnswersWhoIsThereFromEachAddressToTheSendersPort) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string plain = bed.AddDevice({"192.0.2.20/24"});
    std::string dual = bed.AddDevice({"192.0.2.30/24", "198.51.100.30/24"});
    std::string foreign = bed.AddDevice({"198.51.100.40/24"});
    pid_t sim = bed.StartSimulator(plain, {"--verbose", "--type", "Box", "--id", "AB12", "--address", "192.0.2.20/24",
                                           "--packet-id", "9", "--url", "/s.xml"});
    ASSERT_GT(sim, 0);
    ASSERT_GT(bed.StartSimulator(dual, {"--id", "dual", "--address", "192.0.2.30/24", "--address", "198.51.100.30/24"}), 0);
    ASSERT_GT(bed.StartSimulator(foreign, {"--id", "far", "--address", "198.51.100.40/24", "--listen", "192.0.2.255"}), 0);

    Asker asker(bed, 40000);
    asker.Ask(TestBed::cHostBroadcast);
    std::vector<Reply> replies = asker.Collect(4);
    ASSERT_EQ(4u, replies.size());
    std::map<std::string, std::string> idBySender;
    for (const Reply& reply : replies) {
        std::unique_ptr<QipPacketHello> hello = Hello(reply);
        ASSERT_NE(nullptr, hello) << reply.mSender;
        EXPECT_EQ(reply.mSender, hello->GetIpAddress()) << "each hello names the address it comes from";
        idBySender[reply.mSender] = hello->GetDeviceId();
        if (reply.mSender == "192.0.2.20") {
            EXPECT_EQ("Box", hello->GetDeviceType());
            EXPECT_EQ("255.255.255.0", hello->GetNetmask());
            EXPECT_EQ("/s.xml", hello->GetStatusUrl());
            EXPECT_EQ("9", hello->GetPacketId());
        }
    }
    EXPECT_EQ((std::map<std::string, std::string>{{"192.0.2.20", "AB12"}, {"192.0.2.30", "dual"},
                                                  {"198.51.100.30", "dual"}, {"198.51.100.40", "far"}}),
              idBySender);

    // Unicast questions are answered too, by that device alone.
    asker.Ask("198.51.100.40");
    replies = asker.Collect(2, 1000);
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ("198.51.100.40", replies[0].mSender);

    // A client on the simulator's own host, bound to 0.0.0.0:19375, still gets the answer.
    std::string shared = bed.AddDevice({"192.0.2.10/24", "192.0.2.11/24"});
    ASSERT_GT(bed.StartSimulator(shared, {"--id", "beside", "--address", "192.0.2.11/24"}), 0);
    Asker local(bed, 19375, shared);
    local.Ask("192.0.2.255");
    replies = local.Collect(5, 2000);
    std::vector<std::string> senders;
    for (const Reply& reply : replies) senders.push_back(reply.mSender);
    EXPECT_NE(senders.end(), std::find(senders.begin(), senders.end(), "192.0.2.11"));

    std::string log = bed.GetOutput(sim);
    EXPECT_NE(std::string::npos, log.find("received whoisthere 192.0.2.1/255.255.255.0 from 192.0.2.1:40000")) << log;
    EXPECT_NE(std::string::npos, log.find("from 192.0.2.20 to 192.0.2.1:40000")) << log;
}

TEST(QipDeviceSim, ServesTheStatusPageOverTcpFromEveryAddress) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string device = bed.AddDevice({"192.0.2.30/24", "198.51.100.30/24"});
    ASSERT_GT(bed.StartSimulator(device, {"--address", "192.0.2.30/24", "--address", "198.51.100.30/24",
                                          "--ssid", "Office"}), 0);
    for (const char* address : {"192.0.2.30", "198.51.100.30"}) {
        int fd = Connect(bed, address);
        ASSERT_GE(fd, 0) << address << ": " << std::strerror(errno);
        bool closed = false;
        std::string page = ReadFor(fd, 5000, &closed);
        close(fd);
        EXPECT_TRUE(closed) << "the device closes the connection after the page";
        EXPECT_EQ(0u, page.find("HTTP/1.0 200 OK\r\n")) << page;
        EXPECT_NE(std::string::npos, page.find("\r\n\r\n<?xml version=\"1.0\"")) << page;

        TestBed::EnterHost host(bed);
        SysInfo status(address, "http://" + std::string(address) + "/status.xml");
        EXPECT_TRUE(status.Fetch()) << address;
        EXPECT_EQ("Office", status.GetValue("status/wlan/ssid")) << address;
    }
}

TEST(QipDeviceSim, HttpFaultModesDoWhatTheySay) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string ns = bed.AddDevice({"192.0.2.21/24", "192.0.2.22/24", "192.0.2.23/24", "192.0.2.24/24",
                                    "192.0.2.25/24", "192.0.2.26/24", "192.0.2.27/24"});
    ASSERT_GT(bed.StartSimulator(ns, {"--address", "192.0.2.21", "--http-status", "404",
                                      "--device", "--address", "192.0.2.22", "--lf-only",
                                      "--device", "--address", "192.0.2.23", "--no-http",
                                      "--device", "--address", "192.0.2.24", "--http-hang",
                                      "--device", "--address", "192.0.2.25", "--http-split", "2500", "--ssid", "Late",
                                      "--device", "--address", "192.0.2.26", "--http-delay", "2500",
                                      "--device", "--address", "192.0.2.27", "--page-size", "100000"}), 0);

    EXPECT_EQ(0u, ReadFor(Connect(bed, "192.0.2.21"), 5000).find("HTTP/1.0 404 Not Found\r\n"));
    std::string lf = ReadFor(Connect(bed, "192.0.2.22"), 5000);
    EXPECT_EQ(0u, lf.find("HTTP/1.0 200 OK\n"));
    EXPECT_EQ(std::string::npos, lf.find('\r'));
    EXPECT_EQ(-1, Connect(bed, "192.0.2.23"));
    EXPECT_EQ(ECONNREFUSED, errno);

    // Connections opened together, so the slow modes overlap their pauses.
    int hang = Connect(bed, "192.0.2.24");
    int split = Connect(bed, "192.0.2.25");
    int delayed = Connect(bed, "192.0.2.26");
    ASSERT_GE(hang, 0);
    std::string firstPiece = ReadFor(split, 1000);
    EXPECT_EQ(0u, firstPiece.find("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(std::string::npos, firstPiece.find("Late")) << "the SSID waits for the second piece";
    EXPECT_EQ("", ReadFor(delayed, 500)) << "nothing before the delay";
    bool closed = false;
    EXPECT_NE(std::string::npos, ReadFor(split, 10000, &closed).find("<ssid>Late</ssid>"));
    EXPECT_TRUE(closed);
    EXPECT_EQ(0u, ReadFor(delayed, 10000).find("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ("", ReadFor(hang, 100, &closed));
    EXPECT_FALSE(closed) << "a hanging device keeps the connection open";

    EXPECT_EQ(100000u, ReadFor(Connect(bed, "192.0.2.27"), 10000).size());
    for (int fd : {hang, split, delayed}) close(fd);
}

TEST(QipDeviceSim, DiscoveryFaultModesDoWhatTheySay) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string ns = bed.AddDevice({"192.0.2.41/24", "192.0.2.42/24", "192.0.2.43/24", "192.0.2.44/24",
                                    "192.0.2.45/24", "192.0.2.46/24"});
    ASSERT_GT(bed.StartSimulator(ns, {"--id", "quiet", "--address", "192.0.2.41", "--silent-after", "2",
                                      "--device", "--id", "moving", "--address", "192.0.2.42", "--packet-id-every", "2",
                                      "--device", "--address", "192.0.2.43", "--malformed", "unterminated",
                                      "--device", "--address", "192.0.2.44", "--malformed", "few-fields",
                                      "--device", "--address", "192.0.2.45", "--malformed", "wrong-case",
                                      "--device", "--id", "liar", "--address", "192.0.2.46", "--hello-ip", "203.0.113.9"}), 0);
    Clock::time_point started = Clock::now();
    Asker asker(bed, 19375);
    std::vector<std::string> movingIds;
    for (int round = 0; round < 3; ++round) {
        asker.Ask(TestBed::cHostBroadcast);
        std::vector<Reply> replies = asker.Collect(6, round == 2 ? 2000 : 5000);
        ASSERT_EQ(round == 2 ? 5u : 6u, replies.size()) << "round " << round;
        for (const Reply& reply : replies) {
            std::unique_ptr<QipPacketHello> hello = Hello(reply);
            const std::string& from = reply.mSender;
            bool broken = from == "192.0.2.43" || from == "192.0.2.44" || from == "192.0.2.45";
            EXPECT_EQ(broken, hello == nullptr) << from;
            if (hello && hello->GetDeviceId() == "moving") movingIds.push_back(hello->GetPacketId());
            if (hello && hello->GetDeviceId() == "liar") {
                EXPECT_EQ("192.0.2.46", from);
                EXPECT_EQ("203.0.113.9", hello->GetIpAddress());
            }
            EXPECT_FALSE(round == 2 && from == "192.0.2.41") << "silent after 2 s";
        }
        if (round == 1) std::this_thread::sleep_until(started + std::chrono::milliseconds(2500));
    }
    EXPECT_EQ((std::vector<std::string>{"1", "1", "2"}), movingIds);
}

TEST(QipDeviceSim, AnswerDelayHoldsEachHelloBack) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string ns = bed.AddDevice({"192.0.2.51/24", "192.0.2.52/24", "192.0.2.53/24"});
    // Listed latest first, so that the queue must order them by when they fall due.
    ASSERT_GT(bed.StartSimulator(ns, {"--id", "later", "--address", "192.0.2.51", "--answer-delay", "900",
                                      "--device", "--id", "late", "--address", "192.0.2.52", "--answer-delay", "400",
                                      "--device", "--id", "prompt", "--address", "192.0.2.53"}), 0);
    Asker asker(bed, 19375);
    for (int round = 0; round < 2; ++round) {
        Clock::time_point asked = Clock::now();
        asker.Ask(TestBed::cHostBroadcast);
        std::vector<std::string> order;
        std::map<std::string, long long> arrivedMs;
        for (int i = 0; i < 3; ++i) {
            std::vector<Reply> replies = asker.Collect(1);
            ASSERT_EQ(1u, replies.size()) << "round " << round << ", answer " << i;
            order.push_back(replies[0].mSender);
            arrivedMs[replies[0].mSender] =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
        }
        EXPECT_EQ((std::vector<std::string>{"192.0.2.53", "192.0.2.52", "192.0.2.51"}), order) << "round " << round;
        // Lower bounds only: a late answer never leaves early, however busy the machine.
        EXPECT_GE(arrivedMs["192.0.2.52"], 400);
        EXPECT_GE(arrivedMs["192.0.2.51"], 900);
    }
}

TEST(QipDeviceSim, CommandLineAndLifecycle) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string ns = bed.AddDevice({"192.0.2.20/24"});
    std::string output, errors;
    std::string sim = TestBed::BinaryPath("qip-device-sim");
    EXPECT_EQ(0, bed.Run(ns, {sim, "--help"}, &output));
    EXPECT_NE(std::string::npos, output.find("--silent-after"));
    EXPECT_EQ(2, bed.Run(ns, {sim, "--address", "192.0.2.20", "--bogus"}, &output, 5000, &errors));
    EXPECT_NE(std::string::npos, errors.find("unknown option '--bogus'"));
    EXPECT_EQ(1, bed.Run(ns, {sim, "--address", "203.0.113.5"}, &output, 5000, &errors))
        << "an address the namespace lacks cannot be bound";
    EXPECT_NE(std::string::npos, errors.find("cannot bind")) << errors;
    EXPECT_EQ("", output) << "never ready";

    for (int signalNumber : {SIGINT, SIGTERM}) {
        pid_t pid = bed.StartSimulator(ns, {"--address", "192.0.2.20"});
        ASSERT_GT(pid, 0);
        kill(pid, signalNumber);
        EXPECT_EQ(0, bed.Stop(pid)) << "clean exit on signal " << signalNumber;
    }
}
