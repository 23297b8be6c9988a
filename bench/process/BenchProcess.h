#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// One program run in a network namespace of the test bed, timed from just before it is
// forked to the moment it ends (seen through a pidfd, not by polling), with the CPU time
// the kernel accounted to it and its output in files. The figures need that precision;
// TestBed::Run reaps in steps of 10 ms and reports no CPU time.
//
// Used by one thread. The destructor kills (SIGKILL) and reaps a program still running and
// removes the output files. Failures are one line on standard error and a false result.
class BenchProcess {
public:
    // `environment` empty: the program inherits this process's environment. argv[0] is run
    // as given when it holds a "/", else looked up on PATH.
    BenchProcess(const std::string& namespaceName, const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment = {});
    BenchProcess(const BenchProcess&) = delete;
    BenchProcess& operator=(const BenchProcess&) = delete;
    ~BenchProcess();

    bool Start();
    // Waits until the program ended or `timeoutMs` passed; true when it ended.
    bool Wait(int timeoutMs);
    // Sends a signal to the program while it runs.
    void Signal(int signalNumber);
    bool HasEnded() const { return mHasEnded; }

    // Valid once it ended: exit code, or 128 + the signal that ended it.
    int GetExitStatus() const { return mExitStatus; }
    // Fork to end, in milliseconds; while it runs, fork to now.
    double GetWallMs() const;
    // User plus system CPU time, in milliseconds: from the kernel's accounting once it
    // ended, from /proc/<pid>/stat while it runs.
    double GetCpuMs() const;
    // The largest resident set it had, in kilobytes, once it ended (0 before).
    long GetPeakRssKb() const { return mPeakRssKb; }
    // CLOCK_REALTIME in nanoseconds just before the fork, for stamps written by helpers.
    long long GetStartRealtimeNs() const { return mStartRealtimeNs; }
    pid_t GetPid() const { return mPid; }
    std::string GetOutput() const;  // standard output so far
    std::string GetErrors() const;  // standard error so far

private:
    std::string mNamespace;
    std::vector<std::string> mArgv;
    std::vector<std::string> mEnvironment;
    std::string mDirectory;      // holds the output files
    pid_t mPid = -1;
    int mPidFd = -1;
    bool mHasEnded = false;
    int mExitStatus = -1;
    long long mStartNs = 0;      // CLOCK_MONOTONIC
    long long mEndNs = 0;
    long long mStartRealtimeNs = 0;
    double mCpuMs = 0;
    long mPeakRssKb = 0;
};
