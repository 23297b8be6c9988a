#pragma once

#include <QString>
#include <QTableView>

// The device table: whole rows are chosen, one at a time; typing a name's first letters
// goes to it whatever column has the focus; the columns can be resized and sorted, the name
// column widens to its names as far as the width allows (once per pass of the event loop,
// however many rows changed in it), and the last one takes what width is left. The Menu key
// and Shift+F10 open the chosen row's context menu (customContextMenuRequested at the
// row). With no row to show, the table says `emptyText` in its middle. Main thread only.
class QipDeviceTable : public QTableView {
    Q_OBJECT
public:
    explicit QipDeviceTable(QWidget* parent = nullptr);

    // Type-ahead on the first column (the name).
    void keyboardSearch(const QString& search) override;
    // What the table says while it shows no row; "" says nothing.
    void setEmptyText(const QString& text);
    QString emptyText() const { return mEmptyText; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;

private:
    // Widens the name column to its longest name, as far as the room the other columns
    // leave allows; never narrows it (the user may have widened it).
    void FitNames();
    // FitNames once the event loop is done with what it is doing now.
    void FitNamesSoon();
    bool mFitPending = false;
    QString mEmptyText;
};
