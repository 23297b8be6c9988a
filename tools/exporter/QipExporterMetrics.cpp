#include "tools/exporter/QipExporterMetrics.h"

#include <stdio.h>
#include <string.h>

#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"

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

// The length of the valid UTF-8 character at `at`, 0 when the byte there starts none
// (overlong forms, surrogates and code points above U+10FFFF are invalid).
size_t Utf8Length(const std::string& bytes, size_t at) {
    const unsigned char first = static_cast<unsigned char>(bytes[at]);
    if (first < 0x80) return 1;
    size_t length;
    uint32_t code;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2, code = first & 0x1F;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3, code = first & 0x0F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4, code = first & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(bytes[at + k]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
        return 0;
    }
    return length;
}

uint64_t Fnv1a(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ULL;
    return hash;
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
    // Each piece of the escaped text: a valid UTF-8 character as it is, a backslash doubled,
    // any other byte as \xHH, so that distinct texts stay distinct labels.
    std::vector<std::string> pieces;
    size_t escapedSize = 0;
    for (size_t i = 0; i < bytes.size();) {
        const size_t length = Utf8Length(bytes, i);
        if (length == 0) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(bytes[i]));
            pieces.emplace_back(escaped);
            ++i;
        } else {
            pieces.emplace_back(bytes[i] == '\\' ? std::string("\\\\") : bytes.substr(i, length));
            i += length;
        }
        escapedSize += pieces.back().size();
        // Pieces beyond the bound are never shown; the hash covers them.
        if (escapedSize > cMaxLabelBytes) break;
    }
    std::string text;
    if (escapedSize <= cMaxLabelBytes) {
        for (const std::string& piece : pieces) text += piece;
        return text;
    }
    // Cut: "…" and a hash of the whole value, so that values equal up to the cut differ.
    char suffix[32];
    snprintf(suffix, sizeof suffix, "\xE2\x80\xA6%012llx",
             static_cast<unsigned long long>(Fnv1a(bytes) & 0xFFFFFFFFFFFFULL));
    const size_t room = cMaxLabelBytes - strlen(suffix);
    for (const std::string& piece : pieces) {
        if (text.size() + piece.size() > room) break;
        text += piece;
    }
    return text + suffix;
}

std::vector<MetricFamily> QipExporterMetrics::Collect() const {
    Input input;
    input.mSnapshot = mList->Snapshot();
    if (mClient != nullptr) {
        input.mCounts = mClient->GetReceiveCounts();
        input.mProbes = mClient->HasProbeTargets();
        if (input.mProbes) input.mProbeProgress = mClient->GetProbeProgress();
        input.mIsPortOwner = mClient->GetRole() != QipClient::cRoleSubscriber;
        input.mHandovers = mClient->GetHandoverCount();
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
    MetricFamily owner = Family("qip_port_owner",
                                "1 when this exporter holds UDP port 19375 itself, 0 when it "
                                "hears the devices through the program that owns it.",
                                MetricType::Gauge);
    owner.metric.push_back(Gauge({}, input.mIsPortOwner ? 1 : 0));
    families.push_back(std::move(owner));
    families.push_back(Counter("qip_port_handovers_total",
                               "Times this exporter took UDP port 19375 over from an owner "
                               "that ended.",
                               input.mHandovers));
    families.push_back(Counter("qip_devices_left_out_total",
                               "Hellos of new devices left out of the list since start: their "
                               "sender address answers for more than 256 devices, or the list "
                               "holds 4096.",
                               input.mLeftOut));
    if (input.mProbes) {
        families.push_back(Counter("qip_probe_sweeps_started_total",
                                   "Sweeps over the --probe targets begun since start, one "
                                   "each discovery cycle that is not still sweeping.",
                                   input.mProbeProgress.mSweepsStarted));
        families.push_back(Counter("qip_probe_sweeps_completed_total",
                                   "Sweeps over the --probe targets that sent their last probe "
                                   "since start.",
                                   input.mProbeProgress.mSweeps));
        families.push_back(Counter("qip_probe_answers_total",
                                   "Hello datagrams heard from a probed address since start.",
                                   input.mProbeProgress.mAnswers));
    }
    families.push_back(std::move(reads));
    families.push_back(std::move(build));
    return families;
}
