#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ksp/KspThread.h"
#include "ksp/KspThreadCondition.h"

namespace {

using Clock = std::chrono::steady_clock;

// Pauses in a loop, so that only an interruptible pause lets it stop promptly.
class PausingThread : public KspThread {
public:
    void Run() override
    {
        while (IsThreadRunning()) {
            Pause(60000);
        }
    }
    bool PauseFor(unsigned long milliseconds) { return Pause(milliseconds); }
    std::atomic<int> mStopRequests{0};

protected:
    void OnStopRequested() override { ++mStopRequests; }
};

}  // namespace

TEST(KspThreadCondition, DeadlineCarriesWholeSecondsOutOfTheNanoseconds)
{
    timespec deadline = KspThreadCondition::MakeDeadline(1500, timeval{1000, 600000});
    EXPECT_EQ(deadline.tv_sec, 1002);
    EXPECT_EQ(deadline.tv_nsec, 100000000);
    deadline = KspThreadCondition::MakeDeadline(999, timeval{1000, 999999});
    EXPECT_EQ(deadline.tv_sec, 1001);
    EXPECT_EQ(deadline.tv_nsec, 998999000);
}

TEST(KspThreadCondition, TimedWaitEndsFalseAtTheDeadlineAndTrueWhenSignalled)
{
    KspThreadCondition condition;
    EXPECT_FALSE(condition.Wait(0));
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(condition.Wait(100));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(99));

    // Signals until the waiter has returned, since a signal before its wait is lost.
    std::atomic<bool> isDone{false};
    bool wasWoken = false;
    std::thread waiter([&] {
        wasWoken = condition.Wait(15000);
        isDone = true;
    });
    while (!isDone) {
        condition.Signal();
        std::this_thread::yield();
    }
    waiter.join();
    EXPECT_TRUE(wasWoken);
}

TEST(KspThread, PauseLastsItsTimeUnlessStopEndsItAndStopTellsTheSubclassOnce)
{
    PausingThread thread;
    ASSERT_EQ(thread.Start(), 0);
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(thread.PauseFor(100));  // a pause on the test thread, with nobody stopping
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));

    start = Clock::now();
    thread.Stop();
    EXPECT_FALSE(thread.IsThreadRunning());
    EXPECT_EQ(thread.WaitForCompletion(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));  // not the worker's 60 s
    EXPECT_EQ(thread.mStopRequests, 1);
    EXPECT_FALSE(thread.PauseFor(60000));
}

// Counts the long pauses that end while it is still running.
class WakeCountingThread : public KspThread {
public:
    std::atomic<int> mWakes{0};
    void Run() override
    {
        while (Pause(60000)) {
            ++mWakes;
        }
    }
};

bool WaitForWakes(const WakeCountingThread& thread, int wakes)
{
    for (int i = 0; i < 1500 && thread.mWakes.load() < wakes; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return thread.mWakes.load() == wakes;
}

TEST(KspThread, WakeEndsAPauseEarlyAndKeepsTheThreadRunning)
{
    WakeCountingThread thread;
    ASSERT_EQ(thread.Start(), 0);
    thread.Wake();
    EXPECT_TRUE(WaitForWakes(thread, 1));  // not the 60 s pause
    thread.Wake();
    EXPECT_TRUE(WaitForWakes(thread, 2));
    EXPECT_TRUE(thread.IsThreadRunning());
    thread.Stop();
    EXPECT_EQ(thread.WaitForCompletion(), 0);
    EXPECT_EQ(thread.mWakes.load(), 2);  // a stop is no wake
}

TEST(KspThread, FailedOrMissingStartLeavesNothingToStopAndReportsTheError)
{
    PausingThread never;
    never.Stop();
    EXPECT_EQ(never.WaitForCompletion(), 0);
    EXPECT_EQ(never.mStopRequests, 0);

    // An impossible default stack makes thread creation fail without touching limits.
    pthread_attr_t saved;
    pthread_attr_t huge;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, size_t(1) << 46);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    PausingThread failed;
    testing::internal::CaptureStderr();
    const int result = failed.Start();
    const std::string errors = testing::internal::GetCapturedStderr();
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);

    ASSERT_NE(result, 0);
    EXPECT_EQ(errors, std::string("pthread_create() failed: ") + strerror(result) + "\n");
    failed.Stop();
    EXPECT_EQ(failed.mStopRequests, 0);
    EXPECT_EQ(failed.WaitForCompletion(), 0);
}
