#pragma once

#include <QString>
#include <QTableView>

// The device table: whole rows are chosen, one at a time; typing a name's first letters
// goes to it whatever column has the focus; the columns can be resized and sorted, and the
// last one takes what width is left (QipDeviceColumns fits the others). The Menu key and
// Shift+F10 open the chosen row's context menu (customContextMenuRequested at the row). With
// no row to show, the table says `emptyText` in its middle. Main thread only.
class QipDeviceTable : public QTableView {
    Q_OBJECT
public:
    explicit QipDeviceTable(QWidget* parent = nullptr);

    // Type-ahead on the first column (the name).
    void keyboardSearch(const QString& search) override;
    // What the table says while it shows no row; "" says nothing.
    void setEmptyText(const QString& text);
    QString emptyText() const { return mEmptyText; }
    // Whether a cell's editor is open (a label being typed): its keys are not the table's.
    bool IsEditing() const { return state() == EditingState; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString mEmptyText;
};
