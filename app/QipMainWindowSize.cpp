// The window's size: what each state needs, the table growing with the window, and the
// placement remembered between runs.
#include "app/QipMainWindow.h"

#include <QHeaderView>
#include <QLayout>
#include <QMenuBar>
#include <QResizeEvent>
#include <QScreen>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QStyle>

#include <cstdio>

#include "app/QipController.h"
#include "app/QipDeviceColumns.h"
#include "app/QipDeviceTable.h"
#include "app/QipDeviceTableProxy.h"
#include "app/QipUserTargets.h"
#include "ui_MainWindow.h"

namespace {

// The widest a message makes the window, in average characters.
const int cChooserMaxCharacters = 64;
// The rows the table shows at least.
const int cTableRows = 8;
// The narrowest the window gets, in average characters, so that no message is cut.
const int cMinimumCharacters = 48;
// The size a table may take even where that is more than two thirds of a small screen, in
// average characters and lines.
const int cComfortableCharacters = 120;
const int cComfortableLines = 40;
// Window frames and panels take some of the screen.
const int cScreenMargin = 40;

const char* const cPositionKey = "Window/Position";
const char* const cTableSizeKey = "Window/TableSize";
const char* const cColumnsKey = "Window/Columns";

}  // namespace

void QipMainWindow::setRemembersPlacement(bool remembers) {
    mRemembersPlacement = remembers;
    if (!remembers) {
        return;
    }
    const std::unique_ptr<QSettings> settings = QipUserTargets::Open();
    const QPoint position = settings->value(QLatin1String(cPositionKey)).toPoint();
    if (settings->contains(QLatin1String(cPositionKey)) && screen() &&
        screen()->availableVirtualGeometry().contains(position)) {
        move(position);
    }
    mTableSize = settings->value(QLatin1String(cTableSizeKey)).toSize();
    // The next time the table shows, it takes the remembered size.
    mTableSized = false;
    // The user's widths stand; the fit only widens a column whose text would be cut.
    if (mUi->deviceTable->horizontalHeader()->restoreState(
            settings->value(QLatin1String(cColumnsKey)).toByteArray())) {
        mColumns->KeepWidths();
    }
}

void QipMainWindow::SavePlacement() {
    if (!mRemembersPlacement) {
        return;
    }
    const std::unique_ptr<QSettings> settings = QipUserTargets::Open();
    settings->setValue(QLatin1String(cPositionKey), pos());
    if (mTableSized) {
        mTableSize = size();
    }
    if (mTableSize.isValid()) {
        settings->setValue(QLatin1String(cTableSizeKey), mTableSize);
    }
    settings->setValue(QLatin1String(cColumnsKey),
                       mUi->deviceTable->horizontalHeader()->saveState());
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        std::fprintf(stderr, "Cannot save the window's placement in %s\n",
                     qPrintable(settings->fileName()));
    }
}

void QipMainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    // The window system's own news of the size asked for is not the user's doing.
    if (mTableSized && event->spontaneous() && event->size() != mGivenSize) {
        mUserSized = true;
    }
}

void QipMainWindow::FitSize() {
    QLayout* layout = centralWidget()->layout();
    layout->activate();
    const QMargins margins = layout->contentsMargins();
    const int menuHeight = menuBar()->sizeHint().height();
    const int average = fontMetrics().averageCharWidth();
    QipDeviceTable* table = mUi->deviceTable;
    const bool tableShown = table->isVisibleTo(this);
    QSize room(100000, 100000);
    QSize share = room;
    if (const QScreen* shown = screen()) {
        const QSize screenSize = shown->availableGeometry().size();
        room = screenSize - QSize(cScreenMargin, cScreenMargin);
        // About two thirds of a large screen; on a small one, what a comfortable table
        // takes, as far as the screen allows.
        share = (screenSize * 2 / 3)
                    .expandedTo(QSize(average * cComfortableCharacters,
                                      fontMetrics().height() * cComfortableLines)
                                    .boundedTo(room));
    }
    // The table as wide as its columns need, up to its share of the screen, but never so
    // narrow that the address or device ID is cut where the screen has room for them.
    const int tableWidth =
        tableShown ? qMin(mColumns->FullWidth(),
                          qMax(share.width() - margins.left() - margins.right(),
                               mColumns->EssentialWidth()))
                   : 0;
    int width =
        qMax(qMax(average * cMinimumCharacters, tableWidth),
             qMax(qMin(fontMetrics().horizontalAdvance(mController->message()),
                       average * cChooserMaxCharacters),
                  qMax(mUi->chooserLayout->minimumSize().width(),
                       mUi->searchAgainLayout->minimumSize().width()))) +
        margins.left() + margins.right();
    width = qMin(width, qMax(room.width(), average * cMinimumCharacters));
    // The height of everything but the table.
    const int tableHint = tableShown ? table->sizeHint().height() : 0;
    auto heightAt = [layout, menuHeight, tableHint](int w) {
        return (layout->hasHeightForWidth() ? layout->totalHeightForWidth(w)
                                            : layout->totalMinimumSize().height()) +
               menuHeight - tableHint;
    };
    // Long texts wrap into fewer lines on a wider window: widen until the height fits.
    while (heightAt(width) > room.height() && width + average * 4 <= room.width()) {
        width += average * 4;
    }
    // Every row, as far as the screen's share allows, and at least cTableRows.
    int tableHeight = 0;
    if (tableShown) {
        const int rowHeight = qMax(table->verticalHeader()->defaultSectionSize(), 1);
        const int chrome =
            table->horizontalHeader()->sizeHint().height() + 2 * table->frameWidth();
        const int fitting = (share.height() - heightAt(width) - chrome) / rowHeight;
        tableHeight = chrome + rowHeight * qMax(cTableRows, qMin(mProxy->rowCount(), fitting));
    }
    const int height = qMin(heightAt(width) + tableHeight, qMax(room.height(), 0));
    const QSize wanted(width, height);
    if (tableShown) {
        setMinimumSize(qMin(width, average * cMinimumCharacters),
                       qMin(height, heightAt(width) + table->minimumSizeHint().height()));
        // The table grows with the window: it is never made smaller than the user made it.
        // Names and rows that come after it first showed widen the window too, as long as
        // the window has the size it was given (the user has not resized it).
        if (!mTableSized || !mUserSized) {
            QSize size = this->size().expandedTo(wanted);
            if (!mTableSized && mTableSize.isValid()) {
                size = size.expandedTo(mTableSize.boundedTo(room));
            }
            const bool first = !mTableSized;
            mTableSized = true;
            mGivenSize = size;
            mUserSized = false;
            resize(size);
            // The columns take the width the window has now, once the layout has placed
            // the table.
            layout->activate();
            mColumns->Fit(first);
        }
        return;
    }
    // The other states take the size they need.
    if (mTableSized) {
        mTableSize = size();
    }
    mTableSized = false;
    setMinimumSize(wanted);
    resize(wanted);
}
