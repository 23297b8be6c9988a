// The controller and the store of known devices: what is listed before anything answers,
// labels, forgetting, and what each report and each opened page leaves in the store.
#include <time.h>

#include <QSet>

#include "app/QipController.h"
#include "describe/DeviceDescriber.h"

namespace {

QString Key(const QString& id, const QString& type) { return id + QLatin1Char('\t') + type; }

QString FromBytes(const std::string& bytes) { return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())); }

std::string ToBytes(const QString& text) { return text.toUtf8().toStdString(); }

// Makes `device`'s `key` hold `value` (an invalid value: no key), touching, and so copying,
// the dictionary only when it differs: most rows stay the same from one look to the next.
void SetKey(QVariantMap& device, const QString& key, const QVariant& value) {
    const auto here = device.constFind(key);
    if (!value.isValid()) {
        if (here != device.constEnd()) device.remove(key);
    } else if (here == device.constEnd() || *here != value) {
        device.insert(key, value);
    }
}

const QString cLabel = QStringLiteral("Label");
const QString cKnownSsid = QStringLiteral("KnownSsid");
const QString cLastOpened = QStringLiteral("LastOpened");

}  // namespace

void QipController::StartStore() {
    if (mSettings.mKnownDevices && !mStore) {
        mStore.reset(new QipDeviceStore(QipDeviceStore::DefaultPath(), "qipfinder"));
    }
}

void QipController::OpenStore() {
    StartStore();
    if (!mStore || mKnownListed) {
        return;
    }
    mKnownListed = true;
    // The store is read on its own thread from the controller's making on, while the window
    // is made and shown; the launch waits for what is left of that read (nothing, mostly; the
    // busy timeout at worst) to list them at once.
    mKnown.clear();
    time_t newest = 0;
    for (const QipDeviceRecord& record : mStore->GetKnown()) {
        const QString type = FromBytes(record.mDeviceType);
        if (mDeviceKennungen.contains(type)) {
            mKnown.insert(Key(FromBytes(record.mDeviceId), type), record);
        }
        if (record.mLastOpened > 0) {
            // The most recent opening of all marks its device.
            if (record.mLastOpened >= newest) {
                newest = record.mLastOpened;
                mLastOpenedId = FromBytes(record.mDeviceId);
            }
        }
    }
    mKnownRows.clear();
    if (!mKnown.isEmpty() && mState == State::Searching && deviceList().isEmpty()) {
        // Listed while the search goes on; the progress stays until the first decision.
        mDeviceListController.setWallNow(time(nullptr));
        setHidePopup(false);
        RefreshKnown();
    }
}

void QipController::RememberLive(const QVariantList& devices) {
    if (!mStore) {
        return;
    }
    const time_t now = time(nullptr);
    mDeviceListController.setWallNow(now);
    for (const QVariant& element : devices) {
        const QVariantMap device = element.toMap();
        const QString id = device.value(QStringLiteral("DeviceId")).toString();
        const QString type = device.value(QStringLiteral("DeviceType")).toString();
        const QString address = device.value(QStringLiteral("DeviceIP")).toString();
        const bool pageRead = device.value(QStringLiteral("PageOutcome")).toString() == QLatin1String("ok");
        const QString ssid = pageRead ? device.value(QStringLiteral("SSID")).toString() : QString();
        mStore->Note(ToBytes(id), ToBytes(type), ToBytes(address), ToBytes(ssid), now);
        // Kept here too, so that a device that stops answering is listed as known at once.
        QipDeviceSighting sighting{ToBytes(id), ToBytes(type), {ToBytes(address)}, ToBytes(ssid), now};
        const QString key = Key(id, type);
        const auto known = mKnown.constFind(key);
        mKnown.insert(key, QipDeviceMerge::Apply(known == mKnown.constEnd() ? nullptr : &known.value(), sighting));
        mKnownRows.remove(key);
    }
}

void QipController::RememberOpened(const QVariantMap& device) {
    if (!mStore) {
        return;
    }
    const QString id = device.value(QStringLiteral("DeviceId")).toString();
    const QString type = device.value(QStringLiteral("DeviceType")).toString();
    const time_t now = time(nullptr);
    mStore->NoteOpened(ToBytes(id), ToBytes(type), now);
    mLastOpenedId = id;
    mKnownRows.clear();
    RefreshKnown();
}

QVariantList QipController::WithKnown(const QVariantList& devices) const {
    if (!mStore) {
        return devices;
    }
    QVariantList shown;
    shown.reserve(devices.size() + mKnown.size());
    QSet<QString> live;
    for (const QVariant& element : devices) {
        QVariantMap device = element.toMap();
        const QString id = device.value(QStringLiteral("DeviceId")).toString();
        const QString key = Key(id, device.value(QStringLiteral("DeviceType")).toString());
        live.insert(key);
        const auto known = mKnown.constFind(key);
        const bool isKnown = known != mKnown.constEnd();
        SetKey(device, cLabel, isKnown && !known->mLabel.empty() ? QVariant(FromBytes(known->mLabel)) : QVariant());
        // The SSID of last time matters only while the page has given none in this run.
        SetKey(device, cKnownSsid,
               isKnown && !known->mSsid.empty() && device.value(QStringLiteral("SSID")).toString().isEmpty()
                   ? QVariant(FromBytes(known->mSsid))
                   : QVariant());
        SetKey(device, cLastOpened, !mLastOpenedId.isEmpty() && id == mLastOpenedId ? QVariant(true) : QVariant());
        shown.append(device);
    }
    for (auto known = mKnown.constBegin(); known != mKnown.constEnd(); ++known) {
        if (live.contains(known.key())) {
            continue;
        }
        auto row = mKnownRows.constFind(known.key());
        if (row == mKnownRows.constEnd()) {
            row = mKnownRows.insert(known.key(), KnownRow(*known));
        }
        if (!mRemovedIds.contains(row->value(QStringLiteral("DeviceId")).toString())) {
            shown.append(*row);
        }
    }
    return shown;
}

QVariantMap QipController::KnownRow(const QipDeviceRecord& known) const {
    QVariantMap device;
    const QString id = FromBytes(known.mDeviceId);
    device.insert(QStringLiteral("DeviceId"), id);
    device.insert(QStringLiteral("DeviceType"), FromBytes(known.mDeviceType));
    device.insert(QStringLiteral("DeviceIP"), known.mAddresses.empty() ? QString() : FromBytes(known.mAddresses.front()));
    device.insert(QStringLiteral("SSID"), QString());
    device.insert(QStringLiteral("DisplayString"),
                  FromBytes(DeviceDescriber::MakeDisplayString(known.mDeviceId, known.mDeviceType, known.mSsid)));
    device.insert(QStringLiteral("NotHeard"), true);
    device.insert(QStringLiteral("LastSeen"), static_cast<qint64>(known.mLastSeen));
    if (!known.mLabel.empty()) {
        device.insert(cLabel, FromBytes(known.mLabel));
    }
    if (!known.mSsid.empty()) {
        device.insert(cKnownSsid, FromBytes(known.mSsid));
    }
    if (!mLastOpenedId.isEmpty() && id == mLastOpenedId) {
        device.insert(cLastOpened, true);
    }
    return device;
}

void QipController::RefreshKnown() {
    const QVariantList shown = WithKnown(deviceList());
    if (mDeviceListController.devices() == shown) {
        return;
    }
    mDeviceListController.setDevices(shown);
    emit deviceListChanged();
}

bool QipController::setDeviceLabel(const QString& deviceId, const QString& label, QString* error) {
    std::string why;
    if (!mStore) {
        why = tr("Known devices are not kept (QipKnownDevices is off).").toStdString();
    } else if (mStore->SetLabel(ToBytes(deviceId), ToBytes(label), why)) {
        for (auto known = mKnown.begin(); known != mKnown.end(); ++known) {
            if (FromBytes(known->mDeviceId) == deviceId) {
                known->mLabel = ToBytes(label);
            }
        }
        mKnownRows.clear();
        RefreshKnown();
        return true;
    }
    if (error != nullptr) {
        *error = QString::fromStdString(why);
    }
    return false;
}

void QipController::forgetDevice(const QString& deviceId) {
    if (!mStore) {
        return;
    }
    mStore->Forget(ToBytes(deviceId));
    for (auto known = mKnown.begin(); known != mKnown.end();) {
        known = FromBytes(known->mDeviceId) == deviceId ? mKnown.erase(known) : std::next(known);
    }
    if (mLastOpenedId == deviceId) {
        mLastOpenedId.clear();
    }
    mKnownRows.clear();
    RefreshKnown();
}

Qt::ItemFlags QipController::DeviceListController::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QipDeviceTableModel::flags(index);
    if (index.isValid() && index.column() == cLabel && mOuter->store() != nullptr) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

bool QipController::DeviceListController::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.column() != cLabel) {
        return false;
    }
    const QString id = index.data(DeviceRole).toMap().value(QStringLiteral("DeviceId")).toString();
    return mOuter->setDeviceLabel(id, value.toString().trimmed());
}
