// How the table's rows follow the devices: rows kept by id, changes told per cell and row.
#include "app/QipDeviceTableModel.h"

#include <QSet>

#include <algorithm>

namespace {

const QString cDeviceIp = QStringLiteral("DeviceIP");
const QString cSsid = QStringLiteral("SSID");
const QString cOutcome = QStringLiteral("PageOutcome");
const QString cLine = QStringLiteral("DisplayString");
const QString cLastAnswerKey = QStringLiteral("LastAnswer");

QString Id(const QVariantMap& device) { return device.value(QStringLiteral("DeviceId")).toString(); }

bool IsUnread(const QVariantMap& device) {
    return device.value(cOutcome).toString() == QLatin1String("skipped");
}

// Makes the page fields of `into` those of `from`, touching (and so copying) `into` only
// where they differ: for thousands of rows that mostly stay the same, that is the cost.
void CopyKeys(const QVariantMap& from, QVariantMap& into) {
    for (const QString& key : {cSsid, cOutcome, cLine}) {
        const auto there = from.constFind(key);
        const auto here = into.constFind(key);
        if (there == from.constEnd()) {
            if (here != into.constEnd()) into.remove(key);
        } else if (here == into.constEnd() || *here != *there) {
            into.insert(key, *there);
        }
    }
}

// Whether the two differ in anything but the time of the last answer.
bool DiffersBeyondTime(const QVariantMap& a, const QVariantMap& b) {
    if (a.size() != b.size()) return true;
    for (auto i = a.constBegin(), j = b.constBegin(); i != a.constEnd(); ++i, ++j) {
        if (i.key() != j.key()) return true;
        if (i.key() != cLastAnswerKey && i.value() != j.value()) return true;
    }
    return false;
}

}  // namespace

void QipDeviceTableModel::Reindex(int from) {
    for (int i = from; i < mRows.size(); ++i) {
        mRowOf.insert(mRows.at(i).mId, i);
    }
}

void QipDeviceTableModel::TellChanged(const QList<int>& rows, int first, int last) {
    for (int i = 0; i < rows.size();) {
        int j = i;
        while (j + 1 < rows.size() && rows.at(j + 1) == rows.at(j) + 1) {
            ++j;
        }
        emit dataChanged(index(rows.at(i), first), index(rows.at(j), last));
        i = j + 1;
    }
}

void QipDeviceTableModel::MergePage(const QVariantMap& read, QVariantMap& into,
                                    QString& failure) {
    if (IsUnread(read)) {
        return;  // a look: what the page said before stands
    }
    const QString outcome = read.value(cOutcome).toString();
    if (!PageFailure(outcome).isEmpty() && !into.value(cSsid).toString().isEmpty()) {
        // The name read before stays; beside it, that the latest read failed.
        failure = outcome;
        return;
    }
    failure.clear();
    CopyKeys(read, into);
}

bool QipDeviceTableModel::setDevices(const QVariantList& list) {
    QSet<QString> ids;
    ids.reserve(list.size());
    for (const QVariant& element : list) {
        if (element.typeId() == QMetaType::QVariantMap) {
            ids.insert(Id(element.toMap()));
        }
    }
    bool any = false;
    // Gone: removed in runs from the end, so that the rows before keep their places.
    for (int row = static_cast<int>(mRows.size()) - 1; row >= 0;) {
        if (ids.contains(mRows.at(row).mId)) {
            --row;
            continue;
        }
        int first = row;
        while (first > 0 && !ids.contains(mRows.at(first - 1).mId)) {
            --first;
        }
        beginRemoveRows(QModelIndex(), first, row);
        for (int i = first; i <= row; ++i) {
            mRowOf.remove(mRows.at(i).mId);
        }
        mRows.erase(mRows.begin() + first, mRows.begin() + row + 1);
        endRemoveRows();
        Reindex(first);
        row = first - 1;
        any = true;
    }
    // Changed: only the cells whose text changed are told, so that a view re-sorts a row
    // only when what it is sorted by changed.
    QList<int> changed[cColumnCount];
    QList<Row> added;
    QSet<QString> seen;
    seen.reserve(list.size());
    for (const QVariant& element : list) {
        if (element.typeId() != QMetaType::QVariantMap) {
            continue;
        }
        const QVariantMap device = element.toMap();
        const QString id = Id(device);
        if (seen.contains(id)) {
            continue;  // one row per device
        }
        seen.insert(id);
        const auto at = mRowOf.constFind(id);
        if (at == mRowOf.constEnd()) {
            Row row;
            row.mDevice = device;
            Fill(row);
            added.append(std::move(row));
            continue;
        }
        Row& row = mRows[*at];
        QVariantMap merged = device;
        QString failure = row.mReadFailure;
        if (device.value(cDeviceIp) == row.mDevice.value(cDeviceIp)) {
            // The page fields start from what the row shows and take only what this read says.
            CopyKeys(row.mDevice, merged);
            MergePage(device, merged, failure);
        } else {
            failure.clear();
        }
        if (failure == row.mReadFailure && !DiffersBeyondTime(merged, row.mDevice)) {
            // Only the time of its answer: no text to make again.
            const qint64 lastAnswer = merged.value(cLastAnswerKey).toLongLong();
            if (lastAnswer != row.mLastAnswer) {
                row.mLastAnswer = lastAnswer;
                changed[cLastAnswer].append(*at);
            }
            row.mDevice = std::move(merged);
            continue;
        }
        Replace(row, std::move(merged), failure, *at, changed);
    }
    for (int column = 0; column < cColumnCount; ++column) {
        std::sort(changed[column].begin(), changed[column].end());
        TellChanged(changed[column], column, column);
        any = any || !changed[column].isEmpty();
    }
    if (!added.isEmpty()) {
        const int first = static_cast<int>(mRows.size());
        beginInsertRows(QModelIndex(), first, first + static_cast<int>(added.size()) - 1);
        mRows.append(std::move(added));
        Reindex(first);
        endInsertRows();
        any = true;
    }
    return any;
}

void QipDeviceTableModel::Replace(Row& row, QVariantMap device, const QString& failure, int at,
                                  QList<int> (&changed)[cColumnCount]) const {
    const Row before = row;
    row.mDevice = std::move(device);
    row.mReadFailure = failure;
    Fill(row);
    NoteChanges(before, row, at, changed);
}

void QipDeviceTableModel::NoteChanges(const Row& before, const Row& after, int at,
                                      QList<int> (&changed)[cColumnCount]) {
    if (after.mHeard != before.mHeard) {
        // Greyed or not: every cell of the row.
        for (QList<int>& column : changed) {
            column.append(at);
        }
        return;
    }
    for (int column = 0; column < cLastAnswer; ++column) {
        if (after.mTexts[column] != before.mTexts[column] ||
            (column == cName && after.mLine != before.mLine)) {
            changed[column].append(at);
        }
    }
    if (after.mLastAnswer != before.mLastAnswer || after.mLastSeen != before.mLastSeen) {
        changed[cLastAnswer].append(at);
    }
    for (int column = cLastAnswer + 1; column < cColumnCount; ++column) {
        if (after.mExtra.value(column) != before.mExtra.value(column)) {
            changed[column].append(at);
        }
    }
}

bool QipDeviceTableModel::takePages(const QVariantList& list) {
    QList<int> changed[cColumnCount];
    for (const QVariant& element : list) {
        const QVariantMap read = element.toMap();
        const auto at = mRowOf.constFind(Id(read));
        if (at == mRowOf.constEnd()) {
            continue;
        }
        Row& row = mRows[*at];
        // A known device not heard yet stays as it was until the looks list it.
        if (!row.mHeard || read.value(cDeviceIp) != row.mDevice.value(cDeviceIp)) {
            continue;
        }
        QVariantMap merged = row.mDevice;
        QString failure = row.mReadFailure;
        MergePage(read, merged, failure);
        // Unchanged, merged still shares the row's data: the comparison is one pointer.
        if (failure == row.mReadFailure && merged == row.mDevice) {
            continue;
        }
        Replace(row, std::move(merged), failure, *at, changed);
    }
    bool any = false;
    for (int column = 0; column < cColumnCount; ++column) {
        std::sort(changed[column].begin(), changed[column].end());
        TellChanged(changed[column], column, column);
        any = any || !changed[column].isEmpty();
    }
    return any;
}

bool QipDeviceTableModel::removeDevice(int row) {
    if (row < 0 || row >= mRows.size()) {
        return false;
    }
    beginRemoveRows(QModelIndex(), row, row);
    mRowOf.remove(mRows.at(row).mId);
    mRows.removeAt(row);
    endRemoveRows();
    Reindex(row);
    return true;
}

void QipDeviceTableModel::setNow(qint64 monotonicSeconds) {
    if (mNow == monotonicSeconds) {
        return;
    }
    mNow = monotonicSeconds;
    emit agesChanged();
}
