/* Helpers for UEI packet payloads: big-endian fields, the trailer of multi-packet
 * byte transfers, and telling UEI traffic from link-level commands and stream samples. */
#ifndef TESSAFORM_AUEI_H
#define TESSAFORM_AUEI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);

/* Rewrites each word, read as four big-endian bytes, in host order. */
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

/* Trailer of a byte-transfer packet (its last data byte): sequence in bits 0-6,
 * continue flag in bit 7. Both read as 0/false for a NULL or data-less packet. */
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);

/* True for a packet of 27 or 28 data bytes. */
bool aUEI_getBytesFullPacket(const aPacket* packet);

/* True when data byte 0 is a link-level command (not a UEI transaction); false for NULL. */
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);

/* True for a UEI stream sample: more than 4 data bytes, option flags clear, index bit 6 set. */
bool aUEI_isStreamPacket(const aPacket* packet);

#ifdef __cplusplus
}
#endif

#endif
