#include "app/Qip.h"

#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <set>
#include <cmath>
#include <limits>

#include "app/QipDeviceDictionary.h"
#include "app/QipLookRead.h"
#include "ksp/KspThread.h"
#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "sysinfo/SysInfo.h"

std::vector<KspNetworkInterface> gInterfaces;

namespace {

const int cDefaultIntervalSeconds = 10;
const int cResumeIntervalSeconds = 2;
// QTimer counts milliseconds in an int.
const int cMaxIntervalSeconds = INT_MAX / 1000;

// The interval that `timeout` asks for, or 0 when it asks for none that can be used.
int RequestedSeconds(const QVariant& timeout) {
    bool ok = false;
    double value = timeout.toDouble(&ok);
    if (!ok || !(value >= 1)) return 0;
    if (value >= cMaxIntervalSeconds) return cMaxIntervalSeconds;
    return static_cast<int>(std::trunc(value));  // whole seconds, the fraction cut
}

// Device texts are bytes from the network; what is not UTF-8 becomes U+FFFD.
QString Text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

// Reads the status pages of one tick's snapshot on a thread of its own, then has the event
// loop of its search take the descriptions. Everything it reads is its own copy, so the
// search may change freely meanwhile. Cancel makes every page under way or to come fail at
// once, so that the owner's join never waits for a device.
class Qip::PollRead : public KspThread, public DeviceDescriber::StatusFetcher {
public:
    PollRead(Qip* outer, quint64 sequence, std::vector<QipDevice> snapshot,
             const std::vector<std::string>& wanted, bool allTypes,
             DeviceDescriber::StatusFetcher* fetcher, QipDeviceList* list,
             std::set<std::string> fresh)
        : mOuter(outer),
          mFresh(std::move(fresh)),
          mSequence(sequence),
          mList(list),
          mSnapshot(std::move(snapshot)),
          mWanted(wanted),
          mDescriber(wanted, gInterfaces),
          mFetcher(fetcher),
          mCancelFd(eventfd(0, EFD_CLOEXEC)) {
        if (mCancelFd < 0) perror("eventfd() failed");
        mDescriber.SetStatusFetcher(this);
        mDescriber.SetMatchAnyType(allTypes);
    }
    PollRead(const PollRead&) = delete;
    PollRead& operator=(const PollRead&) = delete;
    ~PollRead() override {
        if (mCancelFd >= 0) close(mCancelFd);
    }

    // False when the read could not be made cancellable or its thread not started.
    bool Begin() { return mCancelFd >= 0 && Start() == 0; }
    // Ends the read at once; any thread. Join with WaitForCompletion afterwards.
    void Cancel() {
        Stop();
        const uint64_t one = 1;
        if (write(mCancelFd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
            perror("write() to the cancel eventfd failed");
        }
    }
    // Valid once the thread is joined.
    const QVariantList& Dictionaries() const { return mDictionaries; }
    // The addresses whose pages were read (or tried); valid once joined.
    const std::set<std::string>& Read() const { return mRead; }
    // Whether the list was empty: the tick then counts as an empty one.
    bool WasEmpty() const { return mWasEmpty; }

    void Run() override {
        // Copying thousands of records is left to this thread too.
        if (mList != nullptr) mSnapshot = mList->Snapshot();
        mWasEmpty = mSnapshot.empty();
        // Up to one wave of reads, every page is read at every poll; beyond, the pages read
        // a moment ago are left alone.
        if (mSnapshot.size() <= DeviceDescriber::cMaxConcurrentFetches) mFresh.clear();
        mResult = mDescriber.Describe(mSnapshot);
        // A page read a moment ago is not read again: its device says so ("skipped"), and
        // the window keeps what the last read gave.
        for (DeviceDescriber::Description& d : mResult) {
            if (mFresh.count(d.mDeviceIp) != 0) d.mPageOutcome = "skipped";
        }
        // Made here: for thousands of devices the event loop would wait tens of ms for them.
        mDictionaries = QipDeviceDictionaries(mResult, mSnapshot, &mWanted);
        // Freed here too, rather than on the event loop when the read is dropped.
        std::vector<QipDevice>().swap(mSnapshot);
        std::vector<DeviceDescriber::Description>().swap(mResult);
        // Dropped by the toolkit if the search is gone; the search joins this thread first.
        Qip* outer = mOuter;
        const quint64 sequence = mSequence;
        QMetaObject::invokeMethod(
            outer, [outer, sequence] { outer->pollReadDone(sequence); }, Qt::QueuedConnection);
    }

    // Called by the describer on this thread and on its helpers, several at once.
    void FetchStatus(SysInfo& sysInfo) override {
        if (IsCancelled() || mFresh.count(sysInfo.GetHost()) != 0) return;
        {
            std::lock_guard<std::mutex> hold(mReadLock);
            mRead.insert(sysInfo.GetHost());
        }
        sysInfo.SetCancelDescriptor(mCancelFd);
        if (mFetcher != nullptr) {
            mFetcher->FetchStatus(sysInfo);
        } else {
            sysInfo.Fetch();
        }
    }

private:
    bool IsCancelled() const {
        pollfd cancel = {mCancelFd, POLLIN, 0};
        return poll(&cancel, 1, 0) != 0;
    }

    Qip* const mOuter;
    std::set<std::string> mFresh;  // addresses whose pages are not read; set before Run reads
    std::mutex mReadLock;
    std::set<std::string> mRead;         // guarded by mReadLock until joined
    const quint64 mSequence;
    QipDeviceList* const mList;  // where Run takes the snapshot; null: given
    std::vector<QipDevice> mSnapshot;
    const std::vector<std::string> mWanted;
    DeviceDescriber mDescriber;
    DeviceDescriber::StatusFetcher* const mFetcher;
    const int mCancelFd;
    std::vector<DeviceDescriber::Description> mResult;  // written by Run only
    QVariantList mDictionaries;                         // written by Run only
    bool mWasEmpty = false;                             // written by Run only
};

Qip::Qip(QipDelegate* delegate, const QStringList& deviceKennungen, const QVariant& timeout,
         QObject* parent)
    : QObject(parent), _delegate(delegate), _counter(0), _stopped(false) {
    setDeviceKennungen(deviceKennungen);
    setTimeout(timeout);
    setTimer(nullptr);
}

Qip::~Qip() {
    _lookTimer.reset();
    setTimer(nullptr);
    endRead();
    endLook();
    if (_qipDeviceList) _qipDeviceList->SetChangeHandler(nullptr);
    // The client goes first: its receive thread hands hellos to the list without a lock.
    _qipClient.reset();
    _qipDeviceList.reset();
}

void Qip::start() {
    if (_started) return;
    _started = true;
    if (_snapshotSource == nullptr) {
        QipClient::Options options;
        for (const QString& text : _probeTargets) {
            QipProbeTarget target;
            std::string error;
            if (QipProbeTarget::Parse(text.toStdString(), target, error)) {
                options.mProbeTargets.push_back(target);
            }
        }
        // Host names are looked up on the client's send thread, never on this one.
        _qipClient.reset(new QipClient(options));
        _portOpen = _qipClient->IsSocketOpen();
        if (!_portOpen) {
            // A client without its socket would only print that it cannot send, about once a
            // second, for the life of the program.
            stop();
            QTimer::singleShot(0, this, [this] {
                if (_delegate != nullptr) _delegate->discoveryPortUnavailable(QipClient::cPort);
            });
            return;
        }
        _qipDeviceList.reset(new QipDeviceList(_qipClient.get()));
        _qipDeviceList->SetChangeHandler(&_listWatch);
    }
    if (_hasGivenScan) {
        gInterfaces = _scan.mUsable;
    } else {
        gInterfaces = KspNetworkInterface::Enumerate();
        _scan = KspNetworkInterface::EnumerateForDiscovery();
    }
    scheduleTimer(intervalSeconds());
    startLooking();
}

void Qip::suspend() {
    setTimer(nullptr);
    endRead();
}

void Qip::resume() {
    if (!_started || _stopped || _timer) return;
    _counter = 0;
    _pageReadMs.clear();  // looking again reads every page again
    scheduleTimer(cResumeIntervalSeconds);
}

void Qip::broadcastNow() {
    if (_qipClient) _qipClient->BroadcastNow();
}

void Qip::stop() {
    _lookTimer.reset();
    setTimer(nullptr);
    endRead();
    endLook();
    if (_qipDeviceList) _qipDeviceList->SetChangeHandler(nullptr);
    _qipClient.reset();
    _qipDeviceList.reset();
    _stopped = true;
}

void Qip::setProbeTargets(const QStringList& targets) { _probeTargets = targets; }

QStringList Qip::deviceKennungen() const { return _deviceKennungen; }

void Qip::setDeviceKennungen(const QStringList& deviceKennungen) {
    _deviceKennungen = deviceKennungen;
}

QVariant Qip::timeout() const { return _timeout; }

void Qip::setTimeout(const QVariant& timeout) {
    _timeout = timeout;
    if (RequestedSeconds(timeout) == 0) {
        fprintf(stderr, "Poll interval below 1 second; polling every %d seconds\n",
                cDefaultIntervalSeconds);
    }
}

QTimer* Qip::timer() const { return _timer.get(); }

void Qip::setTimer(QTimer* timer) {
    if (timer == _timer.get()) return;
    if (_timer) {
        // The old timer may be the one whose tick is running right now (a delegate that
        // suspends from its report), so it is only stopped here and deleted later.
        QTimer* old = _timer.release();
        old->stop();
        old->disconnect(this);
        old->deleteLater();
    }
    _timer.reset(timer);
    if (timer != nullptr && timer->thread() == thread()) timer->setParent(this);
}

int Qip::intervalSeconds() const { return IntervalSecondsFor(_timeout); }

int Qip::IntervalSecondsFor(const QVariant& timeout) {
    const int seconds = RequestedSeconds(timeout);
    return seconds > 0 ? seconds : cDefaultIntervalSeconds;
}

void Qip::setSnapshotSource(SnapshotSource* source) { _snapshotSource = source; }

void Qip::setInterfaceScan(const KspNetworkInterface::Scan& scan) {
    _scan = scan;
    _hasGivenScan = true;
}

void Qip::setStatusFetcher(DeviceDescriber::StatusFetcher* fetcher) { _statusFetcher = fetcher; }

QipSearchFindings Qip::findings() const {
    QipSearchFindings findings;
    findings.mPortOpen = _portOpen;
    if (!_started) return findings;
    std::vector<std::string> wanted;
    for (const QString& type : _deviceKennungen) wanted.push_back(type.toStdString());
    QipDiagnosis::Input input;
    if (_qipClient) {
        input = QipDiagnosis::MakeInput(*_qipClient, _scan, wanted, _qipDeviceList.get());
    } else {
        input.mTried = _scan.mUsable;
        input.mSkipped = _scan.mSkipped;
        input.mWantedTypes = wanted;
        input.mIsSocketOpen = _portOpen;
        for (const auto& type : _snapshotIdsByType) {
            input.mDevicesByType[type.first] = type.second.size();
        }
    }
    const QipDiagnosis::Result result = QipDiagnosis::Diagnose(input);
    findings.mPortShared = input.mIsPortShared;
    findings.mUntrustedOwnerPid = input.mUntrustedOwnerPid;
    findings.mUntrustedOwnerUser = Text(input.mUntrustedOwnerUser);
    for (const auto& type : result.mOtherTypes) {
        findings.mOtherTypes.append(qMakePair(Text(type.first), static_cast<int>(type.second)));
    }
    for (const KspNetworkInterface& network : input.mTried) {
        findings.mInterfaces.append(
            Text(network.GetName() + " " + network.DescribeAddress()));
    }
    for (const std::string& probed : input.mProbed) findings.mProbed.append(Text(probed));
    findings.mCauses = result.mCauses;
    return findings;
}

void Qip::noteTypes(const std::vector<QipDevice>& snapshot) {
    for (const QipDevice& device : snapshot) {
        _snapshotIdsByType[device.GetDeviceType()].insert(device.GetDeviceId());
    }
}

void Qip::timerCallback() {
    // One tick at a time: the one still reading reports for both.
    if (_read) return;
    // The client's list is copied on the read's thread; a snapshot source is read here.
    QipDeviceList* list = _snapshotSource == nullptr ? _qipDeviceList.get() : nullptr;
    std::vector<QipDevice> snapshot;
    if (list == nullptr) {
        snapshot = takeSnapshot();
        if (!_qipClient) noteTypes(snapshot);
        if (snapshot.empty()) {
            countEmptyTick();
            return;
        }
    }
    std::vector<std::string> wanted;
    for (const QString& type : _deviceKennungen) wanted.push_back(type.toStdString());
    // Pages read within cRereadMs are left alone: with thousands of devices, reading every
    // page at every poll would cost more than all else.
    std::set<std::string> fresh;
    const qint64 now = _since.isValid() ? _since.elapsed() : 0;
    for (auto at = _pageReadMs.begin(); at != _pageReadMs.end();) {
        if (now - at->second < cRereadMs) {
            fresh.insert(at->first);
            ++at;
        } else {
            at = _pageReadMs.erase(at);
        }
    }
    std::unique_ptr<PollRead> read(new PollRead(this, ++_readSequence, std::move(snapshot), wanted,
                                                _allTypes, _statusFetcher, list, std::move(fresh)));
    _read = std::move(read);
    if (!_read->Begin()) {
        // Without a thread of its own the tick reads here, as it must report all the same.
        fputs("Reading the status pages on the main thread\n", stderr);
        _read->Run();
    }
}

void Qip::pollReadDone(quint64 sequence) {
    // A read ended by suspend() or stop() may have posted its report before it was joined.
    if (!_read || sequence != _readSequence) return;
    _read->WaitForCompletion();
    const std::unique_ptr<PollRead> read = std::move(_read);
    if (read->WasEmpty()) {
        countEmptyTick();
        return;
    }
    const qint64 now = _since.isValid() ? _since.elapsed() : 0;
    for (const std::string& address : read->Read()) _pageReadMs[address] = now;
    const QVariantList devices = read->Dictionaries();
    // The delegate may suspend or stop this search; nothing of it is touched afterwards.
    if (_delegate != nullptr) _delegate->deviceFound(devices);
}

void Qip::countEmptyTick() {
    if (_counter < std::numeric_limits<quint32>::max()) ++_counter;
    if (_counter > 2 && _delegate != nullptr) _delegate->deviceNotFound();
}

void Qip::endRead() {
    if (!_read) return;
    _read->Cancel();
    _read->WaitForCompletion();
    _read.reset();
}

void Qip::scheduleTimer(int seconds) {
    QTimer* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(false);
    timer->setInterval(seconds * 1000);
    connect(timer, &QTimer::timeout, this, &Qip::timerCallback);
    timer->start();
    setTimer(timer);
}

std::vector<QipDevice> Qip::takeSnapshot() {
    if (_snapshotSource != nullptr) return _snapshotSource->TakeSnapshot();
    if (_qipDeviceList) return _qipDeviceList->Snapshot();
    return std::vector<QipDevice>();
}
