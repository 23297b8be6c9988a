#include "app/QipDeviceTable.h"

#include <QHeaderView>

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

void QipDeviceTable::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    FitNames();
}

void QipDeviceTable::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                 const QList<int>& roles) {
    QTableView::dataChanged(topLeft, bottomRight, roles);
    if (topLeft.column() == 0) {
        FitNames();
    }
}

void QipDeviceTable::rowsInserted(const QModelIndex& parent, int start, int end) {
    QTableView::rowsInserted(parent, start, end);
    FitNames();
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
