// Programs sharing the discovery port: warm start, hand-over and a flood with a stopped
// subscriber.
#include <arpa/inet.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/process/BenchProcess.h"
#include "bench/process/FigureSupport.h"
#include "bench/process/HelloFlood.h"
#include "ksp/KspDescriptor.h"
#include "qip/QipPacket.h"
#include "tests/testbed/TestBed.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Watch() {
    return {TestBed::BinaryPath("qip-discover"), "--watch", "--no-ssid", "--verbose"};
}

void WarmStart(const FigureOptions& options, TestBed& bed) {
    std::printf("**Warm start**: `qip-discover --no-ssid --wait-for bench-a`, median of %d runs, with no\n"
                "other program (cold: it broadcasts and waits for the answer) and beside an owner\n"
                "(`qip-discover --watch`) that has heard the device.\n\n", options.mRuns);
    std::printf("| Start | Each run (ms) | Median | Target |\n|---|---|---|---|\n");
    for (bool warm : {false, true}) {
        std::unique_ptr<BenchProcess> owner;
        if (warm) {
            owner.reset(new BenchProcess(bed.GetHostNamespace(), Watch()));
            if (!owner->Start() || !WaitFor([&] { return Has(owner->GetOutput(), "appeared bench-a"); }, 15000)) {
                std::printf("| warm | the owner did not hear the device | | |\n");
                return;
            }
        }
        std::vector<double> times;
        std::vector<std::string> shown;
        for (int run = 0; run < options.mRuns; ++run) {
            BenchProcess discover(bed.GetHostNamespace(),
                                  {TestBed::BinaryPath("qip-discover"), "--no-ssid", "--wait-for", "bench-a"});
            if (!discover.Start() || !discover.Wait(30000) || discover.GetExitStatus() != 0) {
                shown.push_back("failed");
                continue;
            }
            times.push_back(discover.GetWallMs());
            shown.push_back(Ms(discover.GetWallMs()));
        }
        std::printf("| %s | %s | **%s ms** | %s |\n", warm ? "warm" : "cold", Joined(shown).c_str(),
                    Ms(Median(times)).c_str(), warm ? "at most 50 ms" : "as before");
    }
    std::printf("\n");
}

void Handover(const FigureOptions& options, TestBed& bed) {
    std::printf("**Hand-over**: an owner and two subscribers (`qip-discover --watch`); the owner is killed\n"
                "with SIGKILL. Time from the kill to the line of the subscriber that took the port over\n"
                "(its socket is open by then), and whether any program reported a device gone within 35 s.\n\n");
    std::printf("| Run | Take-over (ms) | New owners | Reported gone |\n|---|---|---|---|\n");
    for (int run = 0; run < options.mRuns; ++run) {
        BenchProcess owner(bed.GetHostNamespace(), Watch());
        if (!owner.Start() || !WaitFor([&] { return Has(owner.GetErrors(), "owned by this program") &&
                                                     Has(owner.GetOutput(), "appeared bench-a"); }, 15000)) {
            std::printf("| %d | the owner did not start | | |\n", run + 1);
            continue;
        }
        std::vector<std::unique_ptr<BenchProcess>> subscribers;
        for (int i = 0; i < 2; ++i) {
            subscribers.emplace_back(new BenchProcess(bed.GetHostNamespace(), Watch()));
            BenchProcess& subscriber = *subscribers.back();
            if (!subscriber.Start() || !WaitFor([&] { return Has(subscriber.GetOutput(), "appeared bench-a"); }, 15000)) break;
        }
        const auto killed = std::chrono::steady_clock::now();
        owner.Signal(SIGKILL);
        int owners = 0;
        const bool took = WaitFor([&] {
            owners = 0;
            for (const auto& subscriber : subscribers) owners += Has(subscriber->GetErrors(), "owns it now") ? 1 : 0;
            return owners > 0;
        }, 15000);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - killed).count();
        std::this_thread::sleep_for(std::chrono::seconds(35));
        int gone = 0;
        owners = 0;
        for (const auto& subscriber : subscribers) {
            gone += Has(subscriber->GetOutput(), "gone ") ? 1 : 0;
            owners += Has(subscriber->GetErrors(), "owns it now") ? 1 : 0;
        }
        std::printf("| %d | %s | %d | %d programs |\n", run + 1, took ? Ms(ms).c_str() : "none in 15 s", owners, gone);
    }
    std::printf("\n");
}

void StoppedSubscriber(const FigureOptions& options, TestBed& bed, const std::string& floodNs) {
    const int cSubscribers = 64;
    const double seconds = options.mFloodSeconds < 10 ? options.mFloodSeconds : 10;
    std::printf("**A stopped subscriber under a flood**: `qip-discover --watch --no-ssid` as the owner, alone\n"
                "and then with %d subscribers (`qip-discover --watch --no-ssid`), one of them stopped with\n"
                "SIGSTOP; hellos with distinct ids from one sender at 100,000 a second, then as fast as it\n"
                "sends, for %.0f s each. RcvbufErrors: what the kernel dropped at the owner's socket\n"
                "(/proc/net/snmp).\n\n",
                cSubscribers, seconds);
    std::printf("| Owner | Sent | Per second | RcvbufErrors | Owner CPU (ms) | Stopped one dropped |\n|---|---|---|---|---|---|\n");
    for (unsigned long rate : {100000UL, 0UL}) {
        for (bool shared : {false, true}) {
            // Not --verbose: a line per hello would be the owner's bottleneck.
            BenchProcess owner(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-discover"), "--watch", "--no-ssid"});
            if (!owner.Start() || !WaitFor([&] { return Has(owner.GetOutput(), "appeared bench-a"); }, 15000)) {
                std::printf("| %s | the owner did not start | | | | |\n", shared ? "shared" : "alone");
                continue;
            }
            std::vector<std::unique_ptr<BenchProcess>> subscribers;
            int joined = 0;
            for (int i = 0; shared && i < cSubscribers; ++i) {
                subscribers.emplace_back(new BenchProcess(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-discover"), "--watch", "--no-ssid"}));
                BenchProcess& subscriber = *subscribers.back();
                // Each has the owner's list before the next starts, so all 64 are subscribed.
                joined += subscriber.Start() && WaitFor([&] { return Has(subscriber.GetOutput(), "appeared bench-a"); }, 30000) ? 1 : 0;
            }
            if (shared) subscribers.front()->Signal(SIGSTOP);
            // A small set of ids, so that the lists stop changing and the watches stop printing
            // after the first pass: what is measured is the passing on, not 65 terminals.
            HelloFlood flood("QipSim", "share-", 1000, "192.0.2.40");
            const double cpuBefore = owner.GetCpuMs();
            const UdpCounters before = ReadUdpCounters(bed);
            bool sent = false;
            std::thread sender([&] {
                TestBed::EnterHost inside(floodNs);
                if (inside.IsEntered()) sent = flood.Send(TestBed::cHostAddress, seconds, rate);
            });
            sender.join();
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const UdpCounters after = ReadUdpCounters(bed);
            const double cpu = owner.GetCpuMs() - cpuBefore;
            const bool dropped = Has(owner.GetErrors(), "fell behind and was dropped");
            std::printf("| %s | %s | %s | %s | %s | %s |\n",
                        shared ? (std::to_string(joined) + " subscribers, one stopped").c_str() : "alone",
                        sent ? Grouped(flood.GetSentCount()).c_str() : "failed",
                        Grouped(static_cast<unsigned long long>(flood.GetSentCount() / flood.GetSentSeconds())).c_str(),
                        before.mIsRead && after.mIsRead ? Grouped(after.mRcvbufErrors - before.mRcvbufErrors).c_str() : "?",
                        Ms(cpu).c_str(), shared ? (dropped ? "yes" : "no") : "-");
            if (shared) subscribers.front()->Signal(SIGCONT);
        }
    }
    std::printf("\n");
}



void SendHellos(int fd, int round) {
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(19375);
    inet_pton(AF_INET, TestBed::cHostAddress, &to.sin_addr);
    const std::string path = "/" + std::to_string(round) + std::string(1000, 'x');
    for (int i = 0; i < 4096; ++i) {
        unsigned char buffer[1472];
        const QipPacketHello hello("QipSim", "rec-" + std::to_string(i), "192.0.2.40", "255.255.255.0", path, "1");
        const unsigned long length = hello.Serialize(buffer, sizeof buffer);
        sendto(fd, buffer, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

size_t Lines(const std::string& text, const std::string& start) {
    size_t count = 0;
    size_t at = 0;
    while (at < text.size()) {
        if (text.compare(at, start.size(), start) == 0) ++count;
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return count;
}

void SilentSubscribers(TestBed& bed, const std::string& floodNs) {
    std::printf("**Subscribers that never read**: `qip-discover --watch --no-ssid` as the owner with 4,096\n"
                "records of 1 kB hellos and one reading subscriber; then 64 connections that never read,\n"
                "4,000 connect-and-close cycles a second for 10 s and the 4,096 records changing twice.\n"
                "Owner RSS idle (before), peak (sampled every 50 ms) and 5 s after the 64 closed; its\n"
                "`Discovery port:` lines; whether the reader heard the real device during the attack.\n\n");
    std::printf("| Idle RSS | Peak | After | Owner CPU (ms) | Lines | Reader heard the device | Goal |\n|---|---|---|---|---|---|---|\n");
    BenchProcess owner(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-discover"), "--watch", "--no-ssid"});
    BenchProcess reader(bed.GetHostNamespace(), {TestBed::BinaryPath("qip-discover"), "--watch", "--no-ssid", "--verbose"});
    if (!owner.Start() || !WaitFor([&] { return Has(owner.GetOutput(), "appeared bench-a"); }, 15000) ||
        !reader.Start() || !WaitFor([&] { return Has(reader.GetOutput(), "appeared bench-a"); }, 15000)) {
        std::printf("| the owner or the reader did not start | | | | | | |\n\n");
        return;
    }
    {
        TestBed::EnterHost inside(floodNs);
        KspDescriptor fd(socket(AF_INET, SOCK_DGRAM, 0));
        SendHellos(fd.Get(), 0);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long idle = TestBed::RssKb(owner.GetPid());
    long peak = idle;
    const double cpuBefore = owner.GetCpuMs();
    const std::string heard = "heard QipSim bench-a";
    const size_t heardBefore = Lines(reader.GetErrors(), "qip-discover: " + heard);
    std::vector<std::unique_ptr<KspDescriptor>> silent;
    {
        TestBed::EnterHost inside(bed);
        for (int i = 0; i < 64; ++i) silent.emplace_back(new KspDescriptor(TestBed::ConnectToShareOwner()));
    }
    std::thread churn([&] {
        TestBed::EnterHost inside(bed);
        const auto start = std::chrono::steady_clock::now();
        for (int tick = 0; tick < 1000; ++tick) {
            for (int i = 0; i < 40; ++i) KspDescriptor fd(TestBed::ConnectToShareOwner());
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
        }
    });
    std::thread changes([&] {
        TestBed::EnterHost inside(floodNs);
        KspDescriptor fd(socket(AF_INET, SOCK_DGRAM, 0));
        for (int round = 1; round <= 2; ++round) SendHellos(fd.Get(), round);
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        peak = std::max(peak, TestBed::RssKb(owner.GetPid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    churn.join();
    changes.join();
    const bool reached = WaitFor([&] { return Lines(reader.GetErrors(), "qip-discover: " + heard) > heardBefore; }, 15000);
    const double cpu = owner.GetCpuMs() - cpuBefore;
    silent.clear();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const long after = TestBed::RssKb(owner.GetPid());
    std::printf("| %.1f MB | +%.1f MB | +%.1f MB | %s | %zu | %s | +32 MB peak, +8 MB after, a few lines |\n\n",
                idle / 1024.0, (peak - idle) / 1024.0, (after - idle) / 1024.0, Ms(cpu).c_str(),
                Lines(owner.GetErrors(), "Discovery port:"), reached ? "yes" : "no");
}
}  // namespace

void ShareFigure(const FigureOptions& options) {
    std::printf("### Programs sharing the discovery port\n\n");
    TestBed bed;
    const std::string deviceNs = bed.AddDevice({"192.0.2.20/24"});
    const std::string floodNs = bed.AddDevice({"192.0.2.40/24"});
    if (deviceNs.empty() || floodNs.empty() || bed.StartSimulator(deviceNs, {"--id", "bench-a", "--address", "192.0.2.20"}) <= 0) {
        std::printf("Skipped: the test bed or the simulated device did not start.\n\n");
        return;
    }
    const bool all = options.Wants("share");
    if (all || options.Wants("share-warm")) WarmStart(options, bed);
    if (all || options.Wants("share-handover")) Handover(options, bed);
    if (all || options.Wants("share-flood")) StoppedSubscriber(options, bed, floodNs);
    if (all || options.Wants("share-silent")) SilentSubscribers(bed, floodNs);
    std::printf("Measured with %s.\n\n", Load().c_str());
}
