#include "qip/QipShareDecoder.h"

namespace {
const size_t cHeader = 2;
}

bool QipShareDecoder::Feed(const unsigned char* data, size_t length) {
    if (mIsBroken) return false;
    // Drop what was taken out before the buffer grows, so it never holds more than the
    // unread rest of one frame plus what this call brings.
    if (mStart > 0) {
        mBuffer.erase(0, mStart);
        mStart = 0;
    }
    mBuffer.append(reinterpret_cast<const char*>(data), length);
    return true;
}

bool QipShareDecoder::Next(QipShareWire::Message& message) {
    if (mIsBroken || GetPending() < cHeader) return false;
    const unsigned char* head = reinterpret_cast<const unsigned char*>(mBuffer.data()) + mStart;
    const size_t bodyLength = (static_cast<size_t>(head[0]) << 8) | head[1];
    if (bodyLength == 0 || bodyLength > QipShareWire::cMaxBody) {
        mIsBroken = true;
        mError = "frame length " + std::to_string(bodyLength) + " out of range";
        return false;
    }
    if (GetPending() < cHeader + bodyLength) return false;
    if (!QipShareWire::DecodeBody(head + cHeader, bodyLength, message, mError)) {
        mIsBroken = true;
        return false;
    }
    mStart += cHeader + bodyLength;
    if (mStart == mBuffer.size()) {
        mBuffer.clear();
        mStart = 0;
    }
    return true;
}
