// Base64 with the standard alphabet and "=" padding, no line breaks: the form in which the
// update server sends a firmware file.
#pragma once

#include <cstddef>

// Decodes length characters (a multiple of 4) into a new buffer of *outLength bytes and a
// terminating 0, released with free; null for a bad length or when memory runs out.
// Characters outside the alphabet are not rejected: they decode as zero bits.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

// Encodes length bytes into a new text of *outLength characters and a terminating 0,
// released with free; null when memory runs out.
char* base64_encode(const unsigned char* data, size_t length, size_t* outLength);
