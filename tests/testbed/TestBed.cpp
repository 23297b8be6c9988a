#include "tests/testbed/TestBed.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#ifndef QIP_BIN_DIR
#error "QIP_BIN_DIR must name the directory of the project's programs"
#endif

namespace {

const char* const cNetnsDirectory = "/var/run/netns/";
const char* const cNamePrefix = "qtb-";

// What a dying test process must still remove. Written only by the bed's thread, read by
// signal handlers and atexit, so every slot is published through an atomic flag and the
// handlers use nothing but async-signal-safe calls.
const int cSlotCount = 256;
struct NamespaceSlot {
    std::atomic<bool> mUsed;
    char mPath[128];
};
NamespaceSlot gNamespaceSlots[cSlotCount];
std::atomic<pid_t> gChildSlots[cSlotCount];
std::atomic<int> gBedCounter{0};
std::once_flag gCleanupInstalled;
std::atomic<pid_t> gCleanupOwner{0};
struct sigaction gPreviousActions[NSIG];

void RemoveNamespaceFile(const char* path) {
    umount2(path, MNT_DETACH);
    unlink(path);
}

void EmergencyCleanup() {
    // A forked child that has not yet executed its program must not tear down the bed.
    if (getpid() != gCleanupOwner.load()) return;
    for (int i = 0; i < cSlotCount; ++i) {
        pid_t pid = gChildSlots[i].exchange(0);
        if (pid > 0) kill(pid, SIGKILL);
    }
    for (int i = 0; i < cSlotCount; ++i) {
        if (gNamespaceSlots[i].mUsed.exchange(false)) RemoveNamespaceFile(gNamespaceSlots[i].mPath);
    }
}

void OnFatalSignal(int signalNumber) {
    EmergencyCleanup();
    // Hand the signal on to whoever had it before (a sanitizer, or the default action).
    sigaction(signalNumber, &gPreviousActions[signalNumber], nullptr);
    raise(signalNumber);
}

void InstallCleanup() {
    std::call_once(gCleanupInstalled, [] {
        gCleanupOwner.store(getpid());
        std::atexit(EmergencyCleanup);
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS,
                                 SIGFPE, SIGILL}) {
            struct sigaction action {};
            action.sa_handler = OnFatalSignal;
            sigemptyset(&action.sa_mask);
            sigaction(signalNumber, &action, &gPreviousActions[signalNumber]);
        }
    });
}

int RegisterNamespace(const std::string& name) {
    std::string path = cNetnsDirectory + name;
    for (int i = 0; i < cSlotCount; ++i) {
        if (gNamespaceSlots[i].mUsed.load()) continue;
        std::snprintf(gNamespaceSlots[i].mPath, sizeof gNamespaceSlots[i].mPath, "%s", path.c_str());
        gNamespaceSlots[i].mUsed.store(true);
        return i;
    }
    return -1;
}

void UnregisterNamespace(const std::string& name) {
    std::string path = cNetnsDirectory + name;
    for (int i = 0; i < cSlotCount; ++i) {
        if (gNamespaceSlots[i].mUsed.load() && path == gNamespaceSlots[i].mPath)
            gNamespaceSlots[i].mUsed.store(false);
    }
}

void RegisterChild(pid_t pid) {
    for (int i = 0; i < cSlotCount; ++i) {
        pid_t expected = 0;
        if (gChildSlots[i].compare_exchange_strong(expected, pid)) return;
    }
}

void UnregisterChild(pid_t pid) {
    for (int i = 0; i < cSlotCount; ++i) {
        pid_t expected = pid;
        gChildSlots[i].compare_exchange_strong(expected, 0);
    }
}

// Namespaces named after a test process that no longer runs are leftovers of a crash or a
// kill; beds of other live processes (parallel ctest jobs) are left alone. Before this
// process has built a bed, names carrying its own pid are leftovers of an earlier holder.
int RemoveDeadOwners(bool includeOwnPid) {
    DIR* directory = opendir(cNetnsDirectory);
    if (directory == nullptr) return 0;
    int removed = 0;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name.compare(0, std::strlen(cNamePrefix), cNamePrefix) != 0) continue;
        pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + std::strlen(cNamePrefix)));
        if (owner <= 0) continue;
        bool dead = owner == getpid() ? includeOwnPid : kill(owner, 0) != 0 && errno == ESRCH;
        if (!dead) continue;
        RemoveNamespaceFile((cNetnsDirectory + name).c_str());
        ++removed;
    }
    closedir(directory);
    return removed;
}

const char* FindIp() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return nullptr;
}

std::string ResolveProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::string local = TestBed::BinaryPath(name);
    if (access(local.c_str(), X_OK) == 0) return local;
    return name;
}

bool ParseCidr(const std::string& cidr, uint32_t* address, uint32_t* mask) {
    size_t slash = cidr.find('/');
    if (slash == std::string::npos) return false;
    in_addr parsed{};
    if (inet_aton(cidr.substr(0, slash).c_str(), &parsed) == 0) return false;
    int bits = std::atoi(cidr.c_str() + slash + 1);
    if (bits < 0 || bits > 32) return false;
    *address = ntohl(parsed.s_addr);
    *mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    return true;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

void NapMs(long ms) {
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
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

bool TestBed::IsCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

std::string TestBed::BinaryPath(const std::string& name) { return std::string(QIP_BIN_DIR) + "/" + name; }

int TestBed::RemoveStaleNamespaces() { return RemoveDeadOwners(false); }

bool TestBed::IsAvailable(std::string* reason) {
    static int known = -1;
    static std::string knownReason;
    if (known < 0) {
        if (geteuid() != 0) {
            knownReason = "not running as root; network namespaces need CAP_SYS_ADMIN";
        } else if (FindIp() == nullptr) {
            knownReason = "the ip program (Debian package iproute2) is missing";
        } else {
            pid_t probe = fork();
            if (probe == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
            int status = 0;
            if (probe < 0 || waitpid(probe, &status, 0) != probe || !WIFEXITED(status) ||
                WEXITSTATUS(status) != 0)
                knownReason = "this machine refuses to create network namespaces";
        }
        known = knownReason.empty() ? 1 : 0;
    }
    if (reason != nullptr) *reason = knownReason;
    return known == 1;
}

TestBed::TestBed() : mIsReady(false) {
    std::string reason;
    if (!IsAvailable(&reason)) {
        ADD_FAILURE() << "test bed unavailable: " << reason;
        return;
    }
    InstallCleanup();
    static std::once_flag firstBed;
    std::call_once(firstBed, [] { RemoveDeadOwners(true); });
    mPrefix = cNamePrefix + std::to_string(getpid()) + "-" + std::to_string(++gBedCounter) + "-";
    mHostNamespace = mPrefix + "h";

    char logTemplate[] = "/tmp/qtb-log-XXXXXX";
    if (mkdtemp(logTemplate) == nullptr) {
        ADD_FAILURE() << "mkdtemp() failed: " << std::strerror(errno);
        return;
    }
    mLogDirectory = logTemplate;

    RegisterNamespace(mHostNamespace);
    mHostCidrs.push_back(cHostCidr);
    mIsReady = Ip({"netns", "add", mHostNamespace}) &&
               Ip({"-n", mHostNamespace, "link", "set", "lo", "up"}) &&
               Ip({"-n", mHostNamespace, "link", "add", "br0", "type", "bridge", "forward_delay", "0"}) &&
               Ip({"-n", mHostNamespace, "addr", "add", cHostCidr, "dev", "br0"}) &&
               Ip({"-n", mHostNamespace, "link", "set", "br0", "up"});
}

TestBed::~TestBed() { RemoveEverything(); }

void TestBed::RemoveEverything() {
    while (!mChildren.empty()) Stop(mChildren.back().mPid, 2000);
    for (const std::string& name : mDeviceNamespaces) {
        Ip({"netns", "del", name});
        UnregisterNamespace(name);
    }
    mDeviceNamespaces.clear();
    if (!mHostNamespace.empty()) {
        Ip({"netns", "del", mHostNamespace});
        UnregisterNamespace(mHostNamespace);
    }
    if (!mLogDirectory.empty()) {
        if (DIR* directory = opendir(mLogDirectory.c_str())) {
            while (dirent* entry = readdir(directory)) {
                if (entry->d_name[0] != '.') unlink((mLogDirectory + "/" + entry->d_name).c_str());
            }
            closedir(directory);
        }
        rmdir(mLogDirectory.c_str());
    }
    mIsReady = false;
}

bool TestBed::Ip(const std::vector<std::string>& args) {
    std::vector<std::string> argv{FindIp()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    int status = Run("", argv, &output, cDefaultTimeoutMs);
    if (status == 0) return true;
    ADD_FAILURE() << "ip " << Joined(args) << " failed (" << status << "): " << output;
    return false;
}

bool TestBed::IsInHostSubnet(const std::string& cidr) const {
    uint32_t address = 0, mask = 0;
    if (!ParseCidr(cidr, &address, &mask)) return false;
    for (const std::string& host : mHostCidrs) {
        uint32_t hostAddress = 0, hostMask = 0;
        if (ParseCidr(host, &hostAddress, &hostMask) && (address & hostMask) == (hostAddress & hostMask))
            return true;
    }
    return false;
}

bool TestBed::AddHostAddress(const std::string& cidr) {
    uint32_t address = 0, mask = 0;
    if (!mIsReady || !ParseCidr(cidr, &address, &mask)) {
        ADD_FAILURE() << "cannot add host address " << cidr;
        return false;
    }
    if (!Ip({"-n", mHostNamespace, "addr", "add", cidr, "dev", "br0"})) return false;
    mHostCidrs.push_back(cidr);
    return true;
}

std::string TestBed::AddDevice(const std::vector<std::string>& cidrAddresses) {
    uint32_t address = 0, mask = 0;
    for (const std::string& cidr : cidrAddresses) {
        if (!ParseCidr(cidr, &address, &mask)) {
            ADD_FAILURE() << "not an address in CIDR form: " << cidr;
            return "";
        }
    }
    if (!mIsReady || cidrAddresses.empty()) {
        ADD_FAILURE() << "AddDevice needs a ready bed and at least one address";
        return "";
    }
    std::string number = std::to_string(mDeviceNamespaces.size() + 1);
    std::string name = mPrefix + "d" + number;
    std::string hostEnd = "vd" + number;
    RegisterNamespace(name);
    mDeviceNamespaces.push_back(name);
    if (!Ip({"netns", "add", name}) || !Ip({"-n", name, "link", "set", "lo", "up"}) ||
        !Ip({"-n", mHostNamespace, "link", "add", hostEnd, "type", "veth", "peer", "name", "eth0",
             "netns", name}) ||
        !Ip({"-n", mHostNamespace, "link", "set", hostEnd, "master", "br0", "up"}))
        return "";
    uint32_t hostAddress = 0, hostMask = 0;
    ParseCidr(cHostCidr, &hostAddress, &hostMask);
    bool inMainHostSubnet = false;
    for (const std::string& cidr : cidrAddresses) {
        if (!Ip({"-n", name, "addr", "add", cidr, "dev", "eth0"})) return "";
        ParseCidr(cidr, &address, &mask);
        inMainHostSubnet = inMainHostSubnet || (address & hostMask) == (hostAddress & hostMask);
        if (!IsInHostSubnet(cidr) &&
            !Ip({"-n", mHostNamespace, "route", "add", cidr.substr(0, cidr.find('/')) + "/32", "dev", "br0"}))
            return "";
    }
    if (!Ip({"-n", name, "link", "set", "eth0", "up"})) return "";
    if (!inMainHostSubnet) {
        std::string first = cidrAddresses[0].substr(0, cidrAddresses[0].find('/'));
        if (!Ip({"-n", name, "route", "add", cHostSubnet, "dev", "eth0", "src", first}) ||
            !Ip({"-n", name, "route", "add", "broadcast", cHostBroadcast, "dev", "eth0", "table",
                 "local", "src", first}))
            return "";
    }
    return name;
}

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
    RegisterChild(pid);
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
            UnregisterChild(pid);
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
    UnregisterChild(pid);
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
    RegisterChild(pid);
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
    UnregisterChild(pid);
    if (output != nullptr) *output = outText;
    if (errors != nullptr) *errors = errText;
    return timedOut || status < 0 ? -1 : DecodeStatus(status);
}

TestBed::EnterHost::EnterHost(const TestBed& bed) : EnterHost(bed.GetHostNamespace()) {}

TestBed::EnterHost::EnterHost(const std::string& namespaceName)
    : mOriginalNamespace(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)), mIsEntered(false) {
    int target = open((cNetnsDirectory + namespaceName).c_str(), O_RDONLY | O_CLOEXEC);
    if (mOriginalNamespace < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
        ADD_FAILURE() << "cannot enter namespace " << namespaceName << ": " << std::strerror(errno);
    } else {
        mIsEntered = true;
    }
    if (target >= 0) close(target);
}

TestBed::EnterHost::~EnterHost() {
    if (mIsEntered && setns(mOriginalNamespace, CLONE_NEWNET) != 0)
        ADD_FAILURE() << "cannot return to the original namespace: " << std::strerror(errno);
    if (mOriginalNamespace >= 0) close(mOriginalNamespace);
}
