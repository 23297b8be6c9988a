#include "tests/testbed/TestBed.h"
#include "tests/testbed/XvfbServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ksp/KspNetworkInterface.h"

namespace {

bool NamespaceExists(const std::string& name) {
    return access(("/var/run/netns/" + name).c_str(), F_OK) == 0;
}

// A socket of `type` bound to address:port in whatever namespace the thread is in.
int BoundSocket(int type, const std::string& address, unsigned short port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_aton(address.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

sockaddr_in Endpoint(const std::string& address, unsigned short port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_aton(address.c_str(), &to.sin_addr);
    return to;
}

// Receives one datagram within 5 s; the sender's address, or "" when none came.
std::string ReceiveSender(int fd) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 5000) != 1) return "";
    sockaddr_in from{};
    socklen_t length = sizeof from;
    char buffer[64];
    if (recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) < 0) return "";
    return inet_ntoa(from.sin_addr);
}

}  // namespace

TEST(TestBed, RunReportsExitStatusOutputAndTimeouts) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());

    std::string out, err;
    EXPECT_EQ(3, bed.Run(bed.GetHostNamespace(), {"/bin/sh", "-c", "echo out; echo err >&2; exit 3"},
                         &out, TestBed::cDefaultTimeoutMs, &err));
    EXPECT_EQ("out\n", out);
    EXPECT_EQ("err\n", err);

    EXPECT_EQ(0, bed.Run(bed.GetHostNamespace(), {"/bin/sh", "-c", "echo a; echo b >&2"}, &out));
    EXPECT_EQ("a\nb\n", out) << "without an error sink both streams land in the output";

    // The program really runs inside the namespace: only lo and br0 are there.
    ASSERT_EQ(0, bed.Run(bed.GetHostNamespace(), {"ip", "-o", "-4", "addr", "show"}, &out));
    EXPECT_NE(std::string::npos, out.find("192.0.2.1/24"));
    EXPECT_EQ(std::string::npos, out.find("eth0")) << out;

    EXPECT_EQ(-1, bed.Run(bed.GetHostNamespace(), {"/bin/sleep", "30"}, &out, 300));
    EXPECT_EQ(127, bed.Run(bed.GetHostNamespace(), {"/nonexistent/program"}, &out));
    EXPECT_EQ(128 + SIGTERM, bed.Run(bed.GetHostNamespace(), {"/bin/sh", "-c", "kill -TERM $$"}, &out));
}

TEST(TestBed, StopAndDestructionEndProcessesAndDeleteNamespaces) {
    QIP_REQUIRE_TESTBED();
    std::string host, device;
    pid_t sleeper = -1;
    {
        TestBed bed;
        ASSERT_TRUE(bed.IsReady());
        host = bed.GetHostNamespace();
        device = bed.AddDevice({"192.0.2.20/24"});
        ASSERT_FALSE(device.empty());
        sleeper = bed.Start(device, {"/bin/sh", "-c", "echo started; exec sleep 60"});
        ASSERT_GT(sleeper, 0);
        pid_t stubborn = bed.Start(host, {"/bin/sh", "-c", "trap '' TERM; echo waiting; while :; do sleep 1; done"});
        for (int i = 0; i < 500 && bed.GetOutput(stubborn).empty(); ++i) usleep(10000);
        EXPECT_EQ("waiting\n", bed.GetOutput(stubborn));
        EXPECT_EQ(128 + SIGKILL, bed.Stop(stubborn, 300)) << "an ignored SIGTERM ends in SIGKILL";
        EXPECT_TRUE(NamespaceExists(host));
        EXPECT_TRUE(NamespaceExists(device));
    }
    EXPECT_FALSE(NamespaceExists(host));
    EXPECT_FALSE(NamespaceExists(device));
    // The bed reaped it, so the pid no longer names a process of ours.
    EXPECT_EQ(-1, waitpid(sleeper, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
}

TEST(TestBed, LeftoversOfDeadProcessesAreRemovedAndLiveOnesKept) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;  // a live bed of this process must survive the sweep
    ASSERT_TRUE(bed.IsReady());
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_EQ(gone, waitpid(gone, nullptr, 0));
    std::string stale = "qtb-" + std::to_string(gone) + "-1-h";
    std::string output;
    ASSERT_EQ(0, bed.Run("", {"ip", "netns", "add", stale}, &output)) << output;

    // Another test process may sweep it first, so the count is not checked.
    TestBed::RemoveStaleNamespaces();
    EXPECT_FALSE(NamespaceExists(stale));
    EXPECT_TRUE(NamespaceExists(bed.GetHostNamespace()));
    if (NamespaceExists(stale)) bed.Run("", {"ip", "netns", "del", stale}, &output);
}

TEST(TestBed, DeviceOutsideTheHostSubnetIsReachableButNotCovered) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    std::string device = bed.AddDevice({"198.51.100.20/24"});
    ASSERT_FALSE(device.empty());

    int listener = -1, deviceUdp = -1, deviceBroadcast = -1;
    {
        TestBed::EnterHost inDevice(device);
        ASSERT_TRUE(inDevice.IsEntered());
        listener = BoundSocket(SOCK_STREAM, "198.51.100.20", 8080);
        deviceUdp = BoundSocket(SOCK_DGRAM, "198.51.100.20", 19375);
        deviceBroadcast = BoundSocket(SOCK_DGRAM, TestBed::cHostBroadcast, 19375);
        ASSERT_EQ(0, listen(listener, 1));
    }
    ASSERT_GE(deviceUdp, 0);
    ASSERT_GE(deviceBroadcast, 0) << "the device takes the host's broadcast address";

    TestBed::EnterHost inHost(bed);
    ASSERT_TRUE(inHost.IsEntered());
    for (const KspNetworkInterface& interface : KspNetworkInterface::Enumerate()) {
        EXPECT_FALSE(interface.IsReachable("198.51.100.20")) << interface.GetName();
    }

    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server = Endpoint("198.51.100.20", 8080);
    EXPECT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&server), sizeof server)) << errno;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    EXPECT_GE(accepted, 0);
    EXPECT_STREQ(TestBed::cHostAddress, inet_ntoa(peer.sin_addr));

    // A broadcast on the host's subnet reaches the device, and its answer keeps its source.
    int hostUdp = BoundSocket(SOCK_DGRAM, "0.0.0.0", 19375);
    sockaddr_in broadcast = Endpoint(TestBed::cHostBroadcast, 19375);
    ASSERT_EQ(1, sendto(hostUdp, "?", 1, 0, reinterpret_cast<sockaddr*>(&broadcast), sizeof broadcast));
    EXPECT_EQ(TestBed::cHostAddress, ReceiveSender(deviceBroadcast));
    sockaddr_in host = Endpoint(TestBed::cHostAddress, 19375);
    ASSERT_EQ(1, sendto(deviceUdp, "!", 1, 0, reinterpret_cast<sockaddr*>(&host), sizeof host));
    std::string sender = ReceiveSender(hostUdp);
    while (sender == TestBed::cHostAddress) sender = ReceiveSender(hostUdp);  // its own broadcast
    EXPECT_EQ("198.51.100.20", sender);

    for (int fd : {listener, deviceUdp, deviceBroadcast, client, accepted, hostUdp}) if (fd >= 0) close(fd);
}

TEST(XvfbServer, FindsTheDisplayNumberWhereverItStandsInTheOutput) {
    EXPECT_EQ("", XvfbServer::FindDisplayNumber(""));
    EXPECT_EQ("", XvfbServer::FindDisplayNumber("14"));  // not yet the whole line
    EXPECT_EQ("0", XvfbServer::FindDisplayNumber("0\n"));
    EXPECT_EQ("141", XvfbServer::FindDisplayNumber(
                         "_XSERVTransSocketUNIXCreateListener: ...SocketCreateListener() failed\n"
                         "_XSERVTransMakeAllCOTSServerListeners: server already running\n141\n"
                         "The XKEYBOARD keymap compiler (xkbcomp) reports:\n"));
    EXPECT_EQ("", XvfbServer::FindDisplayNumber("(EE) 2 errors\n"));
}

// Two servers in two beds at once, as two tests running side by side start them.
TEST(XvfbServer, ServersOfTwoBedsGetDisplaysOfTheirOwn) {
    QIP_REQUIRE_TESTBED();
    TestBed first;
    TestBed second;
    ASSERT_TRUE(first.IsReady() && second.IsReady());
    XvfbServer one(first);
    XvfbServer two(second);
    ASSERT_TRUE(one.IsReady() && two.IsReady());
    EXPECT_NE(one.GetDisplay(), two.GetDisplay());
}
