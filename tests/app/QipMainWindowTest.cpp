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

TEST(QipMainWindow, EmptyChooserAndAnUnopenablePageExplainThemselves) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    rig.mController->deviceFound({});
    EXPECT_TRUE(rig.mChooser->isVisible());
    EXPECT_FALSE(rig.mButton->isEnabled());
    EXPECT_TRUE(rig.mHelp->isVisible());
    EXPECT_TRUE(rig.mAgain->isVisible());
    EXPECT_FALSE(rig.mAddress->isVisible());

    rig.mAgain->click();
    rig.mWorkspace.mOpenFails = true;
    rig.mController->deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    EXPECT_TRUE(rig.mButton->isEnabled());
    rig.mButton->click();
    QMessageBox* box = rig.mWindow.findChild<QMessageBox*>("pageNotOpenedBox");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(box->text().contains("http://192.0.2.10/"));
    EXPECT_TRUE(box->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_EQ(rig.mChooser->count(), 2);
    EXPECT_EQ(rig.mWorkspace.mEvents, std::vector<std::string>{"cannot open http://192.0.2.10/"});
    box->close();
}
