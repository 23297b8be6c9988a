#pragma once

#include <QVariantList>
#include <QtGlobal>

// Receives the reports of a search (Qip), on the thread of the search's event loop.
// Both operations are optional: a delegate that does not override one does not receive it.
// The search never owns its delegate.
class QipDelegate {
public:
    virtual ~QipDelegate() = default;

    // The wanted devices of one poll, as device dictionaries (QVariantMap with the QString
    // values "DeviceType", "DeviceId", "SSID", "DeviceIP", "DisplayString"), in list order.
    // The list may be empty when only unwanted types answered. May call Qip::suspend.
    virtual void deviceFound(const QVariantList& devices) { (void)devices; }
    // The wanted devices as the device list holds them now, told without reading any page
    // (SSID empty, PageOutcome "skipped"; see QipDeviceDictionaries for the keys): first
    // when the answers have settled (the search's first decision), then whenever they
    // change (a device answers, changes, or ages out). Never with an empty list before the
    // first call. May stop or suspend the search.
    virtual void devicesHeard(const QVariantList& devices) { (void)devices; }
    // The device list was empty on the third (and each later) empty poll.
    virtual void deviceNotFound() {}
    // The search could not open the discovery port (UDP `port`) and has stopped itself: it
    // will never report. Arrives from the event loop shortly after start(), never inside it.
    virtual void discoveryPortUnavailable(quint16 port) { (void)port; }
};
