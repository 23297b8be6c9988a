#include "tools/discover/QipDiscoverFormat.h"

#include <stdio.h>

#include <algorithm>

namespace {

const char* const cReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at `bytes[i]`, or 0 when there is none.
size_t SequenceLength(const std::string& bytes, size_t i) {
    const unsigned char b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) low = 0xA0;   // overlong
        if (b0 == 0xED) high = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) low = 0x90;   // overlong
        if (b0 == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (i + length > bytes.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char b = static_cast<unsigned char>(bytes[i + k]);
        if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// Whether valid UTF-8 `text` holds a C1 control (U+0080..U+009F) at `i`.
bool IsC1Control(const std::string& text, size_t i) {
    return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) < 0xA0;
}

// Terminal columns taken by valid UTF-8 text: one per code point (wide scripts aside).
size_t Width(const std::string& text) {
    size_t width = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++width;
    }
    return width;
}

}  // namespace

std::string QipDiscoverFormat::ToValidUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        size_t length = SequenceLength(bytes, i);
        if (length == 0) {
            out += cReplacement;
            ++i;
        } else {
            out.append(bytes, i, length);
            i += length;
        }
    }
    return out;
}

std::string QipDiscoverFormat::JsonString(const std::string& bytes) {
    const std::string text = ToValidUtf8(bytes);
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // C1 controls act as escapes on some terminals, and --json output often lands on one.
        if (IsC1Control(text, i)) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(text[++i]));
            out += escaped;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string QipDiscoverFormat::JsonObject(const Fields& fields) {
    std::string out = "{";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ",";
        out += JsonString(fields[i].first) + ":" + JsonString(fields[i].second);
    }
    return out + "}";
}

QipDiscoverFormat::Fields QipDiscoverFormat::DeviceFields(
    const DeviceDescriber::Description& device) {
    return Fields{{"DeviceType", device.mDeviceType},
                  {"DeviceId", device.mDeviceId},
                  {"SSID", device.mSsid},
                  {"DeviceIP", device.mDeviceIp},
                  {"DisplayString", device.mDisplayString}};
}

std::string QipDiscoverFormat::DeviceJson(const DeviceDescriber::Description& device,
                                          const Fields& before, const Fields& after) {
    std::string out = "{";
    const auto add = [&out](const std::string& key, const std::string& jsonValue) {
        if (out.size() > 1) out += ",";
        out += JsonString(key) + ":" + jsonValue;
    };
    for (const auto& field : before) add(field.first, JsonString(field.second));
    for (const auto& field : DeviceFields(device)) add(field.first, JsonString(field.second));
    add("Reachable", device.mIsReachable ? "true" : "false");
    if (!device.mHelloNote.empty()) add("Note", JsonString(device.mHelloNote));
    add("Page", JsonString(device.mPageOutcome));
    for (const auto& field : after) add(field.first, JsonString(field.second));
    return out + "}";
}

std::string QipDiscoverFormat::Notes(const DeviceDescriber::Description& device) {
    std::vector<std::string> notes;
    if (!device.mIsReachable) notes.push_back("other subnet: its page may not open");
    if (!device.mHelloNote.empty()) notes.push_back(device.mHelloNote);
    if (!device.mPageOutcome.empty() && device.mPageOutcome != "ok" && device.mPageOutcome != "skipped") {
        notes.push_back("page: " + device.mPageOutcome);
    }
    std::string text;
    for (const std::string& note : notes) text += (text.empty() ? "" : "; ") + note;
    return TerminalText(text);
}

std::string QipDiscoverFormat::TerminalText(const std::string& bytes) {
    const std::string text = ToValidUtf8(bytes);
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else if (IsC1Control(text, i)) {
            out += '?';  // C1 controls U+0080..U+009F (an escape on some terminals)
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string QipDiscoverFormat::Table(const std::vector<DeviceDescriber::Description>& devices,
                                     const std::vector<std::string>& labels) {
    if (devices.empty()) return std::string();
    std::vector<std::vector<std::string>> rows;
    bool hasNotes = false;
    for (const DeviceDescriber::Description& d : devices) hasNotes = hasNotes || !Notes(d).empty();
    const bool hasLabels = std::any_of(labels.begin(), labels.end(), [](const std::string& l) { return !l.empty(); });
    rows.push_back({"ID", "TYPE", "ADDRESS", "SSID"});
    if (hasLabels) rows.back().push_back("LABEL");
    if (hasNotes) rows.back().push_back("NOTES");
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceDescriber::Description& d = devices[i];
        rows.push_back({TerminalText(d.mDeviceId), TerminalText(d.mDeviceType),
                        TerminalText(d.mDeviceIp), TerminalText(d.mSsid)});
        if (hasLabels) rows.back().push_back(i < labels.size() ? TerminalText(labels[i]) : std::string());
        if (hasNotes) rows.back().push_back(Notes(d));
    }
    return Columns(rows);
}

std::string QipDiscoverFormat::KnownTable(const std::vector<QipDeviceRecord>& records, time_t now) {
    if (records.empty()) return std::string();
    const bool hasLabels = std::any_of(records.begin(), records.end(),
                                       [](const QipDeviceRecord& r) { return !r.mLabel.empty(); });
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"ID", "TYPE", "ADDRESS", "SSID", "LAST SEEN"});
    if (hasLabels) rows.back().push_back("LABEL");
    for (const QipDeviceRecord& r : records) {
        rows.push_back({TerminalText(r.mDeviceId), TerminalText(r.mDeviceType),
                        TerminalText(r.mAddresses.empty() ? std::string() : r.mAddresses.front()),
                        TerminalText(r.mSsid), QipDeviceMerge::DescribeAge(r.mLastSeen, now)});
        if (hasLabels) rows.back().push_back(TerminalText(r.mLabel));
    }
    return Columns(rows);
}

std::string QipDiscoverFormat::Columns(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const std::vector<std::string>& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
    }
    std::string out;
    for (const std::vector<std::string>& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - Width(row[c]) + 2, ' ');
        }
        if (row.back().empty()) line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

std::string QipDiscoverFormat::IsoTime(const struct tm& local, int milliseconds) {
    char date[32];
    if (strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local) == 0) return std::string();
    // POSIX's %z (+hhmm) rather than tm_gmtoff, which is BSD's; ISO 8601 wants +hh:mm.
    char zone[16];
    std::string offset = strftime(zone, sizeof zone, "%z", &local) == 5 ? zone : "+0000";
    offset.insert(3, ":");
    char fraction[8];
    snprintf(fraction, sizeof fraction, ".%03d", milliseconds);
    return std::string(date) + fraction + offset;
}
