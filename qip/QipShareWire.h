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
// A reader ends the connection on an unknown type or welcome status, so a new one needs a
// new version: version 2 brought the keep-alive, version 3 the welcome that refuses a
// subscriber's requests.
//
// Trust (QipShareTrust): a subscriber believes an owner only when the owner's user is root,
// its own or the service account; an owner passes every answer to any subscriber, but takes
// probe targets and broadcast requests only from one whose user it would believe as an
// owner, and welcomes the others with cListenOnly (they send their own).
class QipShareWire {
public:
    static const uint8_t cVersion = 3;
    static const size_t cMaxBody = 1600;
    static const size_t cMaxInterfaceName = 15;
    static const size_t cMaxDatagram = 1472;
    static const size_t cMaxProbeText = 64;

    enum Type : uint8_t {
        // Owner to subscriber.
        cWelcome = 'W',      // "QIPS", version, status (cAccepted, cFull or cListenOnly)
        cHello = 'H',        // sender (IPv4, network order), age ms (u32), interface, datagram
        cSnapshotEnd = 'S',  // the records heard before the subscription are all sent
        cKeepAlive = 'K',    // nothing: the owner still runs (sent every few seconds)
        // Subscriber to owner.
        cBroadcastNow = 'B',
        cProbe = 'P',        // one probe target as text ("198.51.100.0/24")
    };
    // cListenOnly: subscribed to the answers; requests are refused (the owner does not
    // believe the subscriber's user), so the subscriber broadcasts and probes itself.
    enum Status : uint8_t { cAccepted = 0, cFull = 1, cListenOnly = 2 };

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
