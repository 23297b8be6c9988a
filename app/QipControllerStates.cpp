// The controller as the search's delegate: the states the window goes through.
#include "app/QipController.h"

#include "app/QipHelpText.h"
#include "app/QipSearchFactory.h"
#include "ksp/KspClock.h"

#include <QHash>

#include <algorithm>

void QipController::deviceFound(const QVariantList& devices) {
    RememberLive(devices);
    const bool firstNames = !mNamesRead && mState != State::PortUnavailable;
    TakeReport(devices);
    if (firstNames && mState != State::Failed) {
        // The window makes its first choice final once the names are in its rows.
        mNamesRead = true;
        emit deviceListChanged();
    }
}

void QipController::TakeReport(const QVariantList& devices) {
    switch (mState) {
    case State::Choosing:
        // The looks decide which devices are listed; a poll read their pages.
        if (mDeviceListController.takePages(devices)) {
            emit deviceListChanged();
        }
        return;
    case State::PortUnavailable:
        // Not polling: a report can only be one that was under way.
        return;
    case State::Refreshing:
        if (!Offers(devices)) {
            ShowFailed(true);
        } else {
            ShowChooser(devices);
        }
        return;
    case State::Searching:
    case State::Failed:
        break;
    }
    if (!Offers(devices)) {
        ShowFailed(true);
        return;
    }
    ShowChooser(devices);
    OpenLone(devices);
}

QVariantList QipController::Wanted(const QVariantList& devices) {
    QVariantList wanted;
    for (const QVariant& device : devices) {
        if (!device.toMap().value(QStringLiteral("OtherType")).toBool()) {
            wanted.append(device);
        }
    }
    return wanted;
}

bool QipController::Offers(const QVariantList& devices) const {
    return mShowAllTypes ? !devices.isEmpty() : !Wanted(devices).isEmpty();
}

void QipController::OpenLone(const QVariantList& devices) {
    // Only the wanted types count: devices of other types shown beside do not keep a lone
    // wanted device from opening.
    const QVariantList wanted = Wanted(devices);
    if (wanted.size() == 1) {
        OpenPage(wanted.first().toMap(), true);
    }
}

void QipController::devicesHeard(const QVariantList& devices) {
    RememberLive(devices);
    switch (mState) {
    case State::PortUnavailable:
        return;
    case State::Choosing:
    case State::Refreshing: {
        const QVariantList listed = Listable(devices);
        // Every row aged out: nothing is found any more, so the window says so as after an
        // empty start, with its help, and keeps watching. Rows taken off after their page
        // opened leave no row to age out, and so keep the table; known devices not heard
        // are no rows that answered.
        if (listed.isEmpty() && mDeviceListController.heardCount() > 0) {
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
    if (!Offers(listed)) {
        return;
    }
    ShowChooser(listed);
    OpenLone(listed);
}

void QipController::setShowAllTypes(bool showAllTypes) {
    if (showAllTypes == mShowAllTypes) {
        return;
    }
    mShowAllTypes = showAllTypes;
    emit showAllTypesChanged();
    if (!mQip || mQip->isStopped()) {
        return;
    }
    mQip->setAllTypes(showAllTypes);
    if (mQip->isSettled()) {
        mQip->look();
    }
    // Answers of other types alone never settle the looks: a poll tells them now.
    if (showAllTypes && mState == State::Failed && mQip->timer() && !mQip->isReading()) {
        mQip->timerCallback();
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
    setDeviceList(Listable(devices));
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
    if (state == State::Searching || state == State::Failed) {
        mNamesRead = false;
    }
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
