// The controller as the search's delegate: the states the window goes through.
#include "app/QipController.h"

#include "app/QipHelpText.h"
#include "app/QipSearchFactory.h"

void QipController::deviceFound(const QVariantList& devices) {
    switch (mState) {
    case State::Choosing:
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
    // What was chosen stays chosen: the window keeps its current entry by the device's id.
    SetState(State::Choosing);
    if (mQip) {
        mQip->suspend();
    }
    setDeviceList(devices);
    setMessage(tr("Choose"));
    setSearching(false);
    setHelpText(QString());
    setShowSearchAgain(false);
}

void QipController::ShowFailed(bool otherTypesAnswered) {
    // The search goes on polling at its pace: a wanted device heard later still reports.
    SetState(State::Failed);
    const QipSearchFindings found = findings();
    const bool sayOtherTypes = otherTypesAnswered && !found.mOtherTypes.isEmpty();
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
    if (refreshShown != showRefresh()) {
        emit showRefreshChanged();
    }
}
