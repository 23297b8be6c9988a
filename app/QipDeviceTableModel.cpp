#include "app/QipDeviceTableModel.h"

#include <QApplication>
#include <QBrush>
#include <QPalette>

#include <arpa/inet.h>

#include <algorithm>
#include <limits>

#include "tools/discover/QipDiscoverFormat.h"

namespace {

const QString cDeviceId = QStringLiteral("DeviceId");
const QString cDeviceIp = QStringLiteral("DeviceIP");
const QString cSsid = QStringLiteral("SSID");
const QString cOutcome = QStringLiteral("PageOutcome");
const QString cLine = QStringLiteral("DisplayString");
const QString cLastAnswerKey = QStringLiteral("LastAnswer");
const QString cLabelKey = QStringLiteral("Label");
const QString cKnownSsid = QStringLiteral("KnownSsid");

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
    return parent.isValid() ? 0 : cColumnCount;
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
    const QString label = device.value(cLabelKey).toString();
    if (!label.isEmpty()) {
        return Visible(label);
    }
    const QString ssid = device.value(cSsid).toString();
    if (!ssid.isEmpty()) {
        return Visible(ssid);
    }
    const QString outcome = device.value(cOutcome).toString();
    const QString known = device.value(cKnownSsid).toString();
    // A page read that succeeded and gave none says there is none now.
    if (!known.isEmpty() && outcome != QLatin1String("ok")) {
        return tr("%1 (last time)").arg(Visible(known));
    }
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

void QipDeviceTableModel::Fill(Row& row) const {
    const QVariantMap& device = row.mDevice;
    row.mId = Id(device);
    row.mHeard = !device.value(QStringLiteral("NotHeard")).toBool();
    row.mLastAnswer = device.value(cLastAnswerKey).toLongLong();
    row.mLastSeen = row.mHeard ? 0 : device.value(QStringLiteral("LastSeen")).toLongLong();
    const QString name = Name(device);
    const QString label = device.value(cLabelKey).toString();
    const QString ssid = device.value(cSsid).toString();
    const QString known = device.value(cKnownSsid).toString();
    // Sorted by the name itself, without the translated marks around it.
    const QString bare = !label.isEmpty() ? label
                         : !ssid.isEmpty() ? ssid
                         : !known.isEmpty() && device.value(cOutcome).toString() != QLatin1String("ok")
                             ? known
                             : name;
    row.mNameKey = bare.toCaseFolded();
    row.mTexts[cName] = row.mReadFailure.isEmpty()
                            ? name
                            : tr("%1 (latest read: %2)").arg(name, PageFailure(row.mReadFailure));
    if (device.value(QStringLiteral("LastOpened")).toBool()) {
        row.mTexts[cName] = tr("%1 (opened last)").arg(row.mTexts[cName]);
    }
    // No label, no entry: an empty table costs no allocation for each of thousands of rows.
    if (label.isEmpty()) {
        row.mExtra.remove(cLabel);
    } else {
        row.mExtra.insert(cLabel, Visible(label));
    }
    const QString ip = device.value(cDeviceIp).toString();
    row.mTexts[cAddress] = Visible(ip);
    row.mAddressKey = AddressKey(ip);
    row.mTexts[cType] = Visible(device.value(QStringLiteral("DeviceType")).toString());
    row.mTexts[cDeviceId] = Visible(row.mId);
    row.mLine = Visible(device.value(cLine).toString());
    // A label hides the SSID from the Name column, not from the filter.
    row.mFilterText = row.mTexts[cName] + QLatin1Char('\n') +
                      (label.isEmpty() ? QString() : Visible(ssid.isEmpty() ? known : ssid) + QLatin1Char('\n')) +
                      row.mTexts[cAddress] +
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
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleDescriptionRole:
            return row.mExtra.value(column);
        case Qt::EditRole:
            // The text itself, control characters and all, for the editor.
            return column == cLabel ? row.mDevice.value(cLabelKey) : row.mExtra.value(column);
        case SortRole:
            return row.mExtra.value(column).toString().toCaseFolded();
        default:
            break;  // the row's tooltip, colour and dictionary, as in the other columns
        }
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
            if (row.mHeard) {
                return QString();
            }
            return row.mLastSeen > 0 ? LastSeen(row.mLastSeen, mWallNow)
                                     : tr("not heard since the start");
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
            // the clock runs. Known devices not heard follow, those seen last first.
            if (answered) {
                return -row.mLastAnswer;
            }
            return row.mHeard || row.mLastSeen <= 0
                       ? std::numeric_limits<qint64>::max()
                       : std::numeric_limits<qint64>::max() / 2 - row.mLastSeen;
        default:
            return row.mTexts[column].toCaseFolded();
        }
    case FilterRole:
        return row.mFilterText;
    case Qt::ToolTipRole:
        if (!row.mHeard && row.mLastSeen > 0) {
            return tr("%1 - %2 - not answering now, %3")
                .arg(row.mTexts[cDeviceId], row.mTexts[cType], LastSeen(row.mLastSeen, mWallNow));
        }
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

int QipDeviceTableModel::heardCount() const {
    return static_cast<int>(std::count_if(mRows.cbegin(), mRows.cend(), [](const Row& row) { return row.mHeard; }));
}

bool QipDeviceTableModel::anyLabel() const {
    return std::any_of(mRows.cbegin(), mRows.cend(),
                       [](const Row& row) { return !row.mExtra.value(cLabel).toString().isEmpty(); });
}

QVariantList QipDeviceTableModel::devices() const {
    QVariantList list;
    list.reserve(mRows.size());
    for (const Row& row : mRows) {
        list.append(row.mDevice);
    }
    return list;
}

