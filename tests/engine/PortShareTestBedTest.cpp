// Several QIP programs on one machine, as users run them side by side: the first owns the
// discovery port and the others hear every answer through it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ksp/KspDescriptor.h"
#include "qip/QipPacket.h"
#include "tests/testbed/TestBed.h"

namespace {

// Waits (up to the bed's generous bound) until `done` holds for the output of `pid`.
bool WaitForOutput(const TestBed& bed, pid_t pid, const std::function<bool(const std::string&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(TestBed::cDefaultTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done(bed.GetOutput(pid))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done(bed.GetOutput(pid));
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool HasAll(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) {
        if (!Has(text, part)) return false;
    }
    return true;
}

const std::vector<std::string> cWatch = {"qip-discover", "--watch", "--no-ssid", "--verbose"};
const std::vector<std::string> cThreeAppeared = {"appeared dev-1 ", "appeared dev-2 ",
                                                 "appeared dev-3 "};

// Three devices in one namespace, one address each.
std::string StartThreeDevices(TestBed& bed) {
    const std::string devices = bed.AddDevice({"192.0.2.21/24", "192.0.2.22/24", "192.0.2.23/24"});
    std::vector<std::string> args;
    for (int i = 1; i <= 3; ++i) {
        if (i > 1) args.push_back("--device");
        args.insert(args.end(), {"--address", "192.0.2.2" + std::to_string(i) + "/24", "--id",
                                 "dev-" + std::to_string(i)});
    }
    EXPECT_GT(bed.StartSimulator(devices, args), 0);
    return devices;
}

void SendUdp(int fd, const std::string& datagram) {
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(19375);
    to.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1, the bed's host
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::string Hello(const std::string& id, const std::string& url) {
    unsigned char buffer[1472];
    const QipPacketHello hello("QipSim", id, "192.0.2.30", "255.255.255.0", url, "1");
    return std::string(reinterpret_cast<char*>(buffer), hello.Serialize(buffer, sizeof buffer));
}

}  // namespace

TEST(PortShareTestBed, ProgramsSideBySideEachHearEveryDeviceThroughTheOwner) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    StartThreeDevices(bed);
    const pid_t owner = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) {
        return HasAll(out, cThreeAppeared);
    })) << bed.GetOutput(owner);
    EXPECT_TRUE(Has(bed.GetOutput(owner), "UDP port 19375: owned by this program"));

    // Before the shared port, whichever bound last heard the answers and the other went blind.
    const auto answers = [&] {
        const std::string out = bed.GetOutput(owner);
        size_t count = 0;
        for (size_t at = out.find("heard QipSim dev-3"); at != std::string::npos;
             at = out.find("heard QipSim dev-3", at + 1)) {
            ++count;
        }
        return count;
    };
    const size_t answersBefore = answers();
    const pid_t second = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(second, 0);
    ASSERT_TRUE(WaitForOutput(bed, second, [](const std::string& out) {
        return HasAll(out, cThreeAppeared);
    })) << bed.GetOutput(second);
    EXPECT_TRUE(Has(bed.GetOutput(second),
                    "UDP port 19375: subscribed to process " + std::to_string(owner)))
        << bed.GetOutput(second);
    // The owner still hears: the newcomer's search went out through it.
    EXPECT_TRUE(WaitForOutput(bed, owner, [&](const std::string&) {
        return answers() > answersBefore;
    })) << bed.GetOutput(owner);
    // The subscriber asks the owner to search now; both hear the answers.
    std::string output;
    ASSERT_EQ(bed.Run(bed.GetHostNamespace(), {"qip-discover", "--no-ssid", "--wait-for", "dev-3"},
                      &output),
              0)
        << output;
    EXPECT_TRUE(Has(output, "dev-3")) << output;
    EXPECT_FALSE(Has(bed.GetOutput(owner), "gone")) << bed.GetOutput(owner);
    EXPECT_FALSE(Has(bed.GetOutput(second), "gone")) << bed.GetOutput(second);
}

TEST(PortShareTestBed, ASubscriberTakesOverAfterSigkillAndNoDeviceIsReportedGone) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    StartThreeDevices(bed);
    const pid_t owner = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) {
        return HasAll(out, cThreeAppeared);
    })) << bed.GetOutput(owner);
    std::vector<pid_t> subscribers;
    for (int i = 0; i < 2; ++i) {
        subscribers.push_back(bed.Start(bed.GetHostNamespace(), cWatch));
        ASSERT_GT(subscribers.back(), 0);
        ASSERT_TRUE(WaitForOutput(bed, subscribers.back(), [](const std::string& out) {
            return HasAll(out, cThreeAppeared);
        })) << bed.GetOutput(subscribers.back());
    }
    ASSERT_EQ(kill(owner, SIGKILL), 0);
    const std::string takeOver = "owns it now";
    ASSERT_TRUE(WaitForOutput(bed, subscribers[0], [&](const std::string& out) {
        return Has(out, takeOver) || Has(bed.GetOutput(subscribers[1]), takeOver);
    })) << bed.GetOutput(subscribers[0]) << bed.GetOutput(subscribers[1]);
    // Past the 30 seconds after which a silent device goes, had nobody taken over.
    std::this_thread::sleep_for(std::chrono::seconds(36));
    int owners = 0;
    for (pid_t subscriber : subscribers) {
        const std::string out = bed.GetOutput(subscriber);
        owners += Has(out, takeOver) ? 1 : 0;
        EXPECT_FALSE(Has(out, "gone     dev-")) << out;
        // The new owner hears every device itself: its verbose log shows answers after the take-over.
        if (Has(out, takeOver)) {
            EXPECT_TRUE(HasAll(out.substr(out.find(takeOver)),
                               {"heard QipSim dev-1", "heard QipSim dev-2", "heard QipSim dev-3"}))
                << out;
        }
    }
    EXPECT_EQ(owners, 1);
}

TEST(PortShareTestBed, AStoppedSubscriberIsDroppedWhileTheOwnerKeepsUp) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string sender = bed.AddDevice({"192.0.2.30/24"});
    ASSERT_FALSE(sender.empty());
    const pid_t owner = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) {
        return Has(out, "owned by this program");
    })) << bed.GetOutput(owner);
    const pid_t stalled = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(stalled, 0);
    ASSERT_TRUE(WaitForOutput(bed, stalled, [&](const std::string& out) {
        return Has(out, "subscribed to process " + std::to_string(owner));
    })) << bed.GetOutput(stalled);
    ASSERT_EQ(kill(stalled, SIGSTOP), 0);
    {
        TestBed::EnterHost inside(sender);
        ASSERT_TRUE(inside.IsEntered());
        KspDescriptor fd(socket(AF_INET, SOCK_DGRAM, 0));
        ASSERT_GE(fd.Get(), 0);
        // Far more than a subscriber's queue and socket buffer hold, each hello unlike its
        // device's last (an exact repeat reaches subscribers only once a second), from 200
        // devices whose packet ids stay, so that the owner's list does not change.
        const std::string padding = std::string(1300, 'x');
        for (int i = 0; i < 20000; ++i) {
            SendUdp(fd.Get(), Hello("flood-" + std::to_string(i % 200), "/" + std::to_string(i) + padding));
            if (i % 500 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        SendUdp(fd.Get(), Hello("after-flood", "/status.xml"));
    }
    EXPECT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) {
        return Has(out, "appeared after-flood") &&
               Has(out, "fell behind and was dropped; it reconnects");
    })) << bed.GetOutput(owner);
    // Woken, it finds its connection closed and subscribes again, with a fresh list.
    ASSERT_EQ(kill(stalled, SIGCONT), 0);
    EXPECT_TRUE(WaitForOutput(bed, stalled, [](const std::string& out) {
        return Has(out, "appeared after-flood");
    })) << bed.GetOutput(stalled);
}

TEST(PortShareTestBed, ASubscriberOfAStoppedOwnerListensItselfAndLosesNoDevice) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string devices = bed.AddDevice({"192.0.2.21/24"});
    ASSERT_GT(bed.StartSimulator(devices, {"--address", "192.0.2.21/24", "--id", "dev-1"}), 0);
    const pid_t owner = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) {
        return Has(out, "appeared dev-1 ");
    })) << bed.GetOutput(owner);
    const pid_t subscriber = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(subscriber, 0);
    ASSERT_TRUE(WaitForOutput(bed, subscriber, [&](const std::string& out) {
        return Has(out, "subscribed to process " + std::to_string(owner)) &&
               Has(out, "appeared dev-1 ");
    })) << bed.GetOutput(subscriber);

    // Stopped, not ended: its socket stays open and it says nothing more.
    ASSERT_EQ(kill(owner, SIGSTOP), 0);
    const std::string stalled =
        "owner of UDP port 19375 (process " + std::to_string(owner) + ") does not answer; listening alone";
    ASSERT_TRUE(WaitForOutput(bed, subscriber, [&](const std::string& out) {
        return Has(out, stalled) && Has(out.substr(out.find(stalled)), "heard QipSim dev-1");
    })) << bed.GetOutput(subscriber);

    // Woken, the owner finds its subscriber gone; it neither crashes nor hangs, and both end
    // on SIGTERM (a status of 0, not the bed's SIGKILL).
    ASSERT_EQ(kill(owner, SIGCONT), 0);
    EXPECT_EQ(bed.Stop(owner), 0) << bed.GetOutput(owner);
    EXPECT_EQ(bed.Stop(subscriber), 0) << bed.GetOutput(subscriber);
    EXPECT_FALSE(Has(bed.GetOutput(subscriber), "gone     dev-")) << bed.GetOutput(subscriber);
}

TEST(PortShareTestBed, AnOwnerServingGarbageLeavesTheSubscriberListeningAlone) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string devices = bed.AddDevice({"192.0.2.21/24"});
    ASSERT_GT(bed.StartSimulator(devices, {"--address", "192.0.2.21/24", "--id", "dev-1"}), 0);
    const std::string welcome("\x00\x07WQIPS\x03\x00", 9);
    const std::vector<std::string> scripts = {
        std::string("\x00\x05HELLO garbage", 14),                  // no welcome at all
        std::string("\x00\x07WQIPS\x09\x00", 9),                   // another version
        welcome + std::string("\xff\xff", 2) + std::string(4000, 'H'),  // frame past the limit
        welcome + std::string("\x00\x0b" "H\xc0\x00\x02\x15\x00\x00\x00\x00\xc8x", 13),  // name length 200
        welcome + std::string("\x00\x0b" "H\xc0\x00\x02\x15\x00\x00\x00\x00\x00y", 13) +  // not QIP
            std::string("\x00\x01Z", 3),                                                   // unknown type
    };
    for (const std::string& script : scripts) {
        TestBed::EnterHost inside(bed);
        ASSERT_TRUE(inside.IsEntered());
        KspDescriptor listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        const char cName[] = "\0qipfinder/19375";
        memcpy(address.sun_path, cName, sizeof cName - 1);
        ASSERT_EQ(bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address),
                       offsetof(sockaddr_un, sun_path) + sizeof cName - 1),
                  0);
        ASSERT_EQ(listen(listener.Get(), 4), 0);
        std::thread server([&] {
            KspDescriptor peer(accept(listener.Get(), nullptr, nullptr));
            if (peer.Get() < 0) return;
            ssize_t sent = send(peer.Get(), script.data(), script.size(), MSG_NOSIGNAL);
            (void)sent;
            char sink[256];
            while (recv(peer.Get(), sink, sizeof sink, 0) > 0) {
            }
        });
        std::string output, errors;
        const int status = bed.Run(bed.GetHostNamespace(),
                                   {"qip-discover", "--no-ssid", "--wait-for", "dev-1"}, &output,
                                   TestBed::cDefaultTimeoutMs, &errors);
        shutdown(listener.Get(), SHUT_RDWR);
        server.join();
        EXPECT_EQ(status, 0) << errors;
        EXPECT_TRUE(Has(output, "dev-1")) << output << errors;
        EXPECT_TRUE(Has(errors, "listening alone") || Has(errors, "unreadable data")) << errors;
    }
}

namespace {
// Another user, as a stranger with a shell account on the machine would be.
std::vector<std::string> AsNobody(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"});
    return argv;
}
}  // namespace

TEST(PortShareTestBed, AnOwnerOfAnotherUserIsNotBelievedAndTheRealDeviceIsListed) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string devices = bed.AddDevice({"192.0.2.21/24"});
    ASSERT_GT(bed.StartSimulator(devices, {"--address", "192.0.2.21/24", "--id", "dev-1"}), 0);
    // It took the name before any QIP program started, and tells of a device nobody sent.
    const pid_t fake = bed.Start(bed.GetHostNamespace(),
                                 AsNobody({TestBed::BinaryPath("qip-test-fake-owner"), "FAKE-DEVICE-66",
                                           "203.0.113.66"}));
    ASSERT_GT(fake, 0);
    ASSERT_TRUE(WaitForOutput(bed, fake, [](const std::string& out) { return Has(out, "serving"); }))
        << bed.GetOutput(fake);
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(),
                      {"qip-discover", "--no-ssid", "--verbose", "--wait-for", "dev-1"}, &output,
                      TestBed::cDefaultTimeoutMs, &errors),
              0)
        << output << errors;
    EXPECT_TRUE(Has(output, "dev-1")) << output;
    EXPECT_FALSE(Has(output + errors, "FAKE-DEVICE-66")) << output << errors;
    EXPECT_TRUE(Has(errors, "UDP port 19375 is held by process " + std::to_string(fake) +
                                " of user nobody, which this program does not trust; listening alone"))
        << errors;
    // --verbose says what listening alone beside it costs.
    EXPECT_TRUE(Has(errors, "answers to broadcasts reach both")) << errors;
}

TEST(PortShareTestBed, ARootOwnerRefusesTheProbesOfAStrangerWhichThenProbesItself) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string far = bed.AddDeviceBehindRouter({"198.51.100.20/24"});
    ASSERT_FALSE(far.empty());
    ASSERT_GT(bed.StartSimulator(far, {"--address", "198.51.100.20/24", "--id", "far-1"}), 0);
    const pid_t owner = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) {
        return Has(out, "owned by this program");
    })) << bed.GetOutput(owner);
    std::string output, errors;
    EXPECT_EQ(bed.Run(bed.GetHostNamespace(),
                      AsNobody({TestBed::BinaryPath("qip-discover"), "--no-ssid", "--verbose", "--probe", "198.51.100.20",
                                "--wait-for", "far-1"}),
                      &output, TestBed::cDefaultTimeoutMs, &errors),
              0)
        << output << errors;
    EXPECT_TRUE(Has(output, "far-1")) << output << errors;
    EXPECT_TRUE(Has(errors, "subscribed to process " + std::to_string(owner))) << errors;
    EXPECT_TRUE(Has(errors, "takes no requests from this program's user")) << errors;
    // The owner never swept the stranger's target for it.
    EXPECT_FALSE(Has(bed.GetOutput(owner), "probing 198.51.100.20")) << bed.GetOutput(owner);
}

namespace {
long RssKb(pid_t pid) {
    FILE* file = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "re");
    if (file == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, file) != nullptr) {
        if (sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    }
    fclose(file);
    return kb;
}

int ConnectToOwner() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const char cName[] = "\0qipfinder/19375";
    memcpy(address.sun_path, cName, sizeof cName - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address),
                           offsetof(sockaddr_un, sun_path) + sizeof cName - 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

size_t CountLines(const std::string& text, const std::string& start) {
    size_t count = 0;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        if (text.compare(at, start.size(), start) == 0) ++count;
        if (text.find('\n', at) == std::string::npos) break;
    }
    return count;
}
}  // namespace

TEST(PortShareTestBed, SubscribersThatNeverReadAndAChurnOfConnectionsCostTheOwnerBoundedMemory) {
    QIP_REQUIRE_TESTBED();
    TestBed bed;
    ASSERT_TRUE(bed.IsReady());
    const std::string devices = bed.AddDevice({"192.0.2.21/24"});
    ASSERT_GT(bed.StartSimulator(devices, {"--address", "192.0.2.21/24", "--id", "dev-1"}), 0);
    const std::string sender = bed.AddDevice({"192.0.2.30/24"});
    ASSERT_FALSE(sender.empty());
    const pid_t owner = bed.Start(bed.GetHostNamespace(), {"qip-discover", "--watch", "--no-ssid"});
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(WaitForOutput(bed, owner, [](const std::string& out) { return Has(out, "appeared dev-1 "); }))
        << bed.GetOutput(owner);
    const pid_t reader = bed.Start(bed.GetHostNamespace(), cWatch);
    ASSERT_GT(reader, 0);
    ASSERT_TRUE(WaitForOutput(bed, reader, [](const std::string& out) { return Has(out, "appeared dev-1 "); }))
        << bed.GetOutput(reader);
    // 4,096 records for every newcomer's snapshot, each of a page-sized hello.
    const std::string padding(1000, 'x');
    const auto flood = [&](int round) {
        TestBed::EnterHost inside(sender);
        KspDescriptor fd(socket(AF_INET, SOCK_DGRAM, 0));
        for (int i = 0; i < 4096; ++i) {
            SendUdp(fd.Get(), Hello("rec-" + std::to_string(i), "/" + std::to_string(round) + padding));
            if (i % 256 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    flood(0);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // nothing to wait on: the owner's list caps a sender
    const long idleKb = RssKb(owner);
    ASSERT_GT(idleKb, 0);

    std::vector<std::unique_ptr<KspDescriptor>> silent;
    long peakKb = idleKb;
    size_t heardBefore = 0;
    {
        TestBed::EnterHost inside(bed);
        ASSERT_TRUE(inside.IsEntered());
        for (int i = 0; i < 64; ++i) silent.emplace_back(new KspDescriptor(ConnectToOwner()));
        heardBefore = CountLines(bed.GetOutput(reader), "qip-discover: heard QipSim dev-1");
        // 4,000 connections a second for 10 s, while every record changes twice.
        std::thread churn([&] {
            TestBed::EnterHost churnInside(bed);
            const auto start = std::chrono::steady_clock::now();
            for (int tick = 0; tick < 1000; ++tick) {
                for (int i = 0; i < 40; ++i) {
                    KspDescriptor fd(ConnectToOwner());
                }
                std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
            }
        });
        for (int round = 1; round <= 2; ++round) flood(round);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            peakKb = std::max(peakKb, RssKb(owner));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        churn.join();
    }
    EXPECT_LE(peakKb - idleKb, 32 * 1024) << "idle " << idleKb << " kB, peak " << peakKb << " kB";
    // The device's answers still reach the subscriber that reads (the owner's cycle is 10 s).
    EXPECT_TRUE(WaitForOutput(bed, reader, [&](const std::string& out) {
        return CountLines(out, "qip-discover: heard QipSim dev-1") > heardBefore;
    })) << bed.GetOutput(reader);
    silent.clear();
    long afterKb = RssKb(owner);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (afterKb - idleKb > 8 * 1024 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        afterKb = RssKb(owner);
    }
    EXPECT_LE(afterKb - idleKb, 8 * 1024) << "idle " << idleKb << " kB, after " << afterKb << " kB";
    // A few lines, not one per refused connection.
    EXPECT_LE(CountLines(bed.GetOutput(owner), "Discovery port:"), 6u) << bed.GetOutput(owner);
}
