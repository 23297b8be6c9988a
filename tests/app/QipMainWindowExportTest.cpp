// Copy All and Export… in the window.
#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include "tests/app/WindowRig.h"

namespace {

// Triggers Export… and answers its dialog with `path`; true when a box then said that the
// file could not be written (the box is closed).
bool ExportTo(QipMainWindow& window, const QString& path) {
    bool failed = false;
    QTimer answer;
    answer.setInterval(10);
    int ticks = 0;
    // Queued: a box that opens must not run inside the timer's own call.
    QObject::connect(&answer, &QTimer::timeout, &window, [&failed, &ticks, path] {
        QWidget* modal = QApplication::activeModalWidget();
        if (++ticks > 1500 && modal) {
            ADD_FAILURE() << "still open after 15 s: " << modal->metaObject()->className();
            QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            dialog->selectFile(path);
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            failed = box->objectName() == "exportFailedBox" && box->text().contains(path);
            QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
        }
    });
    answer.start();
    window.findChild<QAction*>("actionExport")->trigger();
    return failed;
}

QString Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

// The rows the filter leaves, in the table's order (by name, not as the devices came): as
// text on the clipboard, as CSV that a spreadsheet reads as it stands (a comma and quotes in
// a name; a name that would be a formula stays text) and as qip-discover's JSON lines, each
// with the label the user gave.
TEST(QipMainWindowExport, CopyAllAndExportWriteTheRowsShownInTheTablesOrder) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    QVariantMap lab = Device("b", "192.0.2.11", "Lab, \"east\"");
    lab.insert("PageOutcome", "ok");
    rig.mController->deviceFound({Device("a", "192.0.2.10", "Office"), lab,
                                  Device("c", "192.0.2.12", "=HYPERLINK(\"x\")"),
                                  Device("d", "203.0.113.5", "Away")});
    ASSERT_TRUE(rig.mController->setDeviceLabel("a", "Room 1"));
    auto* filter = rig.mWindow.findChild<QLineEdit*>("filterEdit");
    ASSERT_NE(filter, nullptr);
    filter->setText("192.0.2.");
    ASSERT_EQ(rig.mTable->model()->rowCount(), 3);

    QGuiApplication::clipboard()->clear();
    rig.mWindow.findChild<QAction*>("actionCopyAll")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              "Name\tAddress\tType\tDevice ID\tLast answer\tLabel\n"
              "=HYPERLINK(\"x\")\t192.0.2.12\tQipFinder\tc\t\t\n"
              "Lab, \"east\"\t192.0.2.11\tQipFinder\tb\t\t\n"
              "Room 1\t192.0.2.10\tQipFinder\ta\t\tRoom 1\n");

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    EXPECT_FALSE(ExportTo(rig.mWindow, folder.filePath("devices.csv")));
    EXPECT_EQ(Read(folder.filePath("devices.csv")),
              "Name,Address,Type,Device ID,Last answer,Label\r\n"
              "\"'=HYPERLINK(\"\"x\"\")\",192.0.2.12,QipFinder,c,,\r\n"
              "\"Lab, \"\"east\"\"\",192.0.2.11,QipFinder,b,,\r\n"
              "Room 1,192.0.2.10,QipFinder,a,,Room 1\r\n");
    EXPECT_FALSE(ExportTo(rig.mWindow, folder.filePath("devices.jsonl")));
    EXPECT_EQ(Read(folder.filePath("devices.jsonl")),
              "{\"DeviceType\":\"QipFinder\",\"DeviceId\":\"c\",\"SSID\":\"=HYPERLINK(\\\"x\\\")\","
              "\"DeviceIP\":\"192.0.2.12\",\"DisplayString\":\"c - QipFinder - "
              "SSID:\\\"=HYPERLINK(\\\"x\\\")\\\"\",\"Reachable\":true,\"Page\":\"\",\"label\":\"\"}\n"
              "{\"DeviceType\":\"QipFinder\",\"DeviceId\":\"b\",\"SSID\":\"Lab, \\\"east\\\"\","
              "\"DeviceIP\":\"192.0.2.11\",\"DisplayString\":\"b - QipFinder - "
              "SSID:\\\"Lab, \\\"east\\\"\\\"\",\"Reachable\":true,\"Page\":\"ok\",\"label\":\"\"}\n"
              "{\"DeviceType\":\"QipFinder\",\"DeviceId\":\"a\",\"SSID\":\"Office\","
              "\"DeviceIP\":\"192.0.2.10\",\"DisplayString\":\"a - QipFinder - "
              "SSID:\\\"Office\\\"\",\"Reachable\":true,\"Page\":\"\",\"label\":\"Room 1\"}\n");

    // A file that cannot be written is said so, and nothing is left behind.
    const QString nowhere = folder.filePath("gone/devices.csv");
    EXPECT_TRUE(ExportTo(rig.mWindow, nowhere));
    EXPECT_FALSE(QFile::exists(nowhere));
}
