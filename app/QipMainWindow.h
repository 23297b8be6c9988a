#pragma once

#include <QMainWindow>
#include <QSize>
#include <QString>
#include <QVariantMap>

#include <memory>

class QipController;
class QipDeviceTableProxy;
class QipDeviceColumns;
class QAction;
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
// goes to it; Ctrl+F goes to the filter (Escape there clears it, a second Escape is the
// window's), Ctrl+C copies the row's text; Enter and Space act on the focused button; F5
// refreshes, F10 opens the menu, Ctrl+Q quits. A row's context menu (Menu key, Shift+F10)
// offers Open, Copy Address, Copy Device ID, Label… and Forget Device (with a store of known
// devices; F2 edits the label too) and Show All Device Types, which the menu offers too. The filter keeps the chosen row chosen while it is shown, and a filter that
// matches nothing says so in the table. When the table first appears, its first row is
// chosen, and chosen again as the order changes until the names are in or the user
// chooses. The message and help text are the
// accessible description of the control that has the focus, and assistive technology is
// told when it changes. Without the table the window takes the size its state needs; the
// table grows with the window and is never shrunk by an update. Search Another Network…
// (menu, and a button beside Search Again) asks for networks behind a router and searches
// them. Copy All (Ctrl+Shift+C) and Export… (Ctrl+S) in the menu copy or save the rows shown. The controller is not owned and must outlive the window. Main thread only.
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
    void resizeEvent(QResizeEvent* event) override;

private:
    void Show();
    void ShowAddress();
    void Configure();
    void ShowPageNotOpened(const QUrl& url, int openerStatus);
    // Opens the program's help page in the browser (F1).
    void ShowHelp();
    // Copies the rows shown, in the order shown, as text (QipDeviceExport::Text).
    void CopyAll();
    // Asks for a file and saves the rows shown there, in the order shown: as CSV, or as JSON
    // lines for a name ending in .jsonl or .json (or the JSON filter chosen); says so in a
    // box and on standard error when the file cannot be written.
    void Export();
    // Asks for the networks to search beyond this computer's and searches them.
    void SearchAnotherNetwork();
    // The device of the table's current row, or none.
    QVariantMap ChosenDevice() const;
    // The proxy, the table's keys and signals, the filter and Show All Device Types.
    void SetUpTable();
    // Chooses the first row shown when the table has rows and none is chosen, and while the
    // first choice is pending (mFirstChoice), the first row again.
    void ChooseOne();
    // Makes the row of the device `id` current, from this code rather than the user.
    void ChooseRow(const QModelIndex& row);
    // Filters by the filter field, keeping the chosen row chosen when it is still shown
    // or shown again.
    void Filter(const QString& text);
    // Open, Copy Address, Copy Device ID and, with a store of known devices, Label… and
    // Forget Device for the row at `at` (viewport coordinates); Show All Device Types.
    void ShowRowMenu(const QPoint& at);
    // Opens the chosen row's Label cell for editing (F2, "Label…"), when there is a store,
    // showing the Label column for it.
    void EditLabel();
    // Shows the Label column while any device has a label.
    void ShowLabels();
    // The size the state needs, at the narrowest width whose height fits the screen; with the
    // table, at first the size its rows and columns need, up to about two thirds of the
    // screen (more where the address and device ID would be cut).
    void FitSize();
    // The message and help text as the description of the focused control and the one
    // that gets the focus, told to assistive technology when it changed.
    void Describe();

    QipController* mController;
    std::unique_ptr<Ui::MainWindow> mUi;
    // The table sorted and filtered.
    QipDeviceTableProxy* mProxy = nullptr;
    QAction* mShowAllTypes = nullptr;
    // The first row is chosen again as the order changes until the names are in.
    bool mFirstChoice = false;
    // The device chosen last, by the user or by this code.
    QString mChosenId;
    QString mProgramChosenId;
    bool mFiltering = false;
    // The table's column widths (owned by the table).
    QipDeviceColumns* mColumns = nullptr;
    // Whether the table was given its size since it was last hidden.
    bool mTableSized = false;
    // The window's size while it last showed the table (or as remembered), else invalid.
    QSize mTableSize;
    // The size the window was last given with the table, and whether the user has given it
    // another one since (then only the user resizes it).
    QSize mGivenSize;
    bool mUserSized = false;
    bool mRemembersPlacement = false;
    void SavePlacement();
};
