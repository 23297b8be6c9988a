#pragma once

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>

#include "app/QipDeviceTableModel.h"
#include "app/QipMainWindow.h"
#include "tests/app/AppTestSupport.h"

// The main window over a launched controller that searches eth0 (192.0.2.1/24), shown and
// active, with its controls found by name; the window tests of both files share it.
struct WindowRig : ControllerRig {
    explicit WindowRig(const QVariantMap& info = {}) : ControllerRig(info, false), mWindow(mController.get()) {
        gInterfaces = {KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0")};
        mController->setMainMenu(mWindow.mainMenu());
        mWindow.show();
        QApplication::setActiveWindow(&mWindow);
        mController->applicationDidFinishLaunching();
        gInterfaces = {KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0")};
        mTable = mWindow.findChild<QTableView*>("deviceTable");
        mButton = mWindow.findChild<QPushButton*>("configureButton");
        mAgain = mWindow.findChild<QPushButton*>("searchAgainButton");
        mProgress = mWindow.findChild<QProgressBar*>("progressIndicator");
        mMessage = mWindow.findChild<QLabel*>("messageLabel");
        mHelp = mWindow.findChild<QLabel*>("helpLabel");
        mAddress = mWindow.findChild<QLabel*>("addressLabel");
    }
    bool Found() const {
        return mTable && mButton && mAgain && mProgress && mMessage && mHelp && mAddress;
    }

    // The shown rows' texts in one column, in the order shown.
    QStringList Column(int column) const {
        QStringList texts;
        for (int row = 0; row < mTable->model()->rowCount(); ++row) {
            texts << mTable->model()->index(row, column).data().toString();
        }
        return texts;
    }
    QString ChosenId() const {
        return mTable->currentIndex().data(QipDeviceTableModel::DeviceRole).toMap().value("DeviceId").toString();
    }
    void Choose(const QString& id) {
        for (int row = 0; row < mTable->model()->rowCount(); ++row) {
            if (mTable->model()->index(row, QipDeviceTableModel::cDeviceId).data().toString() == id) {
                mTable->selectRow(row);
            }
        }
    }

    QipMainWindow mWindow;
    QTableView* mTable;
    QPushButton* mButton;
    QPushButton* mAgain;
    QProgressBar* mProgress;
    QLabel* mMessage;
    QLabel* mHelp;
    QLabel* mAddress;
};
