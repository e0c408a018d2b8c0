/* Consistent Overhead Byte Stuffing: frames without 0x00 bytes, so 0x00 can end them.
 * An encoding of n bytes takes at most n + 1 + n / 254 bytes; a decoding is never
 * longer than its input. */
#ifndef TESSAFORM_COBS_H
#define TESSAFORM_COBS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the encoded length; empty input encodes as the single byte 0x01. */
uint64_t cobs_encode(const uint8_t src[], uint64_t length, uint8_t dst[]);

/* The same encoding written over its input; 0 when it cannot be done in place (only
 * inputs holding a run of 254 or more non-zero bytes). */
uint64_t cobs_encode_inplace(uint8_t buffer[], uint64_t length);

/* Returns the decoded length, or 0 for a broken encoding (a block running past the end,
 * or a zero code byte). */
uint64_t cobs_decode(const uint8_t src[], uint64_t length, uint8_t dst[]);
uint64_t cobs_decode_inplace(uint8_t buffer[], uint64_t length);

#ifdef __cplusplus
}
#endif

#endif
