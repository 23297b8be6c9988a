#pragma once

#include <memory>
#include <string>
#include <vector>

#include "describe/DeviceDescriber.h"
#include "qip/QipDeviceList.h"
#include "tools/discover/QipDeviceChanges.h"
#include "tools/discover/QipDiscoverOptions.h"

class QipClient;

// The qip-discover program: discovers on every IPv4 interface with one client and one
// device list, then lists the devices once, or prints each change of the list until
// SIGINT or SIGTERM. Runs on the main thread; the list's change notification only wakes it.
class QipDiscover {
public:
    static const int cExitFound = 0;
    static const int cExitNone = 1;
    static const int cExitUsage = 2;  // also: the UDP port cannot be opened
    static const int cExitOpenFailed = 3;
    static const int cExitInterrupted = 130;

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
    class WakePipe;

    // Writes one wake-up to the pipe per change of the list (on the list's threads).
    class ChangeNotifier : public QipDeviceList::ChangeHandler {
    public:
        explicit ChangeNotifier(QipDiscover* outer) : mOuter(outer) {}
        void OnChange() override;

    private:
        QipDiscover* mOuter;
    };

    int ListOnce();
    int Watch();
    void PrintChanges(std::vector<QipDeviceChanges::Entry>& shown,
                      std::vector<std::string>& shownSsids);
    void ShowProgress(const std::string& text);
    int OpenPage(const std::string& address);

    QipDiscoverOptions mOptions;
    std::unique_ptr<WakePipe> mWakePipe;
    ChangeNotifier mChangeNotifier;
    DeviceDescriber mDescriber;
    std::unique_ptr<QipClient> mClient;
    std::unique_ptr<QipDeviceList> mList;
    bool mShowsProgress;
};
