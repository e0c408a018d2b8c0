/* A link's packet log: a fixed-size byte ring of [type][length][data...] records in which
 * the oldest records give way to new ones. No lock of its own: the owner serialises access. */
#ifndef TESSAFORM_APACKETDEBUG_H
#define TESSAFORM_APACKETDEBUG_H

#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Record types written by the link engine and the object layer. */
#define aPACKETLOG_SENT 1
#define aPACKETLOG_RECEIVED 2
#define aPACKETLOG_TEXT 3

/* The length byte frames at most this many data bytes. */
#define aPACKETLOG_MAX_DATA 255

typedef struct aPacketLog {
    uint8_t enabled; /* set and cleared by the owner; the ring does not read it */
    uint8_t* ring;   /* size bytes */
    uint32_t size;
    uint32_t readIndex;  /* first byte of the oldest record */
    uint32_t writeIndex; /* where the next record goes; equal indexes: empty */
} aPacketLog;

/* A new, empty, disabled log whose ring holds size bytes (records of at most size - 3 data
 * bytes); NULL for a size of 0 or when memory runs out. */
aPacketLog* aPacketLog_Create(uint32_t size);

/* Adds a record, dropping the oldest ones as needed. aErrOverrun (ring unchanged) when the
 * record can never fit: length + 2 >= size, or length above 255. aErrParam for a NULL log, or
 * NULL data with a non-zero length. */
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* data);

/* Takes the oldest record. *length holds the destination's capacity on entry and the record's
 * data length on return. aErrNotFound when empty; aErrOverrun when the capacity is too small
 * (the record stays, its type and length are reported); aErrParam for NULL arguments. */
aErr aPacketLog_Get(aPacketLog* log, uint32_t* type, uint32_t* length, uint8_t* destination);

/* Frees the log and clears the handle; aErrNone always, also for a NULL handle. */
aErr aPacketLog_Destroy(aPacketLog** log);

#ifdef __cplusplus
}
#endif

#endif
