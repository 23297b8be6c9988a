#include "app/QipDeviceTable.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QTimer>

QipDeviceTable::QipDeviceTable(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(true);
    setWordWrap(false);
    setTabKeyNavigation(false);
    setContextMenuPolicy(Qt::CustomContextMenu);
    verticalHeader()->hide();
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
}

void QipDeviceTable::keyboardSearch(const QString& search) {
    // The view searches the column of the current index; the names are in the first.
    const QModelIndex current = currentIndex();
    if (current.isValid() && current.column() != 0) {
        selectionModel()->setCurrentIndex(current.siblingAtColumn(0), QItemSelectionModel::NoUpdate);
    }
    QTableView::keyboardSearch(search);
}

void QipDeviceTable::setEmptyText(const QString& text) {
    if (text == mEmptyText) {
        return;
    }
    mEmptyText = text;
    viewport()->update();
}

void QipDeviceTable::keyPressEvent(QKeyEvent* event) {
    // Shift+F10 is the context menu key where a keyboard has no Menu key.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        const QModelIndex current = currentIndex();
        if (current.isValid()) {
            scrollTo(current);
            emit customContextMenuRequested(visualRect(current.siblingAtColumn(0)).center());
        }
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Menu) {
        const QModelIndex current = currentIndex();
        if (current.isValid()) {
            scrollTo(current);
            emit customContextMenuRequested(visualRect(current.siblingAtColumn(0)).center());
        }
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void QipDeviceTable::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    if (model() == nullptr || model()->rowCount() > 0 || mEmptyText.isEmpty()) {
        return;
    }
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    painter.drawText(viewport()->rect().adjusted(8, 8, -8, -8),
                     Qt::AlignCenter | Qt::TextWordWrap, mEmptyText);
}

void QipDeviceTable::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    FitNames();
}

void QipDeviceTable::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                 const QList<int>& roles) {
    QTableView::dataChanged(topLeft, bottomRight, roles);
    if (topLeft.column() == 0) {
        FitNamesSoon();
    }
}

void QipDeviceTable::rowsInserted(const QModelIndex& parent, int start, int end) {
    QTableView::rowsInserted(parent, start, end);
    FitNamesSoon();
}

void QipDeviceTable::FitNamesSoon() {
    // Measuring names costs up to a thousand rows: once for all the changes of one pass.
    if (mFitPending) {
        return;
    }
    mFitPending = true;
    QTimer::singleShot(0, this, [this] {
        mFitPending = false;
        FitNames();
    });
}

void QipDeviceTable::FitNames() {
    const QHeaderView* header = horizontalHeader();
    if (header->count() < 2) {
        return;
    }
    int others = fontMetrics().averageCharWidth() * 14;  // room for the last column
    for (int column = 1; column + 1 < header->count(); ++column) {
        others += header->sectionSize(column);
    }
    const int room = viewport()->width() - others;
    const int wanted = qMin(sizeHintForColumn(0), room);
    if (wanted > columnWidth(0)) {
        setColumnWidth(0, wanted);
    }
}
