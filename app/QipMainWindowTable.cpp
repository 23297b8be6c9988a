// The window's device table: its proxy, keys, choice, filter and context menu.
#include "app/QipMainWindow.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QShortcut>

#include "app/QipController.h"
#include "app/QipDeviceColumns.h"
#include "app/QipDeviceTable.h"
#include "app/QipDeviceTableModel.h"
#include "app/QipDeviceTableProxy.h"
#include "ui_MainWindow.h"

namespace {

const QString cDeviceId = QStringLiteral("DeviceId");

// Escape in the filter clears it; in an empty filter it goes on to the window.
class FilterEscape : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* edit = qobject_cast<QLineEdit*>(watched);
        if (edit && event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !edit->text().isEmpty()) {
            edit->clear();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

void QipMainWindow::SetUpTable() {
    QipController::DeviceListController* model = mController->deviceListController();
    mProxy = new QipDeviceTableProxy(this);
    mProxy->setSourceModel(model);
    QipDeviceTable* table = mUi->deviceTable;
    table->setModel(mProxy);
    table->sortByColumn(QipDeviceTableModel::cName, Qt::AscendingOrder);
    // The Label column shows once a device has a label, as qip-discover's LABEL column does.
    table->setColumnHidden(QipDeviceTableModel::cLabel, true);
    connect(model, &QAbstractItemModel::rowsInserted, this, [this] { ShowLabels(); });
    connect(model, &QAbstractItemModel::rowsRemoved, this, [this] { ShowLabels(); });
    connect(model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex&, const QModelIndex& bottomRight) {
                if (bottomRight.column() >= QipDeviceTableModel::cLabel) {
                    ShowLabels();
                }
            });
    // The ages move on where they are seen: the rows on screen are painted again.
    connect(model, &QipDeviceTableModel::agesChanged, table->viewport(),
            QOverload<>::of(&QWidget::update));
    // The row's one line of text, as a screen reader gives it.
    auto* copy = new QShortcut(QKeySequence::Copy, table);
    copy->setContext(Qt::WidgetShortcut);
    connect(copy, &QShortcut::activated, this, [this] {
        const QModelIndex current = mUi->deviceTable->currentIndex();
        QGuiApplication::clipboard()->setText(current.data(Qt::ToolTipRole).toString());
    });
    // F2 names the chosen device, as it renames a file elsewhere.
    auto* label = new QShortcut(QKeySequence(Qt::Key_F2), table);
    label->setContext(Qt::WidgetShortcut);
    connect(label, &QShortcut::activated, this, [this] { EditLabel(); });
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        const QString id = ChosenDevice().value(cDeviceId).toString();
        if (!id.isEmpty()) {
            if (!mFiltering) {
                mChosenId = id;
            }
            // Chosen by the user: the first choice is made.
            if (id != mProgramChosenId) {
                mFirstChoice = false;
            }
        }
        ShowAddress();
        Describe();
        mUi->configureButton->setEnabled(!ChosenDevice().isEmpty());
    });
    connect(table, &QAbstractItemView::doubleClicked, this, [this] { Configure(); });
    connect(table, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ShowRowMenu(at); });
    connect(mUi->filterEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { Filter(text); });
    mUi->filterEdit->installEventFilter(new FilterEscape(mUi->filterEdit));

    mShowAllTypes = new QAction(tr("Show All Device &Types"), this);
    mShowAllTypes->setObjectName(QStringLiteral("actionShowAllTypes"));
    mShowAllTypes->setCheckable(true);
    mShowAllTypes->setChecked(mController->showAllTypes());
    mUi->applicationMenu->insertAction(mUi->actionSearchAnotherNetwork, mShowAllTypes);
    connect(mShowAllTypes, &QAction::toggled, mController, &QipController::setShowAllTypes);
    connect(mController, &QipController::showAllTypesChanged, this,
            [this] { mShowAllTypes->setChecked(mController->showAllTypes()); });
}

void QipMainWindow::ChooseRow(const QModelIndex& row) {
    mProgramChosenId = row.data(QipDeviceTableModel::DeviceRole).toMap().value(cDeviceId).toString();
    mUi->deviceTable->selectionModel()->setCurrentIndex(
        row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void QipMainWindow::ChooseOne() {
    // A table with rows always has one chosen, so that Enter opens something: the first in
    // the order shown. While the names are still read, the order changes as they come, so
    // the first choice follows the first row until they are in (or the user chooses).
    QipDeviceTable* table = mUi->deviceTable;
    if (mProxy->rowCount() == 0) {
        return;
    }
    const QModelIndex first = mProxy->index(0, 0);
    if (mFirstChoice && !mController->hidePopup()) {
        if (table->currentIndex().row() != 0) {
            ChooseRow(first);
        }
        if (mController->namesRead()) {
            mFirstChoice = false;
        }
        return;
    }
    if (!table->currentIndex().isValid()) {
        ChooseRow(first);
    }
}

void QipMainWindow::Filter(const QString& text) {
    // The device chosen before the filter hid it is chosen again when it shows again.
    const QString chosen = mChosenId;
    mFiltering = true;
    mProxy->setFilterText(text);
    const int source = mController->deviceListController()->rowOf(chosen);
    const QModelIndex shown = source < 0 ? QModelIndex()
                                         : mProxy->mapFromSource(
                                               mController->deviceListController()->index(source, 0));
    if (shown.isValid() && shown.row() != mUi->deviceTable->currentIndex().row()) {
        ChooseRow(shown);
    }
    ChooseOne();
    mFiltering = false;
    mUi->deviceTable->setEmptyText(
        mProxy->rowCount() == 0 && !text.isEmpty() ? tr("No device matches “%1”.").arg(text)
                                                   : QString());
    Describe();
}

void QipMainWindow::ShowRowMenu(const QPoint& at) {
    const QModelIndex row = mUi->deviceTable->indexAt(at);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("rowMenu"));
    if (row.isValid()) {
        mUi->deviceTable->selectionModel()->setCurrentIndex(
            row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        const QVariantMap device = ChosenDevice();
        connect(menu.addAction(tr("&Open")), &QAction::triggered, this, [this] { Configure(); });
        connect(menu.addAction(tr("Copy &Address")), &QAction::triggered, this, [device] {
            QGuiApplication::clipboard()->setText(device.value(QStringLiteral("DeviceIP")).toString());
        });
        connect(menu.addAction(tr("Copy Device &ID")), &QAction::triggered, this, [device] {
            QGuiApplication::clipboard()->setText(device.value(cDeviceId).toString());
        });
        if (mController->store() != nullptr) {
            menu.addSeparator();
            connect(menu.addAction(tr("&Label…")), &QAction::triggered, this, [this] { EditLabel(); });
            connect(menu.addAction(tr("&Forget Device")), &QAction::triggered, this, [this, device] {
                mController->forgetDevice(device.value(cDeviceId).toString());
            });
        }
        menu.addSeparator();
    }
    menu.addAction(mShowAllTypes);
    menu.exec(mUi->deviceTable->viewport()->mapToGlobal(at));
}

void QipMainWindow::ShowLabels() {
    QipDeviceTable* table = mUi->deviceTable;
    const bool labels = mController->deviceListController()->anyLabel();
    // An open editor keeps its column until it closes.
    if (labels == !table->isColumnHidden(QipDeviceTableModel::cLabel) || (!labels && table->IsEditing())) {
        return;
    }
    table->setColumnHidden(QipDeviceTableModel::cLabel, !labels);
    if (mColumns != nullptr) {
        mColumns->Fit(false);
    }
}

void QipMainWindow::EditLabel() {
    QipDeviceTable* table = mUi->deviceTable;
    const QModelIndex current = table->currentIndex();
    if (mController->store() == nullptr || !current.isValid() || mController->hidePopup()) {
        return;
    }
    table->setColumnHidden(QipDeviceTableModel::cLabel, false);
    const QModelIndex label = current.siblingAtColumn(QipDeviceTableModel::cLabel);
    table->scrollTo(label);
    table->setCurrentIndex(label);
    table->edit(label);
}
