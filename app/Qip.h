#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariant>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "describe/DeviceDescriber.h"
#include "app/QipDelegate.h"
#include "app/QipSearchFindings.h"
#include "app/QipSettle.h"
#include "ksp/KspNetworkInterface.h"
#include "qip/QipDevice.h"
#include "qip/QipDeviceList.h"

#include <atomic>

typedef QipDeviceList::ChangeHandler QipDeviceList_ChangeHandler;

class QipClient;

// The interfaces as the most recent start() of any search enumerated them; read by every
// poll. Touched only on the thread of the searches' event loop.
extern std::vector<KspNetworkInterface> gInterfaces;

// A device search on the Qt event loop of the thread that owns it. It owns one discovery
// client and one device list (created by start), polls the list with a repeating timer and
// reports to its delegate (not owned; it must outlive the search). Every operation, the
// ticks and the reports included, runs on the owning thread; only the status pages of a
// tick are read on a worker thread of the search's own, so the event loop never waits for a
// device. A tick's report comes from the event loop once its pages are read; while they are
// read, further ticks are skipped, so one tick never runs twice at once.
// Between the polls the search looks at the device list often, reading no page: from the
// moment the answers have settled (QipSettle) it tells the delegate devicesHeard whenever
// what it hears changes, so a device that answers, changes or ages out is seen at once and
// a hanging page delays nothing but its own SSID.
class Qip : public QObject {
    Q_OBJECT
public:
    // Stores the delegate, the wanted device types and the poll interval (a number whose
    // fraction is cut; a value below 1 falls back to 10 with one line on standard error).
    // Starts nothing.
    Qip(QipDelegate* delegate, const QStringList& deviceKennungen, const QVariant& timeout,
        QObject* parent = nullptr);
    // Stops the timer, ends a read under way at once (no report follows) and takes down the
    // client, then the device list.
    ~Qip() override;

    // Creates the client and the list, snapshots the interfaces into gInterfaces and starts
    // a repeating timer of timeout() seconds, and the looks (cLookMs, then cLiveLookMs once
    // settled). A second start does nothing. When the client
    // cannot open its port the search stops itself and, from the event loop, tells the
    // delegate discoveryPortUnavailable instead of ever reporting.
    void start();
    // Stops polling and ends a read under way at once, its report dropped; discovery and
    // ageing go on.
    void suspend();
    // Polls again every 2 seconds, the count of empty polls starting from 0, reading every
    // page again. Does nothing
    // while a timer runs, before start() or after stop().
    void resume();
    // Stops polling and looking and takes down the client, then the device list.
    void stop();
    // Whether the answers have settled (devicesHeard has been told, or would have been).
    bool isSettled() const { return _settle.IsSettled(); }
    static const int cLookMs = 100;
    static const int cLiveLookMs = 250;
    // Once settled, a look with no device come, gone or restarted since the last one takes
    // no snapshot unless this long has passed: the times of the answers it would follow
    // matter to the second, and copying thousands of records four times a second would
    // cost more than all else.
    static const int cQuietLookMs = 1000;
    // With more devices than one wave of page reads (DeviceDescriber::cMaxConcurrentFetches),
    // a poll leaves alone the pages read less than this long ago (their devices reported
    // with PageOutcome "skipped", as a look reports them), so that a page is read about once
    // a broadcast round however short the poll interval; resume() reads every page again.
    static const int cRereadMs = 9000;
    // Has the client broadcast at once, so that a device switched on since the last round
    // answers before the next poll rather than up to a whole broadcast period later.
    void broadcastNow();

    // Whether the looks and polls report devices of every type, not only the wanted ones
    // (those of other types carry "OtherType" true); the answers settle on the wanted ones
    // alone. Takes effect at the next look and poll.
    void setAllTypes(bool allTypes) {
        _allTypes = allTypes;
        _listWatch.mChanged = true;
    }
    bool allTypes() const { return _allTypes; }

    // The networks to probe beyond the broadcast domain (addresses, ranges, host names as
    // qip-discover --probe takes them; malformed ones are skipped). Takes effect at start().
    void setProbeTargets(const QStringList& targets);
    QStringList probeTargets() const { return _probeTargets; }

    QStringList deviceKennungen() const;
    void setDeviceKennungen(const QStringList& deviceKennungen);
    QVariant timeout() const;
    void setTimeout(const QVariant& timeout);
    // The running timer, or null while none runs.
    QTimer* timer() const;
    void setTimer(QTimer* timer);  // takes ownership; the old timer is stopped and discarded

    // The poll interval in whole seconds that timeout() gives (the fraction cut).
    int intervalSeconds() const;
    // The same for any timeout value: 1 to INT_MAX / 1000, 10 for what is no number of at
    // least 1. Pure.
    static int IntervalSecondsFor(const QVariant& timeout);

    // Test seams; the application uses neither.
    // Where ticks take their snapshot from. With a source set before start(), start() opens
    // no client and no device list, so nothing is sent. Not owned; called on this thread.
    class SnapshotSource {
    public:
        virtual std::vector<QipDevice> TakeSnapshot() = 0;

    protected:
        ~SnapshotSource() = default;
    };
    void setSnapshotSource(SnapshotSource* source);
    // The interfaces start() takes for the machine's: gInterfaces becomes their usable ones
    // and findings() names them, so that a test reads the same on any machine. Set before
    // start(); without it start() reads the machine's.
    void setInterfaceScan(const KspNetworkInterface::Scan& scan);
    // How ticks read status pages (null: over the network). Not owned.
    void setStatusFetcher(DeviceDescriber::StatusFetcher* fetcher);
    // The number of empty polls since creation or the last resume().
    quint32 counter() const { return _counter; }
    // Whether stop() ran (or start() stopped the search for want of a port).
    bool isStopped() const { return _stopped; }
    // Whether a tick's status pages are being read now (its report still to come).
    bool isReading() const { return static_cast<bool>(_read); }

    // What this search learned so far besides the wanted devices.
    QipSearchFindings findings() const;

public slots:
    // One look at the device list; run by the look timer. Reports nothing before the answers
    // settle, then devicesHeard when the devices heard differ from the last ones told.
    void look();

    // One poll; run by the timer. An empty tick of a snapshot source reports before it
    // returns (one of the client's list, whose copy is taken on the read's thread, from the
    // event loop once it was taken); a tick with
    // devices starts reading their status pages and reports from the event loop later.
    // Does nothing while the last tick is still reading.
    void timerCallback();

private:
    class PollRead;
    // The read of the running tick, or null.
    std::unique_ptr<PollRead> _read;
    // Numbers the reads, so that the report of an ended read is never taken for a later one.
    quint64 _readSequence = 0;
    // From the event loop: the read numbered `sequence` has ended; reports its devices.
    void pollReadDone(quint64 sequence);
    // When each address's page was last read (ms of _since), for at most cRereadMs.
    std::map<std::string, qint64> _pageReadMs;
    // Ends the read under way at once and joins its thread; its report is dropped.
    void endRead();
    // Counts an empty poll; the third and later tell deviceNotFound.
    void countEmptyTick();

    QipDelegate* _delegate;
    QStringList _deviceKennungen;
    QStringList _probeTargets;
    QVariant _timeout;
    std::unique_ptr<QTimer> _timer;
    quint32 _counter;
    std::unique_ptr<QipClient> _qipClient;
    std::unique_ptr<QipDeviceList> _qipDeviceList;
    bool _stopped;
    bool _started = false;
    SnapshotSource* _snapshotSource = nullptr;
    DeviceDescriber::StatusFetcher* _statusFetcher = nullptr;
    // What start() found to broadcast on, and whether the port could be opened.
    KspNetworkInterface::Scan _scan;
    bool _hasGivenScan = false;  // _scan was given by setInterfaceScan
    bool _portOpen = true;
    // Distinct ids per type seen in snapshots, for searches without a client (the client
    // counts every hello itself).
    std::map<std::string, std::set<std::string>> _snapshotIdsByType;

    // Notes that the device list changed (a device came, left or restarted); any thread.
    class ListWatch : public QipDeviceList_ChangeHandler {
    public:
        void OnChange() override { mChanged = true; }
        std::atomic<bool> mChanged{true};
    };
    ListWatch _listWatch;
    qint64 _lastLookMs = -1;  // when the last settled look took a snapshot
    std::unique_ptr<QTimer> _lookTimer;
    QElapsedTimer _since;  // from start()
    QipSettle _settle;
    // What devicesHeard told last (QipHeardKeys); null before it told anything.
    std::shared_ptr<const std::vector<std::string>> _heardKeys;
    class LookRead;
    std::unique_ptr<LookRead> _look;  // the look under way, or null
    quint64 _lookSequence = 0;
    // From the event loop: the look numbered `sequence` has ended.
    void lookDone(quint64 sequence);
    // Waits for the look under way and drops it.
    void endLook();
    // What a look found: settles, and tells the delegate when it changed.
    void tellLook(const std::set<std::string>& wantedIds,
                  const std::shared_ptr<const std::vector<std::string>>& keys, bool changed,
                  const QVariantList& heard);
    bool _allTypes = false;
    void startLooking();

    // Creates, connects and starts a repeating timer of `seconds` and stores it.
    void scheduleTimer(int seconds);
    std::vector<QipDevice> takeSnapshot();
    // Counts the device ids of snapshot by type into _snapshotIdsByType.
    void noteTypes(const std::vector<QipDevice>& snapshot);
};
