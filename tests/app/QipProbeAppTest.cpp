#include <gtest/gtest.h>

#include <QLabel>
#include <QAbstractItemView>
#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include "app/QipDeviceTableModel.h"
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
        // The toolkit reads the folder once per program; this sets it again.
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, mFolder.path());
    }
    ~PrivateConfig() { qunsetenv("XDG_CONFIG_HOME"); }
    QString Path() const { return mFolder.path(); }

private:
    QTemporaryDir mFolder;
};

}  // namespace

TEST(ProbeApp, TargetsKeepTheGoodEntriesOnceAndTellTheBadOnesInALineEach) {
    testing::internal::CaptureStderr();
    const QStringList targets = QipSettings::ProbeTargetsFrom(QVariantList{
        "198.51.100.0/24", 5, "10.0.0.0/8", "lab-router.example", "224.0.0.1", "198.51.100.0/24"});
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(targets, (QStringList{"198.51.100.0/24", "lab-router.example"}));
    EXPECT_NE(errors.find("QipProbeTargets: 2 entries skipped that are no target, the first "
                          "'10.0.0.0/8' skipped: a prefix shorter than /16"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("1 entries that are no text"), std::string::npos) << errors;

    // A settings file of 100,000 entries: the first 1,024 distinct good ones, three lines.
    QVariantList flood;
    for (int i = 0; i < 100000; ++i) {
        flood.append(i % 2 ? QStringLiteral("bad/%1").arg(i)
                           : QStringLiteral("198.51.%1.%2").arg(i / 2 % 2000 / 250 + 100).arg(i / 2 % 250 + 1));
    }
    testing::internal::CaptureStderr();
    const QStringList capped = QipSettings::ProbeTargetsFrom(flood, "ProbeTargets");
    errors = testing::internal::GetCapturedStderr();
    ASSERT_EQ(capped.size(), QipSettings::cMaxProbeTargets);
    EXPECT_EQ(QSet<QString>(capped.cbegin(), capped.cend()).size(), capped.size());
    EXPECT_EQ(capped.first(), "198.51.100.1");
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
    EXPECT_NE(errors.find("50000 entries skipped"), std::string::npos) << errors;
    EXPECT_NE(errors.find("only the first 1024 networks are searched; 976 more ignored"),
              std::string::npos)
        << errors;

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
    list->addItem("203.0.113.9");
    list->setCurrentRow(1);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(dialog.userTargets(), QStringList{"198.51.100.0/24"}) << "Delete removes the chosen one";
    edit->setText("lab-router.example");
    dialog.accept();  // Search takes what is typed along
    EXPECT_EQ(dialog.userTargets(), (QStringList{"198.51.100.0/24", "lab-router.example"}));
}

TEST(ProbeApp, ASaveThatFailsIsSaidInTheDialogWhileTheSearchGoesOn) {
    PrivateConfig config;
    // A folder where the settings file belongs cannot be written, even by root.
    ASSERT_TRUE(QipUserTargets::FilePath().startsWith(config.Path()));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(QipUserTargets::FilePath()).absoluteFilePath()));
    ControllerRig rig;
    QipProbeDialog dialog({}, {});
    dialog.setApply([&rig](const QStringList& targets) {
        return rig.mController->searchAnotherNetwork(targets);
    });
    dialog.findChild<QLineEdit*>("probeTargetEdit")->setText("198.51.100.7");
    dialog.show();
    dialog.accept();
    EXPECT_EQ(rig.mFactory.GetProbeTargets(), QStringList{"198.51.100.7"});
    EXPECT_EQ(rig.mFactory.mStarted, 2);
    auto* said = dialog.findChild<QLabel*>("probeSaveFailed");
    ASSERT_TRUE(said);
    EXPECT_TRUE(dialog.isVisible()) << "the dialog stays to say it";
    EXPECT_TRUE(said->isVisible());
    EXPECT_NE(said->text().indexOf("could not be saved in " + QipUserTargets::FilePath()), -1)
        << said->text().toStdString();
    dialog.accept();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(rig.mFactory.mStarted, 2) << "closing starts nothing again";
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

    // Edited by hand: the good target is probed, the bad one named once as the program starts.
    QFile file(QipUserTargets::FilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[General]\nProbeTargets=198.51.100.7, 0.1.2.3\n");
    file.close();
    testing::internal::CaptureStderr();
    ControllerRig edited;
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(edited.mFactory.GetProbeTargets(), QStringList{"198.51.100.7"});
    EXPECT_NE(errors.find("'0.1.2.3' skipped"), std::string::npos) << errors;
    EXPECT_EQ(errors.rfind("0.1.2.3"), errors.find("0.1.2.3")) << errors;
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

    // From the table: it stays, its chosen row too, and the new search's looks add to it.
    rig.mController->deviceFound({Device("a", "192.0.2.20"), Device("b", "192.0.2.21")});
    ASSERT_EQ(rig.mController->countOfDeviceList(), 2);
    auto* table = window.findChild<QAbstractItemView*>("deviceTable");
    table->setCurrentIndex(table->model()->index(1, 0));
    rig.mController->searchAnotherNetwork({"198.51.100.0/24"});
    EXPECT_EQ(rig.mFactory.mStarted, started + 2);
    EXPECT_EQ(rig.mController->countOfDeviceList(), 2);
    EXPECT_TRUE(table->isVisible());
    rig.mController->devicesHeard(
        {Device("a", "192.0.2.20"), Device("b", "192.0.2.21"), Device("far", "198.51.100.20")});
    EXPECT_EQ(rig.mController->countOfDeviceList(), 3);
    EXPECT_EQ(table->currentIndex().data(QipDeviceTableModel::DeviceRole).toMap().value("DeviceId"), "b");

    // While a page is being handed to the browser, the networks are remembered but neither a
    // new search starts nor the list empties under the hand-off.
    rig.mWorkspace.mHold = true;
    rig.mController->konfigurieren({Device("far", "198.51.100.20")});
    const int searches = rig.mFactory.mStarted;
    rig.mController->searchAnotherNetwork({"203.0.113.0/24"});
    EXPECT_EQ(rig.mFactory.mStarted, searches);
    EXPECT_EQ(rig.mController->countOfDeviceList(), 3);
    EXPECT_EQ(rig.mController->userProbeTargets(), QStringList{"203.0.113.0/24"});
    rig.mWorkspace.Finish(true);
}
