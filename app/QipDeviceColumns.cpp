#include "app/QipDeviceColumns.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QtMath>

#include "app/QipDeviceTableModel.h"

namespace {

// The longest text of the last answer's column, as the model words it, before the row
// leaves (about 30 s after the last answer). A known device's "last seen 3 days ago" is
// measured as its row comes.
QString LongestAge() {
    return QCoreApplication::translate("QipDeviceTableModel", "not answering for %1 s").arg(99);
}

}  // namespace

QipDeviceColumns::QipDeviceColumns(QTableView* table)
    : QObject(table), mTable(table), mViewport(table->viewport()) {
    static_assert(cColumns == QipDeviceTableModel::cColumnCount, "one width per column");
    QAbstractItemModel* model = table->model();
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) {
                Measure(first, last);
            });
    connect(model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex& bottomRight,
                   const QList<int>& roles) {
                // The ages change every second and are not measured: their longest text is.
                if ((!roles.isEmpty() && !roles.contains(Qt::DisplayRole)) ||
                    (topLeft.column() == QipDeviceTableModel::cLastAnswer &&
                     bottomRight.column() == QipDeviceTableModel::cLastAnswer)) {
                    return;
                }
                Measure(topLeft.row(), bottomRight.row());
            });
    connect(model, &QAbstractItemModel::modelReset, this, [this] {
        mWidest = {};
        MeasureAges();
        Measure(0, mTable->model()->rowCount() - 1);
    });
    mViewport->installEventFilter(this);
    MeasureAges();
    Measure(0, model->rowCount() - 1);
}

void QipDeviceColumns::MeasureAges() {
    mWidest[QipDeviceTableModel::cLastAnswer] = TextWidth(LongestAge());
}

int QipDeviceColumns::TextWidth(const QString& text) {
    if (mMargins < 0) {
        // The cell's margins on both sides, as the style lays out an item's text, the grid's
        // line, and a pixel for the rounding.
        mMargins = 2 * (mTable->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr,
                                                     mTable) +
                        1) +
                   (mTable->showGrid() ? 1 : 0) + 1;
        mAdvances.fill(-1);
    }
    // Most texts are ASCII (addresses, IDs, types, many names): the sum of their letters'
    // advances, which kerning only makes narrower, costs no text layout.
    qreal sum = 0;
    bool ascii = true;
    const QFontMetricsF metrics(mTable->font());
    for (const QChar c : text) {
        if (c.unicode() >= mAdvances.size()) {
            ascii = false;
            break;
        }
        qreal& advance = mAdvances[c.unicode()];
        if (advance < 0) {
            advance = metrics.horizontalAdvance(c);
        }
        sum += advance;
    }
    if (ascii) {
        return qCeil(sum) + mMargins;
    }
    const auto known = mTextWidths.constFind(text);
    if (known != mTextWidths.constEnd()) {
        return *known;
    }
    if (mTextWidths.size() >= cMaxTextWidths) {
        mTextWidths.clear();
    }
    const int width = qCeil(metrics.horizontalAdvance(text)) + mMargins;
    mTextWidths.insert(text, width);
    return width;
}

bool QipDeviceColumns::eventFilter(QObject* watched, QEvent* event) {
    // Nothing is asked of the table for other events: they come during its destruction too.
    if (event->type() == QEvent::Resize && watched == mViewport) {
        Fit(false);
    }
    return QObject::eventFilter(watched, event);
}

void QipDeviceColumns::Measure(int first, int last) {
    const std::array<int, cColumns> before = mWidest;
    const QAbstractItemModel* model = mTable->model();
    // The ages change every second; their longest text is measured once, in the constructor.
    for (int row = first; row <= last; ++row) {
        for (int column = 0; column < cColumns; ++column) {
            mWidest[column] =
                qMax(mWidest[column], TextWidth(model->index(row, column).data().toString()));
        }
    }
    mWidened = mWidened || mWidest != before;
    // Once per pass of the event loop, however many rows came or changed in it.
    if (!mFitPending) {
        mFitPending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                mFitPending = false;
                if (mWidened) {
                    mWidened = false;
                    emit widened();
                }
                Fit(false);
            },
            Qt::QueuedConnection);
    }
}

int QipDeviceColumns::Needed(int column) const {
    if (mTable->isColumnHidden(column)) {
        return 0;
    }
    const int header = mTable->horizontalHeader()->sectionSizeHint(column);
    if (column == QipDeviceTableModel::cLabel) {
        const int most = mTable->fontMetrics().averageCharWidth() * cMaximumLabelCharacters;
        return qMax(header, qMin(mWidest[column], most));
    }
    return qMax(mWidest[column], header);
}

int QipDeviceColumns::Frame() const {
    // The vertical scroll bar is counted always: rows that come later must not cut a column.
    return 2 * mTable->frameWidth() + mTable->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
}

int QipDeviceColumns::FullWidth() const {
    int width = Frame();
    for (int column = 0; column < cColumns; ++column) {
        width += Needed(column);
    }
    return width;
}

int QipDeviceColumns::EssentialWidth() const {
    const int name = mTable->fontMetrics().averageCharWidth() * cMinimumNameCharacters;
    return FullWidth() - Needed(QipDeviceTableModel::cName) +
           qMin(name, Needed(QipDeviceTableModel::cName)) - Needed(QipDeviceTableModel::cLabel) +
           (mTable->isColumnHidden(QipDeviceTableModel::cLabel)
                ? 0
                : mTable->horizontalHeader()->sectionSizeHint(QipDeviceTableModel::cLabel));
}

void QipDeviceColumns::Fit(bool first) {
    // The label column is the last: it takes what is left, and room for its labels is kept.
    // Hidden (no label yet), the last answer's column is the last shown and takes the rest.
    int others = Needed(QipDeviceTableModel::cLabel);
    for (int column = QipDeviceTableModel::cAddress; column <= QipDeviceTableModel::cLastAnswer;
         ++column) {
        if ((first && !mKeepWidths) || mTable->columnWidth(column) < Needed(column)) {
            mTable->setColumnWidth(column, Needed(column));
        }
        others += mTable->columnWidth(column);
    }
    const int minimum = mTable->fontMetrics().averageCharWidth() * cMinimumNameCharacters;
    const int room = qMax(mTable->viewport()->width() - others, minimum);
    const int name = qMin(Needed(QipDeviceTableModel::cName), room);
    // Later fits only widen it: the user may have widened it on purpose.
    if (first || mTable->columnWidth(QipDeviceTableModel::cName) < name) {
        mTable->setColumnWidth(QipDeviceTableModel::cName, name);
    }
}
