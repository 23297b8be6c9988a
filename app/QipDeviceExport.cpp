#include "app/QipDeviceExport.h"

#include <QAbstractItemModel>
#include <QStringList>
#include <QVariantMap>

#include "app/QipDeviceTableModel.h"
#include "describe/DeviceDescriber.h"
#include "tools/discover/QipDiscoverFormat.h"

namespace {

// The header's titles, then each row's texts, as shown.
QList<QStringList> Lines(const QAbstractItemModel& model) {
    QList<QStringList> lines;
    QStringList titles;
    for (int column = 0; column < model.columnCount(); ++column) {
        titles << model.headerData(column, Qt::Horizontal).toString();
    }
    lines << titles;
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model.columnCount(); ++column) {
            cells << model.index(row, column).data().toString();
        }
        lines << cells;
    }
    return lines;
}

QString CsvField(QString text) {
    // A spreadsheet runs a cell that begins so as a formula; names come from the network.
    static const QString cFormulaStarts = QStringLiteral("=+-@\t\r");
    if (!text.isEmpty() && cFormulaStarts.contains(text.front())) {
        text.prepend(QLatin1Char('\''));
    }
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) ||
        text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1String("\""), QLatin1String("\"\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

std::string Bytes(const QVariantMap& device, const char* key) {
    return device.value(QLatin1String(key)).toString().toUtf8().toStdString();
}

}  // namespace

QString QipDeviceExport::Text(const QAbstractItemModel& model) {
    QString text;
    for (QStringList cells : Lines(model)) {
        for (QString& cell : cells) {
            cell.replace(QLatin1Char('\t'), QLatin1Char(' '))
                .replace(QLatin1Char('\n'), QLatin1Char(' '))
                .replace(QLatin1Char('\r'), QLatin1Char(' '));
        }
        text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text;
}

QByteArray QipDeviceExport::Csv(const QAbstractItemModel& model) {
    QByteArray csv;
    for (QStringList cells : Lines(model)) {
        for (QString& cell : cells) {
            cell = CsvField(cell);
        }
        csv += cells.join(QLatin1Char(',')).toUtf8() + "\r\n";
    }
    return csv;
}

QByteArray QipDeviceExport::JsonLines(const QAbstractItemModel& model,
                                      const std::vector<KspNetworkInterface>& interfaces) {
    QByteArray lines;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QVariantMap device =
            model.index(row, 0).data(QipDeviceTableModel::DeviceRole).toMap();
        DeviceDescriber::Description d;
        d.mDeviceType = Bytes(device, "DeviceType");
        d.mDeviceId = Bytes(device, "DeviceId");
        d.mSsid = Bytes(device, "SSID");
        d.mDeviceIp = Bytes(device, "DeviceIP");
        d.mDisplayString = Bytes(device, "DisplayString");
        d.mHelloNote = Bytes(device, "HelloNote");
        d.mPageOutcome = Bytes(device, "PageOutcome");
        for (const KspNetworkInterface& network : interfaces) {
            d.mIsReachable = d.mIsReachable || network.IsReachable(d.mDeviceIp);
        }
        // The label after the rest, as qip-discover --json writes it ("" for none).
        const std::string line =
            QipDiscoverFormat::DeviceJson(d, {}, {{"label", Bytes(device, "Label")}}) + "\n";
        lines.append(line.data(), static_cast<qsizetype>(line.size()));
    }
    return lines;
}
