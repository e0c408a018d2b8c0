/* FIFO operations for the link engine only. Internal to the core. */
#ifndef TESSAFORM_PACKETFIFO_INTERNAL_H
#define TESSAFORM_PACKETFIFO_INTERNAL_H

#include <stddef.h>

#include "packetfifo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* As aPacketFifo_Put, except that a full FIFO drops its oldest packet to make room (counted
 * in *dropped when given): for a queue that nobody may be reading, where the newest packets
 * matter most. */
aErr aPacketFifo_PutDroppingOldest(aPacketFifoId id, const aPacket* packet, size_t* dropped);

#ifdef __cplusplus
}
#endif

#endif
