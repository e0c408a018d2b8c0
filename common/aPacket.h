/* One protocol packet: module address, data length and up to 28 data bytes.
 * Wire and export form: [address][length][data...], 2 + length bytes. */
#ifndef TESSAFORM_APACKET_H
#define TESSAFORM_APACKET_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_BYTES (aPACKET_MAX_DATA + 2)
#define aPACKET_CHECK 0xBEEF

typedef struct aPacket {
    uint16_t check;  /* aPACKET_CHECK while live */
    uint8_t fill;    /* bytes taken by aPacket_AddByte, address and length included */
    uint8_t address; /* module address */
    uint8_t length;  /* number of data bytes, 0..28 */
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

static inline bool aVALIDPACKET(const aPacket* packet) {
    return packet != NULL && packet->check == aPACKET_CHECK;
}

/* A new, empty (zero-filled) packet; NULL when memory runs out. */
aPacket* aPacket_Create(void);

/* A new complete packet; NULL for NULL data, a length above 28, or no memory. */
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

/* A new complete copy; NULL for an invalid packet or no memory. */
aPacket* aPacket_Copy(const aPacket* packet);

/* Empties the packet for a fresh assembly. */
aErr aPacket_Reset(aPacket* packet);

/* Feeds one received byte into the packet being assembled.
 * aErrPacket: a zero address, a length above 28, or a byte beyond a complete packet;
 * aErrOverrun: a byte beyond a complete packet of 28 data bytes.
 * A refused byte leaves the packet as it was. */
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

bool aPacket_IsComplete(const aPacket* packet);

/* Writes the export form; aErrOverrun (nothing written) when size < length + 2. */
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count);

/* Data byte 0 (the command); aErrPacket for an invalid packet or one without data. */
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
/* Data byte 1 & 0x3F; needs 2 data bytes. */
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
/* Data byte 2 & 0x1F; needs 3 data bytes. */
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

/* Frees the packet and clears the handle; aErrParam for a NULL address or handle. */
aErr aPacket_Destroy(aPacket** packet);

#ifdef __cplusplus
}
#endif

#endif
