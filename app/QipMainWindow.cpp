#include "app/QipMainWindow.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileInfo>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QVBoxLayout>

#include "app/Qip.h"
#include "app/QipController.h"
#include "app/QipCutTextDelegate.h"
#include "app/QipDeviceColumns.h"
#include "app/QipDeviceTable.h"
#include "app/QipHelpText.h"
#include "app/QipProbeDialog.h"
#include "app/QipRoute.h"
#include "ui_MainWindow.h"

namespace {


bool IsEnter(QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const int key = static_cast<QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

void SetDescription(QWidget* widget, const QString& description) {
    if (widget->accessibleDescription() == description) {
        return;
    }
    widget->setAccessibleDescription(description);
    QAccessibleEvent changed(widget, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&changed);
}

}  // namespace

QipMainWindow::QipMainWindow(QipController* controller, QWidget* parent)
    : QMainWindow(parent), mController(controller), mUi(std::make_unique<Ui::MainWindow>()) {
    mUi->setupUi(this);
    QipDeviceTable* table = mUi->deviceTable;
    SetUpTable();
    table->setItemDelegate(new QipCutTextDelegate(table));
    mColumns = new QipDeviceColumns(table);
    connect(mColumns, &QipDeviceColumns::widened, this, [this] {
        if (mUi->deviceTable->isVisibleTo(this)) {
            FitSize();
        }
    });
    mUi->mainLayout->setStretchFactor(table, 1);
    mUi->messageLabel->setBuddy(table);
    table->setAccessibleName(tr("Devices"));
    mUi->filterEdit->setAccessibleName(tr("Filter"));
    mUi->filterEdit->setPlaceholderText(tr("Name, address, type or ID"));
    mUi->progressIndicator->setAccessibleName(tr("Searching"));
    mUi->progressIndicator->setAccessibleDescription(
        tr("Shown while the local network is searched for devices"));
    mUi->configureButton->setAccessibleName(tr("Open"));
    mUi->refreshButton->setAccessibleName(tr("Refresh"));
    mUi->refreshButton->setToolTip(tr("Looks for devices again (F5)"));
    mUi->searchAnotherNetworkButton->setAccessibleDescription(
        tr("Searches a network behind a router by address, range or host name"));
    setTabOrder(mUi->filterEdit, table);
    setTabOrder(table, mUi->configureButton);
    setTabOrder(mUi->configureButton, mUi->refreshButton);
    setTabOrder(mUi->refreshButton, mUi->searchAgainButton);
    setTabOrder(mUi->searchAgainButton, mUi->searchAnotherNetworkButton);
    for (QWidget* watched : {static_cast<QWidget*>(table),
                             static_cast<QWidget*>(mUi->configureButton),
                             static_cast<QWidget*>(mUi->refreshButton),
                             static_cast<QWidget*>(mUi->searchAgainButton),
                             static_cast<QWidget*>(mUi->searchAnotherNetworkButton)}) {
        watched->installEventFilter(this);
    }

    const auto show = [this] { Show(); };
    connect(controller, &QipController::titelChanged, this, show);
    connect(controller, &QipController::messageChanged, this, show);
    connect(controller, &QipController::hideProgressChanged, this, show);
    connect(controller, &QipController::hidePopupChanged, this, show);
    connect(controller, &QipController::helpTextChanged, this, show);
    connect(controller, &QipController::showSearchAgainChanged, this, show);
    connect(controller, &QipController::showRefreshChanged, this, show);
    connect(controller, &QipController::deviceListChanged, this, show);
    connect(controller, &QipController::pageNotOpened, this,
            [this](const QUrl& url, int openerStatus) { ShowPageNotOpened(url, openerStatus); });
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        if (mUi->filterEdit->isVisible()) {
            mUi->filterEdit->setFocus(Qt::ShortcutFocusReason);
            mUi->filterEdit->selectAll();
        }
    });

    connect(mUi->configureButton, &QPushButton::clicked, this, [this] { Configure(); });
    connect(mUi->searchAgainButton, &QPushButton::clicked, controller,
            &QipController::searchAgain);
    connect(mUi->refreshButton, &QPushButton::clicked, controller, &QipController::refresh);
    auto* refresh = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refresh, &QShortcut::activated, controller, &QipController::refresh);
    // The usual key for the menu bar where the desktop does not provide one.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(menuKey, &QShortcut::activated, this, [this] {
        mUi->mainMenu->setActiveAction(mUi->applicationMenu->menuAction());
    });
    connect(mUi->actionAbout, &QAction::triggered, controller, &QipController::about);
    connect(mUi->actionHelp, &QAction::triggered, this, [this] { ShowHelp(); });
    connect(mUi->actionSearchAnotherNetwork, &QAction::triggered, this,
            [this] { SearchAnotherNetwork(); });
    connect(mUi->searchAnotherNetworkButton, &QPushButton::clicked, this,
            [this] { SearchAnotherNetwork(); });
    connect(mUi->actionCopyAll, &QAction::triggered, this, [this] { CopyAll(); });
    connect(mUi->actionExport, &QAction::triggered, this, [this] { Export(); });
    connect(mUi->actionQuit, &QAction::triggered, this, [] { QCoreApplication::quit(); });
    connect(mUi->actionMinimize, &QAction::triggered, this, &QWidget::showMinimized);
    Show();
}

QipMainWindow::~QipMainWindow() { SavePlacement(); }

QWidget* QipMainWindow::mainMenu() const { return mUi->mainMenu; }

bool QipMainWindow::eventFilter(QObject* watched, QEvent* event) {
    // A control that is hidden or disabled takes no key, not even the focus's Space.
    if (event->type() == QEvent::KeyPress) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && (!widget->isVisible() || !widget->isEnabled())) {
            return true;
        }
    }
    // Enter acts on the focused button (the toolkit leaves it to the default button), and
    // opens the chosen device in the table.
    if (IsEnter(event)) {
        if (watched == mUi->deviceTable && mUi->deviceTable->IsEditing()) {
            // The editor's own Enter, handed up once it has taken it: the label is kept.
            return true;
        }
        if (watched == mUi->deviceTable) {
            Configure();
            return true;
        }
        if (auto* button = qobject_cast<QPushButton*>(watched)) {
            if (button->isVisible() && button->isEnabled()) {
                button->click();
            }
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void QipMainWindow::Show() {
    const bool chooserWasShown = mUi->deviceTable->isVisibleTo(this);
    setWindowTitle(mController->titel());
    mUi->messageLabel->setText(mController->message());
    mUi->helpLabel->setText(mController->helpText());
    mUi->helpLabel->setVisible(!mController->helpText().isEmpty());
    mUi->progressIndicator->setVisible(!mController->hideProgress());
    mUi->deviceTable->setVisible(!mController->hidePopup());
    mUi->filterLabel->setVisible(!mController->hidePopup());
    mUi->filterEdit->setVisible(!mController->hidePopup());
    mUi->configureButton->setVisible(!mController->hidePopup());
    if (mUi->deviceTable->isVisibleTo(this) && !chooserWasShown) {
        // A new table: its first row is chosen once the names are in (see ChooseOne).
        mFirstChoice = true;
    }
    mUi->actionCopyAll->setEnabled(!mController->hidePopup());
    mUi->actionExport->setEnabled(!mController->hidePopup());
    ChooseOne();
    mUi->configureButton->setEnabled(!ChosenDevice().isEmpty());
    mUi->refreshButton->setVisible(mController->showRefresh());
    mUi->refreshButton->setEnabled(!mController->isRefreshing());
    mUi->searchAgainButton->setVisible(mController->showSearchAgain());
    mUi->searchAnotherNetworkButton->setVisible(mController->showSearchAgain());
    ShowAddress();
    if (!mController->hidePopup() && !chooserWasShown) {
        mUi->deviceTable->setFocus(Qt::OtherFocusReason);
    } else if (mController->hidePopup() && mController->showSearchAgain()) {
        mUi->searchAgainButton->setFocus(Qt::OtherFocusReason);
    }
    Describe();
    FitSize();
}

void QipMainWindow::ShowAddress() {
    // The far-device note only where the route leaves through none of the networks searched.
    const QVariantMap device = ChosenDevice();
    const QString line =
        mController->hidePopup()
            ? QString()
            : QipHelpText::AddressLine(
                  device, gInterfaces,
                  QipRoutesThroughOneOf(device.value(QStringLiteral("DeviceIP")).toString().toStdString(),
                                        gInterfaces));
    mUi->addressLabel->setText(line);
    mUi->addressLabel->setVisible(!line.isEmpty());
}

void QipMainWindow::Describe() {
    const QString message = mController->message();
    const QString help = mController->helpText();
    const QString told = help.isEmpty() ? message : message + QStringLiteral("\n\n") + help;
    SetDescription(mUi->searchAgainButton, told);
    QString address = mUi->addressLabel->isVisibleTo(this) ? mUi->addressLabel->text()
                                                            : QString();
    // A filter that hides every row says so where the rows would be read.
    const QString empty = mUi->deviceTable->emptyText();
    if (!empty.isEmpty()) {
        address = address.isEmpty() ? empty : empty + QStringLiteral("\n") + address;
    }
    SetDescription(mUi->deviceTable,
                   address.isEmpty() ? told : told + QStringLiteral("\n") + address);
    SetDescription(mUi->configureButton,
                   address.isEmpty() ? tr("Opens the chosen device's page in the web browser")
                                     : address);
    SetDescription(mUi->refreshButton,
                   mController->isRefreshing() ? tr("Looking for devices again")
                                               : tr("Looks for devices again and refills the "
                                                    "list, keeping the chosen device chosen"));
}

void QipMainWindow::Configure() {
    // Enter also arrives while the table is hidden (searching or failed): nothing to choose.
    const QVariantMap device = ChosenDevice();
    if (mController->hidePopup() || device.isEmpty()) {
        return;
    }
    mController->konfigurieren({device});
}

QVariantMap QipMainWindow::ChosenDevice() const {
    const QModelIndex current = mUi->deviceTable->currentIndex();
    return current.isValid() ? current.data(QipDeviceTableModel::DeviceRole).toMap() : QVariantMap();
}

void QipMainWindow::SearchAnotherNetwork() {
    QipProbeDialog dialog(mController->bundleProbeTargets(), mController->userProbeTargets(),
                          this);
    dialog.setApply([this](const QStringList& targets) {
        return mController->searchAnotherNetwork(targets);
    });
    dialog.exec();
}

void QipMainWindow::ShowHelp() {
    const QString page = mController->helpPage();
    if (!QFileInfo::exists(page)) {
        QMessageBox::information(this, mController->programName(),
                                 tr("The help is not installed: %1 is missing.").arg(page));
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(page));
}

void QipMainWindow::ShowPageNotOpened(const QUrl& url, int openerStatus) {
    auto* box = new QDialog(this);
    box->setObjectName(QStringLiteral("pageNotOpenedBox"));
    box->setWindowTitle(mController->programName());
    box->setAttribute(Qt::WA_DeleteOnClose);
    const QString why =
        openerStatus < 0
            ? tr("The page could not be opened: no web browser was found.")
            : tr("The page could not be opened: the web browser did not take it (xdg-open "
                 "ended with status %1).")
                  .arg(openerStatus);
    auto* text = new QLabel(why + QStringLiteral("\n") +
                                tr("Open this address in a browser yourself:"),
                            box);
    text->setObjectName(QStringLiteral("pageNotOpenedText"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setMinimumWidth(text->fontMetrics().averageCharWidth() * 56);
    // A line of its own that the keyboard reaches: Ctrl+A and Ctrl+C work there.
    auto* address = new QLineEdit(url.toString(), box);
    address->setObjectName(QStringLiteral("pageAddress"));
    address->setReadOnly(true);
    address->setAccessibleName(tr("Page address"));
    address->setAccessibleDescription(why);
    address->setMinimumWidth(address->fontMetrics().horizontalAdvance(url.toString()) + 24);
    text->setBuddy(address);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, box);
    QPushButton* copy = buttons->addButton(tr("&Copy Address"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("copyAddressButton"));
    connect(copy, &QPushButton::clicked, box,
            [url] { QGuiApplication::clipboard()->setText(url.toString()); });
    connect(buttons, &QDialogButtonBox::rejected, box, &QDialog::reject);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(text);
    layout->addWidget(address);
    layout->addWidget(buttons);
    address->setFocus(Qt::OtherFocusReason);
    address->selectAll();
    box->open();
}
