#include "app/QipMainWindow.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include "app/Qip.h"
#include "app/QipController.h"
#include "app/QipHelpText.h"
#include "app/QipProbeDialog.h"
#include "ui_MainWindow.h"

namespace {

// Wide enough for the longest display strings of real devices; a maximised window leaves
// the rest empty instead of stretching the chooser across the screen.
const int cChooserMaxCharacters = 64;
// The narrowest the window gets, in average characters, so that no message is cut.
const int cMinimumCharacters = 48;
// Window frames and panels take some of the screen.
const int cScreenMargin = 40;

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
    QipController::DeviceListController* model = controller->deviceListController();
    mUi->deviceChooser->setModel(model);
    mUi->messageLabel->setBuddy(mUi->deviceChooser);
    mUi->deviceChooser->setAccessibleName(tr("Device"));
    mUi->progressIndicator->setAccessibleName(tr("Searching"));
    mUi->progressIndicator->setAccessibleDescription(
        tr("Shown while the local network is searched for devices"));
    mUi->configureButton->setAccessibleName(tr("Configure"));
    mUi->refreshButton->setAccessibleName(tr("Refresh"));
    mUi->refreshButton->setToolTip(tr("Looks for devices again (F5)"));
    mUi->searchAnotherNetworkButton->setAccessibleDescription(
        tr("Searches a network behind a router by address, range or host name"));
    setTabOrder(mUi->deviceChooser, mUi->configureButton);
    setTabOrder(mUi->configureButton, mUi->refreshButton);
    setTabOrder(mUi->refreshButton, mUi->searchAgainButton);
    setTabOrder(mUi->searchAgainButton, mUi->searchAnotherNetworkButton);
    for (QWidget* watched : {static_cast<QWidget*>(mUi->deviceChooser),
                             static_cast<QWidget*>(mUi->configureButton),
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
    // A refill keeps the chosen device chosen, found again by its id.
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        mChosenId = mUi->deviceChooser->currentData(QipController::DeviceListController::DeviceRole)
                        .toMap()
                        .value(QStringLiteral("DeviceId"))
                        .toString();
    });
    connect(model, &QAbstractItemModel::modelReset, this, [this, model] {
        for (int row = 0; row < model->rowCount() && !mChosenId.isEmpty(); ++row) {
            const QVariantMap device =
                model->index(row).data(QipController::DeviceListController::DeviceRole).toMap();
            if (device.value(QStringLiteral("DeviceId")).toString() == mChosenId) {
                mUi->deviceChooser->setCurrentIndex(row);
            }
        }
    });
    connect(mUi->deviceChooser, &QComboBox::currentIndexChanged, this, [this] {
        ShowAddress();
        Describe();
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
    connect(mUi->actionSearchAnotherNetwork, &QAction::triggered, this,
            [this] { SearchAnotherNetwork(); });
    connect(mUi->searchAnotherNetworkButton, &QPushButton::clicked, this,
            [this] { SearchAnotherNetwork(); });
    connect(mUi->actionQuit, &QAction::triggered, this, [] { QCoreApplication::quit(); });
    connect(mUi->actionMinimize, &QAction::triggered, this, &QWidget::showMinimized);
    Show();
}

QipMainWindow::~QipMainWindow() = default;

QWidget* QipMainWindow::mainMenu() const { return mUi->mainMenu; }

bool QipMainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Only key presses on the widgets themselves arrive here: in the chooser's open list the
    // list has the keys, and Enter there picks the entry and nothing more.
    if (IsEnter(event)) {
        if (watched == mUi->searchAgainButton || watched == mUi->searchAnotherNetworkButton) {
            static_cast<QPushButton*>(watched)->click();
            return true;
        }
        if (watched == mUi->deviceChooser || watched == mUi->configureButton) {
            Configure();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void QipMainWindow::Show() {
    const bool chooserWasShown = mUi->deviceChooser->isVisibleTo(this);
    setWindowTitle(mController->titel());
    mUi->messageLabel->setText(mController->message());
    mUi->helpLabel->setText(mController->helpText());
    mUi->helpLabel->setVisible(!mController->helpText().isEmpty());
    mUi->progressIndicator->setVisible(!mController->hideProgress());
    mUi->deviceChooser->setVisible(!mController->hidePopup());
    mUi->configureButton->setVisible(!mController->hidePopup());
    mUi->configureButton->setEnabled(mController->countOfDeviceList() > 0);
    mUi->refreshButton->setVisible(mController->showRefresh());
    mUi->refreshButton->setEnabled(!mController->isRefreshing());
    mUi->searchAgainButton->setVisible(mController->showSearchAgain());
    mUi->searchAnotherNetworkButton->setVisible(mController->showSearchAgain());
    FitChooser();
    ShowAddress();
    if (!mController->hidePopup() && !chooserWasShown) {
        mUi->deviceChooser->setFocus(Qt::OtherFocusReason);
    } else if (mController->hidePopup() && mController->showSearchAgain()) {
        mUi->searchAgainButton->setFocus(Qt::OtherFocusReason);
    }
    Describe();
    FitSize();
}

void QipMainWindow::ShowAddress() {
    const QString line =
        mController->hidePopup()
            ? QString()
            : QipHelpText::AddressLine(
                  mUi->deviceChooser->currentData(QipController::DeviceListController::DeviceRole)
                      .toMap(),
                  gInterfaces);
    mUi->addressLabel->setText(line);
    mUi->addressLabel->setVisible(!line.isEmpty());
}

void QipMainWindow::Describe() {
    const QString message = mController->message();
    const QString help = mController->helpText();
    const QString told = help.isEmpty() ? message : message + QStringLiteral("\n\n") + help;
    SetDescription(mUi->searchAgainButton, told);
    const QString address = mUi->addressLabel->isVisibleTo(this) ? mUi->addressLabel->text()
                                                                  : QString();
    SetDescription(mUi->deviceChooser,
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
    // Enter also arrives while the chooser is hidden (searching or failed): nothing to choose.
    if (mController->hidePopup() || mUi->deviceChooser->currentIndex() < 0) {
        return;
    }
    mController->konfigurieren(
        {mUi->deviceChooser->currentData(QipController::DeviceListController::DeviceRole)});
}

void QipMainWindow::SearchAnotherNetwork() {
    QipProbeDialog dialog(mController->bundleProbeTargets(), mController->userProbeTargets(),
                          this);
    if (dialog.exec() == QDialog::Accepted) {
        mController->searchAnotherNetwork(dialog.userTargets());
    }
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
    QPushButton* copy = buttons->addButton(tr("Copy Address"), QDialogButtonBox::ActionRole);
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

void QipMainWindow::FitChooser() {
    QComboBox* chooser = mUi->deviceChooser;
    int widest = 0;
    for (int i = 0; i < chooser->count(); ++i) {
        widest = qMax(widest, chooser->fontMetrics().horizontalAdvance(chooser->itemText(i)));
    }
    const int average = chooser->fontMetrics().averageCharWidth();
    // Beside the text: the frame and the arrow.
    const int decoration = chooser->minimumSizeHint().width() -
                           average * chooser->minimumContentsLength();
    const int wanted = qBound(average * chooser->minimumContentsLength(), widest,
                              average * cChooserMaxCharacters);
    chooser->setMinimumWidth(wanted + qMax(decoration, 0));
    chooser->setMaximumWidth(average * cChooserMaxCharacters + qMax(decoration, 0));
}

void QipMainWindow::FitSize() {
    QLayout* layout = centralWidget()->layout();
    layout->activate();
    const QMargins margins = layout->contentsMargins();
    const int menuHeight = menuBar()->sizeHint().height();
    const int average = fontMetrics().averageCharWidth();
    int width =
        qMax(average * cMinimumCharacters,
             qMax(qMin(fontMetrics().horizontalAdvance(mController->message()),
                       average * cChooserMaxCharacters),
                  qMax(mUi->chooserLayout->minimumSize().width(),
                       mUi->searchAgainLayout->minimumSize().width()))) +
        margins.left() + margins.right();
    QSize room(width, 100000);
    if (const QScreen* shown = screen()) {
        room = shown->availableGeometry().size() - QSize(cScreenMargin, cScreenMargin);
    }
    auto heightAt = [layout, menuHeight](int w) {
        return (layout->hasHeightForWidth() ? layout->totalHeightForWidth(w)
                                            : layout->totalMinimumSize().height()) +
               menuHeight;
    };
    // Long texts wrap into fewer lines on a wider window: widen until the height fits.
    while (heightAt(width) > room.height() && width + average * 4 <= room.width()) {
        width += average * 4;
    }
    const int height = heightAt(width);
    setMinimumSize(width, height);
    resize(width, height);
}
