#include <gtest/gtest.h>

#include <QLabel>
#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>

#include "app/QipHelpText.h"
#include "app/QipMainWindow.h"
#include "app/QipProbeDialog.h"
#include "app/QipSettings.h"
#include "app/QipUserTargets.h"
#include "tests/app/AppTestSupport.h"

namespace {

// Points the user's settings at a folder of the test's own for its lifetime.
class PrivateConfig {
public:
    PrivateConfig() {
        EnsureApplication();
        qputenv("XDG_CONFIG_HOME", mFolder.path().toUtf8());
    }
    ~PrivateConfig() { qunsetenv("XDG_CONFIG_HOME"); }

private:
    QTemporaryDir mFolder;
};

}  // namespace

TEST(ProbeApp, BundleTargetsKeepTheGoodEntriesAndNameEachBadOne) {
    testing::internal::CaptureStderr();
    const QStringList targets = QipSettings::ProbeTargetsFrom(
        QVariantList{"198.51.100.0/24", 5, "10.0.0.0/8", "lab-router.example", "224.0.0.1"});
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(targets, (QStringList{"198.51.100.0/24", "lab-router.example"}));
    EXPECT_NE(errors.find("QipProbeTargets: '10.0.0.0/8' skipped: a prefix shorter than /16"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("'224.0.0.1' skipped: a multicast"), std::string::npos) << errors;
    EXPECT_NE(errors.find("no text"), std::string::npos) << errors;

    testing::internal::CaptureStderr();
    EXPECT_TRUE(QipSettings::ProbeTargetsFrom(QVariant("198.51.100.0/24")).isEmpty());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not an array"), std::string::npos);
}

TEST(ProbeApp, DialogChecksWhatIsTypedAndEditsTheUsersList) {
    EnsureApplication();
    QipProbeDialog dialog({"203.0.113.0/24"}, {"198.51.100.7"});
    auto* edit = dialog.findChild<QLineEdit*>("probeTargetEdit");
    auto* verdict = dialog.findChild<QLabel*>("probeVerdict");
    auto* add = dialog.findChild<QPushButton*>("probeAddButton");
    auto* remove = dialog.findChild<QPushButton*>("probeRemoveButton");
    auto* search = dialog.findChild<QPushButton*>("probeSearchButton");
    auto* list = dialog.findChild<QListWidget*>("probeTargetList");
    ASSERT_TRUE(edit && verdict && add && remove && search && list);
    EXPECT_NE(dialog.findChild<QLabel*>("probeFixedTargets")->text().indexOf("203.0.113.0/24"), -1);

    edit->setText("198.51.100.0/8");
    EXPECT_NE(verdict->text().indexOf("/16"), -1) << verdict->text().toStdString();
    EXPECT_FALSE(add->isEnabled());
    EXPECT_FALSE(search->isEnabled()) << "a typed text that is no target is not searched silently";
    edit->setText("198.51.100.0/24");
    EXPECT_TRUE(verdict->text().startsWith("254 address")) << verdict->text().toStdString();
    EXPECT_TRUE(add->isEnabled() && search->isEnabled());
    add->click();
    EXPECT_EQ(dialog.userTargets(), (QStringList{"198.51.100.7", "198.51.100.0/24"}));
    EXPECT_TRUE(edit->text().isEmpty());
    edit->setText("198.51.100.7");
    EXPECT_FALSE(add->isEnabled()) << "already listed";

    EXPECT_FALSE(remove->isEnabled());
    list->setCurrentRow(0);
    remove->click();
    EXPECT_EQ(dialog.userTargets(), QStringList{"198.51.100.0/24"});
    edit->setText("lab-router.example");
    dialog.accept();  // Search takes what is typed along
    EXPECT_EQ(dialog.userTargets(), (QStringList{"198.51.100.0/24", "lab-router.example"}));
}

TEST(ProbeApp, SearchAnotherNetworkRemembersTheUsersTargetsAndProbesThemWithTheBundles) {
    PrivateConfig config;
    {
        ControllerRig rig({{"QipProbeTargets", QVariantList{"203.0.113.0/24"}}});
        EXPECT_EQ(rig.mFactory.GetProbeTargets(), QStringList{"203.0.113.0/24"});
        rig.mController->searchAnotherNetwork({"198.51.100.7", "203.0.113.0/24", "bad/"});
        EXPECT_EQ(rig.mFactory.mStarted, 2);
        EXPECT_EQ(rig.mFactory.GetProbeTargets(), (QStringList{"203.0.113.0/24", "198.51.100.7"}));
        EXPECT_FALSE(rig.mController->hideProgress()) << "searching again";
    }
    EXPECT_EQ(QipUserTargets::Load(), (QStringList{"198.51.100.7", "203.0.113.0/24"}));
    ControllerRig later;  // a later run of the program
    EXPECT_EQ(later.mController->userProbeTargets(), (QStringList{"198.51.100.7", "203.0.113.0/24"}));
    EXPECT_EQ(later.mFactory.GetProbeTargets(), (QStringList{"198.51.100.7", "203.0.113.0/24"}));
    later.mController->searchAnotherNetwork({});
    EXPECT_TRUE(QipUserTargets::Load().isEmpty());
    EXPECT_TRUE(later.mFactory.GetProbeTargets().isEmpty());
}

TEST(ProbeApp, FailedStateHelpNamesTheProbedNetworksAndWhatToCheckOnTheRouter) {
    EnsureApplication();
    QipSearchFindings findings;
    findings.mInterfaces = {"eth0 192.0.2.1/24"};
    findings.mProbed = {"198.51.100.0/24", "lab-router.example"};
    findings.mCauses = {{QipDiagnosis::cCauseProbedSilent, {"198.51.100.0/24", "lab-router.example"}},
                        {QipDiagnosis::cCauseDeviceOff, {}}};
    const QString text = QipHelpText::NothingWanted(findings, {"QipBox"});
    EXPECT_NE(text.indexOf("Also asked beyond this computer's networks: 198.51.100.0/24, lab-router.example."), -1)
        << text.toStdString();
    EXPECT_NE(text.indexOf("Nothing answered from 198.51.100.0/24, lab-router.example"), -1) << text.toStdString();
    EXPECT_NE(text.indexOf("UDP port 19375"), -1);
    EXPECT_NE(text.indexOf("TCP port 80"), -1);
    // A name without an address and a network without a route are named as what they are,
    // not as a router that drops UDP; only the target that was asked stays "nothing answered".
    QipDiagnosis::Input input;
    input.mTried = {KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0")};
    input.mProbed = {"lab-router.example", "203.0.113.0/30", "198.51.100.0/24"};
    input.mProbeUnresolved = {"lab-router.example"};
    input.mProbeNoRoute = {"203.0.113.0/30"};
    input.mProbeSilent = {"198.51.100.0/24"};
    findings.mCauses = QipDiagnosis::Diagnose(input).mCauses;
    const QString named = QipHelpText::NothingWanted(findings, {"QipBox"});
    EXPECT_NE(named.indexOf("Cannot resolve lab-router.example"), -1) << named.toStdString();
    EXPECT_NE(named.indexOf("no route to 203.0.113.0/30"), -1) << named.toStdString();
    EXPECT_NE(named.indexOf("Nothing answered from 198.51.100.0/24:"), -1) << named.toStdString();
}

TEST(ProbeApp, TheFailedStateAndTheMenuOfferSearchAnotherNetworkWhichSearchesAfresh) {
    PrivateConfig config;
    ControllerRig rig({}, false);
    QipMainWindow window(rig.mController.get());
    window.show();
    rig.mController->applicationDidFinishLaunching();
    auto* button = window.findChild<QPushButton*>("searchAnotherNetworkButton");
    auto* action = window.findChild<QAction*>("actionSearchAnotherNetwork");
    ASSERT_TRUE(button && action);
    EXPECT_EQ(action->text(), QString::fromUtf8("Search A&nother Network…"));
    EXPECT_FALSE(button->isVisible()) << "not while searching";
    rig.mController->deviceNotFound();
    EXPECT_TRUE(button->isVisible());
    EXPECT_FALSE(rig.mController->helpText().isEmpty());
    const int started = rig.mFactory.mStarted;
    // The failed state's search keeps polling, but its client never probes the new network:
    // a new search starts, and the window shows it searching.
    rig.mController->searchAnotherNetwork({"198.51.100.7"});
    EXPECT_EQ(rig.mFactory.mStarted, started + 1);
    EXPECT_EQ(rig.mFactory.GetProbeTargets(), QStringList{"198.51.100.7"});
    EXPECT_FALSE(rig.mController->hideProgress());
    EXPECT_TRUE(rig.mController->helpText().isEmpty());
    EXPECT_FALSE(button->isVisible());
    // Still failing afterwards: the failed state again, with its button.
    rig.mController->deviceNotFound();
    EXPECT_TRUE(button->isVisible());

    // From the chooser, whose search was suspended: the new search's report is taken, not
    // dropped as a stale one.
    rig.mController->deviceFound({Device("a", "192.0.2.20"), Device("b", "192.0.2.21")});
    ASSERT_EQ(rig.mController->countOfDeviceList(), 2);
    rig.mController->searchAnotherNetwork({"198.51.100.0/24"});
    EXPECT_EQ(rig.mController->countOfDeviceList(), 0);
    rig.mController->deviceFound(
        {Device("a", "192.0.2.20"), Device("b", "192.0.2.21"), Device("far", "198.51.100.20")});
    EXPECT_EQ(rig.mController->countOfDeviceList(), 3);
}
