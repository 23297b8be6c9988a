// What qip-discover prints: any bytes in the five device fields. Every --json line parses
// as JSON and gives back each field after UTF-8 replacement (checked against a decoder of
// its own here, byte by byte), and no table row holds a control character.
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "tools/discover/QipDiscoverFormat.h"

namespace {

// The length of the well-formed UTF-8 sequence at `at` (Unicode table 3-7), 0 for none.
size_t SequenceAt(const std::string& s, size_t at) {
    const auto byte = [&](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    const unsigned b0 = byte(at);
    const auto in = [](unsigned b, unsigned low, unsigned high) { return b >= low && b <= high; };
    if (b0 < 0x80) return at < s.size() ? 1 : 0;
    unsigned low = 0x80, high = 0xBF;
    size_t length = 0;
    if (in(b0, 0xC2, 0xDF)) length = 2;
    else if (b0 == 0xE0) { length = 3; low = 0xA0; }
    else if (b0 == 0xED) { length = 3; high = 0x9F; }
    else if (in(b0, 0xE1, 0xEF)) length = 3;
    else if (b0 == 0xF0) { length = 4; low = 0x90; }
    else if (b0 == 0xF4) { length = 4; high = 0x8F; }
    else if (in(b0, 0xF1, 0xF3)) length = 4;
    else return 0;
    if (!in(byte(at + 1), low, high)) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (!in(byte(at + i), 0x80, 0xBF)) return 0;
    }
    return length;
}

std::string Replaced(const std::string& bytes) {
    std::string out;
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = SequenceAt(bytes, at);
        out += length == 0 ? std::string("\xEF\xBF\xBD") : bytes.substr(at, length);
        at += length == 0 ? 1 : length;
    }
    return out;
}

// No C0 control but the line end, no DEL, no C1 (U+0080 to U+009F, C2 80 to C2 9F).
bool IsTerminalSafe(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == 0xC2 && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) <= 0x9F &&
            static_cast<unsigned char>(line[i + 1]) >= 0x80)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    FuzzInput input(data, size);
    std::vector<DeviceDescriber::Description> devices;
    while (!input.IsEmpty() && devices.size() < 4) {
        DeviceDescriber::Description d;
        d.mDeviceType = input.Text(64);
        d.mDeviceId = input.Text(64);
        d.mSsid = input.Text(64);
        d.mDeviceIp = input.Text(32);
        d.mDisplayString = DeviceDescriber::MakeDisplayString(d.mDeviceId, d.mDeviceType, d.mSsid);
        devices.push_back(d);
    }
    for (const DeviceDescriber::Description& device : devices) {
        const QipDiscoverFormat::Fields fields = QipDiscoverFormat::DeviceFields(device);
        const std::string line = QipDiscoverFormat::JsonObject(fields);
        FUZZ_CHECK(line.find('\n') == std::string::npos && IsTerminalSafe(line));
        const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
        FUZZ_CHECK(!parsed.is_discarded() && parsed.is_object() && parsed.size() == 5);
        const std::vector<std::pair<const char*, const std::string*>> expected = {
            {"DeviceType", &device.mDeviceType}, {"DeviceId", &device.mDeviceId},
            {"SSID", &device.mSsid},             {"DeviceIP", &device.mDeviceIp},
            {"DisplayString", &device.mDisplayString}};
        for (const auto& field : expected) {
            FUZZ_CHECK(parsed.contains(field.first) && parsed[field.first].is_string());
            FUZZ_CHECK(parsed[field.first].get<std::string>() == Replaced(*field.second));
        }
        FUZZ_CHECK(QipDiscoverFormat::ToValidUtf8(device.mSsid) == Replaced(device.mSsid));
    }
    const std::string table = QipDiscoverFormat::Table(devices);
    FUZZ_CHECK(devices.empty() ? table.empty() : !table.empty() && table.back() == '\n');
    size_t rows = 0;
    for (size_t at = 0; at < table.size(); ++rows) {
        const size_t end = table.find('\n', at);
        FUZZ_CHECK(IsTerminalSafe(table.substr(at, end - at)));
        at = end + 1;
    }
    FUZZ_CHECK(rows == (devices.empty() ? 0 : devices.size() + 1));
    return 0;
}
