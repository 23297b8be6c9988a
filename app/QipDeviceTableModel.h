#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

// The devices a window lists, one row per device dictionary (keys as QipDeviceDictionaries
// says; the five of the search's report suffice), in the columns Name, Address, Type, Device
// ID, Last answer and Label. Rows are told apart by DeviceId and kept in a table by id, so that an
// update costs the rows it changes, not the whole list: a new list updates the rows of
// devices still there (dataChanged for the cells that changed, in runs of neighbouring
// rows), removes the others and appends the new ones, each as one run of rows; it never
// resets, so views keep their selection and assistive technology hears rows come and go.
//
// A device keeps what its page said: a look (PageOutcome "skipped") or a read that failed
// leaves the SSID read before (the Name then says the latest read failed); only a read that
// succeeded changes it. A device that has not answered for more than cQuietSeconds is
// greyed, "not answering for 14 s", under its last known name.
//
// Texts from devices are shown with their control characters as '?' (as qip-discover's
// table does), in cells, tooltips and accessible texts alike. The display role is what
// each column shows and each cell's accessible description; the row's one line
// (DisplayString) is its tooltip; the vertical header (the row as assistive technology
// names it) is the device's name. SortRole sorts without depending on the clock (names
// without case, addresses by number, the last answer newest first); FilterRole is the
// text a filter looks in (name, address, type and id); DeviceRole is the whole dictionary.
//
// A row is a Row record. A store of known devices adds keys: "NotHeard" true for a known
// device that has not answered in this run (greyed, "last seen 3 days ago" from "LastSeen",
// wall-clock seconds); "Label", the user's name for it (the Label column, and the Name in
// place of the SSID); "KnownSsid", the SSID of last time, shown marked as such while its page
// gives none now; "LastOpened" true for the device whose page was opened last (marked in the
// Name column). Columns past cLastAnswer keep their texts in mExtra. Main thread only.
class QipDeviceTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { cName, cAddress, cType, cDeviceId, cLastAnswer, cLabel, cColumnCount };
    static constexpr int DeviceRole = Qt::UserRole + 1;
    static constexpr int SortRole = Qt::UserRole + 2;
    static constexpr int FilterRole = Qt::UserRole + 3;
    // One broadcast cycle and a little: a device quiet longer missed an answer.
    static const qint64 cQuietSeconds = 12;

    // One device's row: the dictionary and what is shown of it, made once per change.
    struct Row {
        QString mId;
        QVariantMap mDevice;      // as heard, with the SSID its page gave last
        QString mReadFailure;     // how the latest page read failed, when it did after one that
                                  // gave the SSID kept; else empty
        bool mHeard = true;       // answered in this run: false for a dictionary holding
                                  // "NotHeard" true (a known device not heard yet)
        qint64 mLastAnswer = 0;   // KspMonotonicSeconds of the latest answer; 0: none
        qint64 mLastSeen = 0;     // not heard: the wall-clock second it was last seen; 0: unknown
        QString mTexts[cLastAnswer];  // Name, Address, Type, Device ID as shown
        QString mNameKey;         // the name for sorting, without its failure note
        qulonglong mAddressKey = 0;
        QString mLine;            // the row's one line, as shown
        QString mFilterText;
        QHash<int, QVariant> mExtra;  // columns past cLastAnswer, by column
    };

    explicit QipDeviceTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The devices in row order, each with the SSID shown.
    QVariantList devices() const;
    // Makes the rows exactly the devices of `devices` (elements that are no dictionary, and
    // repeated ids after the first, are left out). A device whose page was not read
    // (PageOutcome "skipped") keeps the SSID, outcome and line its row had, while its
    // address is the same. Signals only what changed.
    // A read that failed keeps the SSID before, as takePages says. True when anything changed.
    bool setDevices(const QVariantList& devices);
    // Takes the page reads of `devices` into the rows heard of the same id and address, adding
    // and removing none: a read that gave an SSID, or a page without one ("ok"), replaces the
    // SSID; one that failed keeps the SSID before and says so beside it.
    // True when anything changed.
    bool takePages(const QVariantList& devices);
    // The rows of devices heard in this run (not "NotHeard").
    int heardCount() const;
    // Whether any row has a label.
    bool anyLabel() const;
    // The row of the device of that id, or -1.
    int rowOf(const QString& id) const { return mRowOf.value(id, -1); }
    // Removes the row at `row`; false when there is none.
    bool removeDevice(int row);
    // The monotonic second (KspMonotonicSeconds) the ages are counted to. Signals
    // agesChanged only: what the ages change is seen where rows are painted or read, so a
    // second costs the rows on screen, not the whole list.
    void setNow(qint64 monotonicSeconds);
    qint64 now() const { return mNow; }
    // The wall-clock second (time()) "last seen" is counted to; seen where rows are painted
    // or read, as the ages are.
    void setWallNow(qint64 seconds) { mWallNow = seconds; }

    // What the Name column says of a device without its marks: its label, its SSID, the SSID
    // of last time while the page has not said otherwise ("Office (last time)"), or "—" and
    // why there is none. Pure but for the translator.
    static QString Name(const QVariantMap& device);
    // "last seen 3 days ago" and its kin, for a device last seen at `lastSeen` (wall clock).
    static QString LastSeen(qint64 lastSeen, qint64 now);
    // Why a page read failed, as qip-discover says it ("page refused", "page not
    // answering", "page: http 404"); empty for "ok", "skipped" or no outcome.
    static QString PageFailure(const QString& outcome);
    // Device text as it is shown: control characters (C0, DEL, C1) as '?'. Pure.
    static QString Visible(const QString& text);

signals:
    void agesChanged();

private:
    void Fill(Row& row) const;
    // Takes the page fields (SSID, PageOutcome, DisplayString) of `read` into `into` as
    // takePages says, `failure` the failed outcome kept beside the name. Pure.
    static void MergePage(const QVariantMap& read, QVariantMap& into, QString& failure);
    // Gives row `at` the record `device` and read failure `failure`, fills its texts again and
    // notes which of its cells changed.
    void Replace(Row& row, QVariantMap device, const QString& failure, int at,
                 QList<int> (&changed)[cColumnCount]) const;
    // Adds `at` to the columns whose shown text (or, for Last answer, time) differs.
    static void NoteChanges(const Row& before, const Row& after, int at,
                            QList<int> (&changed)[cColumnCount]);
    // Emits dataChanged for `rows` (sorted), in runs of neighbouring rows, over columns
    // first to last.
    void TellChanged(const QList<int>& rows, int first, int last);
    void Reindex(int from);

    QList<Row> mRows;
    QHash<QString, int> mRowOf;  // id to row
    qint64 mNow = 0;
    qint64 mWallNow = 0;
};
