/* CRC-8/MAXIM-DOW (the 1-Wire CRC): reflected polynomial 0x8C, initial 0, no final XOR.
 * It closes every serial frame. */
#ifndef TESSAFORM_CRC8_H
#define TESSAFORM_CRC8_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint8_t crc8_update(uint8_t crc, uint8_t value);
/* The CRC of a block, starting from 0. */
uint8_t crc8_create(const uint8_t data[], uint64_t length);
bool crc8_check(const uint8_t data[], uint64_t length, uint8_t expected);

#ifdef __cplusplus
}
#endif

#endif
