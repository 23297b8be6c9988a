#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "app/QipMainWindow.h"
#include "tests/app/AppTestSupport.h"

namespace {

struct WindowRig : ControllerRig {
    WindowRig() : ControllerRig({}, false), mWindow(mController.get()) {
        mController->setMainMenu(mWindow.mainMenu());
        mWindow.show();
        mController->applicationDidFinishLaunching();
        mChooser = mWindow.findChild<QComboBox*>("deviceChooser");
        mButton = mWindow.findChild<QPushButton*>("configureButton");
        mProgress = mWindow.findChild<QProgressBar*>("progressIndicator");
        mMessage = mWindow.findChild<QLabel*>("messageLabel");
    }

    QipMainWindow mWindow;
    QComboBox* mChooser;
    QPushButton* mButton;
    QProgressBar* mProgress;
    QLabel* mMessage;
};

}  // namespace

TEST(QipMainWindow, FollowsTheControllerThroughSearchAndFailure) {
    WindowRig rig;
    ASSERT_TRUE(rig.mChooser && rig.mButton && rig.mProgress && rig.mMessage);
    EXPECT_EQ(rig.mWindow.windowTitle(), "QipFinder");
    EXPECT_EQ(rig.mMessage->text(), "Suche");
    EXPECT_TRUE(rig.mProgress->isVisible());
    EXPECT_FALSE(rig.mChooser->isVisible());
    EXPECT_FALSE(rig.mButton->isVisible());
    rig.mController->deviceNotFound();
    EXPECT_EQ(rig.mMessage->text(), "Fehler");
    EXPECT_FALSE(rig.mProgress->isVisible());
    EXPECT_FALSE(rig.mChooser->isVisible());
}

TEST(QipMainWindow, ChooserListsDevicesAndConfiguresTheChosenOne) {
    WindowRig rig;
    const QString markup = "<b>lan</b>";
    rig.mController->deviceFound({Device("a", "192.0.2.10", markup), Device("b", "192.0.2.11")});
    EXPECT_EQ(rig.mMessage->text(), "Choose");
    EXPECT_TRUE(rig.mChooser->isVisible());
    EXPECT_FALSE(rig.mProgress->isVisible());
    ASSERT_EQ(rig.mChooser->count(), 2);
    EXPECT_EQ(rig.mChooser->itemText(0), "a - QipFinder - SSID:\"<b>lan</b>\"");
    EXPECT_EQ(rig.mChooser->itemText(1), "b - QipFinder - SSID:\"net\"");

    rig.mChooser->setCurrentIndex(1);
    rig.mButton->click();
    EXPECT_EQ(rig.mWorkspace.mEvents, std::vector<std::string>{"open http://192.0.2.11/"});
    ASSERT_EQ(rig.mChooser->count(), 1);
    // Enter configures the device now shown; it was the last, so the program ends.
    QApplication::setActiveWindow(&rig.mWindow);
    QTest::keyClick(&rig.mWindow, Qt::Key_Return);
    EXPECT_EQ(rig.mWorkspace.mEvents,
              (std::vector<std::string>{"open http://192.0.2.11/", "open http://192.0.2.10/",
                                        "terminate"}));
}
