// The main window through its states and its device table.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QHeaderView>
#include <QTableView>
#include <QKeySequence>
#include <QLabel>
#include <QMap>
#include <QLayout>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <QClipboard>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTranslator>

#include "app/QipDeviceTableModel.h"
#include "app/QipMainWindow.h"
#include "app/QipHelpText.h"
#include "app/QipProbeDialog.h"
#include "app/QipRoute.h"
#include "ksp/KspClock.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/WindowRig.h"

TEST(QipMainWindow, FollowsTheControllerThroughFailureAndSearchAgain) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    EXPECT_EQ(rig.mWindow.windowTitle(), "QipFinder");
    EXPECT_EQ(rig.mMessage->text(), "Suche");
    EXPECT_TRUE(rig.mProgress->isVisible());
    EXPECT_FALSE(rig.mTable->isVisible());
    EXPECT_FALSE(rig.mButton->isVisible());
    EXPECT_FALSE(rig.mHelp->isVisible());
    EXPECT_FALSE(rig.mAgain->isVisible());
    rig.mController->deviceNotFound();
    EXPECT_EQ(rig.mMessage->text(), "Fehler");
    EXPECT_FALSE(rig.mProgress->isVisible());
    EXPECT_FALSE(rig.mTable->isVisible());
    EXPECT_TRUE(rig.mHelp->isVisible());
    EXPECT_TRUE(rig.mHelp->text().contains("A firewall on this computer")) << rig.mHelp->text().toStdString();
    EXPECT_EQ(rig.mHelp->textFormat(), Qt::PlainText);
    ASSERT_TRUE(rig.mAgain->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), rig.mAgain);
    // Nothing was cut: the window is at least as large as its texts need.
    rig.mWindow.resize(100, 60);
    EXPECT_GE(rig.mWindow.height(), rig.mWindow.centralWidget()->layout()->totalHeightForWidth(
                                         rig.mWindow.centralWidget()->width()));
    EXPECT_GE(rig.mMessage->width(), rig.mMessage->fontMetrics().horizontalAdvance("Fehler"));
    QTest::keyClick(rig.mAgain, Qt::Key_Return);
    EXPECT_EQ(rig.mMessage->text(), "Suche");
    EXPECT_TRUE(rig.mProgress->isVisible());
    EXPECT_FALSE(rig.mHelp->isVisible());
    EXPECT_FALSE(rig.mAgain->isVisible());
}

TEST(QipMainWindow, TheTableListsDevicesByNameAndOpensTheChosenOneByKeyboard) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    QVariantMap silent = Device("d", "192.0.2.13", "");
    silent.insert("PageOutcome", "timeout");
    rig.mController->deviceFound({Device("a", "192.0.2.10", "<b>lan</b>"), Device("b", "198.51.100.11", "Office"),
                                  Device("c", "192.0.2.12", "attic"), silent});
    EXPECT_EQ(rig.mMessage->text(), "Choose");
    EXPECT_TRUE(rig.mTable->isVisible());
    EXPECT_FALSE(rig.mProgress->isVisible());
    EXPECT_FALSE(rig.mHelp->isVisible());
    // By name whatever the case; markup shown as it is; no name says why.
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cName),
              (QStringList{"<b>lan</b>", "attic", "Office", QString::fromUtf8("— page not answering")}));
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cAddress),
              (QStringList{"192.0.2.10", "192.0.2.12", "198.51.100.11", "192.0.2.13"}));
    EXPECT_EQ(rig.mTable->model()->index(2, 3).data(Qt::ToolTipRole).toString(), "b - QipFinder - SSID:\"Office\"");
    EXPECT_EQ(QApplication::focusWidget(), rig.mTable);
    EXPECT_EQ(rig.mMessage->buddy(), rig.mTable);
    EXPECT_EQ(rig.ChosenId(), "a") << "the first row is chosen";
    for (QWidget* widget : {static_cast<QWidget*>(rig.mTable), static_cast<QWidget*>(rig.mButton),
                            static_cast<QWidget*>(rig.mProgress)}) {
        EXPECT_FALSE(widget->accessibleName().isEmpty()) << widget->objectName().toStdString();
        EXPECT_FALSE(widget->accessibleDescription().isEmpty()) << widget->objectName().toStdString();
    }
    EXPECT_EQ(rig.mAddress->text(), "Opens http://192.0.2.10/");

    // Typing a name goes to it from any column; the far device says so.
    rig.mTable->setCurrentIndex(rig.mTable->model()->index(0, QipDeviceTableModel::cType));
    QTest::keyClicks(rig.mTable, "of");
    EXPECT_EQ(rig.ChosenId(), "b");
    EXPECT_EQ(rig.mAddress->text(),
              "Opens http://198.51.100.11/\n198.51.100.11 is on none of this computer's networks: "
              "the page may not open.");
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(rig.mTable, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "b - QipFinder - SSID:\"Office\"");
    // Ctrl+F filters by any column.
    QTest::keyClick(&rig.mWindow, Qt::Key_F, Qt::ControlModifier);
    auto* filter = rig.mWindow.findChild<QLineEdit*>("filterEdit");
    ASSERT_EQ(QApplication::focusWidget(), filter);
    QTest::keyClicks(filter, "198.51");
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cDeviceId), QStringList{"b"});
    filter->clear();
    EXPECT_EQ(rig.ChosenId(), "b") << "the filter keeps the chosen row chosen";

    // Enter on the table opens; Tab reaches Open, whose Enter opens too.
    QTest::keyClick(rig.mTable, Qt::Key_Return);
    EXPECT_EQ(rig.mWorkspace.mEvents, std::vector<std::string>{"open http://198.51.100.11/"});
    ASSERT_EQ(rig.mTable->model()->rowCount(), 3);
    rig.mTable->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), rig.mButton);
    QTest::keyClick(rig.mButton, Qt::Key_Enter);
    EXPECT_EQ(rig.mWorkspace.mEvents.size(), 2u);

    QSignalSpy quit(rig.mWindow.findChild<QAction*>("actionQuit"), &QAction::triggered);
    QTest::keyClick(&rig.mWindow, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quit.count(), 1);
    // The table grows with the window.
    const int narrow = rig.mTable->width();
    rig.mWindow.resize(1800, 700);
    QApplication::processEvents();
    EXPECT_GT(rig.mTable->width(), narrow + 800);
}

TEST(QipMainWindow, RowsComeChangeAgeAndLeaveWhileTheChosenOneStaysChosen) {
    // Without the store of known devices, which keeps a device that left listed as known.
    WindowRig rig({{"QipKnownDevices", false}});
    ASSERT_TRUE(rig.Found());
    const qint64 now = KspMonotonicSeconds();
    auto heard = [now](const QString& id, const QString& ip, qint64 age) {
        QVariantMap device = Device(id, ip, "");
        device.insert("PageOutcome", "skipped");
        device.insert("LastAnswer", now - age);
        return QVariant(device);
    };
    rig.mController->devicesHeard({heard("a", "192.0.2.10", 0), heard("b", "192.0.2.11", 0)});
    ASSERT_EQ(rig.mTable->model()->rowCount(), 2);
    rig.Choose("b");
    // A page read later names the device; the looks after it keep that name.
    rig.mController->deviceFound({Device("b", "192.0.2.11", "Office")});
    rig.mController->devicesHeard({heard("c", "192.0.2.9", 0), heard("b", "192.0.2.11", 14)});
    EXPECT_EQ(rig.ChosenId(), "b");
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cDeviceId), (QStringList{"b", "c"}));
    const QModelIndex b = rig.mTable->model()->index(0, QipDeviceTableModel::cLastAnswer);
    EXPECT_EQ(b.siblingAtColumn(0).data().toString(), "Office");
    EXPECT_EQ(b.data().toString(), "not answering for 14 s");
    EXPECT_TRUE(b.data(Qt::ForegroundRole).isValid()) << "greyed";
    EXPECT_EQ(rig.mTable->model()->index(1, QipDeviceTableModel::cLastAnswer).data().toString(), "0 s ago");
    EXPECT_EQ(rig.mTable->model()->index(1, 0).data().toString(), QString::fromUtf8("— reading its page"));
    rig.mController->devicesHeard({heard("c", "192.0.2.9", 0)});
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cDeviceId), QStringList{"c"});
    EXPECT_EQ(rig.ChosenId(), "c") << "one row is always chosen";
    // The last one ages out: no empty table under "Choose", but the failed state with its
    // help, the search still watching; devices heard again are offered again.
    rig.mController->devicesHeard({});
    EXPECT_EQ(rig.mMessage->text(), "Fehler");
    EXPECT_FALSE(rig.mTable->isVisible());
    EXPECT_TRUE(rig.mHelp->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), rig.mAgain);
    EXPECT_NE(rig.mController->qip()->timer(), nullptr);
    rig.mController->devicesHeard({heard("a", "192.0.2.10", 0), heard("b", "192.0.2.11", 0)});
    EXPECT_TRUE(rig.mTable->isVisible());
    EXPECT_EQ(rig.mTable->model()->rowCount(), 2);
    EXPECT_TRUE(rig.mWorkspace.mEvents.empty());
}

TEST(QipMainWindow, OtherTypesAndAnUnopenablePageExplainThemselves) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    // A camera answered: its answer came in on the port, so no firewall drops it.
    rig.mFactory.mSnapshot.emplace_back(
        QipPacketHello("Camera", "cam", "192.0.2.40", "255.255.255.0", "/s.xml", "1"), "192.0.2.40");
    rig.mController->qip()->timerCallback();
    WaitForReport(rig.mController->qip());
    EXPECT_TRUE(rig.mHelp->text().contains("Likely causes:")) << rig.mHelp->text().toStdString();
    EXPECT_FALSE(rig.mHelp->text().contains("firewall", Qt::CaseInsensitive)) << rig.mHelp->text().toStdString();
    rig.mFactory.mSnapshot.clear();
    EXPECT_FALSE(rig.mTable->isVisible()) << "an empty table";
    EXPECT_FALSE(rig.mButton->isVisible());
    EXPECT_TRUE(rig.mHelp->isVisible());
    EXPECT_TRUE(rig.mAgain->isVisible());
    EXPECT_FALSE(rig.mAddress->isVisible());

    rig.mAgain->click();
    rig.mWorkspace.mOpenFails = true;
    rig.mController->deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    EXPECT_TRUE(rig.mButton->isEnabled());
    rig.mButton->click();
    QDialog* box = rig.mWindow.findChild<QDialog*>("pageNotOpenedBox");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    auto* text = box->findChild<QLabel*>("pageNotOpenedText");
    auto* address = box->findChild<QLineEdit*>("pageAddress");
    ASSERT_TRUE(text && address);
    EXPECT_TRUE(text->text().contains("status 3")) << text->text().toStdString();
    EXPECT_EQ(address->text(), "http://192.0.2.10/");
    EXPECT_EQ(rig.mTable->model()->rowCount(), 2);
    EXPECT_EQ(rig.mWorkspace.mEvents, std::vector<std::string>{"cannot open http://192.0.2.10/"});
    // The address by keyboard alone: it has the focus, Ctrl+A and Ctrl+C copy it whole.
    QApplication::setActiveWindow(box);
    EXPECT_EQ(QApplication::focusWidget(), address);
    QGuiApplication::clipboard()->clear();
    address->deselect();
    QTest::keyClick(address, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(address, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "http://192.0.2.10/");
    box->close();
}

TEST(QipMainWindow, RefreshByButtonOrF5KeepsTheChosenDeviceChosen) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    QPushButton* refresh = rig.mWindow.findChild<QPushButton*>("refreshButton");
    ASSERT_NE(refresh, nullptr);
    EXPECT_FALSE(refresh->isVisible());
    rig.mController->deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    ASSERT_TRUE(refresh->isVisible());
    rig.Choose("b");
    QTest::keyClick(&rig.mWindow, Qt::Key_F5);
    EXPECT_TRUE(rig.mController->isRefreshing());
    EXPECT_FALSE(refresh->isEnabled());
    rig.mController->deviceFound(
        {Device("c", "192.0.2.12"), Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    EXPECT_EQ(rig.mTable->model()->rowCount(), 3);
    EXPECT_EQ(rig.ChosenId(), "b") << "b stays chosen";
    refresh->click();
    EXPECT_TRUE(rig.mController->isRefreshing());
}

TEST(QipMainWindow, TheFarDeviceNoteOnlyWhereTheRouteLeavesThroughNoNetworkSearched) {
    EnsureApplication();
    // 127.0.0.5 lies outside lo's /32 here, but the kernel routes it out through lo.
    const std::vector<KspNetworkInterface> loopback{KspNetworkInterface("lo", "127.0.0.1", "255.255.255.255")};
    EXPECT_TRUE(QipRoutesThroughOneOf("127.0.0.5", loopback));
    EXPECT_FALSE(QipRoutesThroughOneOf("127.0.0.5", {KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0")}));
    EXPECT_FALSE(QipRoutesThroughOneOf("no address", loopback));
    const QVariantMap device = Device("a", "127.0.0.5");
    EXPECT_EQ(QipHelpText::AddressLine(device, loopback, QipRoutesThroughOneOf("127.0.0.5", loopback)),
              "Opens http://127.0.0.5/");
    EXPECT_NE(QipHelpText::AddressLine(device, loopback, false).indexOf("on none of this computer's networks"), -1);
}
