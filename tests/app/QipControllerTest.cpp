#include <gtest/gtest.h>

#include <QMenu>
#include <QMenuBar>

#include "tests/app/AppTestSupport.h"

using Events = std::vector<std::string>;

TEST(QipControllerSettings, AbsentSettingsTakeTheirDefaults) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    EXPECT_EQ(c.deviceKennungen(), QStringList{"QipFinder"});
    EXPECT_EQ(rig.mFactory.mKennungen, QStringList{"QipFinder"});
    EXPECT_TRUE(c.terminateAfterLastItem());
    EXPECT_FALSE(c.terminateAfterConfigure());
    EXPECT_TRUE(c.removeAfterConfigure());
    EXPECT_EQ(rig.mFactory.mTimeout, QVariant(10));
    EXPECT_EQ(c.titel(), "QipFinder");
    ASSERT_NE(c.qip(), nullptr);
    EXPECT_NE(c.qip()->timer(), nullptr);
}

TEST(QipControllerSettings, PresentSettingsOverrideTheDefaults) {
    ControllerRig rig({{"DeviceKennung", QVariantList{"Cam", "Plug"}},
                       {"TerminateAfterLastItem", false},
                       {"TerminateAfterConfigure", true},
                       {"RemoveAfterConfigure", false},
                       {"QipTimeout", 7.9}});
    QipController& c = *rig.mController;
    EXPECT_EQ(rig.mFactory.mKennungen, (QStringList{"Cam", "Plug"}));
    EXPECT_FALSE(c.terminateAfterLastItem());
    EXPECT_TRUE(c.terminateAfterConfigure());
    EXPECT_FALSE(c.removeAfterConfigure());
    // Handed on unchanged: the search cuts the fraction itself.
    EXPECT_EQ(rig.mFactory.mTimeout, QVariant(7.9));
}

TEST(QipControllerSettings, UnusableDeviceKennungFallsBackToTheProgramName) {
    const QVariant unusable[] = {QVariantList{}, QVariant("Cam"), QVariantList{"Cam", 3},
                                 QVariantList{QVariantList{"Cam"}}};
    for (const QVariant& setting : unusable) {
        ControllerRig rig({{"DeviceKennung", setting}});
        EXPECT_EQ(rig.mFactory.mKennungen, QStringList{"QipFinder"}) << setting.toString().toStdString();
    }
}

TEST(QipControllerSettings, MissingBundleNameFallsBackToTheExecutableName) {
    for (const QVariant& name : {QVariant(), QVariant(""), QVariant(12)}) {
        QVariantMap info;
        info.insert("CFBundleName", name);
        ControllerRig rig(info);
        EXPECT_EQ(rig.mController->programName(), "qipfinder");
        EXPECT_EQ(rig.mFactory.mKennungen, QStringList{"qipfinder"});
    }
}

TEST(QipControllerSettings, BooleanSettingsReadTextAndNumbersLikeTheirTruthValue) {
    EXPECT_TRUE(QipController::BoolSetting("YES", false, "k"));
    EXPECT_TRUE(QipController::BoolSetting(" true", false, "k"));
    EXPECT_TRUE(QipController::BoolSetting("-007", false, "k"));
    EXPECT_FALSE(QipController::BoolSetting("NO", true, "k"));
    EXPECT_FALSE(QipController::BoolSetting("000", true, "k"));
    EXPECT_FALSE(QipController::BoolSetting(QVariant(0LL), true, "k"));
    EXPECT_TRUE(QipController::BoolSetting(QVariant(2LL), false, "k"));
    // A kind that has no truth value keeps the default.
    EXPECT_TRUE(QipController::BoolSetting(QVariantList{false}, true, "k"));
    EXPECT_FALSE(QipController::BoolSetting(QVariant(), false, "k"));
}

TEST(QipControllerMenus, PlaceholderIsReplacedEverywhereAndOnlyInItsOwnCase) {
    ControllerRig rig({}, false);
    QMenu top("NewApplication");
    QAction* twice = top.addAction("NewApplication helps NewApplication");
    QAction* lower = top.addAction("About newapplication");
    QMenu* sub = top.addMenu("More");
    QMenu* subSub = sub->addMenu("Deeper NewApplication");
    QAction* deepest = subSub->addAction("Hide NewApplication");
    rig.mController->changeMenuText({top.menuAction()}, "Finder");
    EXPECT_EQ(top.title(), "Finder");
    EXPECT_EQ(twice->text(), "Finder helps Finder");
    EXPECT_EQ(lower->text(), "About newapplication");
    EXPECT_EQ(sub->title(), "More");
    EXPECT_EQ(subSub->title(), "Deeper Finder");
    EXPECT_EQ(deepest->text(), "Hide Finder");
}

TEST(QipControllerMenus, LaunchRewritesTheMainMenuWithTheProgramName) {
    ControllerRig rig({}, false);
    QMenuBar bar;
    QMenu* menu = bar.addMenu("NewApplication");
    QAction* quit = menu->addAction("Quit NewApplication");
    rig.mController->setMainMenu(&bar);
    rig.mController->applicationDidFinishLaunching();
    EXPECT_EQ(menu->title(), "QipFinder");
    EXPECT_EQ(quit->text(), "Quit QipFinder");
}

TEST(QipControllerStates, InitThenLaunchShowTheSearchingStates) {
    ControllerRig rig({}, false);
    QipController& c = *rig.mController;
    EXPECT_EQ(c.message(), "Suche");
    EXPECT_FALSE(c.hidePopup());
    EXPECT_TRUE(c.hideProgress());
    EXPECT_TRUE(c.deviceList().isEmpty());
    EXPECT_EQ(c.qip(), nullptr);
    c.applicationDidFinishLaunching();
    EXPECT_EQ(c.message(), "Suche");
    EXPECT_TRUE(c.hidePopup());
    EXPECT_FALSE(c.hideProgress());
}

TEST(QipControllerStates, SettersSignalOnlyRealChanges) {
    ControllerRig rig({}, false);
    QipController& c = *rig.mController;
    int changes = 0;
    const auto count = [&changes] { ++changes; };
    QObject::connect(&c, &QipController::messageChanged, count);
    QObject::connect(&c, &QipController::hidePopupChanged, count);
    QObject::connect(&c, &QipController::deviceListChanged, count);
    QObject::connect(&c, &QipController::deviceKennungenChanged, count);
    c.setMessage(c.message());
    c.setHidePopup(c.hidePopup());
    c.setDeviceList(c.deviceList());
    c.setDeviceKennungen(c.deviceKennungen());
    EXPECT_EQ(changes, 0);
    c.setMessage("other");
    c.setHidePopup(!c.hidePopup());
    c.setDeviceList({Device("a", "192.0.2.10")});
    c.setDeviceKennungen({"x"});
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(c.message(), "other");
}

TEST(QipControllerReports, OneDeviceOpensItsPageAndEndsWhateverTheSettings) {
    ControllerRig rig({{"TerminateAfterConfigure", false}, {"RemoveAfterConfigure", false}});
    rig.mController->deviceFound({Device("a", "192.168.1.20")});
    EXPECT_EQ(rig.mWorkspace.mEvents, (Events{"open http://192.168.1.20/", "terminate"}));
}

TEST(QipControllerReports, SeveralOrNoDevicesWaitForAChoice) {
    for (int count : {0, 2}) {
        ControllerRig rig;
        QipController& c = *rig.mController;
        QVariantList devices;
        for (int i = 0; i < count; ++i) {
            devices.append(Device(QString::number(i), QString("192.0.2.%1").arg(10 + i)));
        }
        c.deviceFound(devices);
        EXPECT_EQ(c.deviceList(), devices);
        EXPECT_EQ(c.deviceListController()->rowCount(), count);
        EXPECT_EQ(c.message(), "Choose");
        EXPECT_FALSE(c.hidePopup());
        EXPECT_TRUE(c.hideProgress());
        EXPECT_EQ(c.qip()->timer(), nullptr) << "the search goes on polling";
        EXPECT_TRUE(rig.mWorkspace.mEvents.empty());
    }
}

TEST(QipControllerReports, NotFoundShowsOnlyTheMessage) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    c.deviceNotFound();
    EXPECT_EQ(c.message(), "Fehler");
    EXPECT_TRUE(c.hidePopup());
    EXPECT_TRUE(c.hideProgress());
    EXPECT_EQ(c.qip()->timer(), nullptr);
    EXPECT_TRUE(rig.mWorkspace.mEvents.empty());
}

TEST(QipControllerChoice, SettingsDecideRemovalAndEnd) {
    struct Case {
        bool terminateAfterConfigure, removeAfterConfigure, terminateAfterLastItem;
        Events afterFirst;
        int leftAfterFirst;
        Events afterSecond;
        int leftAfterSecond;
    };
    const std::string a = "open http://192.0.2.10/";
    const std::string b = "open http://192.0.2.11/";
    const Case cases[] = {
        // The defaults: each chosen device leaves, the last one ends the program.
        {false, true, true, {a}, 1, {a, b, "terminate"}, 0},
        // Ending at once leaves the device where it was.
        {true, true, true, {a, "terminate"}, 2, {a, "terminate", b, "terminate"}, 2},
        {false, false, true, {a}, 2, {a, b}, 2},
        {false, true, false, {a}, 1, {a, b}, 0},
    };
    for (const Case& k : cases) {
        ControllerRig rig({{"TerminateAfterConfigure", k.terminateAfterConfigure},
                           {"RemoveAfterConfigure", k.removeAfterConfigure},
                           {"TerminateAfterLastItem", k.terminateAfterLastItem}});
        QipController& c = *rig.mController;
        const QVariantMap first = Device("a", "192.0.2.10");
        const QVariantMap second = Device("b", "192.0.2.11");
        c.deviceFound({first, second});
        c.konfigurieren({first});
        EXPECT_EQ(rig.mWorkspace.mEvents, k.afterFirst);
        EXPECT_EQ(c.countOfDeviceList(), k.leftAfterFirst);
        c.konfigurieren({second});
        EXPECT_EQ(rig.mWorkspace.mEvents, k.afterSecond);
        EXPECT_EQ(c.countOfDeviceList(), k.leftAfterSecond);
        EXPECT_EQ(c.deviceListController()->rowCount(), k.leftAfterSecond);
    }
}

TEST(QipControllerChoice, SelectionWithoutADeviceDoesNothing) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    c.deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    c.konfigurieren({});
    c.konfigurieren({QVariant()});
    EXPECT_TRUE(rig.mWorkspace.mEvents.empty());
    EXPECT_EQ(c.countOfDeviceList(), 2);
}

TEST(QipControllerList, RemovalTakesEveryEqualDeviceAndTellsTheViews) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    const QVariantMap a = Device("a", "192.0.2.10");
    const QVariantMap b = Device("b", "192.0.2.11");
    c.setDeviceList({a, b, a});
    int removedRows = 0;
    QObject::connect(c.deviceListController(), &QAbstractItemModel::rowsRemoved,
                     [&removedRows](const QModelIndex&, int first, int last) {
                         removedRows += last - first + 1;
                     });
    c.removeFromDeviceList(a);
    EXPECT_EQ(c.deviceList(), QVariantList{b});
    EXPECT_EQ(removedRows, 2);
    c.removeObjectFromDeviceListAtIndex(5);
    c.removeObjectFromDeviceListAtIndex(-1);
    EXPECT_EQ(c.countOfDeviceList(), 1);
    const QModelIndex row = c.deviceListController()->index(0);
    EXPECT_EQ(row.data().toString(), "b - QipFinder - SSID:\"net\"");
    EXPECT_EQ(row.data(QipController::DeviceListController::DeviceRole), QVariant(b));
    c.removeObjectFromDeviceListAtIndex(0);
    EXPECT_EQ(c.deviceListController()->rowCount(), 0);
}
