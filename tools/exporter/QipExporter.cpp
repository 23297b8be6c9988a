#include "tools/exporter/QipExporter.h"

#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "cli/QipProgramOutput.h"
#include "describe/QipDiagnosis.h"
#include "ksp/KspClock.h"
#include "ksp/KspNetworkInterface.h"
#include "sysinfo/SysInfo.h"
#include "tools/discover/QipDiscoverFormat.h"

const unsigned long QipExporter::cIdleWaitMs;

int QipExporter::Main(int argc, char** argv) {
    QipExporterOptions options;
    std::string error;
    const QipProgramOutput output("qip-exporter");
    if (!options.Parse(argc, argv, error)) {
        return output.UsageError(QipDiscoverFormat::TerminalText(error));
    }
    if (options.mHelp || options.mVersion) {
        return output.Conclude(options.mHelp ? QipOptionParser::Outcome::cHelp
                                             : QipOptionParser::Outcome::cVersion,
                               QipExporterOptions::Usage(), std::string(), cExitCannotServe);
    }
    if (!CheckNames(options, error)) return output.UsageError(error);
    // Blocked before any thread starts, so that every thread inherits the mask and only
    // the main thread's sigwait takes them. A peer that hangs up must not end the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Each thread that allocates would get a malloc arena of its own that keeps what a
    // scrape of a full list (a few MB, briefly) once took, and big buffers above a
    // threshold that grows with them would stay on the heap: two arenas, and buffers of
    // 128 KiB and more straight from and back to the system, keep the memory near what
    // the list holds.
    mallopt(M_ARENA_MAX, 2);
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    QipExporterLog log;
    log.Open();
    int status;
    {
        QipExporter exporter(options, &log);
        status = exporter.Run();
    }
    log.Close();
    return status;
}

QipExporter::QipExporter(const QipExporterOptions& options, QipExporterLog* log)
    : mOptions(options),
      mLog(log),
      mDescriber(options.mTypes, KspNetworkInterface::Enumerate()),
      mChangeNotifier(this),
      mPageThread(this),
      mPageThreadStarted(false),
      mIsReading(false),
      mSeenSerial(0) {
    mDescriber.SetMatchAnyType(options.mTypes.empty());
}

QipExporter::~QipExporter() {
    mHttp.Stop();
    if (mList) mList->SetChangeHandler(nullptr);
    if (mPageThreadStarted) {
        mPageThread.Stop();
        mPageThread.WaitForCompletion();
    }
    // The client's receive thread hands hellos to the list, so the client goes first.
    mClient.reset();
    mList.reset();
}

bool QipExporter::CheckNames(QipExporterOptions& options, std::string& error) {
    const KspNetworkInterface::Scan scan = KspNetworkInterface::EnumerateForDiscovery();
    const std::vector<std::string> unknown = QipClient::FindUnknownNames(scan, options.mInterfaces);
    if (!unknown.empty()) {
        error = "unknown interface '" + QipDiscoverFormat::TerminalText(unknown.front()) +
                "'; see qip-ifaces for this machine's interfaces";
        return false;
    }
    // Names are left to the client, which looks them up in the background each cycle: the
    // first sweep never waits for a name server, and a name that does not resolve is said
    // on standard error.
    return true;
}

int QipExporter::Run() {
    const KspNetworkInterface::Scan scan = KspNetworkInterface::EnumerateForDiscovery();
    const std::vector<QipProbeTarget>& probeTargets = mOptions.mProbeTargets;
    std::string probed;
    for (const QipProbeTarget& target : probeTargets) {
        probed += (probed.empty() ? "" : ", ") + QipDiscoverFormat::TerminalText(target.GetText()) +
                  (!target.IsResolved() ? std::string(" (not resolved yet)")
                                        : " (" + std::to_string(target.GetCount()) +
                                              (target.GetCount() == 1 ? " address)" : " addresses)"));
    }
    QipClient::Options clientOptions;
    clientOptions.mInterfaces = mOptions.mInterfaces;
    clientOptions.mProbeTargets = probeTargets;
    clientOptions.mProbeRate = mOptions.mProbeRate;
    mClient.reset(new QipClient(clientOptions));
    if (!mClient->IsSocketOpen()) {
        mLog->Write(QipExporterLog::cError,
                    "cannot open UDP port " + std::to_string(QipClient::cPort) +
                        "; another program may be using it");
        return cExitCannotServe;
    }
    mList.reset(new QipDeviceList(mClient.get()));
    mMetrics = std::make_shared<QipExporterMetrics>(mList.get(), mClient.get(), &mDescriber,
                                                    &mPages, !mOptions.mNoSsid, mOptions.mTypes,
                                                    QIPFINDER_VERSION);
    std::string error;
    QipExporterWebConfig webConfig;
    if (!mOptions.mWebConfig.empty() && !QipExporterWebConfig::Load(mOptions.mWebConfig, webConfig, error)) {
        mLog->Write(QipExporterLog::cError, QipDiscoverFormat::TerminalText(error));
        return cExitCannotServe;
    }
    if (!mHttp.Start(mOptions.mListen, mMetrics, QIPFINDER_VERSION, webConfig, error)) {
        mLog->Write(QipExporterLog::cError, "cannot listen on " + mOptions.mListen + ": " + error);
        return cExitCannotServe;
    }
    if (mClient->IsPortShared()) {
        mLog->Write(QipExporterLog::cWarning,
                    "another program also holds UDP port " + std::to_string(QipClient::cPort) +
                        "; devices answer only one of them, so some may be missing here");
    }
    if (!mOptions.mNoSsid) {
        mList->SetChangeHandler(&mChangeNotifier);
        mPageThreadStarted = mPageThread.Start() == 0;
        if (!mPageThreadStarted) {
            mLog->Write(QipExporterLog::cError, "cannot start the status page reader");
            return cExitCannotServe;
        }
    }
    const KspNetworkInterface::Scan used = QipClient::ApplyFilter(scan, mOptions.mInterfaces);
    std::string names;
    for (const KspNetworkInterface& interface : used.mUsable) {
        names += (names.empty() ? "" : ", ") + QipDiscoverFormat::TerminalText(interface.GetName());
    }
    mLog->Write(QipExporterLog::cInfo,
                std::string("serving ") + (webConfig.mTls ? "https://" : "http://") + mOptions.mListen +
                    "/metrics" + (webConfig.mUsers.empty() ? "" : " (basic authentication)") +
                    "; discovering on " +
                    (names.empty() ? std::string("no interface yet") : names) +
                    (probed.empty() ? std::string() : "; probing " + probed));
    mLog->Write(QipExporterLog::cInfo,
                QipDiagnosis::DescribePortRole(*mClient));

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    int signalNumber = 0;
    for (;;) {
        // Woken each second to take down a server that a new web configuration replaced.
        const timespec second = {1, 0};
        signalNumber = sigtimedwait(&signals, nullptr, &second);
        mHttp.Tick(KspMonotonicMs());
        if (signalNumber == SIGINT || signalNumber == SIGTERM) break;
        if (signalNumber == SIGHUP) ReloadWebConfig();
    }
    mLog->Write(QipExporterLog::cInfo,
                std::string("stopping on ") + (signalNumber == SIGINT ? "SIGINT" : "SIGTERM"));
    mHttp.Stop();
    if (mIsReading.load()) {
        // A page read cannot be interrupted and may take seconds; nothing is left to save.
        mLog->Close();
        _exit(cExitStopped);
    }
    return cExitStopped;
}

void QipExporter::ReloadWebConfig() {
    if (mOptions.mWebConfig.empty()) {
        mLog->Write(QipExporterLog::cInfo, "SIGHUP: no --web-config to read again");
        return;
    }
    QipExporterWebConfig config;
    std::string error;
    if (!QipExporterWebConfig::Load(mOptions.mWebConfig, config, error) || !mHttp.Reconfigure(config, error)) {
        mLog->Write(QipExporterLog::cError, QipDiscoverFormat::TerminalText(error) +
                                                "; the web configuration in force stays");
        return;
    }
    mLog->Write(QipExporterLog::cInfo, "web config " + mOptions.mWebConfig + " read again");
}

void QipExporter::ChangeNotifier::OnChange() { mOuter->mPageThread.Wake(); }

void QipExporter::PageThread::Run() {
    while (IsThreadRunning()) {
        mOuter->ReadDuePages();
        // Asleep until a change of the list or the next read is due.
        const long long next = mOuter->mPages.NextDueMs();
        const long long wait = next < 0 ? cIdleWaitMs : next - KspMonotonicMs();
        Pause(static_cast<unsigned long>(std::max(0LL, std::min<long long>(wait, cIdleWaitMs))));
    }
}

void QipExporter::ReadDuePages() {
    while (mPageThread.IsThreadRunning()) {
        // Only what changed since the last look is copied: a host that changes its packet
        // ids on every answer costs a record per change here, not the whole list.
        bool removed = false;
        const std::vector<QipDevice> changed = mList->SnapshotChangedSince(mSeenSerial, mSeenSerial, removed);
        // Ageing removes records every few seconds at most; only then is the whole list looked at.
        if (removed) mPages.Prune(mList->Snapshot());
        long long now = KspMonotonicMs();
        for (const QipDevice& device : changed) {
            if (mDescriber.IsWanted(device.GetDeviceType())) mPages.Note(device, now);
        }
        std::vector<QipDevice> batch = mPages.TakeDue(now, DeviceDescriber::cMaxConcurrentFetches);
        if (batch.empty()) return;
        std::vector<DeviceDescriber::Group> groups;
        for (uint32_t i = 0; i < batch.size(); ++i) {
            groups.push_back(DeviceDescriber::Group(1, i));
            // The library's line for a failed read then says whose page it was.
            batch[i].GetSysInfo()->SetReportPrefix("status page of " +
                                                   QipDiscoverFormat::TerminalText(batch[i].GetDeviceId()) + " (" +
                                                   QipDiscoverFormat::TerminalText(batch[i].GetDeviceType()) + ") at " +
                                                   batch[i].GetSysInfo()->GetHost() + ": ");
        }
        mIsReading.store(true);
        mDescriber.FetchStatusPages(batch, groups);
        mIsReading.store(false);
        now = KspMonotonicMs();
        for (const QipDevice& device : batch) {
            const SysInfo& page = *device.GetSysInfo();
            // A page the batch's time budget left unbegun has no outcome: still due.
            if (page.GetOutcome().empty()) {
                mPages.Return(device, now);
                continue;
            }
            mPages.Store(QipExporterPages::RecordOf(device), page.GetValue(DeviceDescriber::cSsidPath),
                         page.GetOutcome(), now);
        }
    }
}
