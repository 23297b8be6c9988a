// The window and the store of known devices (in this test process's own folder).
#include <gtest/gtest.h>
#include <time.h>

#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTest>

#include "app/QipDeviceTableModel.h"
#include "app/QipMainWindow.h"
#include "ksp/KspClock.h"
#include "store/QipDeviceStore.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/WindowRig.h"

namespace {

QVariant Heard(const QString& id, const QString& ip, const QString& ssid) {
    QVariantMap device = Device(id, ip, ssid);
    device.insert("PageOutcome", "ok");
    device.insert("LastAnswer", static_cast<qint64>(KspMonotonicSeconds()));
    return device;
}

int RowOf(const WindowRig& rig, const QString& id) {
    for (int row = 0; row < rig.mTable->model()->rowCount(); ++row) {
        if (rig.mTable->model()->index(row, QipDeviceTableModel::cDeviceId).data().toString() == id) return row;
    }
    return -1;
}

}  // namespace

TEST(QipKnownDevicesWindow, ListedGreyedAtStartLiveInPlaceLabelledWithF2AndForgotten) {
    {
        QipDeviceStore store(QipDeviceStore::DefaultPath(), "test");
        store.Note("known", "QipFinder", "192.0.2.30", "Office", time(nullptr) - 3 * 86400 - 60);
        store.Note("camera", "Camera", "192.0.2.40", "", time(nullptr));
        ASSERT_TRUE(store.Flush());
    }
    {
        WindowRig rig;
        ASSERT_TRUE(rig.Found());
        // Before any answer: listed, greyed, with when it was last seen; the search goes on.
        EXPECT_TRUE(rig.mTable->isVisible());
        EXPECT_TRUE(rig.mProgress->isVisible());
        ASSERT_EQ(rig.Column(QipDeviceTableModel::cDeviceId), QStringList{"known"});
        const QModelIndex known = rig.mTable->model()->index(0, QipDeviceTableModel::cLastAnswer);
        // "day(s)" is English by its translation, which this test does not load.
        EXPECT_TRUE(known.data().toString().startsWith("last seen 3 day")) << known.data().toString().toStdString();
        EXPECT_TRUE(known.data(Qt::ForegroundRole).isValid()) << "greyed";
        EXPECT_EQ(known.siblingAtColumn(0).data().toString(), "Office (last time)");
        // Nothing of the wanted type answers: a known device is never opened by itself.
        rig.mController->deviceFound({});
        EXPECT_TRUE(rig.mWorkspace.mEvents.empty());

        // It answers, beside another: live in its row, no third row.
        rig.mController->devicesHeard({Heard("known", "192.0.2.30", "Office"), Heard("b", "192.0.2.31", "Lab")});
        EXPECT_EQ(rig.mTable->model()->rowCount(), 2);
        const int row = RowOf(rig, "known");
        ASSERT_GE(row, 0);
        EXPECT_FALSE(rig.mTable->model()->index(row, QipDeviceTableModel::cLastAnswer).data(Qt::ForegroundRole).isValid());
        EXPECT_EQ(rig.mTable->model()->index(row, 0).data().toString(), "Office");

        // F2 on its row, a name, Enter: shown in place of the SSID and found by the filter.
        rig.mTable->selectRow(row);
        QTest::keyClick(rig.mTable, Qt::Key_F2);
        ASSERT_NE(qobject_cast<QLineEdit*>(QApplication::focusWidget()), nullptr) << "F2 opened no editor";
        QTest::keyClicks(QApplication::focusWidget(), "Office AP");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QApplication::processEvents();  // the editor hands its text over from the event loop
        EXPECT_TRUE(rig.mWorkspace.mEvents.empty()) << "Enter in the editor opened the page";
        EXPECT_EQ(rig.mTable->model()->index(RowOf(rig, "known"), 0).data().toString(), "Office AP");
        EXPECT_EQ(rig.mTable->model()->index(RowOf(rig, "known"), QipDeviceTableModel::cLabel).data().toString(),
                  "Office AP");
        rig.mWindow.findChild<QLineEdit*>("filterEdit")->setText("office ap");
        EXPECT_EQ(rig.Column(QipDeviceTableModel::cDeviceId), QStringList{"known"});
        rig.mWindow.findChild<QLineEdit*>("filterEdit")->clear();
        rig.mController->forgetDevice("b");
    }
    // The next start: the label is kept, the forgotten device is not listed.
    WindowRig rig;
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cDeviceId), QStringList{"known"});
    EXPECT_EQ(rig.Column(0), QStringList{"Office AP"});
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cLabel), QStringList{"Office AP"});
}

// On the table kept by device id: the known devices come in one insertion, one that answers
// becomes live in its own row (no row removed, none reset), and the lone-device rule counts
// only what answered: one answering device beside known ones opens, known ones stay.
TEST(QipKnownDevicesWindow, KnownRowsComeInOneInsertionAnswerInPlaceAndNeverCountAsAnswers) {
    {
        QipDeviceStore store(QipDeviceStore::DefaultPath(), "test");
        for (const char* id : {"k1", "k2", "k3"}) store.Note(id, "QipFinder", "192.0.2.30", "", time(nullptr) - 600);
        ASSERT_TRUE(store.Flush());
    }
    ControllerRig rig({}, false);
    QipDeviceTableModel* model = rig.mController->deviceListController();
    QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(model, &QAbstractItemModel::modelReset);
    rig.mController->applicationDidFinishLaunching();
    for (const char* id : {"k1", "k2", "k3"}) ASSERT_GE(model->rowOf(id), 0) << id;
    const int known = model->rowCount();
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_TRUE(rig.mController->deviceList().isEmpty()) << "known rows are no answers";

    const int row = model->rowOf("k2");
    rig.mController->devicesHeard({Heard("k2", "192.0.2.30", "Office"), Heard("new", "192.0.2.31", "Lab")});
    EXPECT_EQ(model->rowOf("k2"), row);
    EXPECT_EQ(removed.count(), 0);
    EXPECT_EQ(reset.count(), 0);
    EXPECT_FALSE(model->index(row, QipDeviceTableModel::cName).data(Qt::ForegroundRole).isValid()) << "live";
    EXPECT_EQ(model->rowCount(), known + 1);
    EXPECT_TRUE(rig.mWorkspace.mEvents.empty()) << "two answered: the user chooses";

    ControllerRig lone;
    ASSERT_GE(lone.mController->deviceListController()->rowCount(), 3);
    lone.mController->devicesHeard({Heard("k1", "192.0.2.30", "Office")});
    ASSERT_FALSE(lone.mWorkspace.mEvents.empty()) << "a lone answering device beside known ones";
    EXPECT_EQ(lone.mWorkspace.mEvents.front(), "open http://192.0.2.30/");
}
