#pragma once

#include <string>
#include <vector>

// The type texts of field 0; compared byte for byte and case-sensitively.
extern const std::string cQipTypeHello;       // "hello"
extern const std::string cQipTypeWhoIsThere;  // "whoisthere"

// A QIP datagram: text fields, each a run of non-zero bytes followed by one 0x00 byte.
// Packets are plain values used by one thread at a time; the static functions keep no
// state and may run on several threads at once. Field texts never contain 0x00.
class QipPacket {
public:
    QipPacket(const std::string& ipAddress, const std::string& netmask);
    QipPacket(const QipPacket& other) = default;
    QipPacket& operator=(const QipPacket& other) = default;
    virtual ~QipPacket();

    virtual std::string GetType() const = 0;
    // Writes the wire form into `buffer`; its length, or 0 (and "Buffer too small for QIP
    // fields\n") when `size` is too small, leaving the buffer untouched.
    virtual unsigned long Serialize(unsigned char* buffer, unsigned long size) const = 0;

    // The field texts live as long as the packet.
    const std::string& GetIpAddress() const;
    const std::string& GetNetmask() const;

    // Told each line that a malformed datagram earns, in place of standard error: for a
    // receive path that must bound what a flood of them writes. Called on the parsing thread,
    // with the line without its line end.
    class Reporter {
    public:
        virtual void OnMalformed(const std::string& line) = 0;

    protected:
        ~Reporter() = default;
    };

    // Parses a received datagram. Returns a new QipPacketHello or QipPacketWhoIsThere that
    // the caller owns and deletes, or null when the bytes are not a usable datagram. A
    // malformed one (not terminated, or too few fields for its type) is told to `reporter`,
    // or without one written to standard error, on every call: the parse keeps no history.
    static QipPacket* Create(const unsigned char* data, unsigned long count,
                             Reporter* reporter = nullptr);
    // The terminated fields, in order; an unterminated tail is dropped after
    // "QIP payload is not terminated with 0x00" (told as by Create).
    static std::vector<std::string> SplitFields(const unsigned char* data, unsigned long count,
                                                Reporter* reporter = nullptr);
    // Writes `fields` in wire form; the byte count, or 0 when `size` is too small.
    static unsigned long ConcatFields(unsigned char* buffer, unsigned long size,
                                      const std::vector<std::string>& fields);

protected:
    std::string mIpAddress;
    std::string mNetmask;
};

// A device's answer: type, id, address, netmask, status URL and packet id, in wire order.
class QipPacketHello : public QipPacket {
public:
    QipPacketHello(const std::string& deviceType, const std::string& deviceId,
                   const std::string& ipAddress, const std::string& netmask,
                   const std::string& statusUrl, const std::string& packetId);

    std::string GetType() const override;
    unsigned long Serialize(unsigned char* buffer, unsigned long size) const override;

    const std::string& GetDeviceType() const;
    const std::string& GetDeviceId() const;
    const std::string& GetStatusUrl() const;
    const std::string& GetPacketId() const;

private:
    std::string mDeviceType;
    std::string mDeviceId;
    std::string mStatusUrl;
    std::string mPacketId;
};

// A client's question, carrying the sending interface's address and netmask.
class QipPacketWhoIsThere : public QipPacket {
public:
    QipPacketWhoIsThere(const std::string& ipAddress, const std::string& netmask);

    std::string GetType() const override;
    unsigned long Serialize(unsigned char* buffer, unsigned long size) const override;
};
