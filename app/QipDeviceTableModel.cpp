#include "app/QipDeviceTableModel.h"

#include <QApplication>
#include <QBrush>
#include <QPalette>
#include <QSet>

#include <arpa/inet.h>

#include <limits>

namespace {

QString Id(const QVariantMap& device) { return device.value(QStringLiteral("DeviceId")).toString(); }

// Addresses sort by number (192.0.2.9 before 192.0.2.10); what is no address, after them.
qulonglong AddressKey(const QString& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.toLatin1().constData(), &address) != 1) {
        return 1ULL << 32;
    }
    return ntohl(address.s_addr);
}

}  // namespace

QipDeviceTableModel::QipDeviceTableModel(QObject* parent) : QAbstractTableModel(parent) {}

int QipDeviceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(mDevices.size());
}

int QipDeviceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : cColumnCount;
}

QString QipDeviceTableModel::Name(const QVariantMap& device) {
    const QString label = device.value(QStringLiteral("Label")).toString();
    if (!label.isEmpty()) {
        return label;
    }
    const QString ssid = device.value(QStringLiteral("SSID")).toString();
    if (!ssid.isEmpty()) {
        return ssid;
    }
    const QString known = device.value(QStringLiteral("KnownSsid")).toString();
    if (!known.isEmpty()) {
        return tr("%1 (last time)").arg(known);
    }
    const QString outcome = device.value(QStringLiteral("PageOutcome")).toString();
    if (outcome.isEmpty()) {
        return QStringLiteral("—");
    }
    if (outcome == QLatin1String("skipped")) {
        return tr("— reading its page");
    }
    if (outcome == QLatin1String("ok")) {
        return tr("— no wireless name on page");
    }
    return tr("— page not answering");
}

QString QipDeviceTableModel::LastSeen(qint64 lastSeen, qint64 now) {
    const qint64 age = qMax<qint64>(0, now - lastSeen);
    if (age < 60) {
        return tr("last seen just now");
    }
    if (age < 3600) {
        return tr("last seen %n minute(s) ago", "", static_cast<int>(age / 60));
    }
    if (age < 86400) {
        return tr("last seen %n hour(s) ago", "", static_cast<int>(age / 3600));
    }
    return tr("last seen %n day(s) ago", "", static_cast<int>(age / 86400));
}

QVariant QipDeviceTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= mDevices.size()) {
        return QVariant();
    }
    const QVariantMap& device = mDevices.at(index.row());
    const bool answered = device.contains(QStringLiteral("LastAnswer"));
    const qint64 age = answered ? qMax<qint64>(0, mNow - device.value(QStringLiteral("LastAnswer")).toLongLong())
                                : 0;
    const bool known = device.value(QStringLiteral("Known")).toBool();
    const bool quiet = known || (answered && age > cQuietSeconds);
    const bool lastOpened = device.value(QStringLiteral("LastOpened")).toBool();
    switch (role) {
    case Qt::DisplayRole:
    case SortRole:
        switch (index.column()) {
        case cName: {
            if (role == SortRole) {
                // The name itself, without the translated marks around it: sorting thousands
                // of known devices looks each up many times.
                for (const char* key : {"Label", "SSID", "KnownSsid"}) {
                    const QString text = device.value(QLatin1String(key)).toString();
                    if (!text.isEmpty()) {
                        return text.toCaseFolded();
                    }
                }
                return Name(device).toCaseFolded();
            }
            return lastOpened ? tr("%1 (opened last)").arg(Name(device)) : Name(device);
        }
        case cLabel:
            return device.value(QStringLiteral("Label")).toString();
        case cAddress: {
            const QString ip = device.value(QStringLiteral("DeviceIP")).toString();
            return role == SortRole ? QVariant(AddressKey(ip)) : QVariant(ip);
        }
        case cType:
            return device.value(QStringLiteral("DeviceType")).toString();
        case cDeviceId:
            return Id(device);
        case cLastAnswer:
            if (known) {
                const qint64 seen = mWallNow - device.value(QStringLiteral("LastSeen")).toLongLong();
                return role == SortRole ? QVariant(std::numeric_limits<qint64>::max() / 2 + qMax<qint64>(0, seen))
                                        : QVariant(LastSeen(device.value(QStringLiteral("LastSeen")).toLongLong(),
                                                            mWallNow));
            }
            if (role == SortRole) {
                return answered ? age : std::numeric_limits<qint64>::max();
            }
            if (!answered) {
                return QString();
            }
            return quiet ? tr("not answering for %1 s").arg(age) : tr("%1 s ago").arg(age);
        }
        return QVariant();
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole:
        // The row's one line of text, wherever a single text is needed.
        if (known) {
            return tr("%1 - %2 - not answering now, %3")
                .arg(Id(device), device.value(QStringLiteral("DeviceType")).toString(),
                     LastSeen(device.value(QStringLiteral("LastSeen")).toLongLong(), mWallNow));
        }
        return device.value(QStringLiteral("DisplayString")).toString();
    case Qt::ForegroundRole:
        return quiet ? QVariant(QApplication::palette().brush(QPalette::Disabled, QPalette::Text))
                     : QVariant();
    case DeviceRole:
        return device;
    default:
        return QVariant();
    }
}

QVariant QipDeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
    case cName:
        return tr("Name");
    case cAddress:
        return tr("Address");
    case cType:
        return tr("Type");
    case cDeviceId:
        return tr("Device ID");
    case cLastAnswer:
        return tr("Last answer");
    case cLabel:
        return tr("Label");
    }
    return QVariant();
}

QVariantList QipDeviceTableModel::devices() const {
    QVariantList list;
    for (const QVariantMap& device : mDevices) {
        list.append(device);
    }
    return list;
}

int QipDeviceTableModel::RowOf(const QString& id, int from) const {
    for (int row = from; row < mDevices.size(); ++row) {
        if (Id(mDevices.at(row)) == id) {
            return row;
        }
    }
    return -1;
}

void QipDeviceTableModel::setDevices(const QVariantList& list) {
    QList<QVariantMap> wanted;
    QSet<QString> ids;
    for (const QVariant& element : list) {
        if (element.typeId() == QMetaType::QVariantMap) {
            wanted.append(element.toMap());
            ids.insert(Id(wanted.last()));
        }
    }
    for (int row = static_cast<int>(mDevices.size()) - 1; row >= 0; --row) {
        if (!ids.contains(Id(mDevices.at(row)))) {
            beginRemoveRows(QModelIndex(), row, row);
            mDevices.removeAt(row);
            endRemoveRows();
        }
    }
    // Now every row is wanted: bring each into place, updating it, or insert it there. New
    // rows next to each other go in at once (thousands of known devices at start), so that a
    // view measures its rows once, not once per row.
    QSet<QString> present;
    for (const QVariantMap& device : mDevices) {
        present.insert(Id(device));
    }
    for (int i = 0; i < wanted.size(); ++i) {
        if (!present.contains(Id(wanted.at(i)))) {
            int end = i;
            while (end + 1 < wanted.size() && !present.contains(Id(wanted.at(end + 1)))) {
                ++end;
            }
            beginInsertRows(QModelIndex(), i, end);
            for (int k = i; k <= end; ++k) {
                mDevices.insert(k, wanted.at(k));
                present.insert(Id(wanted.at(k)));
            }
            endInsertRows();
            i = end;
            continue;
        }
        const int row = RowOf(Id(wanted.at(i)), i);
        if (row != i) {
            beginMoveRows(QModelIndex(), row, row, QModelIndex(), i);
            mDevices.move(row, i);
            endMoveRows();
        }
        if (mDevices.at(i) != wanted.at(i)) {
            mDevices[i] = wanted.at(i);
            emit dataChanged(index(i, 0), index(i, cColumnCount - 1));
        }
    }
    // Repeated ids leave surplus rows behind.
    if (mDevices.size() > wanted.size()) {
        beginRemoveRows(QModelIndex(), static_cast<int>(wanted.size()),
                        static_cast<int>(mDevices.size()) - 1);
        mDevices.resize(wanted.size());
        endRemoveRows();
    }
}

bool QipDeviceTableModel::removeDevice(int row) {
    if (row < 0 || row >= mDevices.size()) {
        return false;
    }
    beginRemoveRows(QModelIndex(), row, row);
    mDevices.removeAt(row);
    endRemoveRows();
    return true;
}

void QipDeviceTableModel::setNow(qint64 monotonicSeconds) {
    if (mNow == monotonicSeconds) {
        return;
    }
    mNow = monotonicSeconds;
    if (!mDevices.isEmpty()) {
        emit dataChanged(index(0, 0), index(static_cast<int>(mDevices.size()) - 1, cColumnCount - 1));
    }
}
