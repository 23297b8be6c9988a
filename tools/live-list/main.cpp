// qip-live-list: runs discovery and prints the device list every time it changes, until
// interrupted (Ctrl-C) or, with a number of seconds as its argument, until that time is up.

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
#include <thread>
#include <vector>

#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"

namespace {

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

void Print(const std::vector<QipDevice>& devices) {
    const time_t now = time(nullptr);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%H:%M:%S", localtime(&now));
    printf("%s  %zu device%s\n", stamp, devices.size(), devices.size() == 1 ? "" : "s");
    for (const QipDevice& device : devices) {
        printf("  %-12s %-20s from %-15s  (states %s/%s)  packet %s  last answer %lds ago\n",
               device.GetDeviceType().c_str(), device.GetDeviceId().c_str(),
               device.GetLastSourceAddress().c_str(), device.GetIpAddress().c_str(),
               device.GetNetmask().c_str(), device.GetPacketId().c_str(),
               static_cast<long>(now - device.GetLastResponseTime()));
    }
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    long seconds = 0;
    if (argc > 2 || (argc == 2 && (seconds = strtol(argv[1], nullptr, 10)) <= 0)) {
        fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
        return 2;
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

    Print(list->Snapshot());
    while (waiter.Wait(deadline)) {
        Print(list->Snapshot());
    }

    // The client goes first, so that no hello can reach a list being destroyed.
    client.reset();
    list.reset();
    // Wake the signal thread if the time ran out rather than a signal arriving.
    kill(getpid(), SIGTERM);
    signalThread.join();
    return 0;
}
