#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "describe/DeviceDescriber.h"
#include "describe/QipDiagnosis.h"
#include "ksp/KspNetworkInterface.h"
#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "store/QipDeviceStore.h"
#include "tools/discover/QipDeviceChanges.h"
#include "tools/discover/QipDiscoverFormat.h"
#include "tools/discover/QipDiscoverOptions.h"


// The qip-discover program: discovers on every IPv4 interface with one client and one
// device list, then lists the devices once, or prints each change of the list until
// SIGINT or SIGTERM. Runs on the main thread; the list's change notification only wakes it.
//
// SIGINT and SIGTERM end the program within about a second whatever it is doing. While
// status pages are being read they end the process at once (_exit) without waiting for the
// readers, which cannot be interrupted, and without printing or opening anything.
class QipDiscover {
public:
    static const int cExitFound = 0;
    static const int cExitNone = 1;
    static const int cExitUsage = 2;  // also: the UDP port cannot be opened
    static const int cExitOpenFailed = 3;
    static const int cExitWriteError = 4;
    static const int cExitNotOpened = 5;  // --open: devices found, but no single one to open
    static const int cExitStoreFailed = 6;  // --label, --forget: the store could not be changed
    static const int cExitInterrupted = 130;  // 128 + SIGINT
    static const int cExitTerminated = 143;   // 128 + SIGTERM

    // The whole program: parses, runs, returns the exit status.
    static int Main(int argc, char** argv);

    explicit QipDiscover(const QipDiscoverOptions& options);
    QipDiscover(const QipDiscover&) = delete;
    QipDiscover& operator=(const QipDiscover&) = delete;
    // Takes down the client, then the list.
    ~QipDiscover();

    // Opens the client and the list and does what the options ask; the exit status.
    int Run();

private:
    class Waker;
    class FetchThread;

    // Wakes the main thread once per batch of changes of the list (on the list's threads).
    class ChangeNotifier : public QipDeviceList::ChangeHandler {
    public:
        explicit ChangeNotifier(QipDiscover* outer) : mOuter(outer) {}
        void OnChange() override;

    private:
        QipDiscover* mOuter;
    };

    // Tells --verbose what the client does, on the client's threads.
    class Tracer : public QipClient::TraceHandler {
    public:
        explicit Tracer(QipDiscover* outer) : mOuter(outer) {}
        void OnTrace(const Event& event) override;

    private:
        QipDiscover* mOuter;
    };

    int ListOnce();
    // --known, --label, --forget: the store alone, nothing sent.
    int RunStoreCommand();
    // Hands the devices found to the store (when there is one) and returns what it knows of
    // each, in order: the label, and first and last seen (this run's for a new device).
    std::vector<QipDeviceRecord> Remember(const std::vector<DeviceDescriber::Description>& devices);
    // The store's keys of one device for a JSON line: "label", "first_seen", "last_seen".
    static QipDiscoverFormat::Fields StoreFields(const QipDeviceRecord& record);
    // Why nothing wanted was found, on standard error, from what was heard when listening
    // ended after `listenedMs`.
    void PrintDiagnosis(const QipDiagnosis::Input& input, long long listenedMs);
    int Watch();
    // False when the output could not be written (already reported).
    bool PrintChanges(std::vector<QipDeviceChanges::Entry>& shown,
                      std::vector<DeviceDescriber::Description>& shownDevices);
    // Reads the status pages of `groups` on a thread of its own while the main thread
    // waits for it or for a signal; a signal ends the process there and then.
    void FetchStatusPages(std::vector<QipDevice>& snapshot,
                          const std::vector<DeviceDescriber::Group>& groups);
    [[noreturn]] void Abandon();
    // The exit status for the signal that asked the program to end.
    int SignalStatus() const;
    void ShowProgress(const std::string& text);
    int OpenPage(const std::string& address);

    QipDiscoverOptions mOptions;
    std::unique_ptr<Waker> mWaker;
    ChangeNotifier mChangeNotifier;
    DeviceDescriber mDescriber;
    Tracer mTracer;
    KspNetworkInterface::Scan mScan;  // the interfaces discovery uses and skips
    std::unique_ptr<QipClient> mClient;
    std::unique_ptr<QipDeviceList> mList;
    std::unique_ptr<QipDeviceStore> mStore;  // null with --no-store
    bool mShowsProgress;
};
