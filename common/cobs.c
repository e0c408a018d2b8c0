/* COBS codec in its reference form. */
#include "cobs.h"

#define RUN_MAX 254u
#define LOOKAHEAD 10u

uint64_t cobs_encode(const uint8_t src[], uint64_t length, uint8_t dst[]) {
    uint64_t code = 0, out = 1;
    uint8_t count = 1;
    for (uint64_t i = 0; i < length; i++) {
        if (src[i] != 0) {
            dst[out++] = src[i];
            count++;
        }
        if (src[i] == 0 || count == RUN_MAX + 1) {
            dst[code] = count;
            code = out++;
            count = 1;
        }
    }
    dst[code] = count;
    return out;
}

/* The output runs ahead of the input, so input bytes pass through a small look-ahead
 * ring before the bytes they occupy are written over. */
uint64_t cobs_encode_inplace(uint8_t buffer[], uint64_t length) {
    uint8_t ring[LOOKAHEAD];
    uint64_t loaded = 0, head = 0, held = 0;
    while (loaded < length && held < LOOKAHEAD)
        ring[(head + held++) % LOOKAHEAD] = buffer[loaded++];

    uint64_t code = 0, out = 1;
    uint8_t count = 1;
    while (held > 0) {
        uint8_t byte = ring[head];
        head = (head + 1) % LOOKAHEAD;
        held--;
        /* No write may reach input that is still to be loaded. */
        if (out >= loaded && loaded < length) return 0;
        if (byte != 0) {
            buffer[out++] = byte;
            count++;
        }
        if (byte == 0 || count == RUN_MAX + 1) {
            if (code >= loaded && loaded < length) return 0;
            buffer[code] = count;
            code = out++;
            count = 1;
        }
        if (loaded < length) {
            if (out > loaded) return 0;
            ring[(head + held++) % LOOKAHEAD] = buffer[loaded++];
        }
    }
    buffer[code] = count; /* everything is loaded by now */
    return out;
}

uint64_t cobs_decode(const uint8_t src[], uint64_t length, uint8_t dst[]) {
    uint64_t in = 0, out = 0;
    while (in < length) {
        uint8_t code = src[in];
        /* A zero code cannot occur in an encoding; it would count a block of -1 bytes. */
        if (code == 0 || in + code > length) return 0;
        in++;
        for (uint8_t i = 1; i < code; i++)
            dst[out++] = src[in++];
        if (code != 0xFF && in != length) dst[out++] = 0;
    }
    return out;
}

uint64_t cobs_decode_inplace(uint8_t buffer[], uint64_t length) {
    return cobs_decode(buffer, length, buffer);
}
