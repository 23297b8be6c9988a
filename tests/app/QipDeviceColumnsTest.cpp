// The device table's columns in the window: what is cut, and how the whole text is reached.
#include <gtest/gtest.h>

#include <QHelpEvent>
#include <QTextDocument>
#include <QToolTip>

#include "app/QipCutTextDelegate.h"
#include "tests/app/WindowRig.h"

// On the test bed's 800×600 screen a very long name cannot fit beside the other columns: it
// is cut at its end, the address and device ID beside it are not, and the name's tooltip
// reads the whole name first.
TEST(QipDeviceColumns, ALongNameIsCutAtItsEndAndReadWholeInItsTooltip) {
    WindowRig rig;
    ASSERT_TRUE(rig.Found());
    const QString name = QString::fromUtf8(
        "Warehouse – second floor, east wing, beside the loading dock, room 4711");
    rig.mController->deviceFound(
        {Device("AA:BB:CC:00:01:01", "192.0.2.10", name), Device("AA:BB:CC:00:01:02", "192.0.2.111", "Lab")});
    QApplication::processEvents();
    ASSERT_TRUE(rig.mTable->isVisible());
    const QModelIndex cell = rig.mTable->model()->index(1, QipDeviceTableModel::cName);
    ASSERT_EQ(cell.data().toString(), name);
    // The grid takes a pixel of each column.
    auto cut = [&rig](const QModelIndex& index) {
        return QipCutTextDelegate::IsCut(rig.mTable, index, rig.mTable->columnWidth(index.column()) - 1);
    };
    EXPECT_TRUE(cut(cell));
    for (int row = 0; row < 2; ++row) {
        for (int column : {QipDeviceTableModel::cAddress, QipDeviceTableModel::cDeviceId}) {
            EXPECT_FALSE(cut(rig.mTable->model()->index(row, column))) << row << " " << column;
        }
    }

    const QPoint at = rig.mTable->visualRect(cell).center();
    QHelpEvent help(QEvent::ToolTip, at, rig.mTable->viewport()->mapToGlobal(at));
    QApplication::sendEvent(rig.mTable->viewport(), &help);
    QTextDocument shown;
    shown.setHtml(QToolTip::text());
    EXPECT_EQ(shown.toPlainText().section('\n', 0, 0).toStdString(), name.toStdString());
    QToolTip::hideText();
}
