/* UEI payload helpers. */
#include "aUEI.h"

#include <string.h>

/* Commands of the link itself and the raw-packet exchanges: heartbeat (0), store
 * slots (4), I2C (8), echo (23), module information (73), factory data (94),
 * upgrade (95) and the sync/route address bytes. */
static const uint8_t LINK_LEVEL_COMMANDS[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 0xAD, 0xAF};

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
    return (uint16_t)((unsigned)bytes[0] << 8 | bytes[1]);
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
    bytes[0] = (uint8_t)(value >> 8);
    bytes[1] = (uint8_t)value;
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
    return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
    bytes[0] = (uint8_t)(value >> 24);
    bytes[1] = (uint8_t)(value >> 16);
    bytes[2] = (uint8_t)(value >> 8);
    bytes[3] = (uint8_t)value;
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words) return;
    for (size_t i = 0; i < count; i++) {
        uint8_t bytes[4];
        memcpy(bytes, &words[i], sizeof(bytes));
        words[i] = aUEI_RetrieveInt(bytes);
    }
}

static bool sTrailer(const aPacket* packet, uint8_t* trailer) {
    if (!packet || packet->length == 0 || packet->length > aPACKET_MAX_DATA) return false;
    *trailer = packet->data[packet->length - 1];
    return true;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    uint8_t trailer;
    return sTrailer(packet, &trailer) ? (uint8_t)(trailer & 0x7F) : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
    uint8_t trailer;
    return sTrailer(packet, &trailer) && (trailer & 0x80) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return packet && (packet->length == 27 || packet->length == 28);
}

/* Reads data byte 0 whatever the length: packets are zero-filled, so a data-less
 * packet reads as the heartbeat command 0. */
bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (!packet) return false;
    for (size_t i = 0; i < sizeof(LINK_LEVEL_COMMANDS); i++)
        if (packet->data[0] == LINK_LEVEL_COMMANDS[i]) return true;
    return false;
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return packet && packet->length > 4 && aUEI_isUEIPayload(packet) &&
           (packet->data[1] & 0xC0) == 0 && (packet->data[2] & 0x40) != 0;
}
