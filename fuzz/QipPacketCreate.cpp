// Datagrams from anyone on the network: QipPacket::Create on any bytes. A packet it returns
// is made of the datagram's first fields, so its wire form is exactly those bytes, and parsed
// again it gives the same type and fields.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "qip/QipPacket.h"

namespace {

std::vector<std::string> FieldsOf(const QipPacket& packet) {
    std::vector<std::string> fields = {packet.GetType(), packet.GetIpAddress(), packet.GetNetmask()};
    const QipPacketHello* hello = dynamic_cast<const QipPacketHello*>(&packet);
    if (hello != nullptr) {
        fields = {packet.GetType(),        hello->GetDeviceType(), hello->GetDeviceId(),
                  packet.GetIpAddress(),   packet.GetNetmask(),    hello->GetStatusUrl(),
                  hello->GetPacketId()};
    }
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    // Every field the splitter returns was ended by a zero byte of the input, in order.
    const std::vector<std::string> split = QipPacket::SplitFields(data, size);
    std::vector<unsigned char> joined(size + 1);
    const unsigned long joinedSize = QipPacket::ConcatFields(joined.data(), joined.size(), split);
    FUZZ_CHECK(joinedSize <= size);
    FUZZ_CHECK(split.empty() || joinedSize > 0);
    FUZZ_CHECK(std::equal(joined.begin(), joined.begin() + joinedSize, data));
    // What follows the last field is an unterminated tail, which holds no zero byte.
    FUZZ_CHECK(std::find(data + joinedSize, data + size, 0) == data + size);

    std::unique_ptr<QipPacket> packet(QipPacket::Create(data, size));
    if (!packet) return 0;
    const std::vector<std::string> fields = FieldsOf(*packet);
    FUZZ_CHECK(fields[0] == cQipTypeHello || fields[0] == cQipTypeWhoIsThere);
    FUZZ_CHECK(split.size() >= fields.size());
    FUZZ_CHECK(std::equal(fields.begin(), fields.end(), split.begin()));

    std::vector<unsigned char> wire(size + 1);
    const unsigned long wireSize = packet->Serialize(wire.data(), wire.size());
    FUZZ_CHECK(wireSize > 0 && wireSize <= size);
    FUZZ_CHECK(std::equal(wire.begin(), wire.begin() + wireSize, data));
    // One byte too few leaves the buffer untouched.
    std::vector<unsigned char> tight(wireSize - 1, 0xA5);
    FUZZ_CHECK(packet->Serialize(tight.data(), tight.size()) == 0);
    FUZZ_CHECK(std::count(tight.begin(), tight.end(), 0xA5) == static_cast<long>(tight.size()));

    std::unique_ptr<QipPacket> again(QipPacket::Create(wire.data(), wireSize));
    FUZZ_CHECK(again && FieldsOf(*again) == fields);
    return 0;
}
