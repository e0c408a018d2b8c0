/* CRC-8/MAXIM-DOW by table: one look-up per byte. */
#include "crc8.h"

/* Entry i: the register after shifting byte i through the reflected polynomial. */
static const uint32_t _crc8LUT[256] = {
#define R1(i) ((((i)&1) ? (((i) >> 1) ^ 0x8Cu) : ((i) >> 1)))
#define R2(i) R1(R1(i))
#define R4(i) R2(R2(i))
#define R8(i) R4(R4(i))
#define E(i) R8((uint32_t)(i))
#define E4(i) E(i), E(i + 1), E(i + 2), E(i + 3)
#define E16(i) E4(i), E4(i + 4), E4(i + 8), E4(i + 12)
#define E64(i) E16(i), E16(i + 16), E16(i + 32), E16(i + 48)
    E64(0),
    E64(64),
    E64(128),
    E64(192),
#undef E64
#undef E16
#undef E4
#undef E
#undef R8
#undef R4
#undef R2
#undef R1
};

uint8_t crc8_update(uint8_t crc, uint8_t value) {
    return (uint8_t)_crc8LUT[crc ^ value];
}

uint8_t crc8_create(const uint8_t data[], uint64_t length) {
    uint8_t crc = 0;
    for (uint64_t i = 0; i < length; i++)
        crc = crc8_update(crc, data[i]);
    return crc;
}

bool crc8_check(const uint8_t data[], uint64_t length, uint8_t expected) {
    return crc8_create(data, length) == expected;
}
