/* Packet FIFOs: thread-safe queues of packet copies, named by process-wide integer ids,
 * with deadline waits for the oldest packet or the first one that a predicate accepts. */
#ifndef TESSAFORM_PACKETFIFO_H
#define TESSAFORM_PACKETFIFO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Ids start at 1 and are never reused; 0 names no FIFO. */
typedef uint64_t aPacketFifoId;

/* Runs on the caller's thread with the FIFO's lock held: it may read the packet and write
 * wherever ref leads, must keep no pointer to the packet and must not call into the same
 * FIFO. Returns true when the packet matches. */
typedef bool (*aPacketPredicate)(const aPacket* packet, const void* ref);

/* A FIFO holds at most this many packets: a put to a full FIFO is refused (aErrOverrun). */
#define aPACKETFIFO_MAX_PACKETS 1000

/* A new, empty FIFO; 0 when it cannot be made. */
aPacketFifoId aPacketFifo_Create(void);

/* Removes the FIFO, frees its packets, wakes its waiters (they return NULL) and sets *id to 0.
 * aErrParam for a NULL address, aErrNotFound (id left as it was) for an unknown id,
 * aErrUnknown on an internal failure. */
aErr aPacketFifo_Destroy(aPacketFifoId* id);

/* Number of queued packets; 0 for an unknown id. */
size_t aPacketFifo_GetLength(aPacketFifoId id);

/* Queues a copy; the caller keeps its packet. aErrParam for an unknown id, an invalid packet
 * or a failed copy; aErrOverrun when the FIFO is full (it keeps what it holds); aErrResource
 * when the copy cannot be queued. */
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

/* The oldest packet, removed from the queue; NULL for an unknown id or an empty queue.
 * Every packet handed out is the caller's to aPacket_Destroy. */
aPacket* aPacketFifo_Get(aPacketFifoId id);

/* The oldest packet, waiting up to timeoutMs (steady clock) for one; NULL for an unknown id,
 * at the deadline, or when the FIFO is destroyed meanwhile. */
aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t timeoutMs);

/* The first packet in queue order that the predicate accepts, removed; NULL when none does,
 * the id is unknown or the predicate is NULL. */
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketPredicate predicate, const void* ref);

/* As aPacketFifo_GetFirst, waiting up to timeoutMs for new packets; each packet is offered to
 * the predicate at most once per call. NULL at the deadline or when the FIFO is destroyed. */
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketPredicate predicate, const void* ref,
                                uint64_t timeoutMs);

/* Removes and frees every packet that the predicate accepts, offering each once; returns how
 * many went (0 for an unknown id or a NULL predicate). */
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketPredicate predicate, const void* ref);

#ifdef __cplusplus
}
#endif

#endif
