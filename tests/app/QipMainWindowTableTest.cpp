// The main window's device table: names that stay, the first choice, the keyboard, what a
// screen reader is given, and devices of other types; in both languages.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include "app/QipDeviceTable.h"
#include "app/QipDeviceTableModel.h"
#include "ksp/KspClock.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/WindowRig.h"

namespace {

QVariantMap Heard(const QString& id, const QString& ip, qint64 age = 0) {
    QVariantMap device = Device(id, ip, "");
    device.insert("PageOutcome", "skipped");
    device.insert("LastAnswer", KspMonotonicSeconds() - age);
    return device;
}

QVariantMap Read(const QString& id, const QString& ip, const QString& ssid, const QString& outcome) {
    QVariantMap device = Device(id, ip, ssid);
    device.insert("PageOutcome", outcome);
    return device;
}

// The window's texts in `language` ("en" or "de") while it lives.
struct Language {
    explicit Language(const char* language) {
        mLoaded = mTexts.load(QString("qipfinder_") + language, QIPFINDER_BUNDLE_DIR);
        QApplication::installTranslator(&mTexts);
    }
    ~Language() { QApplication::removeTranslator(&mTexts); }
    QTranslator mTexts;
    bool mLoaded = false;
};

}  // namespace

TEST(QipMainWindowTable, AQuietDeviceKeepsItsNameAndPlaceAndAFailedReadSaysSoBesideIt) {
    for (const auto& [language, failed, quiet, noName, refused] :
         {std::tuple<const char*, const char*, const char*, const char*, const char*>{
              "en", "Office (latest read: page not answering)", "not answering for 14 s",
              "— no wireless network name", "— page refused"},
          {"de", "Office (letzter Abruf: Seite antwortet nicht)", "antwortet seit 14 s nicht",
           "— kein Funknetzname", "— Seite abgelehnt"}}) {
        Language texts(language);
        ASSERT_TRUE(texts.mLoaded);
        // Without the store of known devices, which would list the first round's devices in the
        // second's window.
        WindowRig rig({{"QipKnownDevices", false}});
        rig.mController->devicesHeard({Heard("a", "192.0.2.10"), Heard("b", "192.0.2.11")});
        rig.mController->deviceFound({Read("a", "192.0.2.10", "Office", "ok"),
                                      Read("b", "192.0.2.11", "attic", "ok")});
        rig.Choose("a");
        ASSERT_EQ(rig.Column(QipDeviceTableModel::cName), (QStringList{"attic", "Office"}));
        // a goes quiet: its page fails and its answers stop. It stays where it is, named.
        rig.mController->deviceFound({Read("a", "192.0.2.10", "", "timeout"),
                                      Read("b", "192.0.2.11", "attic", "ok")});
        rig.mController->devicesHeard({Heard("a", "192.0.2.10", 14), Heard("b", "192.0.2.11")});
        rig.mController->deviceListController()->setNow(KspMonotonicSeconds());
        EXPECT_EQ(rig.Column(QipDeviceTableModel::cName),
                  (QStringList{"attic", QString::fromUtf8(failed)})) << language;
        EXPECT_EQ(rig.ChosenId(), "a");
        const QModelIndex a = rig.mTable->model()->index(1, QipDeviceTableModel::cLastAnswer);
        EXPECT_EQ(a.data().toString(), QString::fromUtf8(quiet));
        EXPECT_TRUE(a.data(Qt::ForegroundRole).isValid()) << "greyed";
        // Restarted: it answers again and its page names it; nothing blanked meanwhile.
        rig.mController->devicesHeard({Heard("a", "192.0.2.10"), Heard("b", "192.0.2.11")});
        EXPECT_EQ(rig.Column(QipDeviceTableModel::cName)[1], QString::fromUtf8(failed));
        rig.mController->deviceFound({Read("a", "192.0.2.10", "Office", "ok")});
        EXPECT_EQ(rig.Column(QipDeviceTableModel::cName)[1], "Office");
        // What a page says of itself when nothing was read before.
        rig.mController->devicesHeard({Heard("a", "192.0.2.10"), Heard("b", "192.0.2.11"),
                                       Heard("c", "192.0.2.12"), Heard("d", "192.0.2.13")});
        rig.mController->deviceFound({Read("c", "192.0.2.12", "", "ok"),
                                      Read("d", "192.0.2.13", "", "refused")});
        EXPECT_TRUE(rig.Column(QipDeviceTableModel::cName).contains(QString::fromUtf8(noName)));
        EXPECT_TRUE(rig.Column(QipDeviceTableModel::cName).contains(QString::fromUtf8(refused)));
    }
}

TEST(QipMainWindowTable, TheFirstRowInTheTablesOrderIsChosenOnceTheNamesAreIn) {
    WindowRig rig;
    // b answered first; by name, a comes first once the names are read.
    rig.mController->devicesHeard({Heard("b", "192.0.2.11"), Heard("a", "192.0.2.10")});
    ASSERT_TRUE(rig.mTable->isVisible());
    rig.mController->deviceFound({Read("b", "192.0.2.11", "Workshop", "ok"),
                                  Read("a", "192.0.2.10", "Attic", "ok")});
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cDeviceId), (QStringList{"a", "b"}));
    EXPECT_EQ(rig.ChosenId(), "a");
    EXPECT_EQ(QApplication::focusWidget(), rig.mTable);
    // Once the names are in, the choice is the user's: a later order keeps it.
    rig.mController->deviceFound({Read("a", "192.0.2.10", "Zoo", "ok")});
    EXPECT_EQ(rig.ChosenId(), "a");
}

TEST(QipMainWindowTable, KeysFilterAndWhatAScreenReaderIsGiven) {
    WindowRig rig;
    QSignalSpy reset(rig.mController->deviceListController(), &QAbstractItemModel::modelReset);
    QSignalSpy inserted(rig.mController->deviceListController(), &QAbstractItemModel::rowsInserted);
    rig.mController->deviceFound({Device("a", "192.0.2.10", "Attic"), Device("b", "192.0.2.11", "Office"),
                                  Device("c\x1b[2J", "192.0.2.12", "Tab\there\x01" "bell\x07\x1b[31mred")});
    rig.mController->devicesHeard({Heard("a", "192.0.2.10"), Heard("b", "192.0.2.11"),
                                   Heard("c\x1b[2J", "192.0.2.12"), Heard("d", "192.0.2.13")});
    EXPECT_EQ(reset.count(), 0);
    EXPECT_EQ(inserted.count(), 2) << "the first three in one run, then d";
    // Control characters are shown as marks, in the cells and to a screen reader.
    EXPECT_TRUE(rig.Column(QipDeviceTableModel::cName).contains("Tab?here?bell??[31mred"));
    EXPECT_TRUE(rig.Column(QipDeviceTableModel::cDeviceId).contains("c?[2J"));
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(rig.mTable);
    ASSERT_TRUE(table && table->tableInterface());
    QAccessibleInterface* cell = table->tableInterface()->cellAt(2, QipDeviceTableModel::cName);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->text(QAccessible::Name), "Tab?here?bell??[31mred");
    EXPECT_EQ(cell->text(QAccessible::Description), "Tab?here?bell??[31mred") << "the cell's own text";
    // A row is named by its device, not by when it came.
    EXPECT_EQ(table->tableInterface()->rowDescription(0), "Attic");

    // Shift+F10 opens the chosen row's menu, with Show All Device Types.
    rig.Choose("b");
    QStringList offered;
    QTimer::singleShot(0, [&offered] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* action : menu->actions()) offered << action->text();
            menu->close();
        }
    });
    QTest::keyClick(rig.mTable, Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(offered, (QStringList{"&Open", "Copy &Address", "Copy Device &ID", "", "&Label…", "&Forget Device", "",
                                    "Show All Device &Types"}));
    EXPECT_EQ(rig.ChosenId(), "b");

    // The filter keeps b chosen while it shows, says when nothing matches, and Escape
    // clears it (b chosen again).
    auto* filter = rig.mWindow.findChild<QLineEdit*>("filterEdit");
    auto* devices = qobject_cast<QipDeviceTable*>(rig.mTable);
    ASSERT_TRUE(filter && devices);
    QTest::keyClicks(filter, "192.0.2.1");
    EXPECT_EQ(rig.ChosenId(), "b");
    QTest::keyClicks(filter, "3");
    EXPECT_EQ(rig.ChosenId(), "d");
    QTest::keyClicks(filter, "9");
    EXPECT_EQ(rig.mTable->model()->rowCount(), 0);
    EXPECT_EQ(devices->emptyText(), QString::fromUtf8("No device matches “192.0.2.139”."));
    EXPECT_TRUE(rig.mTable->accessibleDescription().contains(devices->emptyText()));
    QTest::keyClick(filter, Qt::Key_Escape);
    EXPECT_EQ(filter->text(), "");
    EXPECT_EQ(devices->emptyText(), "");
    EXPECT_EQ(rig.mTable->model()->rowCount(), 4);
    EXPECT_EQ(rig.ChosenId(), "b") << "chosen again once shown again";
}

TEST(QipMainWindowTable, DevicesOfOtherTypesAreListedOnRequestAndOpenable) {
    WindowRig rig;
    rig.mFactory.mSnapshot.emplace_back(
        QipPacketHello("QipFinder", "lamp", "192.0.2.20", "255.255.255.0", "/s.xml", "1"), "192.0.2.20");
    rig.mFactory.mSnapshot.emplace_back(
        QipPacketHello("QipFinder", "fan", "192.0.2.21", "255.255.255.0", "/s.xml", "1"), "192.0.2.21");
    rig.mFactory.mSnapshot.emplace_back(
        QipPacketHello("Camera", "cam", "192.0.2.40", "255.255.255.0", "/s.xml", "1"), "192.0.2.40");
    for (int i = 0; i < 1500 && !rig.mTable->isVisible(); ++i) {
        QTest::qWait(10);
    }
    ASSERT_EQ(rig.Column(QipDeviceTableModel::cType), (QStringList{"QipFinder", "QipFinder"}));
    auto* all = rig.mWindow.findChild<QAction*>("actionShowAllTypes");
    ASSERT_NE(all, nullptr);
    all->trigger();
    QStringList types = rig.Column(QipDeviceTableModel::cType);
    types.sort();
    EXPECT_EQ(types, (QStringList{"Camera", "QipFinder", "QipFinder"}));
    rig.Choose("cam");
    QTest::keyClick(rig.mTable, Qt::Key_Return);
    EXPECT_EQ(rig.mWorkspace.mEvents, std::vector<std::string>{"open http://192.0.2.40/"});
    all->trigger();
    EXPECT_EQ(rig.Column(QipDeviceTableModel::cType), (QStringList{"QipFinder", "QipFinder"}))
        << "cam was opened and taken off";
}

TEST(QipMainWindowTable, TheLoneDeviceRuleCountsTheWantedTypesOnly) {
    QVariantMap camera = Heard("cam", "192.0.2.40");
    camera.insert("DeviceType", "Camera");
    camera.insert("OtherType", true);
    {
        WindowRig rig;
        rig.mController->setShowAllTypes(true);
        rig.mController->devicesHeard({camera});
        EXPECT_TRUE(rig.mTable->isVisible()) << "shown, not opened";
        EXPECT_TRUE(rig.mWorkspace.mEvents.empty());
    }
    WindowRig rig;
    rig.mController->setShowAllTypes(true);
    rig.mController->devicesHeard({camera, Heard("lamp", "192.0.2.20")});
    EXPECT_EQ(rig.mWorkspace.mEvents, (std::vector<std::string>{"open http://192.0.2.20/", "terminate"}));
}
