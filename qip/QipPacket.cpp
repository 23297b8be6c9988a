#include "qip/QipPacket.h"

#include <stdio.h>
#include <string.h>

const std::string cQipTypeHello = "hello";
const std::string cQipTypeWhoIsThere = "whoisthere";

namespace {

void ReportMalformed(QipPacket::Reporter* reporter, const char* line) {
    if (reporter != nullptr) {
        reporter->OnMalformed(line);
    } else {
        fprintf(stderr, "%s\n", line);
    }
}

}  // namespace

QipPacket::QipPacket(const std::string& ipAddress, const std::string& netmask)
    : mIpAddress(ipAddress), mNetmask(netmask)
{
}

QipPacket::~QipPacket() {}

const std::string& QipPacket::GetIpAddress() const { return mIpAddress; }

const std::string& QipPacket::GetNetmask() const { return mNetmask; }

QipPacket* QipPacket::Create(const unsigned char* data, unsigned long count, Reporter* reporter)
{
    const std::vector<std::string> fields = SplitFields(data, count, reporter);
    if (fields.empty()) {
        return nullptr;
    }
    if (fields[0] == cQipTypeHello) {
        if (fields.size() < 7) {
            ReportMalformed(reporter, "Insufficient fields for creating 'hello' packet");
            return nullptr;
        }
        return new QipPacketHello(fields[1], fields[2], fields[3], fields[4], fields[5], fields[6]);
    }
    if (fields[0] == cQipTypeWhoIsThere) {
        if (fields.size() < 3) {
            ReportMalformed(reporter, "Insufficient fields for creating 'whoisthere' packet");
            return nullptr;
        }
        return new QipPacketWhoIsThere(fields[1], fields[2]);
    }
    return nullptr;
}

std::vector<std::string> QipPacket::SplitFields(const unsigned char* data, unsigned long count,
                                                Reporter* reporter)
{
    std::vector<std::string> fields;
    if (data == nullptr || count == 0) {
        return fields;
    }
    const unsigned char* fieldStart = data;
    const unsigned char* end = data + count;
    for (const unsigned char* at = data; at != end; ++at) {
        if (*at == 0) {
            fields.emplace_back(reinterpret_cast<const char*>(fieldStart), at - fieldStart);
            fieldStart = at + 1;
        }
    }
    if (fieldStart != end) {
        ReportMalformed(reporter, "QIP payload is not terminated with 0x00");
    }
    return fields;
}

unsigned long QipPacket::ConcatFields(unsigned char* buffer, unsigned long size,
                                      const std::vector<std::string>& fields)
{
    unsigned long total = 0;
    for (const std::string& field : fields) {
        total += field.size() + 1;
    }
    if (size < total || (buffer == nullptr && total > 0)) {
        fputs("Buffer too small for QIP fields\n", stderr);
        return 0;
    }
    unsigned char* at = buffer;
    for (const std::string& field : fields) {
        memcpy(at, field.data(), field.size());
        at += field.size();
        *at++ = 0;
    }
    return total;
}

QipPacketHello::QipPacketHello(const std::string& deviceType, const std::string& deviceId,
                               const std::string& ipAddress, const std::string& netmask,
                               const std::string& statusUrl, const std::string& packetId)
    : QipPacket(ipAddress, netmask),
      mDeviceType(deviceType),
      mDeviceId(deviceId),
      mStatusUrl(statusUrl),
      mPacketId(packetId)
{
}

std::string QipPacketHello::GetType() const { return cQipTypeHello; }

unsigned long QipPacketHello::Serialize(unsigned char* buffer, unsigned long size) const
{
    return ConcatFields(buffer, size,
                        {GetType(), mDeviceType, mDeviceId, mIpAddress, mNetmask, mStatusUrl, mPacketId});
}

const std::string& QipPacketHello::GetDeviceType() const { return mDeviceType; }

const std::string& QipPacketHello::GetDeviceId() const { return mDeviceId; }

const std::string& QipPacketHello::GetStatusUrl() const { return mStatusUrl; }

const std::string& QipPacketHello::GetPacketId() const { return mPacketId; }

QipPacketWhoIsThere::QipPacketWhoIsThere(const std::string& ipAddress, const std::string& netmask)
    : QipPacket(ipAddress, netmask)
{
}

std::string QipPacketWhoIsThere::GetType() const { return cQipTypeWhoIsThere; }

unsigned long QipPacketWhoIsThere::Serialize(unsigned char* buffer, unsigned long size) const
{
    return ConcatFields(buffer, size, {GetType(), mIpAddress, mNetmask});
}
