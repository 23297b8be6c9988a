#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// Hands out a fuzz input piece by piece, so that one harness input can describe several
// values. Never reads past the input: once it is used up every value is 0 or empty.
// A plain value, used by one thread.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : mData(data), mSize(size), mAt(0) {}

    bool IsEmpty() const { return mAt >= mSize; }
    size_t Remaining() const { return mSize - mAt; }
    uint8_t Byte();
    uint16_t Word();  // two bytes, the first the high one
    // A text of at most `maxLength` bytes, its length taken from the next byte.
    std::string Text(size_t maxLength);
    // Everything not yet taken.
    std::string Rest();

private:
    const uint8_t* mData;
    size_t mSize;
    size_t mAt;
};
