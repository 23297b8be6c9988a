#include "tools/device-sim/QipSimDevice.h"

#include <algorithm>

#include "qip/QipClient.h"
#include "qip/QipPacket.h"

QipSimDevice::QipSimDevice(const QipSimDeviceConfig& config) : mConfig(config), mAnswerCount(0) {}

std::string QipSimDevice::GetCurrentPacketId() const {
    if (mConfig.mPacketIdEvery == 0) return mConfig.mPacketId;
    unsigned long changes = mAnswerCount / mConfig.mPacketIdEvery;
    if (changes == 0) return mConfig.mPacketId;
    const std::string& base = mConfig.mPacketId;
    bool numeric = !base.empty() && base.size() < 10 &&
                   std::all_of(base.begin(), base.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (numeric) return std::to_string(std::stoul(base) + changes);
    return base + "-" + std::to_string(changes);
}

std::vector<QipSimDevice::Datagram> QipSimDevice::Answer(long long elapsedMs) {
    std::vector<Datagram> answers;
    if (mConfig.mSilentAfterMs >= 0 && elapsedMs >= mConfig.mSilentAfterMs) return answers;
    std::string packetId = GetCurrentPacketId();
    for (const QipSimAddress& address : mConfig.mAddresses) {
        for (unsigned long n = 1; n <= mConfig.mIdCount; ++n) {
            const std::string& ipField = mConfig.mHelloIp.empty() ? address.mAddress : mConfig.mHelloIp;
            const std::string id = mConfig.mIdCount > 1 ? mConfig.mId + "-" + std::to_string(n) : mConfig.mId;
            QipPacketHello hello(mConfig.mType, id, ipField, address.mNetmask, mConfig.mStatusUrl, packetId);
            unsigned char buffer[QipClient::cBufferSize];
            unsigned long length = hello.Serialize(buffer, sizeof buffer);
            if (length == 0) continue;  // fields too long for one datagram: already reported
            Datagram datagram{address.mAddress, std::vector<unsigned char>(buffer, buffer + length)};
            std::vector<unsigned char>& bytes = datagram.mBytes;
            if (mConfig.mMalformed == "unterminated") {
                bytes.pop_back();
            } else if (mConfig.mMalformed == "few-fields") {
                // Cut after the sixth terminator: the packet id field goes.
                int terminators = 0;
                size_t cut = 0;
                while (cut < bytes.size() && terminators < 6) terminators += bytes[cut++] == 0;
                bytes.resize(cut);
            } else if (mConfig.mMalformed == "wrong-case") {
                bytes[0] = 'H';
            }
            answers.push_back(datagram);
        }
    }
    if (!answers.empty()) ++mAnswerCount;
    return answers;
}
