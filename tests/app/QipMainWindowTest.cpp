#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QLabel>
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

#include "app/QipDeviceChooser.h"
#include "app/QipMainWindow.h"
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
        mChooser = mWindow.findChild<QComboBox*>("deviceChooser");
        mButton = mWindow.findChild<QPushButton*>("configureButton");
        mAgain = mWindow.findChild<QPushButton*>("searchAgainButton");
        mProgress = mWindow.findChild<QProgressBar*>("progressIndicator");
        mMessage = mWindow.findChild<QLabel*>("messageLabel");
        mHelp = mWindow.findChild<QLabel*>("helpLabel");
        mAddress = mWindow.findChild<QLabel*>("addressLabel");
    }
    bool Found() const {
        return mChooser && mButton && mAgain && mProgress && mMessage && mHelp && mAddress;
    }

    QipMainWindow mWindow;
    QComboBox* mChooser;
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
    EXPECT_FALSE(rig.mChooser->isVisible());
    EXPECT_FALSE(rig.mButton->isVisible());
    EXPECT_FALSE(rig.mHelp->isVisible());
    EXPECT_FALSE(rig.mAgain->isVisible());
    rig.mController->deviceNotFound();
    EXPECT_EQ(rig.mMessage->text(), "Fehler");
    EXPECT_FALSE(rig.mProgress->isVisible());
    EXPECT_FALSE(rig.mChooser->isVisible());
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

TEST(QipMainWindow, ChooserListsDevicesShowsTheirPageAndConfiguresByKeyboard) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    const QString markup = "<b>lan</b>";
    rig.mController->deviceFound(
        {Device("a", "192.0.2.10", markup), Device("b", "198.51.100.11"), Device("c", "192.0.2.12")});
    EXPECT_EQ(rig.mMessage->text(), "Choose");
    EXPECT_TRUE(rig.mChooser->isVisible());
    EXPECT_FALSE(rig.mProgress->isVisible());
    EXPECT_FALSE(rig.mHelp->isVisible());
    ASSERT_EQ(rig.mChooser->count(), 3);
    EXPECT_EQ(rig.mChooser->itemText(0), "a - QipFinder - SSID:\"<b>lan</b>\"");
    EXPECT_EQ(QApplication::focusWidget(), rig.mChooser);
    EXPECT_EQ(rig.mMessage->buddy(), rig.mChooser);
    for (QWidget* widget : {static_cast<QWidget*>(rig.mChooser), static_cast<QWidget*>(rig.mButton),
                            static_cast<QWidget*>(rig.mProgress)}) {
        EXPECT_FALSE(widget->accessibleName().isEmpty()) << widget->objectName().toStdString();
        EXPECT_FALSE(widget->accessibleDescription().isEmpty()) << widget->objectName().toStdString();
    }
    EXPECT_EQ(rig.mAddress->text(), "Opens http://192.0.2.10/");

    // Enter in the open list only picks the entry.
    rig.mChooser->showPopup();
    QAbstractItemView* list = rig.mChooser->view();
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_TRUE(rig.mWorkspace.mEvents.empty());
    EXPECT_EQ(rig.mChooser->currentIndex(), 1);
    EXPECT_EQ(rig.mAddress->text(),
              "Opens http://198.51.100.11/\n198.51.100.11 is on none of this computer's networks: "
              "the page may not open.");
    // Enter on the closed chooser opens; Tab reaches Configure, whose Enter opens too.
    QTest::keyClick(rig.mChooser, Qt::Key_Return);
    EXPECT_EQ(rig.mWorkspace.mEvents, std::vector<std::string>{"open http://198.51.100.11/"});
    ASSERT_EQ(rig.mChooser->count(), 2);
    rig.mChooser->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), rig.mButton);
    QTest::keyClick(rig.mButton, Qt::Key_Enter);
    EXPECT_EQ(rig.mWorkspace.mEvents.size(), 2u);
    QSignalSpy quit(rig.mWindow.findChild<QAction*>("actionQuit"), &QAction::triggered);
    QTest::keyClick(&rig.mWindow, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quit.count(), 1);
    // A maximised window leaves the chooser at a readable width.
    rig.mWindow.resize(3000, 400);
    QApplication::processEvents();
    EXPECT_LT(rig.mChooser->width(), 1500);
}

TEST(QipMainWindow, OtherTypesAndAnUnopenablePageExplainThemselves) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    rig.mController->deviceFound({});
    EXPECT_FALSE(rig.mChooser->isVisible()) << "an empty chooser";
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
    EXPECT_EQ(rig.mChooser->count(), 2);
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

TEST(QipMainWindow, LongDeviceTextsAreCutInTheMiddleAndShownWholeElsewhere) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    const QString north = QString::fromUtf8("Büro 3. OG – Küche Nordflügel");
    const QString south = QString::fromUtf8("Büro 3. OG – Küche Südflügel");
    rig.mController->deviceFound({Device("00:11:22:33:44:55", "192.0.2.10", north),
                                  Device("00:11:22:33:44:66", "192.0.2.11", south)});
    const QFontMetrics metrics = rig.mChooser->fontMetrics();
    const QString whole = rig.mChooser->itemText(0);
    // The chooser takes the room the texts need; cut at all, they keep both ends.
    for (int width : {metrics.horizontalAdvance(whole) + 1, 160}) {
        const QString a = QipDeviceChooser::Elided(rig.mChooser->itemText(0), metrics, width);
        const QString b = QipDeviceChooser::Elided(rig.mChooser->itemText(1), metrics, width);
        EXPECT_NE(a, b) << width;
        EXPECT_TRUE(a.endsWith("\"")) << a.toStdString();
    }
    EXPECT_GE(rig.mChooser->width(), metrics.horizontalAdvance(whole));
    EXPECT_EQ(rig.mChooser->toolTip(), whole);
    EXPECT_EQ(rig.mChooser->itemData(1, Qt::ToolTipRole).toString(), rig.mChooser->itemText(1));
    rig.mChooser->showPopup();
    EXPECT_GE(rig.mChooser->view()->width(), metrics.horizontalAdvance(whole));
    rig.mChooser->hidePopup();
}

TEST(QipMainWindow, RefreshByButtonOrF5KeepsTheChosenDeviceChosen) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    QPushButton* refresh = rig.mWindow.findChild<QPushButton*>("refreshButton");
    ASSERT_NE(refresh, nullptr);
    EXPECT_FALSE(refresh->isVisible());
    rig.mController->deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    ASSERT_TRUE(refresh->isVisible());
    rig.mChooser->setCurrentIndex(1);
    QTest::keyClick(&rig.mWindow, Qt::Key_F5);
    EXPECT_TRUE(rig.mController->isRefreshing());
    EXPECT_FALSE(refresh->isEnabled());
    rig.mController->deviceFound(
        {Device("c", "192.0.2.12"), Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    EXPECT_EQ(rig.mChooser->count(), 3);
    EXPECT_EQ(rig.mChooser->currentIndex(), 2) << "b stays chosen";
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
    ASSERT_EQ(QApplication::focusWidget(), rig.mChooser);
    QTest::keyClick(rig.mChooser, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), rig.mButton);
    const QImage focused = rig.mButton->grab().toImage();
    QTest::keyClick(rig.mButton, Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_EQ(QApplication::focusWidget(), rig.mChooser);
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
