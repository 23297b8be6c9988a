#include "app/QipDeviceTableModel.h"

#include <QApplication>
#include <QBrush>
#include <QPalette>

#include <arpa/inet.h>

#include <limits>

#include "tools/discover/QipDiscoverFormat.h"

namespace {

const QString cDeviceId = QStringLiteral("DeviceId");
const QString cDeviceIp = QStringLiteral("DeviceIP");
const QString cSsid = QStringLiteral("SSID");
const QString cOutcome = QStringLiteral("PageOutcome");
const QString cLine = QStringLiteral("DisplayString");
const QString cLastAnswerKey = QStringLiteral("LastAnswer");

QString Id(const QVariantMap& device) { return device.value(cDeviceId).toString(); }

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
    return parent.isValid() ? 0 : static_cast<int>(mRows.size());
}

int QipDeviceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : cColumnCount + static_cast<int>(mExtraHeaders.size());
}

void QipDeviceTableModel::setExtraColumns(const QStringList& headers) {
    beginResetModel();
    mExtraHeaders = headers;
    endResetModel();
}

QString QipDeviceTableModel::Visible(const QString& text) {
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) {
            const QByteArray bytes = text.toUtf8();
            return QString::fromStdString(
                QipDiscoverFormat::TerminalText(std::string(bytes.constData(), bytes.size())));
        }
    }
    return text;
}

QString QipDeviceTableModel::PageFailure(const QString& outcome) {
    if (outcome.isEmpty() || outcome == QLatin1String("ok") || outcome == QLatin1String("skipped")) {
        return QString();
    }
    if (outcome == QLatin1String("refused")) {
        return tr("page refused");
    }
    if (outcome == QLatin1String("timeout") || outcome == QLatin1String("no answer") ||
        outcome == QLatin1String("cancelled")) {
        return tr("page not answering");
    }
    if (outcome == QLatin1String("unreachable")) {
        return tr("page unreachable");
    }
    return tr("page: %1").arg(Visible(outcome));
}

QString QipDeviceTableModel::Name(const QVariantMap& device) {
    const QString ssid = device.value(cSsid).toString();
    if (!ssid.isEmpty()) {
        return Visible(ssid);
    }
    const QString outcome = device.value(cOutcome).toString();
    if (outcome.isEmpty()) {
        return QStringLiteral("—");
    }
    if (outcome == QLatin1String("skipped")) {
        return tr("— reading its page");
    }
    if (outcome == QLatin1String("ok")) {
        return tr("— no wireless network name");
    }
    return QStringLiteral("— ") + PageFailure(outcome);
}

void QipDeviceTableModel::Fill(Row& row) const {
    const QVariantMap& device = row.mDevice;
    row.mId = Id(device);
    row.mHeard = !device.value(QStringLiteral("NotHeard")).toBool();
    row.mLastAnswer = device.value(cLastAnswerKey).toLongLong();
    const QString name = Name(device);
    row.mNameKey = name.toCaseFolded();
    row.mTexts[cName] = row.mReadFailure.isEmpty()
                            ? name
                            : tr("%1 (latest read: %2)").arg(name, PageFailure(row.mReadFailure));
    const QString ip = device.value(cDeviceIp).toString();
    row.mTexts[cAddress] = Visible(ip);
    row.mAddressKey = AddressKey(ip);
    row.mTexts[cType] = Visible(device.value(QStringLiteral("DeviceType")).toString());
    row.mTexts[cDeviceId] = Visible(row.mId);
    row.mLine = Visible(device.value(cLine).toString());
    row.mFilterText = row.mTexts[cName] + QLatin1Char('\n') + row.mTexts[cAddress] +
                      QLatin1Char('\n') + row.mTexts[cType] + QLatin1Char('\n') +
                      row.mTexts[cDeviceId];
}

QVariant QipDeviceTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= mRows.size()) {
        return QVariant();
    }
    const Row& row = mRows.at(index.row());
    const int column = index.column();
    if (column > cLastAnswer) {
        return role == Qt::DisplayRole || role == SortRole || role == Qt::AccessibleDescriptionRole
                   ? row.mExtra.value(column)
                   : QVariant();
    }
    const bool answered = row.mHeard && row.mLastAnswer > 0;
    // A row heard but with no time of its answer (a report made by hand) shows no age.
    const qint64 age = answered ? qMax<qint64>(0, mNow - row.mLastAnswer) : 0;
    const bool quiet = answered ? age > cQuietSeconds : !row.mHeard;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleDescriptionRole:
        // A cell describes itself: the row's line is the row's, not each cell's.
        if (column != cLastAnswer) {
            return row.mTexts[column];
        }
        if (!answered) {
            return row.mHeard ? QString() : tr("not heard since the start");
        }
        return age > cQuietSeconds ? tr("not answering for %1 s").arg(age)
                                   : tr("%1 s ago").arg(age);
    case SortRole:
        switch (column) {
        case cName:
            return row.mNameKey;
        case cAddress:
            return row.mAddressKey;
        case cLastAnswer:
            // Newest first, and the same key while no new answer comes: rows stay put as
            // the clock runs.
            return answered ? -row.mLastAnswer : std::numeric_limits<qint64>::max();
        default:
            return row.mTexts[column].toCaseFolded();
        }
    case FilterRole:
        return row.mFilterText;
    case Qt::ToolTipRole:
        return row.mLine;
    case Qt::ForegroundRole:
        return quiet ? QVariant(QApplication::palette().brush(QPalette::Disabled, QPalette::Text))
                   : QVariant();
    case DeviceRole:
        return row.mDevice;
    default:
        return QVariant();
    }
}

QVariant QipDeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical) {
        // What assistive technology names a row by: the device, not its place of arrival.
        if ((role == Qt::DisplayRole || role == Qt::AccessibleTextRole) && section >= 0 &&
            section < mRows.size()) {
            return mRows.at(section).mTexts[cName];
        }
        return QVariant();
    }
    if (role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (section >= cColumnCount) {
        return mExtraHeaders.value(section - cColumnCount);
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
    }
    return QVariant();
}

QVariantList QipDeviceTableModel::devices() const {
    QVariantList list;
    list.reserve(mRows.size());
    for (const Row& row : mRows) {
        list.append(row.mDevice);
    }
    return list;
}

