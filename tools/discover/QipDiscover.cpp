#include "tools/discover/QipDiscover.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ksp/KspClock.h"
#include "qip/QipClient.h"
#include "sysinfo/SysInfo.h"
#include "tools/discover/QipDiscoverFormat.h"

extern char** environ;

namespace {

// Write end of the wake pipe, for the signal handler; -1 while there is none.
volatile sig_atomic_t gWakeDescriptor = -1;

const char cWakeChange = 'c';
const char cWakeSignal = 's';
const int cProgressPeriodMs = 250;

void OnSignal(int) {
    int saved = errno;
    int fd = gWakeDescriptor;
    if (fd >= 0) {
        ssize_t ignored = write(fd, &cWakeSignal, 1);
        (void)ignored;
    }
    errno = saved;
}

}  // namespace

// A self-pipe that the list's change notification and SIGINT/SIGTERM write to, so the main
// thread sleeps in one poll() for both. Installs the handlers for its lifetime.
class QipDiscover::WakePipe {
public:
    static const int cChange = 1;
    static const int cSignal = 2;

    WakePipe() : mRead(-1), mWrite(-1) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            perror("pipe2() failed");
            return;
        }
        mRead = fds[0];
        mWrite = fds[1];
        gWakeDescriptor = mWrite;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &mOldInt);
        sigaction(SIGTERM, &action, &mOldTerm);
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;
    ~WakePipe() {
        if (mRead < 0) return;
        sigaction(SIGINT, &mOldInt, nullptr);
        sigaction(SIGTERM, &mOldTerm, nullptr);
        gWakeDescriptor = -1;
        close(mRead);
        close(mWrite);
    }

    bool IsOpen() const { return mRead >= 0; }
    // Any thread. A full pipe already holds a wake-up, so a failed write loses nothing.
    void Wake(char what) const {
        if (mWrite < 0) return;
        ssize_t ignored = write(mWrite, &what, 1);
        (void)ignored;
    }
    // Waits up to `timeoutMs` (-1: no limit) and returns what woke it (cChange, cSignal
    // or both), 0 on time-out.
    int Wait(int timeoutMs) const {
        pollfd p = {mRead, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return 0;
        int what = 0;
        char buffer[64];
        ssize_t n;
        while ((n = read(mRead, buffer, sizeof buffer)) > 0) {
            for (ssize_t i = 0; i < n; ++i) what |= buffer[i] == cWakeSignal ? cSignal : cChange;
        }
        return what;
    }

private:
    int mRead;
    int mWrite;
    struct sigaction mOldInt;
    struct sigaction mOldTerm;
};

void QipDiscover::ChangeNotifier::OnChange() { mOuter->mWakePipe->Wake(cWakeChange); }

int QipDiscover::Main(int argc, char** argv) {
    QipDiscoverOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        fprintf(stderr, "qip-discover: %s\nTry 'qip-discover --help'.\n", error.c_str());
        return cExitUsage;
    }
    if (options.mHelp) {
        fputs(QipDiscoverOptions::Usage().c_str(), stdout);
        return cExitFound;
    }
    if (options.mVersion) {
        printf("qip-discover %s\n", QIPFINDER_VERSION);
        return cExitFound;
    }
    QipDiscover discover(options);
    return discover.Run();
}

QipDiscover::QipDiscover(const QipDiscoverOptions& options)
    : mOptions(options),
      mWakePipe(new WakePipe()),
      mChangeNotifier(this),
      mDescriber(options.mTypes, KspNetworkInterface::Enumerate()),
      mShowsProgress(isatty(STDERR_FILENO) == 1) {
    mDescriber.SetMatchAnyType(options.mTypes.empty());
}

QipDiscover::~QipDiscover() {
    if (mList) mList->SetChangeHandler(nullptr);
    // The client's receive thread hands hellos to the list, so the client goes first.
    mClient.reset();
    mList.reset();
}

int QipDiscover::Run() {
    if (!mWakePipe->IsOpen()) return cExitUsage;
    mClient.reset(new QipClient());
    if (!mClient->IsSocketOpen()) {
        fprintf(stderr,
                "qip-discover: cannot open UDP port %u; another program may be using it\n",
                static_cast<unsigned>(QipClient::cPort));
        return cExitUsage;
    }
    mList.reset(new QipDeviceList(mClient.get()));
    return mOptions.mWatch ? Watch() : ListOnce();
}

int QipDiscover::ListOnce() {
    const long long deadline = KspMonotonicMs() + static_cast<long long>(mOptions.mWaitSeconds * 1000);
    for (long long left = deadline - KspMonotonicMs(); left > 0; left = deadline - KspMonotonicMs()) {
        if (mShowsProgress) {
            std::vector<QipDevice> snapshot = mList->Snapshot();
            char text[96];
            snprintf(text, sizeof text, "Searching: %lld s left, %zu found", (left + 999) / 1000,
                     mDescriber.GroupDevices(snapshot).size());
            ShowProgress(text);
        }
        int timeout = static_cast<int>(left < cProgressPeriodMs ? left : cProgressPeriodMs);
        if (mWakePipe->Wait(mShowsProgress ? timeout : static_cast<int>(left)) &
            WakePipe::cSignal) {
            ShowProgress("");
            return cExitInterrupted;
        }
    }
    std::vector<QipDevice> snapshot = mList->Snapshot();
    if (!mOptions.mNoSsid) ShowProgress("Reading status pages");
    std::vector<DeviceDescriber::Description> devices =
        mDescriber.Describe(snapshot, !mOptions.mNoSsid);
    ShowProgress("");

    if (mOptions.mJson) {
        for (const DeviceDescriber::Description& d : devices) {
            printf("%s\n", QipDiscoverFormat::JsonObject(QipDiscoverFormat::DeviceFields(d)).c_str());
        }
    } else {
        fputs(QipDiscoverFormat::Table(devices).c_str(), stdout);
    }
    fflush(stdout);
    if (devices.empty()) {
        fputs("qip-discover: no device found\n", stderr);
        return cExitNone;
    }
    if (mOptions.mOpen) {
        if (devices.size() != 1) {
            fprintf(stderr, "qip-discover: %zu devices found; not opening a page\n",
                    devices.size());
            return cExitFound;
        }
        return OpenPage(devices[0].mDeviceIp);
    }
    return cExitFound;
}

int QipDiscover::Watch() {
    std::vector<QipDeviceChanges::Entry> shown;
    std::vector<std::string> shownSsids;
    mList->SetChangeHandler(&mChangeNotifier);
    // Entries heard before the handler was set are printed now; later ones on their change.
    PrintChanges(shown, shownSsids);
    for (;;) {
        int what = mWakePipe->Wait(-1);
        if (what & WakePipe::cSignal) break;
        if (what & WakePipe::cChange) PrintChanges(shown, shownSsids);
    }
    mList->SetChangeHandler(nullptr);
    return cExitFound;
}

void QipDiscover::PrintChanges(std::vector<QipDeviceChanges::Entry>& shown,
                               std::vector<std::string>& shownSsids) {
    std::vector<QipDevice> wanted;
    for (const QipDevice& device : mList->Snapshot()) {
        if (mDescriber.IsWanted(device.GetDeviceType())) wanted.push_back(device);
    }
    std::vector<QipDeviceChanges::Entry> entries = QipDeviceChanges::FromSnapshot(wanted);
    std::vector<QipDeviceChanges::Change> changes = QipDeviceChanges::Compare(shown, entries);
    if (changes.empty()) return;

    std::vector<DeviceDescriber::Group> fresh;
    for (const QipDeviceChanges::Change& c : changes) {
        if (c.mKind != QipDeviceChanges::cGone) {
            fresh.push_back(DeviceDescriber::Group(1, static_cast<uint32_t>(c.mPosition)));
        }
    }
    if (!mOptions.mNoSsid) mDescriber.FetchStatusPages(wanted, fresh);

    // SSIDs of the entries now listed: unchanged ones keep what was read when they appeared.
    std::vector<std::string> ssids(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        for (size_t k = 0; k < shown.size(); ++k) {
            if (shown[k].mDeviceId == entries[i].mDeviceId &&
                shown[k].mSourceAddress == entries[i].mSourceAddress) {
                ssids[i] = shownSsids[k];
            }
        }
    }
    for (const QipDeviceChanges::Change& c : changes) {
        std::string ssid;
        if (c.mKind == QipDeviceChanges::cGone) {
            ssid = shownSsids[c.mPosition];
        } else {
            ssid = wanted[c.mPosition].GetSysInfo()->GetValue(DeviceDescriber::cSsidPath);
            ssids[c.mPosition] = ssid;
        }
        const QipDeviceChanges::Entry& e = c.mEntry;
        const char* kind = QipDeviceChanges::KindName(c.mKind);
        if (mOptions.mJson) {
            QipDiscoverFormat::Fields fields{{"event", kind}};
            DeviceDescriber::Description d{e.mDeviceType, e.mDeviceId, ssid, e.mSourceAddress,
                                           DeviceDescriber::MakeDisplayString(
                                               e.mDeviceId, e.mDeviceType, ssid)};
            QipDiscoverFormat::Fields device = QipDiscoverFormat::DeviceFields(d);
            fields.insert(fields.end(), device.begin(), device.end());
            fields.push_back({"PacketId", e.mPacketId});
            printf("%s\n", QipDiscoverFormat::JsonObject(fields).c_str());
        } else {
            printf("%-8s %s %s %s SSID:\"%s\"\n", kind,
                   QipDiscoverFormat::TerminalText(e.mDeviceId).c_str(),
                   QipDiscoverFormat::TerminalText(e.mDeviceType).c_str(),
                   QipDiscoverFormat::TerminalText(e.mSourceAddress).c_str(),
                   QipDiscoverFormat::TerminalText(ssid).c_str());
        }
    }
    fflush(stdout);
    shown = entries;
    shownSsids = ssids;
}

void QipDiscover::ShowProgress(const std::string& text) {
    if (!mShowsProgress) return;
    fprintf(stderr, "\r\033[K%s", text.c_str());
    fflush(stderr);
}

int QipDiscover::OpenPage(const std::string& address) {
    in_addr parsed;
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        fprintf(stderr, "qip-discover: '%s' is no IPv4 address; not opening it\n",
                QipDiscoverFormat::TerminalText(address).c_str());
        return cExitOpenFailed;
    }
    std::string url = "http://" + address + "/";
    // No shell: the address came from the network.
    char program[] = "xdg-open";
    char* argv[] = {program, &url[0], nullptr};
    pid_t pid;
    int error = posix_spawnp(&pid, program, nullptr, nullptr, argv, environ);
    if (error != 0) {
        fprintf(stderr, "qip-discover: cannot run xdg-open: %s\n", strerror(error));
        return cExitOpenFailed;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "qip-discover: xdg-open could not open %s\n", url.c_str());
        return cExitOpenFailed;
    }
    return cExitFound;
}
