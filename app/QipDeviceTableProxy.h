#pragma once

#include <QSortFilterProxyModel>

// The device table as the window shows it: sorted by QipDeviceTableModel::SortRole and
// filtered by a text that the name, address, type or id holds (case ignored). Sorting is
// dynamic and incremental: a row moves only when a change reported for its sort column
// changes its key, and the rows told in one change are placed in one pass, so neither the
// clock nor an update that leaves the sorted column alone moves a row. Main thread only.
class QipDeviceTableProxy : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit QipDeviceTableProxy(QObject* parent = nullptr);

    // Shows only the rows whose name, address, type or id holds `text`; "" shows all.
    void setFilterText(const QString& text);
    QString filterText() const { return mFilterText; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QString mFilterText;
};
