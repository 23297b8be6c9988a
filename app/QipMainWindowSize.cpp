// The window's size: what each state needs, the table growing with the window, and the
// placement remembered between runs.
#include "app/QipMainWindow.h"

#include <QHeaderView>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QStyle>

#include <cstdio>

#include "app/QipController.h"
#include "app/QipDeviceTable.h"
#include "app/QipUserTargets.h"
#include "ui_MainWindow.h"

namespace {

// The widest a message makes the window, in average characters.
const int cChooserMaxCharacters = 64;
// The rows the table shows at least.
const int cTableRows = 8;
// The narrowest the window gets, in average characters, so that no message is cut.
const int cMinimumCharacters = 48;
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
    mUi->deviceTable->horizontalHeader()->restoreState(
        settings->value(QLatin1String(cColumnsKey)).toByteArray());
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

void QipMainWindow::FitSize() {
    QLayout* layout = centralWidget()->layout();
    layout->activate();
    const QMargins margins = layout->contentsMargins();
    const int menuHeight = menuBar()->sizeHint().height();
    const int average = fontMetrics().averageCharWidth();
    const bool table = mUi->deviceTable->isVisibleTo(this);
    int width =
        qMax(qMax(average * cMinimumCharacters, table ? TableWidth() : 0),
             qMax(qMin(fontMetrics().horizontalAdvance(mController->message()),
                       average * cChooserMaxCharacters),
                  qMax(mUi->chooserLayout->minimumSize().width(),
                       mUi->searchAgainLayout->minimumSize().width()))) +
        margins.left() + margins.right();
    QSize room(width, 100000);
    if (const QScreen* shown = screen()) {
        room = shown->availableGeometry().size() - QSize(cScreenMargin, cScreenMargin);
    }
    width = qMin(width, qMax(room.width(), average * cMinimumCharacters));
    const int tableRows =
        table ? mUi->deviceTable->horizontalHeader()->sizeHint().height() +
                    mUi->deviceTable->verticalHeader()->defaultSectionSize() * cTableRows +
                    2 * mUi->deviceTable->frameWidth()
              : 0;
    auto heightAt = [layout, menuHeight, tableRows](int w) {
        return (layout->hasHeightForWidth() ? layout->totalHeightForWidth(w)
                                            : layout->totalMinimumSize().height()) +
               menuHeight + tableRows;
    };
    // Long texts wrap into fewer lines on a wider window: widen until the height fits.
    while (heightAt(width) > room.height() && width + average * 4 <= room.width()) {
        width += average * 4;
    }
    const int height = qMin(heightAt(width), qMax(room.height(), 0));
    // The table grows with the window: it is never made smaller than the user made it,
    // and its own updates resize nothing. The other states take the size they need.
    const QSize wanted(width, height);
    if (table) {
        setMinimumSize(qMin(width, average * cMinimumCharacters), height - tableRows / 2);
        if (!mTableSized) {
            mTableSized = true;
            QSize size = this->size().expandedTo(wanted);
            if (mTableSize.isValid()) {
                size = size.expandedTo(mTableSize.boundedTo(room));
            }
            resize(size);
        }
        return;
    }
    if (mTableSized) {
        mTableSize = size();
    }
    mTableSized = false;
    setMinimumSize(wanted);
    resize(wanted);
}

int QipMainWindow::TableWidth() const {
    int width = 2 * mUi->deviceTable->frameWidth() +
                mUi->deviceTable->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const QHeaderView* header = mUi->deviceTable->horizontalHeader();
    for (int column = 0; column < header->count(); ++column) {
        width += column + 1 < header->count() ? header->sectionSize(column)
                                              : fontMetrics().averageCharWidth() * 12;
    }
    return width;
}
