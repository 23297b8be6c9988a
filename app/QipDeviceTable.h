#pragma once

#include <QTableView>

// The device table: whole rows are chosen, one at a time; typing a name's first letters
// goes to it whatever column has the focus; the columns can be resized and sorted, and the
// last one takes what width is left (QipDeviceColumns fits the others). Main thread only.
class QipDeviceTable : public QTableView {
    Q_OBJECT
public:
    explicit QipDeviceTable(QWidget* parent = nullptr);

    // Type-ahead on the first column (the name).
    void keyboardSearch(const QString& search) override;
};
