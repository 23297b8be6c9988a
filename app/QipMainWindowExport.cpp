// The window's Copy All and Export…: the rows shown, in the order shown.
#include "app/QipMainWindow.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSaveFile>
#include <QSortFilterProxyModel>

#include <cstdio>

#include "app/Qip.h"
#include "app/QipController.h"
#include "app/QipDeviceExport.h"
#include "app/QipDeviceTableProxy.h"

void QipMainWindow::CopyAll() {
    QGuiApplication::clipboard()->setText(QipDeviceExport::Text(*mProxy));
}

void QipMainWindow::Export() {
    QFileDialog dialog(this, tr("Export Devices"));
    dialog.setObjectName(QStringLiteral("exportDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    const QString csv = tr("CSV (*.csv)");
    const QString json = tr("JSON lines, as qip-discover --json writes them (*.jsonl *.json)");
    dialog.setNameFilters({csv, json});
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, json](const QString& filter) {
        dialog.setDefaultSuffix(filter == json ? QStringLiteral("jsonl") : QStringLiteral("csv"));
    });
    dialog.selectFile(tr("devices") + QStringLiteral(".csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    const QString path = dialog.selectedFiles().constFirst();
    const bool asJson = path.endsWith(QLatin1String(".jsonl"), Qt::CaseInsensitive) ||
                        path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive) ||
                        (dialog.selectedNameFilter() == json &&
                         !path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive));
    const QByteArray bytes =
        asJson ? QipDeviceExport::JsonLines(*mProxy, gInterfaces) : QipDeviceExport::Csv(*mProxy);
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) {
        return;
    }
    std::fprintf(stderr, "Cannot save the devices in %s: %s\n", qPrintable(path),
                 qPrintable(file.errorString()));
    QMessageBox box(QMessageBox::Warning, mController->programName(),
                    tr("The devices could not be saved in %1: %2").arg(path, file.errorString()),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("exportFailedBox"));
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
