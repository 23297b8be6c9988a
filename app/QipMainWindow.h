#pragma once

#include <QMainWindow>

#include <memory>

class QipController;
namespace Ui {
class MainWindow;
}

// The one window: shows the controller's titel, message, help text, progress and device
// chooser with the address its page opens at, and sends konfigurieren with the chosen device
// and searchAgain. It follows every change the controller signals, and says so in a message
// box when a page could not be opened. Keyboard: Enter on the closed chooser or on Configure
// opens the chosen device's page (Enter in the chooser's open list only picks), Enter or
// Space on Search Again searches again, Ctrl+Q quits. The controller is not owned and must
// outlive the window. Search Another Network… (menu, and a button beside Search Again)
// asks for networks behind a router and searches them. Main thread only.
class QipMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit QipMainWindow(QipController* controller, QWidget* parent = nullptr);
    ~QipMainWindow() override;

    // The menu bar whose titles the controller rewrites at launch.
    QWidget* mainMenu() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Show();
    void ShowAddress();
    void Configure();
    void ShowPageNotOpened(const QUrl& url);
    // Asks for the networks to search beyond this computer's and searches them.
    void SearchAnotherNetwork();
    // Never smaller than what shows the texts whole.
    void FitMinimumSize();

    QipController* mController;
    std::unique_ptr<Ui::MainWindow> mUi;
};
