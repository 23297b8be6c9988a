// qip-discover --watch: one line per change of the device list.
#include "tools/discover/QipDiscover.h"

#include <stdio.h>
#include <time.h>

#include "tools/discover/QipDiscoverFormat.h"
#include "tools/discover/QipDiscoverOutput.h"
#include "tools/discover/QipDiscoverWaker.h"

int QipDiscover::Watch() {
    std::vector<QipDeviceChanges::Entry> shown;
    std::vector<DeviceDescriber::Description> shownDevices;
    mList->SetChangeHandler(&mChangeNotifier);
    // Entries heard before the handler was set are printed now; later ones on their change.
    if (!PrintChanges(shown, shownDevices)) return cExitWriteError;
    for (;;) {
        int what = mWaker->Wait(-1);
        if (what & Waker::cSignal) break;
        if ((what & Waker::cChange) && !PrintChanges(shown, shownDevices)) return cExitWriteError;
    }
    mList->SetChangeHandler(nullptr);
    return cExitFound;
}

bool QipDiscover::PrintChanges(std::vector<QipDeviceChanges::Entry>& shown,
                               std::vector<DeviceDescriber::Description>& shownDevices) {
    std::vector<QipDevice> wanted;
    for (const QipDevice& device : mList->Snapshot()) {
        if (mDescriber.IsWanted(device.GetDeviceType())) wanted.push_back(device);
    }
    std::vector<QipDeviceChanges::Entry> entries = QipDeviceChanges::FromSnapshot(wanted);
    std::vector<QipDeviceChanges::Change> changes = QipDeviceChanges::Compare(shown, entries);
    if (changes.empty()) return true;

    // Each appeared or changed entry is described on its own (a group of one), as it is
    // keyed by id and address here; its page is read again.
    std::vector<DeviceDescriber::Group> fresh;
    for (const QipDeviceChanges::Change& c : changes) {
        if (c.mKind != QipDeviceChanges::cGone) {
            fresh.push_back(DeviceDescriber::Group(1, static_cast<uint32_t>(c.mPosition)));
        }
    }
    if (!mOptions.mNoSsid) FetchStatusPages(wanted, fresh);
    std::vector<DeviceDescriber::Description> freshDevices =
        mDescriber.BuildDescriptions(wanted, fresh, !mOptions.mNoSsid);

    // The entries now listed: unchanged ones keep what was read when they appeared.
    std::vector<DeviceDescriber::Description> devices(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        for (size_t k = 0; k < shown.size(); ++k) {
            if (shown[k].mDeviceId == entries[i].mDeviceId &&
                shown[k].mSourceAddress == entries[i].mSourceAddress) {
                devices[i] = shownDevices[k];
            }
        }
    }
    // The time the changes were seen, once for the batch; only JSON lines carry it.
    std::string now;
    if (mOptions.mJson) {
        timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        struct tm local;
        if (localtime_r(&wall.tv_sec, &local) != nullptr) {
            now = QipDiscoverFormat::IsoTime(local, static_cast<int>(wall.tv_nsec / 1000000));
        }
    }
    size_t nextFresh = 0;
    for (const QipDeviceChanges::Change& c : changes) {
        DeviceDescriber::Description d;
        if (c.mKind == QipDeviceChanges::cGone) {
            d = shownDevices[c.mPosition];
        } else if (nextFresh < freshDevices.size()) {
            d = freshDevices[nextFresh++];
            devices[c.mPosition] = d;
        }
        const QipDeviceChanges::Entry& e = c.mEntry;
        const char* kind = QipDeviceChanges::KindName(c.mKind);
        if (mOptions.mJson) {
            QipDiscoverFormat::Fields after{{"PacketId", e.mPacketId}, {"Time", now}};
            if (c.mKind != QipDeviceChanges::cGone) {
                const QipDiscoverFormat::Fields known = StoreFields(Remember({d}).front());
                after.insert(after.end(), known.begin(), known.end());
            }
            QipDiscoverOutput(QipDiscoverFormat::DeviceJson(d, {{"event", kind}}, after) + "\n");
        } else {
            char kindColumn[16];
            snprintf(kindColumn, sizeof kindColumn, "%-8s", kind);
            const std::string notes = QipDiscoverFormat::Notes(d);
            const std::string label = c.mKind == QipDeviceChanges::cGone ? std::string() : Remember({d}).front().mLabel;
            QipDiscoverOutput(std::string(kindColumn) + " " + QipDiscoverFormat::TerminalText(e.mDeviceId) + " " +
                   QipDiscoverFormat::TerminalText(e.mDeviceType) + " " +
                   QipDiscoverFormat::TerminalText(e.mSourceAddress) + " SSID:\"" +
                   QipDiscoverFormat::TerminalText(d.mSsid) + "\"" +
                   (label.empty() ? std::string() : " LABEL:\"" + QipDiscoverFormat::TerminalText(label) + "\"") +
                   (notes.empty() ? std::string() : "  (" + notes + ")") + "\n");
        }
    }
    shown = entries;
    shownDevices = devices;
    return QipDiscoverFlushOutput();
}

