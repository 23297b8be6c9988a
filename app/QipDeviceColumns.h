#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <array>

class QTableView;

// Keeps the device table's columns readable (QipDeviceTableModel's columns, through any
// proxy): the address, type and device ID columns are widened to their widest text as rows
// come and change, and never cut by this; the last answer's column is given room for its
// longest text (and a known device's "last seen" as its row comes); the label column (the
// last, which takes what width is left) is counted at its widest label up to
// cMaximumLabelCharacters (the name shows a label whole), and not at all while hidden; the
// name column is widened to its longest name as far as the room the others
// leave allows (never below cMinimumNameCharacters), and narrowed only to keep the others
// uncut. A text that still does not fit is cut at its end, with the whole text in its tooltip.
// Widths are measured once per row inserted or changed; the columns are fitted (and
// widened() sent) once per pass of the event loop. The object is parented to the table,
// which must be the one it was made with, with its model set. Main thread only.
class QipDeviceColumns : public QObject {
    Q_OBJECT
public:
    // The name column is never made narrower than this by fitting (average characters).
    static const int cMinimumNameCharacters = 16;
    // The most room fitting keeps for labels beside the name (average characters).
    static const int cMaximumLabelCharacters = 16;

    // Measures the rows the table's model has and follows its changes.
    explicit QipDeviceColumns(QTableView* table);

    // The table's width that shows every column uncut: the columns' widest texts, the frame
    // and room for the vertical scroll bar.
    int FullWidth() const;
    // The same with the name column at cMinimumNameCharacters at most: the least width that
    // keeps the address and device ID uncut.
    int EssentialWidth() const;
    // Gives each column the width it needs in the table's current width, as said above;
    // `first` (when the table is shown anew) also narrows a name column wider than the room.
    void Fit(bool first);
    // The widths the columns have now are the user's (remembered from the last run): `first`
    // fits from now on only widen the address, type and device ID columns.
    void KeepWidths() { mKeepWidths = true; }

signals:
    // A text wider than before came (sent once per pass of the event loop): the table may
    // want more room.
    void widened();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static const int cColumns = 6;
    // The last answer's column: its longest age, measured once (the ages change every second).
    void MeasureAges();
    // Widens mWidest by the texts of rows first..last of the model.
    void Measure(int first, int last);
    // The width column `column` needs: its widest text or its header, whichever is wider.
    int Needed(int column) const;
    int Frame() const;
    // The width a cell needs for `text` (texts beyond ASCII remembered, cMaxTextWidths at
    // most).
    int TextWidth(const QString& text);
    static const int cMaxTextWidths = 20000;

    QTableView* mTable;
    // The table's viewport, whose size the widths follow.
    QObject* mViewport;
    std::array<int, cColumns> mWidest{};
    QHash<QString, int> mTextWidths;
    // The advance of each ASCII letter in the table's font (-1: not yet measured), and the
    // cell's margins (-1: not yet known).
    std::array<qreal, 128> mAdvances{};
    int mMargins = -1;
    bool mKeepWidths = false;
    // Whether a fit is due at the end of this pass of the event loop, and whether a text
    // wider than before came in this pass.
    bool mFitPending = false;
    bool mWidened = false;
};
