#pragma once

#include <stddef.h>

#include <string>

#include "qip/QipShareWire.h"

// Cuts a byte stream of the local sharing protocol into messages. Whatever the peer sends,
// it holds at most one frame (2 + QipShareWire::cMaxBody bytes) beyond what was taken out,
// and a stream that breaks the format once stays broken: the caller closes the connection.
// A plain value used by one thread.
class QipShareDecoder {
public:
    // Adds received bytes. False once the stream is broken (see GetError).
    bool Feed(const unsigned char* data, size_t length);
    // The next whole message, if there is one; false when more bytes are needed or the
    // stream is broken.
    bool Next(QipShareWire::Message& message);
    bool IsBroken() const { return mIsBroken; }
    const std::string& GetError() const { return mError; }
    // Bytes of a frame begun but not complete.
    size_t GetPending() const { return mBuffer.size() - mStart; }

private:
    std::string mBuffer;
    size_t mStart = 0;
    bool mIsBroken = false;
    std::string mError;
};
