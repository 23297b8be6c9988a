#include "tests/testbed/TestBed.h"
#include "tests/testbed/TestBedInternal.h"
#include "tests/testbed/TestStateHome.h"

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

}  // namespace

int TestBedRegisterNamespace(const std::string& name) {
    std::string path = cNetnsDirectory + name;
    for (int i = 0; i < cSlotCount; ++i) {
        if (gNamespaceSlots[i].mUsed.load()) continue;
        std::snprintf(gNamespaceSlots[i].mPath, sizeof gNamespaceSlots[i].mPath, "%s", path.c_str());
        gNamespaceSlots[i].mUsed.store(true);
        return i;
    }
    return -1;
}

void TestBedUnregisterNamespace(const std::string& name) {
    std::string path = cNetnsDirectory + name;
    for (int i = 0; i < cSlotCount; ++i) {
        if (gNamespaceSlots[i].mUsed.load() && path == gNamespaceSlots[i].mPath)
            gNamespaceSlots[i].mUsed.store(false);
    }
}

void TestBedRegisterChild(pid_t pid) {
    for (int i = 0; i < cSlotCount; ++i) {
        pid_t expected = 0;
        if (gChildSlots[i].compare_exchange_strong(expected, pid)) return;
    }
}

void TestBedUnregisterChild(pid_t pid) {
    for (int i = 0; i < cSlotCount; ++i) {
        pid_t expected = pid;
        gChildSlots[i].compare_exchange_strong(expected, 0);
    }
}

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

    TestBedRegisterNamespace(mHostNamespace);
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
        TestBedUnregisterNamespace(name);
    }
    mDeviceNamespaces.clear();
    if (!mHostNamespace.empty()) {
        Ip({"netns", "del", mHostNamespace});
        TestBedUnregisterNamespace(mHostNamespace);
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
    TestBedRegisterNamespace(name);
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
