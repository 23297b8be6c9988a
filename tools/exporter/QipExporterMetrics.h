#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include "describe/DeviceDescriber.h"
#include "qip/QipClient.h"
#include "qip/QipDevice.h"
#include "qip/QipReceiveCounts.h"
#include "tools/exporter/QipExporterPages.h"

class QipClient;
class QipDeviceList;

// The exporter's metrics, made afresh on every scrape from a snapshot of the device list,
// the pages read so far and the client's receive counts; the HTTP server's threads call
// Collect, several at once. A scrape never reads a page or waits on the network: it costs
// one snapshot and a pass over it. The families and their labels are listed in the manual
// page. Series are bounded by the list's cap: at most one info series per device id, one
// last-seen series per record, one count per device type of a listed device.
class QipExporterMetrics : public prometheus::Collectable {
public:
    // Label values from devices are cut to at most this many bytes.
    static const size_t cMaxLabelBytes = 128;

    // What one scrape shows.
    struct Input {
        std::vector<QipDevice> mSnapshot;
        QipReceiveCounts::Counts mCounts;
        std::map<std::string, uint64_t> mReadCounts;  // page reads by outcome
        // With probe targets: the probe counters are exported (without, they are left out).
        bool mProbes = false;
        bool mIsPortOwner = false;  // this exporter owns the discovery port
        uint64_t mHandovers = 0;    // times it took the port over from an ended owner
        QipClient::ProbeProgress mProbeProgress;
        uint64_t mLeftOut = 0;  // hellos of new devices the list left out
    };

    // None of the pointers is owned; each must outlive the object. `client` may be null (no
    // receive counts). With `readsPages` false a device is shown at once with an empty SSID;
    // otherwise once its page was read or given up. Each of `wantedTypes` (the types asked
    // for; empty for all) is counted even when no device of it is listed.
    QipExporterMetrics(QipDeviceList* list, const QipClient* client,
                       const DeviceDescriber* describer, const QipExporterPages* pages,
                       bool readsPages, const std::vector<std::string>& wantedTypes,
                       const std::string& version);

    std::vector<prometheus::MetricFamily> Collect() const override;

    // Pure: the families for `input`.
    std::vector<prometheus::MetricFamily> Build(const Input& input) const;

    // A device text as a label value, distinct for distinct texts: a byte that is not part
    // of valid UTF-8 becomes the text \xHH and a backslash is doubled; a result longer than
    // cMaxLabelBytes is cut between characters and ends with "…" and 12 hex digits of a
    // hash of the whole text, within that length. The exposition format's escaping is the
    // serializer's.
    static std::string LabelValue(const std::string& bytes);

private:
    QipDeviceList* mList;
    const QipClient* mClient;
    const DeviceDescriber* mDescriber;
    const QipExporterPages* mPages;
    bool mReadsPages;
    std::vector<std::string> mWantedTypes;
    std::string mVersion;
};
