#include "fuzz/FuzzInput.h"

#include <algorithm>

uint8_t FuzzInput::Byte() { return mAt < mSize ? mData[mAt++] : 0; }

uint16_t FuzzInput::Word() {
    const uint16_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
}

std::string FuzzInput::Text(size_t maxLength) {
    const size_t length = std::min<size_t>({Byte(), maxLength, Remaining()});
    std::string text(reinterpret_cast<const char*>(mData + mAt), length);
    mAt += length;
    return text;
}

std::string FuzzInput::Rest() {
    std::string rest(reinterpret_cast<const char*>(mData + mAt), Remaining());
    mAt = mSize;
    return rest;
}
