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
    const bool isMenuKey = event->key() == Qt::Key_Menu ||
                           (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (isMenuKey) {
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
