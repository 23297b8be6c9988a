// qip-live-list: runs discovery and prints the device list every time it changes, until
// interrupted (Ctrl-C) or, with a number of seconds as its argument, until that time is up.
// Device texts are shown the way qip-discover shows them, so a device cannot drive the
// terminal.

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/QipOptionParser.h"
#include "cli/QipOptionValue.h"
#include "cli/QipProgramOutput.h"
#include "ksp/KspClock.h"
#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "tools/discover/QipDiscoverFormat.h"

namespace {

// A year: long enough for any watch, and far from overflowing the clock's arithmetic.
const long cMaxSeconds = 365L * 24 * 60 * 60;

const char cUsage[] =
    "Usage: qip-live-list [OPTION]... [SECONDS]\n"
    "Runs QIP discovery on every IPv4 network of this machine and prints the whole device\n"
    "list at start and at each change, until interrupted (Ctrl-C, SIGTERM) or, when SECONDS\n"
    "(a whole number from 1 to 31536000) is given, until that time is up.\n"
    "\n"
    "  -h, --help      show this text and exit\n"
    "  -V, --version   show the version and exit\n"
    "  --              end of options\n"
    "\n"
    "Exit status: 0 when the time is up or the program was interrupted (SIGINT,\n"
    "SIGTERM), 1 when the list could not be written, 2 on a usage error.\n"
    "\n"
    "Environment: TZ, the time zone of the times shown.\n";

// The program has no options beyond the shared -h/--help and -V/--version.
class NoOptions : public QipOptionParser::Handler {
public:
    bool OnOption(int, const std::string&, std::string&) override { return true; }
};

std::string Shown(const std::string& deviceText) {
    return QipDiscoverFormat::TerminalText(deviceText);
}

// Turns the list's announcements and the end signal into one wake-up the main thread waits
// for. The list's own condition forgets signals nobody waits for; this one keeps a flag.
class ChangeWaiter : public QipDeviceList::ChangeHandler {
public:
    void OnChange() override {
        std::lock_guard<std::mutex> guard(mLock);
        mChanged = true;
        mWake.notify_all();
    }
    void RequestEnd() {
        std::lock_guard<std::mutex> guard(mLock);
        mEnd = true;
        mWake.notify_all();
    }
    // True when the list changed; false when it is time to end.
    bool Wait(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> guard(mLock);
        mWake.wait_until(guard, deadline, [&] { return mChanged || mEnd; });
        const bool changed = mChanged && !mEnd && std::chrono::steady_clock::now() < deadline;
        mChanged = false;
        return changed;
    }

private:
    std::mutex mLock;  // guards mChanged and mEnd
    std::condition_variable mWake;
    bool mChanged = false;
    bool mEnd = false;
};

// False when the list could not be written (already reported).
bool Print(const QipProgramOutput& output, const std::vector<QipDevice>& devices) {
    const time_t now = time(nullptr);
    // The age on the clock the list ages by, so that a step of the wall clock leaves it true.
    const time_t monotonicNow = KspMonotonicSeconds();
    char stamp[32];
    strftime(stamp, sizeof stamp, "%H:%M:%S", localtime(&now));
    printf("%s  %zu device%s\n", stamp, devices.size(), devices.size() == 1 ? "" : "s");
    for (const QipDevice& device : devices) {
        printf("  %-12s %-20s from %-15s  (states %s/%s)  packet %s  last answer %lds ago\n",
               Shown(device.GetDeviceType()).c_str(), Shown(device.GetDeviceId()).c_str(),
               device.GetLastSourceAddress().c_str(), Shown(device.GetIpAddress()).c_str(),
               Shown(device.GetNetmask()).c_str(), Shown(device.GetPacketId()).c_str(),
               static_cast<long>(monotonicNow - device.GetLastResponseMonotonic()));
    }
    return output.Flush();
}

}  // namespace

int main(int argc, char** argv) {
    const QipProgramOutput output("qip-live-list");
    NoOptions noOptions;
    std::vector<std::string> operands;
    std::string error;
    const QipOptionParser::Outcome outcome =
        QipOptionParser("qip-live-list", {}).Parse(argc, argv, noOptions, operands, error);
    if (outcome != QipOptionParser::Outcome::cRun) return output.Conclude(outcome, cUsage, error, 1);
    long long seconds = 0;
    if (operands.size() > 1) return output.UsageError("unexpected argument '" + operands[1] + "'");
    if (!operands.empty() && !QipOptionValue::ParseWhole(operands[0], 1, cMaxSeconds, seconds)) {
        return output.UsageError("SECONDS must be a whole number from 1 to " +
                                 std::to_string(cMaxSeconds) + ", not '" + operands[0] + "'");
    }
    const auto deadline = seconds > 0 ? std::chrono::steady_clock::now() +
                                            std::chrono::seconds(seconds)
                                      : std::chrono::steady_clock::time_point::max();

    // Blocked before any thread starts, so every thread inherits the mask and only the
    // signal thread below ever receives them.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    ChangeWaiter waiter;
    std::thread signalThread([&] {
        int received = 0;
        sigwait(&endSignals, &received);
        waiter.RequestEnd();
    });

    auto client = std::make_unique<QipClient>();
    if (!client->IsSocketOpen()) {
        fprintf(stderr, "UDP port %u could not be opened; no device will be found\n",
                QipClient::cPort);
    }
    auto list = std::make_unique<QipDeviceList>(client.get());
    list->SetChangeHandler(&waiter);

    bool written = Print(output, list->Snapshot());
    while (written && waiter.Wait(deadline)) {
        written = Print(output, list->Snapshot());
    }

    // The client goes first, so that no hello can reach a list being destroyed.
    client.reset();
    list.reset();
    // Wake the signal thread if the time ran out rather than a signal arriving.
    kill(getpid(), SIGTERM);
    signalThread.join();
    return written ? 0 : 1;
}
