#include "qip/QipPacket.h"

#include <stdio.h>
#include <string.h>

#include "ksp/KspClock.h"
#include "ksp/KspThreadMutex.h"
#include "qip/QipReportLimiter.h"

const std::string cQipTypeHello = "hello";
const std::string cQipTypeWhoIsThere = "whoisthere";

namespace {

// One host sending malformed datagrams must neither fill a log nor stall the receive thread
// on a slow standard error: each kind is written at most once a minute, with the number left
// out since (the client counts every one of them for its diagnosis).
const long long cMalformedReportPeriodMs = 60000;

enum MalformedKind { cUnterminated, cFewHelloFields, cFewWhoIsThereFields, cMalformedKinds };

void ReportMalformed(MalformedKind kind, const char* line) {
    // Function-local, so that a parse during another file's static start-up finds them made.
    static KspThreadMutex sLock;  // guards sLimiters
    static QipReportLimiter sLimiters[cMalformedKinds] = {
        QipReportLimiter(cMalformedReportPeriodMs), QipReportLimiter(cMalformedReportPeriodMs),
        QipReportLimiter(cMalformedReportPeriodMs)};
    uint64_t leftOut = 0;
    {
        KspThreadMutex::Guard guard(sLock);
        if (!sLimiters[kind].Allow(KspMonotonicMs(), &leftOut)) return;
    }
    QipReportLimiter::Write(line, leftOut);
}

}  // namespace

QipPacket::QipPacket(const std::string& ipAddress, const std::string& netmask)
    : mIpAddress(ipAddress), mNetmask(netmask)
{
}

QipPacket::~QipPacket() {}

const std::string& QipPacket::GetIpAddress() const { return mIpAddress; }

const std::string& QipPacket::GetNetmask() const { return mNetmask; }

QipPacket* QipPacket::Create(const unsigned char* data, unsigned long count)
{
    const std::vector<std::string> fields = SplitFields(data, count);
    if (fields.empty()) {
        return nullptr;
    }
    if (fields[0] == cQipTypeHello) {
        if (fields.size() < 7) {
            ReportMalformed(cFewHelloFields, "Insufficient fields for creating 'hello' packet\n");
            return nullptr;
        }
        return new QipPacketHello(fields[1], fields[2], fields[3], fields[4], fields[5], fields[6]);
    }
    if (fields[0] == cQipTypeWhoIsThere) {
        if (fields.size() < 3) {
            ReportMalformed(cFewWhoIsThereFields, "Insufficient fields for creating 'whoisthere' packet\n");
            return nullptr;
        }
        return new QipPacketWhoIsThere(fields[1], fields[2]);
    }
    return nullptr;
}

std::vector<std::string> QipPacket::SplitFields(const unsigned char* data, unsigned long count)
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
        ReportMalformed(cUnterminated, "QIP payload is not terminated with 0x00\n");
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
