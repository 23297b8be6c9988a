#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QVariantList>
#include <QVariantMap>

// The devices a window lists, one row per device dictionary (keys as QipDeviceDictionaries
// says; the five of the search's report suffice), in the columns Name, Address, Type, Device
// ID and Last answer. Rows are told apart by DeviceId: a new list updates the rows of devices
// still there, so a view keeps its selection while others come and go. The display role is
// what each column shows; the tooltip and the accessible description are the row's
// DisplayString; SortRole sorts (names without case, addresses by number, the last answer by
// age); DeviceRole is the whole dictionary. A device that has not answered for more than
// cQuietSeconds is shown greyed, "not answering for 14 s".
//
// Known devices (from the store of known devices) carry more keys: "Known" true for one that
// has not answered in this run (greyed, "last seen 3 days ago" from "LastSeen", wall-clock
// seconds), "Label" (shown in the Label column and, when set, as the Name), "LastOpened"
// true for the device whose page was opened last (marked in the Name column), and
// "KnownSsid", the SSID of last time, shown marked as such when its page gives none now.
// Main thread only.
class QipDeviceTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { cName, cAddress, cType, cDeviceId, cLastAnswer, cLabel, cColumnCount };
    static constexpr int DeviceRole = Qt::UserRole + 1;
    static constexpr int SortRole = Qt::UserRole + 2;
    // One broadcast cycle and a little: a device quiet longer missed an answer.
    static const qint64 cQuietSeconds = 12;

    explicit QipDeviceTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The devices in list order.
    QVariantList devices() const;
    // Makes the list exactly `devices` (elements that are no dictionary are left out), row by
    // row: rows of ids no longer there are removed, the others updated or moved, new ones
    // inserted. Signals only what changed.
    void setDevices(const QVariantList& devices);
    // Removes the row at `row`; false when there is none.
    bool removeDevice(int row);
    // The monotonic second (KspMonotonicSeconds) the ages are counted to; the Name and Last
    // answer columns follow it.
    void setNow(qint64 monotonicSeconds);
    qint64 now() const { return mNow; }
    // The wall-clock second (time()) "last seen" is counted to.
    void setWallNow(qint64 seconds) { mWallNow = seconds; }

    // What the Name column says of a device: its SSID, or "—" and why there is none. Pure
    // but for the translator.
    static QString Name(const QVariantMap& device);
    // "last seen 3 days ago" and its kin, for a device last seen at `lastSeen` (wall clock).
    static QString LastSeen(qint64 lastSeen, qint64 now);

private:
    int RowOf(const QString& id, int from) const;
    QList<QVariantMap> mDevices;
    qint64 mNow = 0;
    qint64 mWallNow = 0;
};
