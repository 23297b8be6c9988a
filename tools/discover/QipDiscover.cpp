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
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "ksp/KspClock.h"
#include "ksp/KspThread.h"
#include "describe/QipDiagnosis.h"
#include "qip/QipClient.h"
#include "sysinfo/SysInfo.h"
#include "tools/discover/QipDiscoverFormat.h"
#include "tools/discover/QipDiscoverOutcome.h"
#include "tools/discover/QipListenEnd.h"

extern char** environ;

namespace {

// The signal that asked the program to end (0: none yet), and the write end of the pipe
// that wakes the main thread for it (-1 while there is none). The pipe carries nothing but
// signals, so it can hold far more wake-ups than a user can send; the flag is what counts.
volatile sig_atomic_t gSignal = 0;
volatile sig_atomic_t gSignalDescriptor = -1;

const int cProgressPeriodMs = 250;
// How often a wait for the page opener looks whether it has ended.
const int cOpenerPollMs = 50;

// Standard output as the program found it: closed at start, or the error of the first
// write that failed (0 for none). Main thread only.
bool gStdoutClosed = false;
int gWriteError = 0;
bool gWriteErrorReported = false;

void OnSignal(int signalNumber) {
    int saved = errno;
    if (gSignal == 0) gSignal = signalNumber;
    int fd = gSignalDescriptor;
    if (fd >= 0) {
        ssize_t ignored = write(fd, "s", 1);
        (void)ignored;
    }
    errno = saved;
}

// Writes `text` to standard output; false once anything could not be written.
bool Output(const std::string& text) {
    if (gStdoutClosed && gWriteError == 0) gWriteError = EBADF;
    if (gWriteError != 0) return false;
    errno = 0;
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        gWriteError = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

// Flushes standard output; false (said once on standard error) when anything written since
// start could not be delivered.
bool FlushOutput() {
    if (gWriteError == 0 && !gStdoutClosed) {
        errno = 0;
        if (fflush(stdout) != 0 || ferror(stdout)) gWriteError = errno != 0 ? errno : EIO;
    }
    if (gWriteError == 0) return true;
    if (!gWriteErrorReported) {
        fprintf(stderr, "qip-discover: write error: %s\n", strerror(gWriteError));
        gWriteErrorReported = true;
    }
    return false;
}

// A program started with a standard descriptor closed would hand that number to the first
// socket or pipe it opens, and its output would go there. Each closed one is filled with
// /dev/null; a closed standard output is remembered, so that writing to it fails.
void GuardStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) gStdoutClosed = true;
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

}  // namespace

// Wakes the main thread, sleeping in one poll(), for a signal (a pipe of its own, written by
// the handler) or for a notice from another thread: a change of the list or the end of the
// status page reads. Notices coalesce: each is a flag, and only setting a flag that was
// clear writes a byte, so the notice pipe never holds more than a few and never fills.
// Installs the SIGINT and SIGTERM handlers for its lifetime.
class QipDiscover::Waker {
public:
    static const int cSignal = 1;
    static const int cChange = 2;
    static const int cDone = 4;

    Waker() : mSignalRead(-1), mSignalWrite(-1), mNoticeRead(-1), mNoticeWrite(-1) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            perror("pipe2() failed");
            return;
        }
        mSignalRead = fds[0];
        mSignalWrite = fds[1];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            perror("pipe2() failed");
            return;
        }
        mNoticeRead = fds[0];
        mNoticeWrite = fds[1];
        gSignalDescriptor = mSignalWrite;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &mOldInt);
        sigaction(SIGTERM, &action, &mOldTerm);
        mHandlersInstalled = true;
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    ~Waker() {
        if (mHandlersInstalled) {
            sigaction(SIGINT, &mOldInt, nullptr);
            sigaction(SIGTERM, &mOldTerm, nullptr);
        }
        gSignalDescriptor = -1;
        for (int fd : {mSignalRead, mSignalWrite, mNoticeRead, mNoticeWrite}) {
            if (fd >= 0) close(fd);
        }
    }

    bool IsOpen() const { return mHandlersInstalled; }
    // Any thread.
    void Notify(int what) {
        std::atomic<bool>& flag = what == cDone ? mDonePending : mChangePending;
        if (flag.exchange(true)) return;
        ssize_t ignored = write(mNoticeWrite, "n", 1);
        (void)ignored;
    }
    // Waits up to `timeoutMs` (-1: no limit) and returns what woke it (cSignal, cChange,
    // cDone, several of them, or 0 on time-out). A signal is reported on every call after it.
    int Wait(int timeoutMs) {
        if (gSignal != 0) return cSignal;
        pollfd p[2] = {{mSignalRead, POLLIN, 0}, {mNoticeRead, POLLIN, 0}};
        if (poll(p, 2, timeoutMs) < 0 && errno != EINTR) perror("poll() failed");
        char buffer[64];
        while (read(mNoticeRead, buffer, sizeof buffer) > 0) {
        }
        int what = 0;
        if (gSignal != 0) what |= cSignal;
        if (mChangePending.exchange(false)) what |= cChange;
        if (mDonePending.exchange(false)) what |= cDone;
        return what;
    }

private:
    int mSignalRead;
    int mSignalWrite;
    int mNoticeRead;
    int mNoticeWrite;
    bool mHandlersInstalled = false;
    std::atomic<bool> mChangePending{false};
    std::atomic<bool> mDonePending{false};
    struct sigaction mOldInt;
    struct sigaction mOldTerm;
};

// Reads one batch of status pages, so that the main thread stays free to answer a signal.
class QipDiscover::FetchThread : public KspThread {
public:
    FetchThread(QipDiscover* outer, std::vector<QipDevice>& snapshot,
                const std::vector<DeviceDescriber::Group>& groups)
        : mOuter(outer), mSnapshot(snapshot), mGroups(groups) {}
    void Run() override {
        mOuter->mDescriber.FetchStatusPages(mSnapshot, mGroups);
        mOuter->mWaker->Notify(Waker::cDone);
    }

private:
    QipDiscover* mOuter;
    std::vector<QipDevice>& mSnapshot;
    const std::vector<DeviceDescriber::Group>& mGroups;
};

void QipDiscover::ChangeNotifier::OnChange() { mOuter->mWaker->Notify(Waker::cChange); }

int QipDiscover::Main(int argc, char** argv) {
    GuardStandardDescriptors();
    QipDiscoverOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        fprintf(stderr, "qip-discover: %s\nTry 'qip-discover --help'.\n",
                QipDiscoverFormat::TerminalText(error).c_str());
        return cExitUsage;
    }
    if (options.mHelp || options.mVersion) {
        Output(options.mHelp ? QipDiscoverOptions::Usage()
                             : std::string("qip-discover ") + QIPFINDER_VERSION + "\n");
        return FlushOutput() ? cExitFound : cExitWriteError;
    }
    QipDiscover discover(options);
    return discover.Run();
}

QipDiscover::QipDiscover(const QipDiscoverOptions& options)
    : mOptions(options),
      mWaker(new Waker()),
      mChangeNotifier(this),
      mDescriber(options.mTypes, KspNetworkInterface::Enumerate()),
      mTracer(this),
      mShowsProgress(isatty(STDERR_FILENO) == 1 && !options.mVerbose) {
    mDescriber.SetMatchAnyType(options.mTypes.empty());
}

QipDiscover::~QipDiscover() {
    if (mList) mList->SetChangeHandler(nullptr);
    // The client's receive thread hands hellos to the list, so the client goes first.
    mClient.reset();
    mList.reset();
}

int QipDiscover::Run() {
    if (!mWaker->IsOpen()) return cExitUsage;
    const KspNetworkInterface::Scan scan = KspNetworkInterface::EnumerateForDiscovery();
    const std::vector<std::string> unknown = QipClient::FindUnknownNames(scan, mOptions.mInterfaces);
    if (!unknown.empty()) {
        std::vector<std::string> names;
        for (const KspNetworkInterface& interface : scan.mUsable) names.push_back(interface.GetName());
        for (const KspNetworkInterface::Skipped& skipped : scan.mSkipped) names.push_back(skipped.mName);
        std::string valid;
        for (size_t i = 0; i < names.size(); ++i) {
            if (std::find(names.begin(), names.begin() + i, names[i]) != names.begin() + i) continue;
            valid += (valid.empty() ? "" : ", ") + QipDiscoverFormat::TerminalText(names[i]);
        }
        fprintf(stderr, "qip-discover: unknown interface '%s'; this machine has: %s\nTry 'qip-discover --help'.\n",
                QipDiscoverFormat::TerminalText(unknown.front()).c_str(), valid.c_str());
        return cExitUsage;
    }
    mScan = QipClient::ApplyFilter(scan, mOptions.mInterfaces);
    if (mOptions.mVerbose) {
        for (const KspNetworkInterface& interface : mScan.mUsable) {
            fprintf(stderr, "qip-discover: interface %s %s, broadcast %s: used\n",
                    QipDiscoverFormat::TerminalText(interface.GetName()).c_str(),
                    interface.DescribeAddress().c_str(), interface.MakeBroadcastAddress().c_str());
        }
        for (const KspNetworkInterface::Skipped& skipped : mScan.mSkipped) {
            // The client may still broadcast there (loopback); no device is expected on it.
            fprintf(stderr, "qip-discover: interface %s%s%s: %s\n",
                    QipDiscoverFormat::TerminalText(skipped.mName).c_str(),
                    skipped.mAddress.empty() ? "" : " ", skipped.mAddress.c_str(),
                    KspNetworkInterface::DescribeSkipReason(skipped.mReason));
        }
    }
    QipClient::Options clientOptions;
    clientOptions.mInterfaces = mOptions.mInterfaces;
    if (mOptions.mVerbose) clientOptions.mTraceHandler = &mTracer;
    mClient.reset(new QipClient(clientOptions));
    if (!mClient->IsSocketOpen()) {
        fprintf(stderr,
                "qip-discover: cannot open UDP port %u; another program may be using it\n",
                static_cast<unsigned>(QipClient::cPort));
        return cExitUsage;
    }
    if (mClient->IsPortShared()) {
        fprintf(stderr,
                "qip-discover: warning: another program also holds UDP port %u; devices answer "
                "only one of them, so some may not be listed here (or be reported gone)\n",
                static_cast<unsigned>(QipClient::cPort));
    }
    mList.reset(new QipDeviceList(mClient.get()));
    return mOptions.mWatch ? Watch() : ListOnce();
}

void QipDiscover::Tracer::OnTrace(const Event& event) {
    typedef QipClient::TraceHandler::Event E;
    const std::string on = event.mInterface.empty()
                               ? std::string()
                               : " on " + QipDiscoverFormat::TerminalText(event.mInterface);
    const std::string from = QipDiscoverFormat::TerminalText(event.mAddress);
    const std::string device = QipDiscoverFormat::TerminalText(event.mDeviceType) + " " +
                               QipDiscoverFormat::TerminalText(event.mDeviceId);
    std::string line;
    switch (event.mKind) {
    case E::cBroadcastSent:
        line = "sent whoisthere to " + from + on;
        break;
    case E::cBroadcastFailed:
        line = "could not send whoisthere to " + from + on;
        break;
    case E::cHelloHeard:
        line = "heard " + device + " from " + from + on;
        if (!mOuter->mDescriber.IsWanted(event.mDeviceType)) line += ", left out: type not wanted";
        break;
    case E::cHelloOtherInterface:
        line = "heard " + device + " from " + from + on + ", left out: not a chosen interface";
        break;
    case E::cWhoIsThereHeard:
        if (!event.mIsFromOther) return;  // this program's own broadcast coming back
        line = "heard whoisthere from another client at " + from + on;
        break;
    case E::cMalformedHeard:
        line = "heard an unreadable datagram from " + from + on;
        break;
    case E::cDatagramsDropped:
        line = "the kernel dropped " + std::to_string(event.mCount) + " datagrams so far";
        break;
    }
    fprintf(stderr, "qip-discover: %s\n", line.c_str());
}

int QipDiscover::SignalStatus() const {
    if (mOptions.mWatch) return cExitFound;
    return gSignal == SIGTERM ? cExitTerminated : cExitInterrupted;
}

void QipDiscover::Abandon() {
    ShowProgress("");
    if (mOptions.mWatch) fflush(stdout);
    _exit(SignalStatus());
}

void QipDiscover::FetchStatusPages(std::vector<QipDevice>& snapshot,
                                   const std::vector<DeviceDescriber::Group>& groups) {
    if (groups.empty()) return;
    FetchThread reader(this, snapshot, groups);
    if (reader.Start() != 0) {
        // No thread: read here; a signal then waits for the reads (about 5 s at most).
        mDescriber.FetchStatusPages(snapshot, groups);
        if (gSignal != 0) Abandon();
        return;
    }
    bool changed = false;
    for (;;) {
        int what = mWaker->Wait(-1);
        if (what & Waker::cSignal) Abandon();
        changed = changed || (what & Waker::cChange) != 0;
        if (what & Waker::cDone) break;
    }
    // A change of the list during the reads is for the caller's next look at the list.
    if (changed) mWaker->Notify(Waker::cChange);
    reader.Stop();
    reader.WaitForCompletion();
}

int QipDiscover::ListOnce() {
    QipListenEnd::Rules rules;
    rules.mWaitMs = mOptions.GetWaitMs();
    rules.mSettleMs = mOptions.GetEffectiveSettleMs();
    rules.mWaitFor = mOptions.mWaitFor;
    rules.mCount = mOptions.mCount;
    const long long start = KspMonotonicMs();
    QipListenEnd end(rules, start);
    mList->SetChangeHandler(&mChangeNotifier);
    for (;;) {
        const long long now = KspMonotonicMs();
        for (const QipDevice& device : mList->Snapshot()) {
            if (mDescriber.IsWanted(device.GetDeviceType())) {
                end.OnRecord(device.GetDeviceId(), device.GetLastSourceAddress(), now);
            }
        }
        if (end.GetState(now) != QipListenEnd::cListening) break;
        long long left = end.NextDeadline() - now;
        if (mShowsProgress) {
            char text[96];
            snprintf(text, sizeof text, "Searching: %lld s left, %zu found",
                     (start + rules.mWaitMs - now + 999) / 1000, end.GetDeviceCount());
            ShowProgress(text);
            if (left > cProgressPeriodMs) left = cProgressPeriodMs;
        }
        if (mWaker->Wait(static_cast<int>(left)) & Waker::cSignal) {
            ShowProgress("");
            return SignalStatus();
        }
    }
    mList->SetChangeHandler(nullptr);

    std::vector<QipDevice> snapshot = mList->Snapshot();
    const long long listened = KspMonotonicMs();
    for (const QipDevice& device : snapshot) {
        if (mDescriber.IsWanted(device.GetDeviceType())) {
            end.OnRecord(device.GetDeviceId(), device.GetLastSourceAddress(), listened);
        }
    }
    std::vector<DeviceDescriber::Group> groups = mDescriber.GroupDevices(snapshot);
    if (!mOptions.mNoSsid && !groups.empty()) {
        ShowProgress("Reading status pages");
        FetchStatusPages(snapshot, groups);
    }
    ShowProgress("");
    std::vector<DeviceDescriber::Description> devices =
        mDescriber.BuildDescriptions(snapshot, groups, !mOptions.mNoSsid);
    if (gSignal != 0) return SignalStatus();

    if (mOptions.mJson) {
        for (const DeviceDescriber::Description& d : devices) {
            Output(QipDiscoverFormat::DeviceJson(d) + "\n");
        }
    } else {
        Output(QipDiscoverFormat::Table(devices));
    }
    if (!FlushOutput()) return cExitWriteError;
    if (devices.empty()) {
        fputs("qip-discover: no device found\n", stderr);
        if (!mOptions.mQuiet) PrintDiagnosis(listened - start);
        return cExitNone;
    }
    if (!end.IsTargetMet()) {
        std::vector<std::string> missing = end.MissingIds();
        if (!missing.empty()) {
            std::string names;
            for (const std::string& id : missing) {
                names += (names.empty() ? "" : ", ") + QipDiscoverFormat::TerminalText(id);
            }
            fprintf(stderr, "qip-discover: not heard: %s\n", names.c_str());
        }
        if (end.GetDeviceCount() < mOptions.mCount) {
            fprintf(stderr, "qip-discover: %zu of %zu devices heard\n", end.GetDeviceCount(),
                    mOptions.mCount);
        }
        return cExitNone;
    }
    if (mOptions.mOpen) {
        std::string reason;
        const int chosen = QipDiscoverOutcome::ChooseToOpen(devices, mOptions.mWaitFor, reason);
        if (chosen < 0) {
            fprintf(stderr, "qip-discover: %s; not opening a page\n", reason.c_str());
            return cExitNotOpened;
        }
        if (gSignal != 0) return SignalStatus();
        return OpenPage(devices[chosen].mDeviceIp);
    }
    return cExitFound;
}

int QipDiscover::Watch() {
    std::vector<QipDeviceChanges::Entry> shown;
    std::vector<DeviceDescriber::Description> shownDevices;
    mList->SetChangeHandler(&mChangeNotifier);
    // Entries heard before the handler was set are printed now; later ones on their change.
    if (!PrintChanges(shown, shownDevices)) return cExitWriteError;
    for (;;) {
        int what = mWaker->Wait(-1);
        if (what & Waker::cSignal) break;
        if ((what & Waker::cChange) && !PrintChanges(shown, shownDevices)) return cExitWriteError;
    }
    mList->SetChangeHandler(nullptr);
    return cExitFound;
}

bool QipDiscover::PrintChanges(std::vector<QipDeviceChanges::Entry>& shown,
                               std::vector<DeviceDescriber::Description>& shownDevices) {
    std::vector<QipDevice> wanted;
    for (const QipDevice& device : mList->Snapshot()) {
        if (mDescriber.IsWanted(device.GetDeviceType())) wanted.push_back(device);
    }
    std::vector<QipDeviceChanges::Entry> entries = QipDeviceChanges::FromSnapshot(wanted);
    std::vector<QipDeviceChanges::Change> changes = QipDeviceChanges::Compare(shown, entries);
    if (changes.empty()) return true;

    // Each appeared or changed entry is described on its own (a group of one), as it is
    // keyed by id and address here; its page is read again.
    std::vector<DeviceDescriber::Group> fresh;
    for (const QipDeviceChanges::Change& c : changes) {
        if (c.mKind != QipDeviceChanges::cGone) {
            fresh.push_back(DeviceDescriber::Group(1, static_cast<uint32_t>(c.mPosition)));
        }
    }
    if (!mOptions.mNoSsid) FetchStatusPages(wanted, fresh);
    std::vector<DeviceDescriber::Description> freshDevices =
        mDescriber.BuildDescriptions(wanted, fresh, !mOptions.mNoSsid);

    // The entries now listed: unchanged ones keep what was read when they appeared.
    std::vector<DeviceDescriber::Description> devices(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        for (size_t k = 0; k < shown.size(); ++k) {
            if (shown[k].mDeviceId == entries[i].mDeviceId &&
                shown[k].mSourceAddress == entries[i].mSourceAddress) {
                devices[i] = shownDevices[k];
            }
        }
    }
    // The time the changes were seen, once for the batch; only JSON lines carry it.
    std::string now;
    if (mOptions.mJson) {
        timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        struct tm local;
        if (localtime_r(&wall.tv_sec, &local) != nullptr) {
            now = QipDiscoverFormat::IsoTime(local, static_cast<int>(wall.tv_nsec / 1000000));
        }
    }
    size_t nextFresh = 0;
    for (const QipDeviceChanges::Change& c : changes) {
        DeviceDescriber::Description d;
        if (c.mKind == QipDeviceChanges::cGone) {
            d = shownDevices[c.mPosition];
        } else if (nextFresh < freshDevices.size()) {
            d = freshDevices[nextFresh++];
            devices[c.mPosition] = d;
        }
        const QipDeviceChanges::Entry& e = c.mEntry;
        const char* kind = QipDeviceChanges::KindName(c.mKind);
        if (mOptions.mJson) {
            Output(QipDiscoverFormat::DeviceJson(d, {{"event", kind}},
                                                 {{"PacketId", e.mPacketId}, {"Time", now}}) +
                   "\n");
        } else {
            char kindColumn[16];
            snprintf(kindColumn, sizeof kindColumn, "%-8s", kind);
            const std::string notes = QipDiscoverFormat::Notes(d);
            Output(std::string(kindColumn) + " " + QipDiscoverFormat::TerminalText(e.mDeviceId) + " " +
                   QipDiscoverFormat::TerminalText(e.mDeviceType) + " " +
                   QipDiscoverFormat::TerminalText(e.mSourceAddress) + " SSID:\"" +
                   QipDiscoverFormat::TerminalText(d.mSsid) + "\"" +
                   (notes.empty() ? std::string() : "  (" + notes + ")") + "\n");
        }
    }
    shown = entries;
    shownDevices = devices;
    return FlushOutput();
}

void QipDiscover::PrintDiagnosis(long long listenedMs) {
    const QipDiagnosis::Input input = QipDiagnosis::MakeInput(*mClient, mScan, mOptions.mTypes);
    const QipDiagnosis::Result result = QipDiagnosis::Diagnose(input);
    // A search that heard nothing at all in a moment was too short, whatever else may be.
    std::string text = result.mAnswered == 0 ? QipDiscoverOutcome::ShortListenText(listenedMs) : "";
    if (text.empty()) text = QipDiagnosis::Text(input, result);
    // Device types in it came from the network: each line is made safe for the terminal.
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        fprintf(stderr, "%s\n", QipDiscoverFormat::TerminalText(text.substr(begin, end - begin)).c_str());
        begin = end + 1;
    }
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
    // Some openers stay until the browser closes, and a signal sent to this process alone
    // (kill, timeout, a service manager) does not reach them: the wait looks at the signal
    // between short polls, and the opener is left running when one came.
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) break;
        if (mWaker->Wait(cOpenerPollMs) & Waker::cSignal) return SignalStatus();
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "qip-discover: xdg-open could not open %s\n", url.c_str());
        return cExitOpenFailed;
    }
    return cExitFound;
}
