// qip-discover and the store of known devices: remembering what a search found, and the
// commands that list and change the store without searching.
#include <stdio.h>
#include <time.h>

#include <algorithm>

#include "tools/discover/QipDiscover.h"
#include "tools/discover/QipDiscoverFormat.h"
#include "tools/discover/QipDiscoverOutput.h"

namespace {

std::string IsoSeconds(time_t when) {
    struct tm local;
    if (when <= 0 || localtime_r(&when, &local) == nullptr) return std::string();
    std::string text = QipDiscoverFormat::IsoTime(local, 0);
    // Seconds are what the store keeps; no milliseconds that say more.
    const size_t dot = text.find('.');
    if (dot != std::string::npos) text.erase(dot, 4);
    return text;
}

}  // namespace

QipDiscoverFormat::Fields QipDiscover::StoreFields(const QipDeviceRecord& record) {
    return QipDiscoverFormat::Fields{{"label", record.mLabel},
                                     {"first_seen", IsoSeconds(record.mFirstSeen)},
                                     {"last_seen", IsoSeconds(record.mLastSeen)}};
}

std::vector<QipDeviceRecord> QipDiscover::Remember(const std::vector<DeviceDescriber::Description>& devices) {
    const time_t now = time(nullptr);
    std::vector<QipDeviceRecord> known(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceDescriber::Description& d = devices[i];
        QipDeviceRecord& record = known[i];
        if (mStore && mStore->FindKnown(d.mDeviceId, d.mDeviceType, record)) {
            record.mFirstSeen = std::min(record.mFirstSeen, now);
        } else {
            record.mFirstSeen = now;
        }
        record.mLastSeen = now;
        if (mStore) mStore->Note(d.mDeviceId, d.mDeviceType, d.mDeviceIp, d.mPageOutcome == "ok" ? d.mSsid : "", now);
    }
    return known;
}

int QipDiscover::RunStoreCommand() {
    const std::string path = QipDeviceStore::DefaultPath();
    QipDeviceStore store(path, "qip-discover", !mOptions.mKnown);
    if (!store.WaitUntilLoaded()) return mOptions.mKnown ? cExitNone : cExitStoreFailed;
    std::vector<QipDeviceRecord> records = store.GetKnown();
    if (mOptions.mKnown) {
        const time_t now = time(nullptr);
        std::vector<QipDeviceRecord> wanted;
        for (const QipDeviceRecord& record : records) {
            if (mDescriber.IsWanted(record.mDeviceType)) wanted.push_back(record);
        }
        if (mOptions.mJson) {
            for (const QipDeviceRecord& record : wanted) {
                QipDiscoverFormat::Fields fields{{"DeviceType", record.mDeviceType},
                                                 {"DeviceId", record.mDeviceId},
                                                 {"SSID", record.mSsid},
                                                 {"DeviceIP", record.mAddresses.empty() ? "" : record.mAddresses.front()}};
                const QipDiscoverFormat::Fields more = StoreFields(record);
                fields.insert(fields.end(), more.begin(), more.end());
                fields.push_back({"last_opened", IsoSeconds(record.mLastOpened)});
                QipDiscoverOutput(QipDiscoverFormat::JsonObject(fields) + "\n");
            }
        } else {
            QipDiscoverOutput(QipDiscoverFormat::KnownTable(wanted, now));
        }
        if (!QipDiscoverFlushOutput()) return cExitWriteError;
        if (wanted.empty()) {
            fprintf(stderr, "qip-discover: no device is known%s\n", records.empty() ? " yet" : " of the types asked for");
            return cExitNone;
        }
        return cExitFound;
    }
    const std::string& id = mOptions.mLabel ? mOptions.mLabelId : mOptions.mForgetId;
    const bool isKnown = std::any_of(records.begin(), records.end(),
                                     [&id](const QipDeviceRecord& record) { return record.mDeviceId == id; });
    if (!isKnown) {
        fprintf(stderr, "qip-discover: no known device has the id '%s'; see qip-discover --known\n",
                QipDiscoverFormat::TerminalText(id).c_str());
        return cExitNone;
    }
    if (mOptions.mLabel) {
        std::string error;
        if (!store.SetLabel(id, mOptions.mLabelText, error)) {
            fprintf(stderr, "qip-discover: --label: %s\n", error.c_str());
            return cExitUsage;
        }
    } else {
        store.Forget(id);
    }
    return store.Flush() ? cExitFound : cExitStoreFailed;
}
