// Running programs inside the bed's namespaces.
#include "tests/testbed/TestBed.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/testbed/TestBedInternal.h"

namespace {

std::string ResolveProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::string local = TestBed::BinaryPath(name);
    if (access(local.c_str(), X_OK) == 0) return local;
    return name;
}

// Forks a child that enters `namespaceName` (none when empty) and executes argv with the
// given descriptors as standard output and error. Everything the child needs is prepared
// before fork, because the parent may run other threads.
pid_t Spawn(const std::string& namespaceName, const std::vector<std::string>& argv, int outFd,
            int errFd, std::string* failure) {
    if (argv.empty()) {
        *failure = "no program given";
        return -1;
    }
    int namespaceFd = -1;
    if (!namespaceName.empty()) {
        namespaceFd = open((cNetnsDirectory + namespaceName).c_str(), O_RDONLY | O_CLOEXEC);
        if (namespaceFd < 0) {
            *failure = "cannot open namespace " + namespaceName + ": " + std::strerror(errno);
            return -1;
        }
    }
    std::string program = ResolveProgram(argv[0]);
    std::vector<char*> arguments;
    for (const std::string& word : argv) arguments.push_back(const_cast<char*>(word.c_str()));
    arguments.push_back(nullptr);
    int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const char cSetnsFailed[] = "test bed: setns() failed\n";
    const char cExecFailed[] = "test bed: exec failed\n";

    // Signals stay blocked across fork until the child has dropped the parent's handlers.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t pid = fork();
    if (pid == 0) {
        for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) signal(signalNumber, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, 0);
        if (nullFd >= 0) dup2(nullFd, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        if (namespaceFd >= 0 && setns(namespaceFd, CLONE_NEWNET) != 0) {
            (void)!write(STDERR_FILENO, cSetnsFailed, sizeof cSetnsFailed - 1);
            _exit(127);
        }
        if (program.find('/') != std::string::npos)
            execv(program.c_str(), arguments.data());
        else
            execvp(program.c_str(), arguments.data());
        (void)!write(STDERR_FILENO, cExecFailed, sizeof cExecFailed - 1);
        _exit(127);
    }
    int forkErrno = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (namespaceFd >= 0) close(namespaceFd);
    if (nullFd >= 0) close(nullFd);
    if (pid < 0) *failure = std::string("fork() failed: ") + std::strerror(forkErrno);
    return pid;
}

// Waits for `pid` until `deadlineMs` (steady clock); true and its status when it ended.
bool WaitUntil(pid_t pid, long long deadlineMs, int* status) {
    while (true) {
        pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) {
            *status = -1;
            return true;
        }
        if (NowMs() >= deadlineMs) return false;
        NapMs(10);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

pid_t TestBed::Start(const std::string& namespaceName, const std::vector<std::string>& argv) {
    if (argv.empty() || mLogDirectory.empty()) {
        ADD_FAILURE() << "Start needs a program and a ready bed";
        return -1;
    }
    std::string base = argv[0].substr(argv[0].rfind('/') + 1);
    std::string logPath = mLogDirectory + "/" + std::to_string(mChildren.size() + 1) + "-" +
                          std::to_string(NowMs()) + "-" + base + ".log";
    int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (logFd < 0) {
        ADD_FAILURE() << "cannot create " << logPath << ": " << std::strerror(errno);
        return -1;
    }
    std::string failure;
    pid_t pid = Spawn(namespaceName, argv, logFd, logFd, &failure);
    close(logFd);
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << Joined(argv) << ": " << failure;
        return -1;
    }
    TestBedRegisterChild(pid);
    mChildren.push_back(Child{pid, logPath, Joined(argv) + " in " + namespaceName});
    return pid;
}

pid_t TestBed::StartSimulator(const std::string& namespaceName, const std::vector<std::string>& args) {
    std::vector<std::string> argv{BinaryPath("qip-device-sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = Start(namespaceName, argv);
    if (pid < 0) return -1;
    long long deadline = NowMs() + 10000;
    while (true) {
        std::string output = GetOutput(pid);
        if (output.compare(0, 6, "ready\n") == 0 || output.find("\nready\n") != std::string::npos)
            return pid;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid || NowMs() >= deadline) {
            ADD_FAILURE() << "simulator did not become ready: " << Joined(argv) << "\n" << output;
            if (!WIFEXITED(status) && !WIFSIGNALED(status)) Stop(pid, 1000);
            for (size_t i = 0; i < mChildren.size(); ++i) {
                if (mChildren[i].mPid == pid) mChildren.erase(mChildren.begin() + i);
            }
            TestBedUnregisterChild(pid);
            return -1;
        }
        NapMs(10);
    }
}

std::string TestBed::GetOutput(pid_t pid) const {
    for (const Child& child : mChildren) {
        if (child.mPid == pid) return ReadFile(child.mLogPath);
    }
    return "";
}

int TestBed::Stop(pid_t pid, int timeoutMs) {
    size_t index = 0;
    while (index < mChildren.size() && mChildren[index].mPid != pid) ++index;
    if (index == mChildren.size()) return -1;
    int status = 0;
    kill(pid, SIGTERM);
    if (!WaitUntil(pid, NowMs() + timeoutMs, &status)) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "---- output of %s ----\n%s---- end ----\n", mChildren[index].mName.c_str(),
                     ReadFile(mChildren[index].mLogPath).c_str());
    }
    unlink(mChildren[index].mLogPath.c_str());
    mChildren.erase(mChildren.begin() + index);
    TestBedUnregisterChild(pid);
    return status < 0 ? -1 : DecodeStatus(status);
}

int TestBed::Run(const std::string& namespaceName, const std::vector<std::string>& argv,
                 std::string* output, int timeoutMs, std::string* errors) {
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || (errors != nullptr && pipe2(errPipe, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "pipe2() failed: " << std::strerror(errno);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) if (fd >= 0) close(fd);
        return -1;
    }
    std::string failure;
    pid_t pid = Spawn(namespaceName, argv, outPipe[1], errors != nullptr ? errPipe[1] : outPipe[1], &failure);
    close(outPipe[1]);
    if (errPipe[1] >= 0) close(errPipe[1]);
    std::string outText, errText;
    if (pid < 0) {
        ADD_FAILURE() << "cannot run " << Joined(argv) << ": " << failure;
        close(outPipe[0]);
        if (errPipe[0] >= 0) close(errPipe[0]);
        return -1;
    }
    TestBedRegisterChild(pid);
    long long deadline = NowMs() + timeoutMs;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&outText, &errText};
    int status = 0;
    bool ended = false, timedOut = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(left < 50 ? left : 50));
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        // A grandchild may keep the pipes open after the program itself has ended.
        if (ready == 0 && !ended && waitpid(pid, &status, WNOHANG) == pid) ended = true;
        if (ended && ready == 0) break;
    }
    for (pollfd& fd : fds) if (fd.fd >= 0) close(fd.fd);
    if (!ended && !timedOut) ended = WaitUntil(pid, deadline, &status);
    if (!ended) {
        timedOut = true;
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    TestBedUnregisterChild(pid);
    if (output != nullptr) *output = outText;
    if (errors != nullptr) *errors = errText;
    return timedOut || status < 0 ? -1 : DecodeStatus(status);
}

long TestBed::RssKb(pid_t pid) {
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

int TestBed::ConnectToShareOwner() {
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
