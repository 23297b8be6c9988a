#include "app/QipMainWindow.h"

#include <QCoreApplication>
#include <QShortcut>

#include "app/QipController.h"
#include "ui_MainWindow.h"

QipMainWindow::QipMainWindow(QipController* controller, QWidget* parent)
    : QMainWindow(parent), mController(controller), mUi(std::make_unique<Ui::MainWindow>()) {
    mUi->setupUi(this);
    mUi->deviceChooser->setModel(controller->deviceListController());

    const auto show = [this] { Show(); };
    connect(controller, &QipController::titelChanged, this, show);
    connect(controller, &QipController::messageChanged, this, show);
    connect(controller, &QipController::hideProgressChanged, this, show);
    connect(controller, &QipController::hidePopupChanged, this, show);

    connect(mUi->configureButton, &QPushButton::clicked, this, [this] { Configure(); });
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        connect(new QShortcut(key, this), &QShortcut::activated, this, [this] { Configure(); });
    }
    connect(mUi->actionAbout, &QAction::triggered, controller, &QipController::about);
    connect(mUi->actionQuit, &QAction::triggered, this, [] { QCoreApplication::quit(); });
    connect(mUi->actionMinimize, &QAction::triggered, this, &QWidget::showMinimized);
    Show();
}

QipMainWindow::~QipMainWindow() = default;

QWidget* QipMainWindow::mainMenu() const { return mUi->mainMenu; }

void QipMainWindow::Show() {
    setWindowTitle(mController->titel());
    mUi->messageLabel->setText(mController->message());
    mUi->progressIndicator->setVisible(!mController->hideProgress());
    mUi->deviceChooser->setVisible(!mController->hidePopup());
    mUi->configureButton->setVisible(!mController->hidePopup());
}

void QipMainWindow::Configure() {
    // Enter also arrives while the chooser is hidden (searching or failed): nothing to choose.
    if (mController->hidePopup() || mUi->deviceChooser->currentIndex() < 0) {
        return;
    }
    mController->konfigurieren(
        {mUi->deviceChooser->currentData(QipController::DeviceListController::DeviceRole)});
}
