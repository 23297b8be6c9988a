#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "describe/DeviceDescriber.h"
#include "ksp/KspThread.h"
#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "tools/exporter/QipExporterHttp.h"
#include "tools/exporter/QipExporterLog.h"
#include "tools/exporter/QipExporterMetrics.h"
#include "tools/exporter/QipExporterOptions.h"
#include "tools/exporter/QipExporterPages.h"

// The qip-exporter program: one discovery client and device list running for good, a page
// thread that reads a device's status page when the device appears or its packet id
// changes (at most every 30 s per device, and never on a scrape; see QipExporterPages), and
// the HTTP server whose threads make the metrics on each scrape. The main thread only waits
// for signals, which are blocked in every other thread: SIGHUP reads --web-config again; on
// SIGTERM or SIGINT it takes everything down within a second: status page reads cannot be
// interrupted, so when one is under way the process ends without waiting for it.
class QipExporter {
public:
    static const int cExitStopped = 0;
    static const int cExitCannotServe = 1;  // the HTTP port or the UDP port cannot be opened
    static const int cExitUsage = 2;
    // The longest sleep of the page thread when nothing is due (it wakes on each change).
    static const unsigned long cIdleWaitMs = 600000;

    // The whole program: parses, runs, returns the exit status.
    static int Main(int argc, char** argv);

    QipExporter(const QipExporterOptions& options, QipExporterLog* log);
    QipExporter(const QipExporter&) = delete;
    QipExporter& operator=(const QipExporter&) = delete;
    // Takes down the HTTP server, the page thread, the client, then the list.
    ~QipExporter();

    // Usage errors that need the system: an --interface name this machine lacks. False with
    // `error`.
    static bool CheckNames(QipExporterOptions& options, std::string& error);

    // Opens everything, serves until a signal, returns the exit status. `options` passed
    // CheckNames.
    int Run();

private:
    class PageThread : public KspThread {
    public:
        explicit PageThread(QipExporter* outer) : mOuter(outer) {}
        void Run() override;

    private:
        QipExporter* mOuter;
    };

    // Wakes the page thread on each change of the list (on the list's threads).
    class ChangeNotifier : public QipDeviceList::ChangeHandler {
    public:
        explicit ChangeNotifier(QipExporter* outer) : mOuter(outer) {}
        void OnChange() override;

    private:
        QipExporter* mOuter;
    };

    // SIGHUP: reads --web-config again and serves with it, or logs why not and keeps the
    // one in force; main thread.
    void ReloadWebConfig();
    // Reads every page that is due, batch after batch, until none is; page thread.
    void ReadDuePages();

    QipExporterOptions mOptions;
    QipExporterLog* mLog;
    DeviceDescriber mDescriber;
    QipExporterPages mPages;
    std::unique_ptr<QipClient> mClient;
    std::unique_ptr<QipDeviceList> mList;
    std::shared_ptr<QipExporterMetrics> mMetrics;
    QipExporterHttp mHttp;
    ChangeNotifier mChangeNotifier;
    PageThread mPageThread;
    bool mPageThreadStarted;
    std::atomic<bool> mIsReading;  // a batch of page reads is under way
    uint64_t mSeenSerial;          // page thread only: the list's changes read so far
};
