#include "app/QipDeviceTableProxy.h"

#include "app/QipDeviceTableModel.h"

QipDeviceTableProxy::QipDeviceTableProxy(QObject* parent) : QSortFilterProxyModel(parent) {
    setSortRole(QipDeviceTableModel::SortRole);
    // Only changes of the filter's own text refilter a row; the ages never do.
    setFilterRole(QipDeviceTableModel::FilterRole);
    setDynamicSortFilter(true);
}

void QipDeviceTableProxy::setFilterText(const QString& text) {
    if (text == mFilterText) {
        return;
    }
    mFilterText = text;
    invalidateFilter();
}

bool QipDeviceTableProxy::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (mFilterText.isEmpty()) {
        return true;
    }
    const QModelIndex row = sourceModel()->index(sourceRow, 0, sourceParent);
    return row.data(QipDeviceTableModel::FilterRole)
        .toString()
        .contains(mFilterText, Qt::CaseInsensitive);
}
