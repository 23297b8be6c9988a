#include "app/QipCutTextDelegate.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QToolTip>

bool QipCutTextDelegate::IsCut(const QAbstractItemView* view, const QModelIndex& index,
                               int width) {
    return index.isValid() && view->sizeHintForIndex(index).width() > width;
}

bool QipCutTextDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                   const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip || !IsCut(view, index, option.rect.width())) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    const QString whole = index.data(Qt::DisplayRole).toString();
    const QString row = index.data(Qt::ToolTipRole).toString();
    const QString text = row.isEmpty() || row == whole ? whole : whole + QStringLiteral("\n") + row;
    // As it stands: a name such as "<b>Lab" is no markup.
    QToolTip::showText(event->globalPos(),
                       QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() +
                           QStringLiteral("</p>"),
                       view->viewport(), option.rect);
    return true;
}
