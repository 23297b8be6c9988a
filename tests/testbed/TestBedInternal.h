#pragma once

// What the parts of the test bed (TestBed.cpp, TestBedProcess.cpp, TestBedRouter.cpp) share.

#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

inline const char* const cNetnsDirectory = "/var/run/netns/";

// The slots a dying test process still cleans up (see TestBed.cpp): a namespace it made,
// a child it started. Async-signal-safe to read; written only by the bed's thread.
int TestBedRegisterNamespace(const std::string& name);
void TestBedUnregisterNamespace(const std::string& name);
void TestBedRegisterChild(pid_t pid);
void TestBedUnregisterChild(pid_t pid);

inline std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

inline void NapMs(long ms) {
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

inline long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

