#include "tools/discover/QipDiscover.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
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
#include "tools/discover/QipDiscoverOutput.h"
#include "tools/discover/QipDiscoverWaker.h"
#include "tools/discover/QipListenEnd.h"

extern char** environ;

namespace {

const int cProgressPeriodMs = 250;
// How often a run looks whether its first probe sweep is over; the wait starts from then.
const long long cProbePollMs = 10;
// How often a wait for the page opener looks whether it has ended.
const int cOpenerPollMs = 50;

}  // namespace

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
    QipDiscoverGuardStandardDescriptors();
    QipDiscoverOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        fprintf(stderr, "qip-discover: %s\nTry 'qip-discover --help'.\n",
                QipDiscoverFormat::TerminalText(error).c_str());
        return cExitUsage;
    }
    if (options.mHelp || options.mVersion) {
        QipDiscoverOutput(options.mHelp ? QipDiscoverOptions::Usage()
                             : std::string("qip-discover ") + QIPFINDER_VERSION + "\n");
        return QipDiscoverFlushOutput() ? cExitFound : cExitWriteError;
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
    if (mOptions.IsStoreCommand()) return RunStoreCommand();
    // Opened and read on the store's own thread while the search goes on.
    if (!mOptions.mNoStore) mStore.reset(new QipDeviceStore(QipDeviceStore::DefaultPath(), "qip-discover"));
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
    // Names are left to the client, which looks them up in the background: the broadcasts
    // never wait for a name server, and a name that does not resolve is in the diagnosis.
    QipClient::Options clientOptions;
    clientOptions.mInterfaces = mOptions.mInterfaces;
    clientOptions.mProbeTargets = mOptions.mProbeTargets;
    clientOptions.mProbeRate = mOptions.mProbeRate;
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
    if (mOptions.mVerbose) {
        fprintf(stderr, "qip-discover: %s\n",
                QipDiagnosis::DescribePortRole(*mClient).c_str());
    }
    mList.reset(new QipDeviceList(mClient.get()));
    return mOptions.mWatch ? Watch() : ListOnce();
}

int QipDiscover::SignalStatus() const {
    if (mOptions.mWatch) return cExitFound;
    return QipDiscoverPendingSignal() == SIGTERM ? cExitTerminated : cExitInterrupted;
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
        if (QipDiscoverPendingSignal() != 0) Abandon();
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
    rules.mHoldForProbes = mClient->HasProbeTargets();
    uint64_t probeTotal = 0;
    for (const QipProbeTarget& target : mOptions.mProbeTargets) probeTotal += target.GetCount();
    // Only a sweep that takes a while is worth a progress line of its own.
    const bool showsSweep = probeTotal > mOptions.mProbeRate;  // longer than a second
    long long start = KspMonotonicMs();
    long long lastShownMs = start - cProgressPeriodMs;
    QipListenEnd end(rules, start);
    mList->SetChangeHandler(&mChangeNotifier);
    for (;;) {
        const long long now = KspMonotonicMs();
        for (const QipDevice& device : mList->Snapshot()) {
            if (mDescriber.IsWanted(device.GetDeviceType())) {
                end.OnRecord(device.GetDeviceId(), device.GetLastSourceAddress(), now);
            }
        }
        QipClient::ProbeProgress probes;
        if (end.IsHoldingForProbes()) {
            probes = mClient->GetProbeProgress();
            if (probes.mSweeps > 0) {
                end.OnProbesSent(probes.mLastSweepEndMs);
                start = probes.mLastSweepEndMs;
            }
        }
        if (end.GetState(now) != QipListenEnd::cListening) break;
        long long left = end.NextDeadline() - now;
        if (end.IsHoldingForProbes() && left > cProbePollMs) left = cProbePollMs;
        if (left < 0) left = 0;
        if (mShowsProgress) {
            char text[96];
            if (end.IsHoldingForProbes()) {
                snprintf(text, sizeof text, "Probing: %llu of %llu addresses asked, %zu found",
                         static_cast<unsigned long long>(probes.mSent),
                         static_cast<unsigned long long>(probeTotal), end.GetDeviceCount());
            } else {
                snprintf(text, sizeof text, "Searching: %lld s left, %zu found",
                         (start + rules.mWaitMs - now + 999) / 1000, end.GetDeviceCount());
            }
            // The sweep is watched every few ms; the line is redrawn at the usual pace.
            if ((!end.IsHoldingForProbes() || showsSweep) && now - lastShownMs >= cProgressPeriodMs) {
                ShowProgress(text);
                lastShownMs = now;
            }
            if (left > cProgressPeriodMs) left = cProgressPeriodMs;
        }
        if (mWaker->Wait(static_cast<int>(left)) & Waker::cSignal) {
            ShowProgress("");
            return SignalStatus();
        }
    }
    mList->SetChangeHandler(nullptr);

    // One view of what was heard, for the listing and the diagnosis alike: the counts are
    // taken before the list, and the client counts a hello only once the list holds it, so
    // an answer that comes in meanwhile shows in the list alone or in neither, and the
    // diagnosis never counts a wanted device that the listing lacks.
    const QipDiagnosis::Input heard = QipDiagnosis::MakeInput(*mClient, mScan, mOptions.mTypes, mList.get());
    std::vector<QipDevice> snapshot = mList->Snapshot();
    const long long listened = KspMonotonicMs();
    // Test seam: answers that arrive while the report is being made must change nothing.
    if (const char* hold = getenv("QIP_DISCOVER_TEST_HOLD_REPORT_MS")) {
        const long long until = listened + atoi(hold);
        for (long long left; (left = until - KspMonotonicMs()) > 0;) {
            if (mWaker->Wait(static_cast<int>(left)) & Waker::cSignal) return SignalStatus();
        }
    }
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
    if (QipDiscoverPendingSignal() != 0) return SignalStatus();
    const std::vector<QipDeviceRecord> known = Remember(devices);

    if (mOptions.mJson) {
        for (size_t i = 0; i < devices.size(); ++i) {
            QipDiscoverOutput(QipDiscoverFormat::DeviceJson(devices[i], {}, StoreFields(known[i])) + "\n");
        }
    } else {
        std::vector<std::string> labels;
        for (const QipDeviceRecord& record : known) labels.push_back(record.mLabel);
        QipDiscoverOutput(QipDiscoverFormat::Table(devices, labels));
    }
    if (!QipDiscoverFlushOutput()) return cExitWriteError;
    if (devices.empty()) {
        fputs("qip-discover: no device found\n", stderr);
        if (!mOptions.mQuiet) PrintDiagnosis(heard, listened - start);
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
        if (QipDiscoverPendingSignal() != 0) return SignalStatus();
        const int status = OpenPage(devices[chosen].mDeviceIp);
        if (status == cExitFound && mStore) {
            mStore->NoteOpened(devices[chosen].mDeviceId, devices[chosen].mDeviceType, time(nullptr));
        }
        return status;
    }
    return cExitFound;
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
