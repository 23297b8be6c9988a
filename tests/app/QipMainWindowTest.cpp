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

namespace {

struct WindowRig : ControllerRig {
    WindowRig() : ControllerRig({}, false), mWindow(mController.get()) {
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

}  // namespace

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
    WindowRig rig;
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

TEST(QipMainWindow, KeyboardReachesTheMenuAndScreenReadersHearEachState) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    auto* menu = rig.mWindow.findChild<QMenu*>("applicationMenu");
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), "&QipFinder");
    for (QAction* action : menu->actions()) {
        EXPECT_TRUE(action->isSeparator() || action->text().contains('&')) << action->text().toStdString();
    }
    QTest::keyClick(&rig.mWindow, Qt::Key_F10);
    EXPECT_EQ(rig.mWindow.menuBar()->activeAction(), menu->menuAction());
    QTest::keyClick(menu->isVisible() ? static_cast<QWidget*>(menu) : rig.mWindow.menuBar(), Qt::Key_Escape);
    QTest::keyClick(rig.mWindow.menuBar(), Qt::Key_Escape);

    // The focused control carries what the window says (the toolkit tells assistive
    // technology of the change; without a screen reader it has no one to tell here).
    rig.mController->deviceNotFound();
    EXPECT_EQ(QApplication::focusWidget(), rig.mAgain);
    EXPECT_TRUE(rig.mAgain->accessibleDescription().startsWith("Fehler\n\n"));
    EXPECT_TRUE(rig.mAgain->accessibleDescription().contains("A firewall on this computer"));
    // Focus shows on Configure: it looks different with the focus and without.
    rig.mAgain->click();
    rig.mController->deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    ASSERT_EQ(QApplication::focusWidget(), rig.mTable);
    QTest::keyClick(rig.mTable, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), rig.mButton);
    const QImage focused = rig.mButton->grab().toImage();
    QTest::keyClick(rig.mButton, Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_EQ(QApplication::focusWidget(), rig.mTable);
    const QImage unfocused = rig.mButton->grab().toImage();
    EXPECT_NE(focused, unfocused);
}

TEST(QipMainWindow, TheWindowTakesTheSizeOfEachStateWithinAnSvgaScreenInBothLanguages) {
    for (const char* language : {"en", "de"}) {
        QTranslator texts;
        ASSERT_TRUE(texts.load(QString("qipfinder_") + language, QIPFINDER_BUNDLE_DIR));
        QApplication::installTranslator(&texts);
        {
            WindowRig rig;
            ASSERT_TRUE(rig.Found());
            const QSize searching = rig.mWindow.size();
            rig.mController->deviceNotFound();
            const QSize failed = rig.mWindow.size();
            EXPECT_GT(failed.height(), searching.height()) << language;
            rig.mAgain->click();
            EXPECT_EQ(rig.mWindow.size(), searching) << language << ": it shrinks back";
            for (int other = 0; other < 2; ++other) {
                rig.mFactory.mSnapshot.emplace_back(
                    QipPacketHello(other == 0 ? "Camera" : "Plug", "x", "192.0.2.40",
                                   "255.255.255.0", "/s.xml", "1"),
                    "192.0.2.40");
            }
            rig.mController->qip()->timerCallback();
            WaitForReport(rig.mController->qip());
            EXPECT_TRUE(rig.mHelp->isVisible());
            const QSize frame = rig.mWindow.frameGeometry().size() - rig.mWindow.size();
            EXPECT_LE(rig.mWindow.width() + frame.width(), 800) << language;
            EXPECT_LE(rig.mWindow.height() + frame.height(), 600) << language;
            // Nothing is cut at that size.
            EXPECT_GE(rig.mWindow.centralWidget()->height(),
                      rig.mWindow.centralWidget()->layout()->totalHeightForWidth(
                          rig.mWindow.centralWidget()->width()))
                << language;
        }
        QApplication::removeTranslator(&texts);
    }
}

namespace {

// The mnemonics of `texts`, each a text with "&" before its letter; what repeats or is
// missing is named in the result, empty when every text has a letter of its own.
std::string MnemonicClashes(const QStringList& texts) {
    std::string faults;
    QMap<QString, QString> taken;
    for (const QString& text : texts) {
        const QKeySequence key = QKeySequence::mnemonic(text);
        if (key.isEmpty()) {
            faults += "no mnemonic: " + text.toStdString() + "\n";
            continue;
        }
        const QString letter = key.toString().toLower();
        if (taken.contains(letter)) {
            faults += "clash: " + taken[letter].toStdString() + " / " + text.toStdString() + "\n";
        }
        taken[letter] = text;
    }
    return faults;
}

// The texts of a window's shown buttons and of its labels that lead to a control.
QStringList KeyTexts(QWidget* window) {
    QStringList texts;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->isVisible()) texts << button->text();
    }
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->isVisible() && label->buddy() && label->text().contains('&')) texts << label->text();
    }
    return texts;
}

}  // namespace

TEST(QipMainWindow, EveryButtonMenuAndDialogHasMnemonicsOfItsOwnInBothLanguages) {
    for (const char* language : {"en", "de"}) {
        QTranslator texts;
        ASSERT_TRUE(texts.load(QString("qipfinder_") + language, QIPFINDER_BUNDLE_DIR));
        QApplication::installTranslator(&texts);
        {
            WindowRig rig;
            ASSERT_TRUE(rig.Found());
            QStringList bar;
            for (QAction* menu : rig.mWindow.menuBar()->actions()) {
                bar << menu->text();
                QStringList items;
                for (QAction* item : menu->menu()->actions()) {
                    if (!item->isSeparator()) items << item->text();
                }
                EXPECT_EQ(MnemonicClashes(items), "") << language;
                for (QMenu* sub : menu->menu()->findChildren<QMenu*>()) {
                    QStringList subItems;
                    for (QAction* item : sub->actions()) subItems << item->text();
                    EXPECT_EQ(MnemonicClashes(subItems), "") << language;
                }
            }
            rig.mController->deviceNotFound();
            EXPECT_EQ(MnemonicClashes(bar + KeyTexts(&rig.mWindow)), "") << language << " failed";
            rig.mAgain->click();
            rig.mController->deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
            EXPECT_EQ(MnemonicClashes(bar + KeyTexts(&rig.mWindow)), "") << language << " table";
            // A hidden button takes no key, Space included.
            QSignalSpy clicked(rig.mAgain, &QPushButton::clicked);
            QTest::keyClick(rig.mAgain, Qt::Key_Space);
            QTest::keyClick(rig.mAgain, Qt::Key_Return);
            EXPECT_EQ(clicked.count(), 0) << language;
        }
        {
            QipProbeDialog dialog({}, {"198.51.100.7"});
            dialog.show();
            EXPECT_EQ(MnemonicClashes(KeyTexts(&dialog)), "") << language << " probe dialog";
        }
        QApplication::removeTranslator(&texts);
    }
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
