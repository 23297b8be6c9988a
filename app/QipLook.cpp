// The search's looks between polls: what the device list holds, told without reading a page.
#include "app/Qip.h"

#include <algorithm>
#include <set>

#include "app/QipDeviceDictionary.h"
#include "qip/QipClient.h"

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
    if (_settle.IsSettled() && _qipDeviceList && !_listWatch.mChanged.exchange(false) &&
        _lastLookMs >= 0 && _since.elapsed() - _lastLookMs < cQuietLookMs) {
        return;
    }
    _lastLookMs = _since.elapsed();
    std::vector<QipDevice> snapshot = takeSnapshot();
    std::vector<std::string> wanted;
    for (const QString& type : _deviceKennungen) wanted.push_back(type.toStdString());
    DeviceDescriber describer(wanted, gInterfaces);
    describer.SetMatchAnyType(_allTypes);
    const std::vector<DeviceDescriber::Description> descriptions =
        describer.Describe(snapshot, false);
    if (!_settle.IsSettled()) {
        std::set<std::string> ids;
        for (const DeviceDescriber::Description& d : descriptions) {
            if (!_allTypes || std::find(wanted.begin(), wanted.end(), d.mDeviceType) != wanted.end()) {
                ids.insert(d.mDeviceId);
            }
        }
        if (!_settle.Note(_since.elapsed(), ids)) return;
        // Settled: from now on the looks only follow changes, and less often.
        if (_lookTimer) _lookTimer->setInterval(cLiveLookMs);
    }
    // What was told is compared in plain bytes first: with thousands of devices, making
    // their dictionaries four times a second would cost more than everything else here.
    std::vector<std::string> told = QipHeardKeys(descriptions, snapshot);
    if (_told && told == _heardKeys) return;
    _told = true;
    _heardKeys = std::move(told);
    const QVariantList heard = QipDeviceDictionaries(descriptions, snapshot, &wanted);
    // The delegate may stop or delete this search; nothing of it is touched afterwards.
    if (_delegate != nullptr) _delegate->devicesHeard(heard);
}
