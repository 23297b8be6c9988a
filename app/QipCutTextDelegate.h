#pragma once

#include <QStyledItemDelegate>

// Draws cells as the style does (a text too long for its column is cut at its end), and
// gives a cut cell the whole text as its tooltip, above the row's own tooltip. Main thread
// only.
class QipCutTextDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Whether the display text of `index` is cut in a cell `width` pixels wide of `view`.
    static bool IsCut(const QAbstractItemView* view, const QModelIndex& index, int width);

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};
