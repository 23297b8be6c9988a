// The controller as the search's delegate: the states the window goes through.
#include "app/QipController.h"

#include "app/QipHelpText.h"
#include "app/QipSearchFactory.h"
#include "ksp/KspClock.h"

#include <QHash>

#include <algorithm>

void QipController::deviceFound(const QVariantList& devices) {
    RememberLive(devices);
    switch (mState) {
    case State::Choosing:
        // The looks decide which devices are listed; a poll read their pages.
        setDeviceList(WithPages(deviceList(), devices, false));
        return;
    case State::PortUnavailable:
        // Not polling: a report can only be one that was under way.
        return;
    case State::Refreshing:
        if (devices.isEmpty()) {
            ShowFailed(true);
        } else {
            ShowChooser(devices);
        }
        return;
    case State::Searching:
    case State::Failed:
        break;
    }
    if (devices.isEmpty()) {
        ShowFailed(true);
        return;
    }
    ShowChooser(devices);
    if (devices.size() == 1) {
        OpenPage(devices.first().toMap(), true);
    }
}

void QipController::devicesHeard(const QVariantList& devices) {
    RememberLive(devices);
    switch (mState) {
    case State::PortUnavailable:
        return;
    case State::Choosing:
    case State::Refreshing: {
        const QVariantList listed = WithPages(Listable(devices), deviceList());
        // Every row aged out: nothing is found any more, so the window says so as after an
        // empty start, with its help, and keeps watching. Rows taken off after their page
        // opened leave no row to age out, and so keep the table.
        if (listed.isEmpty() && !deviceList().isEmpty()) {
            ShowFailed(false);
            return;
        }
        setDeviceList(listed);
        return;
    }
    case State::Searching:
    case State::Failed:
        break;
    }
    // The answers have settled: the first decision, as a poll's report would make it, but
    // without waiting for any page.
    const QVariantList listed = Listable(devices);
    if (listed.isEmpty()) {
        return;
    }
    ShowChooser(listed);
    if (listed.size() == 1) {
        OpenPage(listed.first().toMap(), true);
    }
}

QVariantList QipController::Listable(const QVariantList& devices) const {
    if (mRemovedIds.isEmpty()) {
        return devices;
    }
    QVariantList listable;
    for (const QVariant& device : devices) {
        if (!mRemovedIds.contains(device.toMap().value(QStringLiteral("DeviceId")).toString())) {
            listable.append(device);
        }
    }
    return listable;
}

QVariantList QipController::WithPages(const QVariantList& devices, const QVariantList& read,
                                      bool onlyUnread) {
    static const QString cOutcome = QStringLiteral("PageOutcome");
    QHash<QString, QVariantMap> pages;
    for (const QVariant& element : read) {
        const QVariantMap device = element.toMap();
        if (device.value(cOutcome).toString() != QLatin1String("skipped")) {
            pages.insert(device.value(QStringLiteral("DeviceId")).toString(), device);
        }
    }
    QVariantList merged;
    for (const QVariant& element : devices) {
        QVariantMap device = element.toMap();
        const auto page = pages.constFind(device.value(QStringLiteral("DeviceId")).toString());
        const bool unread =
            !onlyUnread || device.value(cOutcome).toString() == QLatin1String("skipped");
        if (page != pages.constEnd() && unread &&
            page->value(QStringLiteral("DeviceIP")) == device.value(QStringLiteral("DeviceIP"))) {
            for (const char* key : {"SSID", "PageOutcome", "DisplayString"}) {
                if (page->contains(QLatin1String(key))) {
                    device.insert(QLatin1String(key), page->value(QLatin1String(key)));
                } else {
                    device.remove(QLatin1String(key));
                }
            }
        }
        merged.append(device);
    }
    return merged;
}

void QipController::deviceNotFound() {
    if (mState == State::Choosing || mState == State::PortUnavailable) {
        return;
    }
    ShowFailed(false);
}

void QipController::discoveryPortUnavailable(quint16 port) {
    SetState(State::PortUnavailable);
    setMessage(QipHelpText::PortUnavailableMessage(port));
    setHidePopup(true);
    setHideProgress(true);
    setHelpText(QipHelpText::PortUnavailableHelp(port));
    setShowSearchAgain(true);
}

void QipController::searchAgain() {
    if (!mShowSearchAgain) {
        return;
    }
    setHelpText(QString());
    setShowSearchAgain(false);
    setDeviceList(QVariantList());
    setMessage(tr("Suche"));
    setSearching(true);
    if (!mQip || mQip->isStopped()) {
        SetState(State::Searching);
        setQip(mSearchFactory->StartSearch(this, mDeviceKennungen, mSettings.mTimeout).release());
        return;
    }
    SetState(State::Searching);
    LookAgain();
}

void QipController::refresh() {
    if (mState != State::Choosing || !mQip || mQip->isStopped()) {
        return;
    }
    SetState(State::Refreshing);
    setHideProgress(false);
    LookAgain();
}

void QipController::LookAgain() {
    mQip->suspend();
    mQip->resume();
    mQip->broadcastNow();
    mAskAgain.start();
}

QipSearchFindings QipController::findings() const {
    return mQip ? mQip->findings() : QipSearchFindings();
}

void QipController::ShowChooser(const QVariantList& devices) {
    // The search goes on: the looks keep the table current, the polls read the pages.
    // What was chosen stays chosen: the table's rows are kept by the device's id.
    SetState(State::Choosing);
    if (mQip && !mQip->timer()) {
        mQip->resume();
    }
    mDeviceListController.setNow(KspMonotonicSeconds());
    setDeviceList(WithPages(Listable(devices), deviceList()));
    setMessage(tr("Choose"));
    setSearching(false);
    setHelpText(QString());
    setShowSearchAgain(false);
}

void QipController::ShowFailed(bool otherTypesAnswered) {
    // The search goes on polling at its pace: a wanted device heard later still reports.
    SetState(State::Failed);
    QipSearchFindings found = findings();
    const bool sayOtherTypes = otherTypesAnswered && !found.mOtherTypes.isEmpty();
    if (sayOtherTypes) {
        // An answer came in on the discovery port: nothing drops incoming UDP to it, so only
        // the causes that can still apply are listed.
        if (found.mCauses.empty()) {
            found.mCauses = {{QipDiagnosis::cCauseOtherNetwork, {}},
                             {QipDiagnosis::cCauseWifiIsolation, {}},
                             {QipDiagnosis::cCauseVpnOrBridge, {}},
                             {QipDiagnosis::cCauseDeviceOff, {}}};
        }
        found.mCauses.erase(std::remove_if(found.mCauses.begin(), found.mCauses.end(),
                                           [](const QipDiagnosis::Cause& cause) {
                                               return cause.mId == QipDiagnosis::cCauseFirewall;
                                           }),
                            found.mCauses.end());
    }
    setDeviceList(QVariantList());
    setMessage(sayOtherTypes
                   ? QipHelpText::OtherTypesMessage(mProgramName, mDeviceKennungen, found)
                   : tr("Fehler"));
    setHidePopup(true);
    setHideProgress(true);
    setHelpText(QipHelpText::NothingWanted(found, mDeviceKennungen, sayOtherTypes));
    setShowSearchAgain(true);
}

void QipController::SetState(State state) {
    const bool refreshShown = showRefresh();
    mState = state;
    if (state != State::Searching && state != State::Refreshing) {
        mAskAgain.stop();
    }
    // The ages in the table count on while it is shown.
    if (state == State::Choosing || state == State::Refreshing) {
        mClock.start();
    } else {
        mClock.stop();
    }
    if (refreshShown != showRefresh()) {
        emit showRefreshChanged();
    }
}
