#pragma once

#include <QTableView>

// The device table: whole rows are chosen, one at a time; typing a name's first letters
// goes to it whatever column has the focus; the columns can be resized and sorted, the name
// column widens to its names as far as the width allows, and the last one takes what width
// is left. Main thread only.
class QipDeviceTable : public QTableView {
    Q_OBJECT
public:
    explicit QipDeviceTable(QWidget* parent = nullptr);

    // Type-ahead on the first column (the name).
    void keyboardSearch(const QString& search) override;
    // Whether a cell's editor is open (a label being typed): its keys are not the table's.
    bool IsEditing() const { return state() == EditingState; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;

private:
    // Widens the name column to its longest name, as far as the room the other columns
    // leave allows; never narrows it (the user may have widened it).
    void FitNames();
};
