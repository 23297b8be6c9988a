#include "qip/QipShareWire.h"

#include <string.h>

#include <algorithm>

const uint8_t QipShareWire::cVersion;
const size_t QipShareWire::cMaxBody;
const size_t QipShareWire::cMaxInterfaceName;
const size_t QipShareWire::cMaxDatagram;
const size_t QipShareWire::cMaxProbeText;

namespace {

const char cMagic[4] = {'Q', 'I', 'P', 'S'};

void Frame(std::string& out, const std::string& body) {
    out.push_back(static_cast<char>((body.size() >> 8) & 0xff));
    out.push_back(static_cast<char>(body.size() & 0xff));
    out += body;
}

void PutU32(std::string& body, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        body.push_back(static_cast<char>((value >> shift) & 0xff));
    }
}

uint32_t GetU32(const unsigned char* data) {
    return (static_cast<uint32_t>(data[0]) << 24) | (static_cast<uint32_t>(data[1]) << 16) |
           (static_cast<uint32_t>(data[2]) << 8) | static_cast<uint32_t>(data[3]);
}

bool IsPrintable(const unsigned char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < 0x21 || text[i] > 0x7e) return false;
    }
    return true;
}

}  // namespace

void QipShareWire::EncodeWelcome(std::string& out, Status status) {
    std::string body(1, static_cast<char>(cWelcome));
    body.append(cMagic, sizeof cMagic);
    body.push_back(static_cast<char>(cVersion));
    body.push_back(static_cast<char>(status));
    Frame(out, body);
}

void QipShareWire::EncodeHello(std::string& out, uint32_t sender, uint32_t ageMs,
                               const std::string& interface, const unsigned char* datagram,
                               size_t length) {
    const std::string name = interface.substr(0, cMaxInterfaceName);
    std::string body(1, static_cast<char>(cHello));
    PutU32(body, sender);
    PutU32(body, ageMs);
    body.push_back(static_cast<char>(name.size()));
    body += name;
    body.append(reinterpret_cast<const char*>(datagram), std::min(length, cMaxDatagram));
    Frame(out, body);
}

void QipShareWire::EncodeSnapshotEnd(std::string& out) {
    Frame(out, std::string(1, static_cast<char>(cSnapshotEnd)));
}

void QipShareWire::EncodeKeepAlive(std::string& out) {
    Frame(out, std::string(1, static_cast<char>(cKeepAlive)));
}

void QipShareWire::EncodeBroadcastNow(std::string& out) {
    Frame(out, std::string(1, static_cast<char>(cBroadcastNow)));
}

void QipShareWire::EncodeProbe(std::string& out, const std::string& text) {
    Frame(out, std::string(1, static_cast<char>(cProbe)) + text.substr(0, cMaxProbeText));
}

bool QipShareWire::DecodeBody(const unsigned char* body, size_t length, Message& message,
                              std::string& error) {
    if (length == 0 || length > cMaxBody) {
        error = "frame of " + std::to_string(length) + " bytes";
        return false;
    }
    message = Message();
    const unsigned char* data = body + 1;
    const size_t size = length - 1;
    switch (body[0]) {
    case cWelcome:
        if (size != sizeof cMagic + 2 || memcmp(data, cMagic, sizeof cMagic) != 0) {
            error = "not a welcome of this protocol";
            return false;
        }
        message.mType = cWelcome;
        message.mVersion = data[4];
        if (data[5] != cAccepted && data[5] != cFull && data[5] != cListenOnly) {
            error = "unknown welcome status " + std::to_string(data[5]);
            return false;
        }
        message.mStatus = static_cast<Status>(data[5]);
        return true;
    case cHello: {
        if (size < 9) {
            error = "hello frame too short";
            return false;
        }
        const size_t nameLength = data[8];
        if (nameLength > cMaxInterfaceName || size < 9 + nameLength + 1 ||
            size - 9 - nameLength > cMaxDatagram || !IsPrintable(data + 9, nameLength)) {
            error = "hello frame with a bad interface name or datagram length";
            return false;
        }
        message.mType = cHello;
        message.mSender = GetU32(data);
        message.mAgeMs = GetU32(data + 4);
        message.mInterface.assign(reinterpret_cast<const char*>(data + 9), nameLength);
        message.mDatagram.assign(data + 9 + nameLength, data + size);
        return true;
    }
    case cSnapshotEnd:
    case cKeepAlive:
    case cBroadcastNow:
        if (size != 0) {
            error = "unexpected payload";
            return false;
        }
        message.mType = static_cast<Type>(body[0]);
        return true;
    case cProbe:
        if (size == 0 || size > cMaxProbeText || !IsPrintable(data, size)) {
            error = "bad probe target text";
            return false;
        }
        message.mType = cProbe;
        message.mText.assign(reinterpret_cast<const char*>(data), size);
        return true;
    default:
        error = "unknown message type " + std::to_string(body[0]);
        return false;
    }
}
