#include <gtest/gtest.h>

#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

#include <tuple>

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

TEST(QipControllerSettings, UnusableNameOrKennungFallsBack) {
    for (const QVariant& setting : {QVariant(QVariantList{}), QVariant("Cam"),
                                    QVariant(QVariantList{"Cam", 3})}) {
        ControllerRig rig({{"DeviceKennung", setting}});
        EXPECT_EQ(rig.mFactory.mKennungen, QStringList{"QipFinder"});
    }
    for (const QVariant& name : {QVariant(), QVariant(""), QVariant(12)}) {
        ControllerRig rig({{"CFBundleName", name}});
        EXPECT_EQ(rig.mController->programName(), "qipfinder");
        EXPECT_EQ(rig.mFactory.mKennungen, QStringList{"qipfinder"});
    }
}

TEST(QipControllerSettings, BooleanSettingsReadTextAndNumbersByTheirTruthValue) {
    EXPECT_TRUE(QipController::BoolSetting(" YES", false, "k"));
    EXPECT_TRUE(QipController::BoolSetting("-007", false, "k"));
    EXPECT_FALSE(QipController::BoolSetting("000", true, "k"));
    EXPECT_FALSE(QipController::BoolSetting(QVariant(0LL), true, "k"));
    EXPECT_TRUE(QipController::BoolSetting(QVariantList{false}, true, "k"));
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
    QObject::connect(&c, &QipController::messageChanged, [&changes] { ++changes; });
    QObject::connect(&c, &QipController::deviceListChanged, [&changes] { ++changes; });
    c.setMessage(c.message());
    c.setDeviceList(c.deviceList());
    EXPECT_EQ(changes, 0);
    c.setMessage("other");
    c.setDeviceList({Device("a", "192.0.2.10")});
    EXPECT_EQ(changes, 2);
}

TEST(QipControllerReports, OneDeviceOpensItsPageAndEndsWhateverTheSettings) {
    ControllerRig rig({{"TerminateAfterConfigure", false}, {"RemoveAfterConfigure", false}});
    rig.mController->deviceFound({Device("a", "192.168.1.20")});
    EXPECT_EQ(rig.mWorkspace.mEvents, (Events{"open http://192.168.1.20/", "terminate"}));
}

TEST(QipControllerReports, SeveralDevicesWaitForAChoice) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    const QVariantList devices{Device("0", "192.0.2.10"), Device("1", "192.0.2.11")};
    c.deviceFound(devices);
    EXPECT_EQ(c.deviceList(), devices);
    EXPECT_EQ(c.deviceListController()->rowCount(), 2);
    EXPECT_EQ(c.message(), "Choose");
    EXPECT_FALSE(c.hidePopup());
    EXPECT_TRUE(c.hideProgress());
    EXPECT_TRUE(c.showRefresh());
    EXPECT_NE(c.qip()->timer(), nullptr) << "the table keeps the search polling";
    EXPECT_TRUE(rig.mWorkspace.mEvents.empty());
}

TEST(QipControllerReports, TheFailedStateKeepsWatchingAndMovesOnByItself) {
    for (int count : {1, 2}) {
        ControllerRig rig;
        QipController& c = *rig.mController;
        c.deviceNotFound();
        EXPECT_EQ(c.message(), "Fehler");
        EXPECT_TRUE(c.hidePopup());
        EXPECT_TRUE(c.hideProgress());
        EXPECT_TRUE(c.showSearchAgain());
        ASSERT_NE(c.qip()->timer(), nullptr) << "the search stopped polling";
        c.deviceNotFound();  // every later empty poll reports again: nothing changes
        c.deviceFound({});
        EXPECT_TRUE(c.hidePopup());
        QVariantList devices;
        for (int i = 0; i < count; ++i) {
            devices.append(Device(QString::number(i), QString("192.0.2.%1").arg(10 + i)));
        }
        c.deviceFound(devices);
        EXPECT_FALSE(c.showSearchAgain());
        if (count == 1) {
            EXPECT_EQ(rig.mWorkspace.mEvents, (Events{"open http://192.0.2.10/", "terminate"}));
        } else {
            EXPECT_TRUE(rig.mWorkspace.mEvents.empty());
            EXPECT_FALSE(c.hidePopup());
            EXPECT_EQ(c.message(), "Choose");
        }
    }
}

TEST(QipControllerReports, OnlyOtherTypesSayWhatAnsweredAndSearchAgainResumes) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    for (const char* id : {"cam-1", "cam-2", "cam-1"}) {
        rig.mFactory.mSnapshot.emplace_back(
            QipPacketHello("Camera", id, "192.0.2.40", "255.255.255.0", "/s.xml", "1"),
            "192.0.2.40");
    }
    rig.mFactory.mSnapshot.emplace_back(
        QipPacketHello("Plug", "p", "192.0.2.41", "255.255.255.0", "/s.xml", "1"), "192.0.2.41");
    c.qip()->timerCallback();
    WaitForReport(c.qip());
    EXPECT_EQ(c.countOfDeviceList(), 0);
    EXPECT_TRUE(c.hidePopup()) << "an empty chooser";
    EXPECT_TRUE(c.showSearchAgain());
    EXPECT_EQ(c.message(), "QipFinder looks for devices of type QipFinder. Only devices of other "
                           "types answered: Camera (2), Plug (1).");
    EXPECT_TRUE(c.helpText().startsWith(
        "If your device is among them, this program is not set up for its type; the program's "
        "documentation says how to add it.\n\n"
        "Likely causes:\n"))
        << c.helpText().toStdString();
    EXPECT_FALSE(c.helpText().contains("Info.plist"));
    EXPECT_NE(c.qip()->timer(), nullptr) << "it keeps watching";

    // The search's own resume: same search, the count from 0, a poll every 2 s.
    Qip* search = c.qip();
    rig.mFactory.mSnapshot.clear();
    c.qip()->timerCallback();
    c.qip()->timerCallback();
    c.deviceNotFound();
    EXPECT_TRUE(c.helpText().contains("Camera (2)")) << "what answered is remembered";
    c.searchAgain();
    EXPECT_EQ(c.qip(), search);
    EXPECT_EQ(rig.mFactory.mStarted, 1);
    EXPECT_EQ(c.message(), "Suche");
    EXPECT_TRUE(c.hidePopup());
    EXPECT_FALSE(c.hideProgress());
    EXPECT_TRUE(c.helpText().isEmpty());
    EXPECT_FALSE(c.showSearchAgain());
    ASSERT_NE(c.qip()->timer(), nullptr);
    EXPECT_EQ(c.qip()->timer()->interval(), 2000);
    EXPECT_EQ(c.qip()->counter(), 0u);
    // Then the flow runs as after launch: one device opens and ends.
    c.deviceFound({Device("a", "192.0.2.10")});
    EXPECT_EQ(rig.mWorkspace.mEvents, (Events{"open http://192.0.2.10/", "terminate"}));
}

TEST(QipControllerReports, RefreshLooksAgainAndRefillsTheChooserWithoutOpeningALoneDevice) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    c.deviceFound({Device("a", "192.0.2.10"), Device("b", "192.0.2.11")});
    c.refresh();
    EXPECT_TRUE(c.isRefreshing());
    EXPECT_FALSE(c.hidePopup()) << "the chooser stays usable";
    EXPECT_FALSE(c.hideProgress());
    ASSERT_NE(c.qip()->timer(), nullptr);
    EXPECT_EQ(c.qip()->timer()->interval(), 2000);
    c.deviceFound({Device("b", "192.0.2.11")});
    EXPECT_FALSE(c.isRefreshing());
    EXPECT_EQ(c.deviceList(), QVariantList{Device("b", "192.0.2.11")});
    EXPECT_TRUE(rig.mWorkspace.mEvents.empty()) << "a lone device opens only from a search";
    EXPECT_NE(c.qip()->timer(), nullptr);
    EXPECT_TRUE(c.hideProgress());
    // Every device fell silent: the failed state, still watching.
    c.refresh();
    c.deviceNotFound();
    EXPECT_TRUE(c.hidePopup());
    EXPECT_FALSE(c.showRefresh());
    EXPECT_NE(c.qip()->timer(), nullptr);
    c.refresh();
    EXPECT_FALSE(c.isRefreshing()) << "only from the chooser";
}

TEST(QipControllerReports, AnUnopenablePortIsSaidAtOnceAndSearchingAgainStartsAnewSearch) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    c.qip()->stop();
    c.discoveryPortUnavailable(19375);
    EXPECT_EQ(c.message(), "Cannot listen for devices on UDP port 19375.");
    EXPECT_TRUE(c.helpText().contains("may hold UDP port 19375"));
    EXPECT_TRUE(c.hidePopup());
    EXPECT_TRUE(c.hideProgress());
    c.searchAgain();
    EXPECT_EQ(rig.mFactory.mStarted, 2);
    EXPECT_FALSE(c.qip()->isStopped());
    EXPECT_FALSE(c.hideProgress());
    c.searchAgain();
    EXPECT_EQ(rig.mFactory.mStarted, 2) << "only from a state that offers it";
}

TEST(QipControllerReports, APageThatCannotBeOpenedKeepsTheDeviceTheProgramAndSaysSoOnExit) {
    ControllerRig rig;
    QipController& c = *rig.mController;
    rig.mWorkspace.mOpenFails = true;
    QList<QUrl> told;
    QObject::connect(&c, &QipController::pageNotOpened,
                     [&told](const QUrl& url, int status) {
                         told << url;
                         EXPECT_EQ(status, 3);
                     });
    const QVariantMap lone = Device("a", "192.0.2.10");
    c.deviceFound({lone});
    EXPECT_EQ(c.exitStatus(0), 3);
    c.konfigurieren({lone});
    EXPECT_EQ(rig.mWorkspace.mEvents,
              (Events{"cannot open http://192.0.2.10/", "cannot open http://192.0.2.10/"}));
    EXPECT_EQ(told, (QList<QUrl>{QUrl("http://192.0.2.10/"), QUrl("http://192.0.2.10/")}));
    EXPECT_EQ(c.deviceList(), QVariantList{lone});
    EXPECT_FALSE(c.hidePopup());
    EXPECT_EQ(c.exitStatus(0), 3);
    EXPECT_EQ(c.exitStatus(1), 1);
    // The settings wait for the browser's answer; a choice meanwhile is not a second one.
    rig.mWorkspace.mOpenFails = false;
    rig.mWorkspace.mHold = true;
    c.setTerminateAfterConfigure(true);
    c.konfigurieren({lone});
    c.konfigurieren({lone});
    EXPECT_EQ(rig.mWorkspace.mEvents.size(), 3u);
    EXPECT_TRUE(c.isHandingOff());
    rig.mWorkspace.Finish(true);
    EXPECT_EQ(rig.mWorkspace.mEvents.back(), "terminate");
    EXPECT_EQ(c.exitStatus(0), 0);
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
    // One row per device: a repeated id is listed once.
    c.setDeviceList({a, b, a});
    EXPECT_EQ(c.countOfDeviceList(), 2);
    int removedRows = 0;
    QObject::connect(c.deviceListController(), &QAbstractItemModel::rowsRemoved,
                     [&removedRows](const QModelIndex&, int first, int last) {
                         removedRows += last - first + 1;
                     });
    c.removeFromDeviceList(a);
    c.removeObjectFromDeviceListAtIndex(5);
    EXPECT_EQ(c.deviceList(), QVariantList{b});
    EXPECT_EQ(removedRows, 1);
    EXPECT_EQ(c.deviceListController()->index(0, 0).data(Qt::ToolTipRole).toString(), "b - QipFinder - SSID:\"net\"");
}

TEST(QipControllerAbout, BoxShowsTheNameTheReleaseDateOfTheUsersLocaleAndTheVersionNumber) {
    const QByteArray savedLocale = qgetenv("LC_ALL");
    const QString rest =
        "\n\nFinds QIP devices on the local network and opens their configuration page.\n"
        "Released under the MIT licence.";
    for (const auto& [version, locale, expected] :
         {std::tuple<QVariant, const char*, QString>{"2026-12-07", "de_DE.UTF-8",
                                                     "QipFinder\nVersion 07.12.2026 (" QIPFINDER_VERSION ")" + rest},
          {"2026-12-07", "en_US.UTF-8", "QipFinder\nVersion Dec 7, 2026 (" QIPFINDER_VERSION ")" + rest},
          {QVariant(), "en_US.UTF-8", "QipFinder\nVersion " QIPFINDER_VERSION + rest}}) {
        ControllerRig rig({{"CFBundleVersion", version}}, false);
        qputenv("LC_ALL", locale);
        QString shown;
        int width = 0;
        int titleWidth = 0;
        // The box is modal: read and close it from the event loop it runs.
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&shown, &width, &titleWidth] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                    shown = box->text();
                    width = box->width();
                    titleWidth = box->fontMetrics().horizontalAdvance(box->windowTitle());
                    box->accept();
                }
            }
        });
        closer.start(20);
        rig.mController->about();
        EXPECT_EQ(shown, expected) << locale;
        // Window managers cut a title wider than the box less their buttons.
        EXPECT_GT(width, titleWidth + 150) << locale;
    }
    qputenv("LC_ALL", savedLocale);
}
