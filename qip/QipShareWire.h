#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The local wire format between the program that owns the discovery port of a network
// namespace and the programs that subscribe to it (docs/qip-discover.md, "Sharing the port").
// Every message is a frame: a 2-byte big-endian body length (1 to cMaxBody), then the body,
// whose first byte is the message type. Pure functions: no sockets, no clocks, no state.
//
// A reader ends the connection on an unknown type, so a new message type needs a new
// version: version 2 brought the keep-alive.
class QipShareWire {
public:
    static const uint8_t cVersion = 2;
    static const size_t cMaxBody = 1600;
    static const size_t cMaxInterfaceName = 15;
    static const size_t cMaxDatagram = 1472;
    static const size_t cMaxProbeText = 64;

    enum Type : uint8_t {
        // Owner to subscriber.
        cWelcome = 'W',      // "QIPS", version, status (cAccepted or cFull)
        cHello = 'H',        // sender (IPv4, network order), age ms (u32), interface, datagram
        cSnapshotEnd = 'S',  // the records heard before the subscription are all sent
        cKeepAlive = 'K',    // nothing: the owner still runs (sent every few seconds)
        // Subscriber to owner.
        cBroadcastNow = 'B',
        cProbe = 'P',        // one probe target as text ("198.51.100.0/24")
    };
    enum Status : uint8_t { cAccepted = 0, cFull = 1 };

    // One decoded message; only the fields of its type are set.
    struct Message {
        Type mType = cWelcome;
        uint8_t mVersion = 0;
        Status mStatus = cAccepted;
        uint32_t mSender = 0;   // host byte order
        uint32_t mAgeMs = 0;
        std::string mInterface;
        std::vector<unsigned char> mDatagram;
        std::string mText;
    };

    // Each appends one whole frame to `out`. Longer names, texts and datagrams are cut to
    // their limits (a caller never hands over more: the limits are those of the system).
    static void EncodeWelcome(std::string& out, Status status);
    static void EncodeHello(std::string& out, uint32_t sender, uint32_t ageMs,
                            const std::string& interface, const unsigned char* datagram,
                            size_t length);
    static void EncodeSnapshotEnd(std::string& out);
    static void EncodeKeepAlive(std::string& out);
    static void EncodeBroadcastNow(std::string& out);
    static void EncodeProbe(std::string& out, const std::string& text);

    // Reads the body of one frame (without its length). False, with `error` saying what is
    // wrong, for any body that is not exactly a message of a known type within its limits.
    static bool DecodeBody(const unsigned char* body, size_t length, Message& message,
                           std::string& error);
};
