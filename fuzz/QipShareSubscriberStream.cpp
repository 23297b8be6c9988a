// What a subscriber reads from the program that owns the discovery port: any bytes, cut
// into reads of fuzz-chosen sizes. The decoder never holds more than one frame beyond a
// read, once broken it stays broken, every message it gives is within the format's limits
// and encodes back to a frame that decodes to the same message, and a hello's datagram goes
// through the network's parser as on the subscriber.
#include <memory>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "qip/QipPacket.h"
#include "qip/QipShareDecoder.h"
#include "qip/QipShareWire.h"

namespace {

void CheckMessage(const QipShareWire::Message& message) {
    FUZZ_CHECK(message.mInterface.size() <= QipShareWire::cMaxInterfaceName);
    FUZZ_CHECK(message.mDatagram.size() <= QipShareWire::cMaxDatagram);
    FUZZ_CHECK(message.mText.size() <= QipShareWire::cMaxProbeText);
    std::string again;
    switch (message.mType) {
    case QipShareWire::cHello: {
        FUZZ_CHECK(!message.mDatagram.empty());
        const std::unique_ptr<QipPacket> packet(
            QipPacket::Create(message.mDatagram.data(), message.mDatagram.size()));
        QipShareWire::EncodeHello(again, message.mSender, message.mAgeMs, message.mInterface,
                                  message.mDatagram.data(), message.mDatagram.size());
        break;
    }
    case QipShareWire::cWelcome:
        // The version byte is the owner's to choose; the encoder writes only its own.
        if (message.mVersion != QipShareWire::cVersion) return;
        QipShareWire::EncodeWelcome(again, message.mStatus);
        break;
    case QipShareWire::cProbe:
        QipShareWire::EncodeProbe(again, message.mText);
        break;
    case QipShareWire::cSnapshotEnd:
        QipShareWire::EncodeSnapshotEnd(again);
        break;
    case QipShareWire::cKeepAlive:
        QipShareWire::EncodeKeepAlive(again);
        break;
    case QipShareWire::cBroadcastNow:
        QipShareWire::EncodeBroadcastNow(again);
        break;
    }
    QipShareDecoder decoder;
    decoder.Feed(reinterpret_cast<const unsigned char*>(again.data()), again.size());
    QipShareWire::Message decoded;
    FUZZ_CHECK(decoder.Next(decoded));
    FUZZ_CHECK(decoded.mType == message.mType && decoded.mSender == message.mSender &&
               decoded.mAgeMs == message.mAgeMs && decoded.mInterface == message.mInterface &&
               decoded.mDatagram == message.mDatagram && decoded.mText == message.mText &&
               decoded.mStatus == message.mStatus);
    FUZZ_CHECK(decoder.GetPending() == 0 && !decoder.Next(decoded));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    FuzzInput input(data, size);
    QipShareDecoder decoder;
    while (!input.IsEmpty()) {
        const size_t chunk = 1 + input.Byte() % 64 * 16;
        const std::string bytes = input.Remaining() < chunk ? input.Rest() : [&] {
            std::string part;
            for (size_t i = 0; i < chunk; ++i) part.push_back(static_cast<char>(input.Byte()));
            return part;
        }();
        const bool wasBroken = decoder.IsBroken();
        decoder.Feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        QipShareWire::Message message;
        while (decoder.Next(message)) CheckMessage(message);
        FUZZ_CHECK(!wasBroken || decoder.IsBroken());
        FUZZ_CHECK(decoder.IsBroken() || decoder.GetPending() < 2 + QipShareWire::cMaxBody);
    }
    return 0;
}
