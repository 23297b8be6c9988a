#include "app/QipMainWindow.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMessageBox>

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

bool IsEnter(QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const int key = static_cast<QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

QipMainWindow::QipMainWindow(QipController* controller, QWidget* parent)
    : QMainWindow(parent), mController(controller), mUi(std::make_unique<Ui::MainWindow>()) {
    mUi->setupUi(this);
    mUi->deviceChooser->setModel(controller->deviceListController());
    mUi->deviceChooser->setMaximumWidth(fontMetrics().averageCharWidth() * cChooserMaxCharacters);
    mUi->messageLabel->setBuddy(mUi->deviceChooser);
    mUi->deviceChooser->setAccessibleName(tr("Device"));
    mUi->deviceChooser->setAccessibleDescription(
        tr("The devices found: identifier, type and wireless network"));
    mUi->progressIndicator->setAccessibleName(tr("Searching"));
    mUi->progressIndicator->setAccessibleDescription(
        tr("Shown while the local network is searched for devices"));
    mUi->configureButton->setAccessibleName(tr("Configure"));
    mUi->configureButton->setAccessibleDescription(
        tr("Opens the chosen device's page in the web browser"));
    mUi->searchAgainButton->setAccessibleDescription(tr("Searches the local network again"));
    mUi->searchAnotherNetworkButton->setAccessibleDescription(
        tr("Searches a network behind a router by address, range or host name"));
    setTabOrder(mUi->deviceChooser, mUi->configureButton);
    setTabOrder(mUi->configureButton, mUi->searchAgainButton);
    setTabOrder(mUi->searchAgainButton, mUi->searchAnotherNetworkButton);
    for (QWidget* watched : {static_cast<QWidget*>(mUi->deviceChooser),
                             static_cast<QWidget*>(mUi->configureButton),
                             static_cast<QWidget*>(mUi->searchAgainButton)}) {
        watched->installEventFilter(this);
    }

    const auto show = [this] { Show(); };
    connect(controller, &QipController::titelChanged, this, show);
    connect(controller, &QipController::messageChanged, this, show);
    connect(controller, &QipController::hideProgressChanged, this, show);
    connect(controller, &QipController::hidePopupChanged, this, show);
    connect(controller, &QipController::helpTextChanged, this, show);
    connect(controller, &QipController::showSearchAgainChanged, this, show);
    connect(controller, &QipController::deviceListChanged, this, show);
    connect(controller, &QipController::pageNotOpened, this,
            [this](const QUrl& url) { ShowPageNotOpened(url); });
    connect(mUi->deviceChooser, &QComboBox::currentIndexChanged, this, [this] { ShowAddress(); });

    connect(mUi->configureButton, &QPushButton::clicked, this, [this] { Configure(); });
    connect(mUi->searchAgainButton, &QPushButton::clicked, controller,
            &QipController::searchAgain);
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
        if (watched == mUi->searchAgainButton) {
            mUi->searchAgainButton->click();
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
    mUi->searchAgainButton->setVisible(mController->showSearchAgain());
    mUi->searchAnotherNetworkButton->setVisible(mController->showSearchAgain());
    ShowAddress();
    if (!mController->hidePopup() && !chooserWasShown) {
        mUi->deviceChooser->setFocus(Qt::OtherFocusReason);
    } else if (mController->hidePopup() && mController->showSearchAgain()) {
        mUi->searchAgainButton->setFocus(Qt::OtherFocusReason);
    }
    FitMinimumSize();
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

void QipMainWindow::ShowPageNotOpened(const QUrl& url) {
    auto* box = new QMessageBox(QMessageBox::Warning, mController->programName(),
                                tr("The page could not be opened: no web browser was found.\n"
                                   "Open this address in a browser yourself:\n\n%1")
                                    .arg(url.toString()),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("pageNotOpenedBox"));
    box->setTextFormat(Qt::PlainText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void QipMainWindow::FitMinimumSize() {
    QLayout* layout = centralWidget()->layout();
    layout->activate();
    const QMargins margins = layout->contentsMargins();
    const int width =
        qMax(fontMetrics().averageCharWidth() * cMinimumCharacters,
             qMax(fontMetrics().horizontalAdvance(mController->message()),
                  mUi->chooserLayout->minimumSize().width())) +
        margins.left() + margins.right();
    const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                                   : layout->totalMinimumSize().height();
    setMinimumSize(width, height + menuBar()->sizeHint().height());
}
