#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

// First statement of a test that needs network namespaces. Skips the test with the reason
// when the machine cannot host them (not root, no `ip`, namespaces refused), except under
// CI=true, where the same reason fails the test: a CI run must never pass by skipping.
#define QIP_REQUIRE_TESTBED()                                                 \
    do {                                                                      \
        std::string qipTestBedReason_;                                        \
        if (!TestBed::IsAvailable(&qipTestBedReason_)) {                      \
            if (TestBed::IsCi()) {                                            \
                FAIL() << "test bed required under CI=true: " << qipTestBedReason_; \
            }                                                                 \
            GTEST_SKIP() << "test bed unavailable: " << qipTestBedReason_;    \
        }                                                                     \
    } while (0)

// A private network of Linux network namespaces for tests that run real programs and real
// sockets. The host namespace holds the bridge `br0` with cHostCidr (and lo up); every
// device namespace is joined to that bridge by a veth pair whose device end is `eth0`.
// Nothing is created in the machine's own namespace and no route leads out of the bed.
//
// Namespace names are "qtb-<pid>-<n>-h" and "qtb-<pid>-<n>-d<k>". The destructor stops
// every process the bed started and deletes every namespace it made; namespaces left behind
// by a test process that died (any "qtb-<pid>-" whose pid no longer runs) are deleted when
// the next bed is built, and a fatal signal or exit() removes the current ones.
//
// One bed belongs to the thread that built it; all members are called on that thread.
// Failures are reported as GoogleTest failures (ADD_FAILURE) plus the failing command's
// output, and by the result: false, "" or -1. Nothing throws.
class TestBed {
public:
    static constexpr const char* cHostAddress = "192.0.2.1";
    static constexpr const char* cHostCidr = "192.0.2.1/24";
    static constexpr const char* cHostBroadcast = "192.0.2.255";
    static constexpr const char* cHostSubnet = "192.0.2.0/24";
    static constexpr int cDefaultTimeoutMs = 15000;
    static constexpr const char* cRouterHostAddress = "192.0.2.254";
    static constexpr const char* cRouterFarCidr = "198.51.100.1/24";
    static constexpr const char* cFarSubnet = "198.51.100.0/24";

    // Switches the calling thread into a namespace of the bed and back on destruction.
    // Sockets and threads created while it is in force live in that namespace for good
    // (threads inherit the namespace of the thread that creates them), so in-process
    // library code such as KspUdpSocket or QipClient can be built inside the bed.
    class EnterHost {
    public:
        explicit EnterHost(const TestBed& bed);           // the host namespace
        explicit EnterHost(const std::string& namespaceName);
        EnterHost(const EnterHost&) = delete;
        EnterHost& operator=(const EnterHost&) = delete;
        ~EnterHost();
        // False when the switch failed (already reported); the thread then stayed where it was.
        bool IsEntered() const { return mIsEntered; }

    private:
        int mOriginalNamespace;  // descriptor of the thread's namespace before the switch
        bool mIsEntered;
    };

    // True when this process can build beds: effective root, an `ip` program, and a
    // namespace that can actually be made. Otherwise false and `reason` says why.
    static bool IsAvailable(std::string* reason);
    // True when the environment variable CI is "true".
    static bool IsCi();
    // The resident memory of process `pid` in KiB, read from /proc; -1 when it cannot be read.
    static long RssKb(pid_t pid);
    // A connection to the program sharing UDP port 19375 in the calling thread's network
    // namespace (its abstract socket "@qipfinder/19375"), as a subscriber opens one; the
    // caller owns the descriptor. -1 when nobody listens there.
    static int ConnectToShareOwner();
    // Deletes the beds of test processes that no longer run (a crash or a kill left them);
    // beds of live processes are left alone. Returns how many were deleted. The first bed
    // of each process does this by itself.
    static int RemoveStaleNamespaces();
    // <build>/bin/<name>: where the project's programs (qip-device-sim, qip-discover, ...) land.
    static std::string BinaryPath(const std::string& name);

    // Builds the host namespace. Check IsReady(); a failure is already reported.
    TestBed();
    TestBed(const TestBed&) = delete;
    TestBed& operator=(const TestBed&) = delete;
    ~TestBed();

    bool IsReady() const { return mIsReady; }
    const std::string& GetHostNamespace() const { return mHostNamespace; }

    // Adds an address (CIDR, e.g. "203.0.113.1/24") to the host's bridge, so that the host's
    // interface list covers that subnet too. Call before adding the devices that use it.
    bool AddHostAddress(const std::string& cidr);

    // Makes a device namespace joined to the host bridge, with the given addresses (CIDR,
    // e.g. "192.0.2.20/24", "198.51.100.20/24") on its `eth0`. Returns its name, "" on failure.
    // An address outside every host subnet gets a host route to it over the bridge, so the
    // host reaches it over TCP, and the host's interface list still does not cover it.
    // A device with no address inside cHostCidr's subnet also gets a route back to that
    // subnet with its first address as source, and takes cHostBroadcast as a broadcast
    // address, so a simulator there started with "--listen 192.0.2.255" hears the host's
    // whoisthere and answers from its own address.
    std::string AddDevice(const std::vector<std::string>& cidrAddresses);

    // A router between the host and a second network, cFarSubnet: a namespace joined to the
    // host bridge as cRouterHostAddress (the host routes cFarSubnet through it) with a bridge
    // of its own holding cRouterFarCidr. It forwards unicast both ways and, as routers do,
    // no broadcast, so a device behind it hears no whoisthere broadcast by the host but
    // answers one sent to its address. Returns the router's namespace, "" on failure; a
    // second call returns the same router.
    std::string AddRouter();
    // A device namespace on the far network, behind the router (made if there is none yet):
    // its `eth0` holds the given addresses (inside cFarSubnet) and routes everything through
    // the router. Returns its name, "" on failure.
    std::string AddDeviceBehindRouter(const std::vector<std::string>& cidrAddresses);

    // Starts <bin>/qip-device-sim with `args` in `namespaceName` and waits (up to 10 s) until
    // it has printed "ready". Returns its pid, or -1 after reporting why (with its output).
    // The bed stops it in its destructor unless Stop was called.
    pid_t StartSimulator(const std::string& namespaceName, const std::vector<std::string>& args);
    // Starts any program in the background in `namespaceName`; standard output and standard
    // error go to a log that GetOutput reads. argv[0] without "/" is looked up first in the
    // project's bin directory, then on PATH. Returns the pid, or -1 after reporting why.
    pid_t Start(const std::string& namespaceName, const std::vector<std::string>& argv);
    // What a started process has written so far (standard output and error interleaved).
    std::string GetOutput(pid_t pid) const;
    // Sends SIGTERM, waits up to `timeoutMs`, then SIGKILL. Returns the exit status as Run does.
    int Stop(pid_t pid, int timeoutMs = 5000);

    // Runs a program in `namespaceName` and waits for it (argv[0] resolved as for Start).
    // Standard output goes to `output` (if given) and standard error to `errors`, or to
    // `output` as well when `errors` is null. Returns the exit code (0-255), 128 + the signal
    // number when a signal ended it, or -1 when it could not start or ran past `timeoutMs`
    // (it is then killed and `output` holds what it wrote until then).
    int Run(const std::string& namespaceName, const std::vector<std::string>& argv,
            std::string* output, int timeoutMs = cDefaultTimeoutMs, std::string* errors = nullptr);

private:
    struct Child {
        pid_t mPid;
        std::string mLogPath;
        std::string mName;
    };

    bool Ip(const std::vector<std::string>& args);
    bool IsInHostSubnet(const std::string& cidr) const;
    void RemoveEverything();

    bool mIsReady;
    std::string mPrefix;            // "qtb-<pid>-<n>-"
    std::string mHostNamespace;
    std::string mLogDirectory;
    std::vector<std::string> mHostCidrs;
    std::vector<std::string> mDeviceNamespaces;  // the router's too
    std::string mRouterNamespace;
    std::vector<Child> mChildren;   // started and not yet stopped
};
