// Base64 decoding and encoding over the alphabet of RFC 4648.
#include "base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Indexed by unsigned char: text from a server may carry any byte, and a negative index
// would read outside the table.
constexpr std::array<uint8_t, 256> REVERSE = [] {
    std::array<uint8_t, 256> table{};
    for (uint8_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(ALPHABET[i])] = i;
    return table;
}();

} // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
    if (length % 4 != 0 || (length > 0 && !text)) return nullptr;
    size_t size = length / 4 * 3;
    if (length > 0 && text[length - 1] == '=') {
        --size;
        if (text[length - 2] == '=') --size;
    }
    auto* out = static_cast<unsigned char*>(malloc(size + 1));
    if (!out) return nullptr;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    size_t written = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t bits = uint32_t{REVERSE[in[i]]} << 18 | uint32_t{REVERSE[in[i + 1]]} << 12 |
                        uint32_t{REVERSE[in[i + 2]]} << 6 | uint32_t{REVERSE[in[i + 3]]};
        for (int shift = 16; shift >= 0 && written < size; shift -= 8)
            out[written++] = static_cast<unsigned char>(bits >> shift);
    }
    out[size] = 0;
    if (outLength) *outLength = size;
    return out;
}

char* base64_encode(const unsigned char* data, size_t length, size_t* outLength) {
    if (length > (SIZE_MAX - 1) / 4 * 3 - 2 || (length > 0 && !data)) return nullptr;
    size_t size = 4 * ((length + 2) / 3);
    auto* out = static_cast<char*>(malloc(size + 1));
    if (!out) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t bits = uint32_t{data[i]} << 16;
        if (i + 1 < length) bits |= uint32_t{data[i + 1]} << 8;
        if (i + 2 < length) bits |= data[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out[o++] = ALPHABET[(bits >> shift) & 0x3F];
    }
    static constexpr size_t PADDING[] = {0, 2, 1};
    for (size_t p = 0; p < PADDING[length % 3]; ++p)
        out[size - 1 - p] = '=';
    out[size] = 0;
    if (outLength) *outLength = size;
    return out;
}
