#pragma once

#include <QMainWindow>
#include <QString>

#include <memory>

class QipController;
class QUrl;
namespace Ui {
class MainWindow;
}

// The one window: shows the controller's titel, message, help text, progress and device
// chooser with the address its page opens at, and sends konfigurieren with the chosen device,
// searchAgain and refresh. It follows every change the controller signals, and says so in a
// dialog when a page could not be opened (the address there can be selected and copied with
// the keyboard). Keyboard: Enter on the closed chooser or on Configure opens the chosen
// device's page (Enter in the chooser's open list only picks), Enter or Space on Search Again
// searches again, F5 refreshes the chooser, F10 opens the menu, Ctrl+Q quits. The message
// and help text are the accessible description of the control that has the focus, and
// assistive technology is told when it changes. The window takes the size its state needs,
// growing and shrinking, within the screen. Search Another Network… (menu, and a button
// beside Search Again) asks for networks behind a router and searches them; Enter or Space
// on that button opens it. The controller is not owned and must outlive the window. Main
// thread only.
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
    void ShowPageNotOpened(const QUrl& url, int openerStatus);
    // Asks for the networks to search beyond this computer's and searches them.
    void SearchAnotherNetwork();
    // The chooser as wide as its longest entry, within a readable width.
    void FitChooser();
    // The size the state needs, at the narrowest width whose height fits the screen.
    void FitSize();
    // The message and help text as the description of the focused control and the one
    // that gets the focus, told to assistive technology when it changed.
    void Describe();

    QipController* mController;
    std::unique_ptr<Ui::MainWindow> mUi;
    // The id of the chosen device across a refill of the chooser.
    QString mChosenId;
};
