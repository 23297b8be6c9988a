// The controller's hand-off of a device's page to the browser, and what follows it.
#include "app/QipController.h"

#include "app/QipWorkspace.h"

void QipController::OpenPage(const QVariantMap& device, bool isLone) {
    mHandOff.mActive = true;
    mHandOff.mIsLone = isLone;
    mHandOff.mDevice = device;
    mWorkspace->OpenUrl(PageUrl(device), this);
}

void QipController::OnHandOffEnded(const QUrl& url, bool opened, int openerStatus) {
    if (!mHandOff.mActive) {
        return;
    }
    const HandOff handOff = mHandOff;
    mHandOff = HandOff();
    mPageNotOpened = !opened;
    if (!opened) {
        // The device stays listed, so that it can be tried again.
        emit pageNotOpened(url, openerStatus);
        return;
    }
    RememberOpened(handOff.mDevice);
    if (handOff.mIsLone || mTerminateAfterConfigure) {
        mWorkspace->Terminate();
        return;
    }
    if (mRemoveAfterConfigure) {
        // By id: the row may have changed (its last answer) since it was chosen.
        const QString id = handOff.mDevice.value(QStringLiteral("DeviceId")).toString();
        mRemovedIds.insert(id);
        const QVariantList devices = mDeviceListController.arrangedObjects();
        for (int i = static_cast<int>(devices.size()) - 1; i >= 0; --i) {
            if (devices.at(i).toMap().value(QStringLiteral("DeviceId")).toString() == id) {
                removeObjectFromDeviceListAtIndex(i);
            }
        }
    }
    // Known devices that have not answered are not left to configure.
    if (mTerminateAfterLastItem && mDeviceListController.heardCount() == 0) {
        mWorkspace->Terminate();
    }
}

void QipController::konfigurieren(const QVariantList& selection) {
    if (mHandOff.mActive || selection.isEmpty() ||
        selection.first().typeId() != QMetaType::QVariantMap) {
        return;
    }
    OpenPage(selection.first().toMap(), false);
}

int QipController::exitStatus(int loopStatus) const {
    return loopStatus == 0 && mPageNotOpened ? cExitPageNotOpened : loopStatus;
}

QUrl QipController::PageUrl(const QVariantMap& device) {
    return QUrl(QStringLiteral("http://") + device.value(QStringLiteral("DeviceIP")).toString() +
                QStringLiteral("/"));
}
