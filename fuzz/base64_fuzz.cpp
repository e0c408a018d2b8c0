// Fuzzes Base64 decoding with any text: the length rule, the terminating 0, and that the
// decoded bytes come back through encoding; and encoding of any bytes back through decoding.
#include "base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition) {
    if (!condition) abort();
}

// Decodes text, checks the result's shape, and returns it (null for a refused length).
unsigned char* checkedDecode(const char* text, size_t length, size_t* outLength) {
    unsigned char* out = base64_decode(text, length, outLength);
    require((out == nullptr) == (length % 4 != 0));
    if (!out) return nullptr;
    size_t expected = length / 4 * 3;
    if (length > 0 && text[length - 1] == '=') expected -= text[length - 2] == '=' ? 2 : 1;
    require(*outLength == expected && out[*outLength] == 0);
    return out;
}

// encode(bytes) is canonical text of the right length that decodes to bytes.
void requireRoundTrip(const unsigned char* bytes, size_t length) {
    size_t textLength = 0;
    char* text = base64_encode(bytes, length, &textLength);
    require(text && textLength == 4 * ((length + 2) / 3) && strlen(text) == textLength);
    size_t backLength = 0;
    unsigned char* back = checkedDecode(text, textLength, &backLength);
    require(back && backLength == length && memcmp(back, bytes, length) == 0);
    free(back);
    free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t length = 0;
    unsigned char* decoded = checkedDecode(reinterpret_cast<const char*>(data), size, &length);
    if (decoded) requireRoundTrip(decoded, length);
    free(decoded);
    requireRoundTrip(data, size);
    return 0;
}
