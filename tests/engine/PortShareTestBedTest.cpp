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

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ksp/KspDescriptor.h"
#include "tests/engine/PortShareTestSupport.h"
#include "tests/testbed/TestBed.h"

namespace {

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
