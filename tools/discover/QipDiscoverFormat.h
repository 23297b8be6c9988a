#pragma once

#include <time.h>

#include <string>
#include <utility>
#include <vector>

#include "describe/DeviceDescriber.h"
#include "store/QipDeviceRecord.h"

// How qip-discover writes what devices sent: as JSON and as a terminal table. Device texts
// are arbitrary bytes; everything here is pure and makes them safe for its output.
class QipDiscoverFormat {
public:
    typedef std::vector<std::pair<std::string, std::string>> Fields;

    // Well-formed UTF-8: every byte that does not start a well-formed sequence (stray
    // continuation bytes, overlong forms, surrogates, values past U+10FFFF, cut-off
    // sequences) becomes U+FFFD; everything else is kept.
    static std::string ToValidUtf8(const std::string& bytes);
    // A JSON string literal, quotes included, of ToValidUtf8(bytes); control characters
    // (C0, DEL, C1), '"' and '\\' escaped, so the line is also safe on a terminal.
    static std::string JsonString(const std::string& bytes);
    // {"key":"value",...} in the given order.
    static std::string JsonObject(const Fields& fields);
    // The five device dictionary keys in dictionary order.
    static Fields DeviceFields(const DeviceDescriber::Description& device);
    // One device as a JSON object: `before`, the five keys, "Reachable" (true or false),
    // "Note" (only when the hello disagrees with the network), "Page" (how reading the
    // status page ended), then `after`.
    static std::string DeviceJson(const DeviceDescriber::Description& device,
                                  const Fields& before = Fields(), const Fields& after = Fields());
    // What a user should know about a row, "; "-joined, in terminal-safe text: that the
    // device is on none of this machine's networks, what its hello says instead, and how
    // reading its page failed (nothing for "ok" or "skipped"); empty when all is well.
    static std::string Notes(const DeviceDescriber::Description& device);
    // ToValidUtf8 with control characters (C0, DEL, C1) shown as '?', so a device cannot
    // move the cursor or recolour the terminal.
    static std::string TerminalText(const std::string& bytes);
    // ISO 8601 local time with milliseconds and the offset from UTC, from broken-down local
    // time (as localtime_r gives it, tm_gmtoff included): "2026-12-08T01:02:03.045+01:00".
    static std::string IsoTime(const struct tm& local, int milliseconds);
    // The table "ID TYPE ADDRESS SSID", one row per device in the given order, columns
    // padded to their widest cell, a LABEL column when any of `labels` (one per device, or
    // none) is set, and a NOTES column when any row has notes; empty for no device.
    static std::string Table(const std::vector<DeviceDescriber::Description>& devices,
                             const std::vector<std::string>& labels = std::vector<std::string>());
    // The known devices as "ID TYPE ADDRESS SSID LAST SEEN", with a LABEL column when any has
    // one; the age against `now` ("3 days ago"). Empty for no record.
    static std::string KnownTable(const std::vector<QipDeviceRecord>& records, time_t now);

private:
    // Rows padded to their widest cell, the first row the heading.
    static std::string Columns(const std::vector<std::vector<std::string>>& rows);
};
