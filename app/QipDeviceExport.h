#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

#include "ksp/KspNetworkInterface.h"

class QAbstractItemModel;

// What the window's Copy All and Export… write: every row of a device table model (as the
// table shows them: through its sorting and filtering proxy, in that order). Pure: each
// reads the model (display texts, header titles, QipDeviceTableModel::DeviceRole) and
// nothing else.
class QipDeviceExport {
public:
    // A header line of the column titles, then one line per row of the texts shown, the
    // columns separated by tabs (tabs and line breaks inside a text become blanks): what a
    // spreadsheet or a message takes from the clipboard.
    static QString Text(const QAbstractItemModel& model);
    // The same as CSV (RFC 4180, UTF-8, CRLF line ends): every field quoted where it holds a
    // comma, quote or line break; a text that a spreadsheet would take for a formula (one
    // beginning with =, +, -, @, a tab or a carriage return) gets a leading apostrophe.
    static QByteArray Csv(const QAbstractItemModel& model);
    // One JSON object per row and line, as qip-discover --json writes a device (its
    // formatter): the five dictionary keys, "Reachable" (whether one of `interfaces`
    // reaches the address), "Note" when the device's hello disagreed with its network,
    // "Page", and "label" (the user's label, "" for none).
    static QByteArray JsonLines(const QAbstractItemModel& model,
                                const std::vector<KspNetworkInterface>& interfaces);
};
