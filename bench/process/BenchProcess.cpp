#include "bench/process/BenchProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

long long ClockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

double RusageMs(const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

}  // namespace

BenchProcess::BenchProcess(const std::string& namespaceName, const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment)
    : mNamespace(namespaceName), mArgv(argv), mEnvironment(environment) {}

BenchProcess::~BenchProcess() {
    if (mPid > 0 && !mHasEnded) {
        kill(mPid, SIGKILL);
        Wait(5000);
    }
    if (mPidFd >= 0) close(mPidFd);
    if (!mDirectory.empty()) {
        unlink((mDirectory + "/out").c_str());
        unlink((mDirectory + "/err").c_str());
        rmdir(mDirectory.c_str());
    }
}

bool BenchProcess::Start() {
    if (mArgv.empty() || mPid > 0) return false;
    char pattern[] = "/tmp/qip-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp() failed");
        return false;
    }
    mDirectory = pattern;
    int out = open((mDirectory + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open((mDirectory + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int space = mNamespace.empty() ? -1 : open(("/var/run/netns/" + mNamespace).c_str(), O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0 || (!mNamespace.empty() && space < 0)) {
        std::fprintf(stderr, "open() failed for the output of %s: %s\n", mArgv[0].c_str(), std::strerror(errno));
        for (int fd : {out, err, in, space}) if (fd >= 0) close(fd);
        return false;
    }
    // Everything the child touches is built before the fork: the parent may run threads.
    std::vector<char*> arguments;
    for (const std::string& word : mArgv) arguments.push_back(const_cast<char*>(word.c_str()));
    arguments.push_back(nullptr);
    std::vector<char*> variables;
    for (const std::string& word : mEnvironment) variables.push_back(const_cast<char*>(word.c_str()));
    variables.push_back(nullptr);
    char* const* env = mEnvironment.empty() ? environ : variables.data();
    const bool hasSlash = mArgv[0].find('/') != std::string::npos;

    mStartRealtimeNs = ClockNs(CLOCK_REALTIME);
    mStartNs = ClockNs(CLOCK_MONOTONIC);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, 0);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (space >= 0 && setns(space, CLONE_NEWNET) != 0) _exit(126);
        if (hasSlash) execve(arguments[0], arguments.data(), env);
        else execvpe(arguments[0], arguments.data(), env);
        _exit(127);
    }
    int forkErrno = errno;
    for (int fd : {out, err, in, space}) if (fd >= 0) close(fd);
    if (pid < 0) {
        std::fprintf(stderr, "fork() failed: %s\n", std::strerror(forkErrno));
        return false;
    }
    mPid = pid;
    mPidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (mPidFd < 0) std::perror("pidfd_open() failed");
    return true;
}

bool BenchProcess::Wait(int timeoutMs) {
    if (mPid <= 0) return false;
    if (mHasEnded) return true;
    const long long deadline = ClockNs(CLOCK_MONOTONIC) + timeoutMs * 1000000LL;
    while (true) {
        long long leftMs = (deadline - ClockNs(CLOCK_MONOTONIC)) / 1000000;
        if (mPidFd >= 0) {
            pollfd ended{mPidFd, POLLIN, 0};
            int ready = poll(&ended, 1, static_cast<int>(leftMs > 0 ? leftMs : 0));
            if (ready < 0 && errno == EINTR) continue;
        } else if (leftMs > 0) {
            usleep(1000);
        }
        int status = 0;
        rusage usage{};
        pid_t done = wait4(mPid, &status, WNOHANG, &usage);
        if (done == mPid) {
            mEndNs = ClockNs(CLOCK_MONOTONIC);
            mHasEnded = true;
            mCpuMs = RusageMs(usage);
            mPeakRssKb = usage.ru_maxrss;
            mExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
            return true;
        }
        if (done < 0 && errno != EINTR) {
            std::perror("wait4() failed");
            mHasEnded = true;
            return true;
        }
        if (leftMs <= 0) return false;
    }
}

void BenchProcess::Signal(int signalNumber) {
    if (mPid > 0 && !mHasEnded) kill(mPid, signalNumber);
}

double BenchProcess::GetWallMs() const {
    long long end = mHasEnded ? mEndNs : ClockNs(CLOCK_MONOTONIC);
    return (end - mStartNs) / 1e6;
}

double BenchProcess::GetCpuMs() const {
    if (mHasEnded || mPid <= 0) return mCpuMs;
    // Fields 14 and 15 of /proc/<pid>/stat, after the parenthesised command name.
    std::string stat = ReadFile("/proc/" + std::to_string(mPid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index >= 14) ticks += std::strtoull(field.c_str(), nullptr, 10);
    }
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string BenchProcess::GetOutput() const { return mDirectory.empty() ? "" : ReadFile(mDirectory + "/out"); }

std::string BenchProcess::GetErrors() const { return mDirectory.empty() ? "" : ReadFile(mDirectory + "/err"); }
