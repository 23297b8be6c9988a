#include "tools/exporter/QipExporterMetrics.h"

#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"
#include "tools/discover/QipDiscoverFormat.h"

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

const size_t QipExporterMetrics::cMaxLabelBytes;

namespace {

MetricFamily Family(const char* name, const char* help, MetricType type) {
    MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = type;
    return family;
}

ClientMetric Gauge(std::vector<ClientMetric::Label> labels, double value) {
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.gauge.value = value;
    return metric;
}

MetricFamily Counter(const char* name, const char* help, uint64_t value) {
    MetricFamily family = Family(name, help, MetricType::Counter);
    ClientMetric metric;
    metric.counter.value = static_cast<double>(value);
    family.metric.push_back(metric);
    return family;
}

}  // namespace

QipExporterMetrics::QipExporterMetrics(QipDeviceList* list, const QipClient* client,
                                       const DeviceDescriber* describer,
                                       const QipExporterPages* pages, bool readsPages,
                                       const std::vector<std::string>& wantedTypes,
                                       const std::string& version)
    : mList(list),
      mClient(client),
      mDescriber(describer),
      mPages(pages),
      mReadsPages(readsPages),
      mWantedTypes(wantedTypes),
      mVersion(version) {}

std::string QipExporterMetrics::LabelValue(const std::string& bytes) {
    std::string text = QipDiscoverFormat::ToValidUtf8(bytes);
    if (text.size() <= cMaxLabelBytes) return text;
    static const char cEllipsis[] = "\xE2\x80\xA6";
    size_t cut = cMaxLabelBytes - (sizeof cEllipsis - 1);
    // Back to the first byte of the character that would be split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text + cEllipsis;
}

std::vector<MetricFamily> QipExporterMetrics::Collect() const {
    Input input;
    input.mSnapshot = mList->Snapshot();
    if (mClient != nullptr) {
        input.mCounts = mClient->GetReceiveCounts();
        input.mProbes = mClient->HasProbeTargets();
        if (input.mProbes) input.mProbeProgress = mClient->GetProbeProgress();
    }
    input.mReadCounts = mPages->GetReadCounts();
    input.mLeftOut = mList->GetLeftOutCount();
    return Build(input);
}

std::vector<MetricFamily> QipExporterMetrics::Build(const Input& input) const {
    MetricFamily info = Family("qip_device_info",
                               "A device the discovery list holds now: its id, type, the address "
                               "its answers come from (one on a local network first) and the "
                               "SSID on its status page. Always 1.",
                               MetricType::Gauge);
    MetricFamily lastSeen = Family("qip_device_last_seen_timestamp_seconds",
                                   "When the device last answered from this address, in seconds "
                                   "since the epoch.",
                                   MetricType::Gauge);
    MetricFamily devices = Family("qip_devices", "Devices listed now, by device type.",
                                  MetricType::Gauge);
    std::map<std::string, size_t> byType;
    // A type asked for is always counted, so that "none of them left" is a 0, not a gap.
    for (const std::string& type : mWantedTypes) byType[LabelValue(type)] = 0;
    const std::vector<DeviceDescriber::Group> groups = mDescriber->GroupDevices(input.mSnapshot);
    for (const DeviceDescriber::Group& group : groups) {
        const QipDevice& first = input.mSnapshot[group.front()];
        QipExporterPages::Page page;
        if (mReadsPages && !mPages->Find(first.GetDeviceId(), first.GetLastSourceAddress(), page)) {
            continue;  // shown once its page was read, so that its SSID does not flicker
        }
        const std::string id = LabelValue(first.GetDeviceId());
        info.metric.push_back(Gauge({{"device_id", id},
                                     {"device_type", LabelValue(first.GetDeviceType())},
                                     {"address", LabelValue(first.GetLastSourceAddress())},
                                     {"ssid", LabelValue(page.mSsid)}},
                                    1));
        ++byType[LabelValue(first.GetDeviceType())];
        for (uint32_t position : group) {
            const QipDevice& record = input.mSnapshot[position];
            lastSeen.metric.push_back(
                Gauge({{"device_id", id}, {"address", LabelValue(record.GetLastSourceAddress())}},
                      static_cast<double>(record.GetLastResponseTime())));
        }
    }
    for (const auto& type : byType) {
        devices.metric.push_back(Gauge({{"device_type", type.first}},
                                       static_cast<double>(type.second)));
    }

    MetricFamily reads = Family("qip_status_page_reads_total",
                                "Status page reads since start, by how they ended.",
                                MetricType::Counter);
    for (const auto& outcome : input.mReadCounts) {
        ClientMetric metric;
        metric.label = {{"outcome", LabelValue(outcome.first)}};
        metric.counter.value = static_cast<double>(outcome.second);
        reads.metric.push_back(metric);
    }
    MetricFamily build = Family("qip_exporter_build_info",
                                "The version of qip-exporter. Always 1.", MetricType::Gauge);
    build.metric.push_back(Gauge({{"version", mVersion}}, 1));

    std::vector<MetricFamily> families;
    families.push_back(std::move(info));
    families.push_back(std::move(lastSeen));
    families.push_back(std::move(devices));
    families.push_back(Counter("qip_hellos_received_total",
                               "Hello datagrams received since start, of every device type.",
                               input.mCounts.mHellos));
    families.push_back(Counter("qip_malformed_datagrams_total",
                               "Datagrams received that were neither a readable hello nor a "
                               "readable whoisthere.",
                               input.mCounts.mMalformed));
    families.push_back(Counter("qip_kernel_drops_total",
                               "Datagrams the kernel dropped because the discovery socket's "
                               "receive buffer was full.",
                               input.mCounts.mKernelDrops));
    families.push_back(Counter("qip_devices_left_out_total",
                               "Hellos of new devices left out of the list since start: their "
                               "sender address answers for more than 256 devices, or the list "
                               "holds 4096.",
                               input.mLeftOut));
    if (input.mProbes) {
        families.push_back(Counter("qip_probe_sweeps_total",
                                   "Sweeps over the --probe targets begun since start, one "
                                   "each discovery cycle that is not still sweeping.",
                                   input.mProbeProgress.mSweeps));
        families.push_back(Counter("qip_probe_answers_total",
                                   "Hello datagrams heard from a probed address since start.",
                                   input.mProbeProgress.mAnswers));
    }
    families.push_back(std::move(reads));
    families.push_back(std::move(build));
    return families;
}
