#pragma once

#include <QMainWindow>
#include <QSize>
#include <QString>
#include <QVariantMap>

#include <memory>

class QipController;
class QSortFilterProxyModel;
class QUrl;
namespace Ui {
class MainWindow;
}

// The one window: shows the controller's titel, message, help text, progress and the table
// of devices (QipDeviceTable over the controller's model, sorted by name and filtered by the
// filter field) with the address the chosen device's page opens at, and sends konfigurieren
// with the chosen device, searchAgain and refresh. It follows every change the controller
// signals; the chosen row stays chosen while others come and go. It says so in a dialog when
// a page could not be opened (the address there can be selected and copied). Keyboard:
// Enter or a double click on a row, or Open, opens the chosen device's page; typing a name
// goes to it; Ctrl+F goes to the filter, Ctrl+C copies the row's text; Enter and Space act
// on the focused button; F5 refreshes, F10 opens the menu, Ctrl+Q quits. A row's context
// menu offers Open, Copy Address and Copy Device ID. The message and help text are the
// accessible description of the control that has the focus, and assistive technology is
// told when it changes. Without the table the window takes the size its state needs; the
// table grows with the window and is never shrunk by an update. Search Another Network…
// (menu, and a button beside Search Again) asks for networks behind a router and searches
// them. The controller is not owned and must outlive the window. Main thread only.
class QipMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit QipMainWindow(QipController* controller, QWidget* parent = nullptr);
    ~QipMainWindow() override;

    // The menu bar whose titles the controller rewrites at launch.
    QWidget* mainMenu() const;
    // Takes the position, the table's size and its column widths remembered in the user's
    // settings (QipUserTargets::Open) and remembers them there when the window goes. Off by
    // default, so that windows made for tests leave the user's settings alone.
    void setRemembersPlacement(bool remembers);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Show();
    void ShowAddress();
    void Configure();
    void ShowPageNotOpened(const QUrl& url, int openerStatus);
    // Opens the program's help page in the browser (F1).
    void ShowHelp();
    // Asks for the networks to search beyond this computer's and searches them.
    void SearchAnotherNetwork();
    // The device of the table's current row, or none.
    QVariantMap ChosenDevice() const;
    // Chooses the first row shown when the table has rows and none is chosen.
    void ChooseOne();
    // Open, Copy Address and Copy Device ID for the row at `at` (viewport coordinates).
    void ShowRowMenu(const QPoint& at);
    // Opens the chosen row's Label cell for editing (F2, "Label…"), when there is a store.
    void EditLabel();
    // The width the table's columns take.
    int TableWidth() const;
    // The size the state needs, at the narrowest width whose height fits the screen.
    void FitSize();
    // The message and help text as the description of the focused control and the one
    // that gets the focus, told to assistive technology when it changed.
    void Describe();

    QipController* mController;
    std::unique_ptr<Ui::MainWindow> mUi;
    // The table sorted and filtered.
    QSortFilterProxyModel* mProxy = nullptr;
    // Whether the table was given its size since it was last hidden.
    bool mTableSized = false;
    // The window's size while it last showed the table (or as remembered), else invalid.
    QSize mTableSize;
    bool mRemembersPlacement = false;
    void SavePlacement();
};
