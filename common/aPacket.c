/* Packet records and their byte-wise assembly from a received stream. */
#include "aPacket.h"

#include <stdlib.h>
#include <string.h>

aPacket* aPacket_Create(void) {
    aPacket* packet = calloc(1, sizeof(aPacket));
    if (packet) packet->check = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (!data || length > aPACKET_MAX_DATA) return NULL;
    aPacket* packet = aPacket_Create();
    if (!packet) return NULL;
    packet->address = address;
    packet->length = length;
    memcpy(packet->data, data, length);
    packet->fill = (uint8_t)(length + 2);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!aVALIDPACKET(packet) || packet->length > aPACKET_MAX_DATA) return NULL;
    return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    packet->fill = 0;
    packet->address = 0;
    packet->length = 0;
    memset(packet->data, 0, sizeof(packet->data));
    return aErrNone;
}

/* The phase of assembly follows from the fill count alone: a zero-length packet is
 * complete after its length byte and must not read the next byte as a new length. */
aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) return aErrParam;

    if (packet->fill == 0) {
        if (byte == 0) return aErrPacket;
        packet->address = byte;
        packet->fill = 1;
        return aErrNone;
    }
    if (packet->fill == 1) {
        if (byte > aPACKET_MAX_DATA) return aErrPacket;
        packet->length = byte;
        packet->fill = 2;
        return aErrNone;
    }
    if (packet->fill >= packet->length + 2)
        return packet->fill >= aPACKET_MAX_BYTES ? aErrOverrun : aErrPacket;

    packet->data[packet->fill - 2] = byte;
    packet->fill++;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->fill >= 2 && packet->fill == packet->length + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count) {
    if (!aVALIDPACKET(packet) || !buffer || packet->length > aPACKET_MAX_DATA) return aErrParam;
    size_t total = (size_t)packet->length + 2;
    if (size < total) return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->length;
    memcpy(buffer + 2, packet->data, packet->length);
    if (count) *count = total;
    return aErrNone;
}

static aErr sGetDataByte(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask) {
    if (!out) return aErrParam;
    if (!aVALIDPACKET(packet) || packet->length <= position) return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) {
    return sGetDataByte(packet, cmd, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return sGetDataByte(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return sGetDataByte(packet, index, 2, 0x1F);
}

aErr aPacket_Destroy(aPacket** packet) {
    if (!packet || !*packet) return aErrParam;
    free(*packet);
    *packet = NULL;
    return aErrNone;
}
