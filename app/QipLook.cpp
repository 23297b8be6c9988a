// The search's looks between polls: what the device list holds, told without reading a page.
// With thousands of devices, copying the list and describing it takes tens of milliseconds:
// a look of the client's list does that on a thread of its own, so the event loop only
// takes the outcome, and builds nothing when nothing changed.
#include "app/Qip.h"

#include <algorithm>
#include <set>

#include "app/QipDeviceDictionary.h"
#include "app/QipLookRead.h"
#include "ksp/KspThread.h"
#include "qip/QipClient.h"

QipLookOutcome QipDescribeLook(std::vector<QipDevice>& snapshot, const DeviceDescriber& describer,
                     const std::vector<std::string>& wanted, bool allTypes,
                     const std::shared_ptr<const std::vector<std::string>>& told) {
    QipLookOutcome outcome;
    const std::vector<DeviceDescriber::Description> descriptions =
        describer.Describe(snapshot, false);
    for (const DeviceDescriber::Description& d : descriptions) {
        if (!allTypes || std::find(wanted.begin(), wanted.end(), d.mDeviceType) != wanted.end()) {
            outcome.mWantedIds.insert(d.mDeviceId);
        }
    }
    // What was told is compared in plain bytes first: making thousands of dictionaries
    // every look would cost more than everything else here.
    auto keys = std::make_shared<std::vector<std::string>>(QipHeardKeys(descriptions, snapshot));
    outcome.mChanged = !told || *told != *keys;
    outcome.mKeys = std::move(keys);
    if (outcome.mChanged) outcome.mHeard = QipDeviceDictionaries(descriptions, snapshot, &wanted);
    return outcome;
}

void Qip::startLooking() {
    _since.start();
    // A subscriber hears at once what the port's owner heard before: a lone device it knew
    // opens without waiting out the first broadcast's answers.
    _settle = QipSettle(0, _qipClient && _qipClient->GetRole() == QipClient::cRoleSubscriber);
    _lookTimer.reset(new QTimer(this));
    _lookTimer->setInterval(cLookMs);
    connect(_lookTimer.get(), &QTimer::timeout, this, &Qip::look);
    _lookTimer->start();
}

void Qip::look() {
    if (_look) return;  // one at a time: the one under way tells what it finds
    if (_settle.IsSettled() && _qipDeviceList && !_listWatch.mChanged.exchange(false) &&
        _lastLookMs >= 0 && _since.elapsed() - _lastLookMs < cQuietLookMs) {
        return;
    }
    _lastLookMs = _since.elapsed();
    std::vector<std::string> wanted;
    for (const QString& type : _deviceKennungen) wanted.push_back(type.toStdString());
    DeviceDescriber describer(wanted, gInterfaces);
    describer.SetMatchAnyType(_allTypes);
    if (_qipDeviceList) {
        std::unique_ptr<LookRead> read(new LookRead(this, ++_lookSequence, _qipDeviceList.get(),
                                                    describer, wanted, _allTypes, _heardKeys));
        if (read->Start() == 0) {
            _look = std::move(read);
            return;
        }
        fputs("Looking at the device list on the main thread\n", stderr);
    }
    std::vector<QipDevice> snapshot = takeSnapshot();
    QipLookOutcome outcome = QipDescribeLook(snapshot, describer, wanted, _allTypes, _heardKeys);
    tellLook(outcome.mWantedIds, outcome.mKeys, outcome.mChanged, outcome.mHeard);
}

void Qip::lookDone(quint64 sequence) {
    if (!_look || sequence != _lookSequence) return;
    _look->WaitForCompletion();
    const std::unique_ptr<LookRead> read = std::move(_look);
    QipLookOutcome& outcome = read->Outcome();
    tellLook(outcome.mWantedIds, outcome.mKeys, outcome.mChanged, outcome.mHeard);
}

void Qip::endLook() {
    if (!_look) return;
    _look->WaitForCompletion();
    _look.reset();
}

void Qip::tellLook(const std::set<std::string>& wantedIds,
                   const std::shared_ptr<const std::vector<std::string>>& keys, bool changed,
                   const QVariantList& heard) {
    if (!_settle.IsSettled()) {
        if (!_settle.Note(_since.elapsed(), wantedIds)) return;
        // Settled: from now on the looks only follow changes, and less often.
        if (_lookTimer) _lookTimer->setInterval(cLiveLookMs);
    }
    if (!changed) return;
    _heardKeys = keys;
    // The delegate may stop or delete this search; nothing of it is touched afterwards.
    if (_delegate != nullptr) _delegate->devicesHeard(heard);
}
