#pragma once

#include <QMainWindow>

#include <memory>

class QipController;
namespace Ui {
class MainWindow;
}

// The one window: shows the controller's titel, message, progress and device chooser, and
// sends konfigurieren with the chosen device. It follows every change the controller signals.
// The controller is not owned and must outlive the window. Main thread only.
class QipMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit QipMainWindow(QipController* controller, QWidget* parent = nullptr);
    ~QipMainWindow() override;

    // The menu bar whose titles the controller rewrites at launch.
    QWidget* mainMenu() const;

private:
    void Show();
    void Configure();

    QipController* mController;
    std::unique_ptr<Ui::MainWindow> mUi;
};
