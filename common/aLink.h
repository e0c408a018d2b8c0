/* Links: the core's live connection to one module over one byte stream. Callers name
 * a link by its id and exchange packets through its FIFOs; two pipe threads per running
 * link read and write the stream, keep the framing in sync and answer heartbeats.
 *
 * Wire framing: [address][length 0..28][data]. Link-level packets: sync and address
 * probe 0xAD 0x00 (answered A 0x00), route 0xAF 0x01 on/off, and the module's heartbeat
 * A 0x02 0x00 x, answered A 0x02 0x00 x+2. */
#ifndef TESSAFORM_ALINK_H
#define TESSAFORM_ALINK_H

#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Link status words of aLink_GetStatus. */
#define aLINK_STATUS_STOPPED 0u
#define aLINK_STATUS_STARTING 1u
#define aLINK_STATUS_RUNNING 2u
#define aLINK_STATUS_STOPPING 3u
#define aLINK_STATUS_SYNCING 4u
#define aLINK_STATUS_NO_STREAM 5u /* also the answer for an unknown id */
#define aLINK_STATUS_IO_ERROR 6u
#define aLINK_STATUS_NOT_QUEUED 8u

/* Offered every complete received packet (heartbeats included) on the input pipe
 * thread; returning exactly 1 consumes it. The packet is valid only during the call.
 * A filter must not install a filter on its own link. */
typedef uint8_t (*aUserPacketFilter)(const aPacket* packet, void* ref);

/* Creation and teardown. Every successful create call counts one use of the id and
 * is matched by one aLink_Destroy. */
uint32_t aLink_Init(uint32_t id, aStream* stream);
/* A running link over the caller's stream, which the link takes over; 0 on failure. */
uint32_t aLink_Create(aStream* stream);
/* A running, synced link to a module on USB (the kernel driver's node when it exists, else
 * libusb); a module that does not answer the sync within 2 s gives 0. An existing USB link
 * of the same serial number is shared. */
uint32_t aLink_CreateUSB(uint32_t serialNumber);
/* A running link to a module over TCP/IP (address in network order); an existing
 * TCP/IP link of the same serial number is shared. 0 on failure. */
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
/* A running link to a module on a serial port carrying COBS frames; baud rates 2400 to
 * 230400 in the standard steps, anything else refused. 0 on failure. */
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
/* A running link to a packet server (address in network order) as one of its clients. With
 * linkId 0 a new client link is made every time; with the id of an existing link, that link
 * is shared (one more use). 0 on failure or for an unknown id. */
uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t linkId);
/* Puts a local packet server in front of a running USB, TCP/IP or serial link and returns a
 * client link through it (0 on failure). *interfaceAddress is the IPv4 interface wanted
 * (network order, 0 for 127.0.0.1) and comes back as the one served on; *port the server's
 * port. On success the client link holds the device link's use: releasing the client link
 * releases both. On failure the caller still holds the device link; a server that was made
 * stays in front of it until it is destroyed. A link takes one server at most. */
uint32_t aLink_CreateServer(uint32_t deviceLinkId, uint16_t* port, uint32_t* interfaceAddress,
                            uint8_t localOnly);
/* Drops one use and tears the link down at the last; *id is set to 0 in every case. */
aErr aLink_Destroy(uint32_t* id);
/* Re-creates the stream of a USB, TCP/IP or client link and restarts it; the filter, pooled
 * mode and packet log are gone afterwards. */
aErr aLink_Reset(uint32_t id);

/* The running link. */
aErr aLink_Start(uint32_t id);
/* Forces a re-sync and waits up to 2 s for it; both FIFOs are drained afterwards.
 * aErrNotReady when no sync came or the link is not running. */
aErr aLink_Sync(uint32_t id);
aErr aLink_ForceRoute(uint32_t id, uint8_t on);
uint32_t aLink_GetStatus(uint32_t id);

/* Queues a copy; the caller keeps its packet. */
aErr aLink_PutPacket(uint32_t id, const aPacket* packet);
/* Received packets, removed from the in-FIFO and owned by the caller; NULL when none. */
aPacket* aLink_GetPacket(uint32_t id);
aPacket* aLink_AwaitPacket(uint32_t id, uint64_t ms);
aPacket* aLink_GetFirst(uint32_t id, aPacketPredicate predicate, const void* ref);
/* Waits while the link runs in status 2; NULL at once otherwise. */
aPacket* aLink_AwaitFirst(uint32_t id, aPacketPredicate predicate, const void* ref, uint64_t ms);
size_t aLink_DrainPackets(uint32_t id, aPacketPredicate predicate, const void* ref);

/* Replaces the filter; once this returns the old filter is no longer running. */
aErr aLink_InstallUserPacketFilter(uint32_t id, aUserPacketFilter filter, void* ref);
/* Clears the filter only while it is this filter with this reference, so that one user of a
 * shared link never removes another's; aErrNotFound (nothing changed) otherwise. Once this
 * returns, the removed filter is no longer running. */
aErr aLink_RemoveUserPacketFilter(uint32_t id, aUserPacketFilter filter, void* ref);
/* Pooled: the output pipe writes queued packets in batches of up to 4096 bytes. */
aErr aLink_EnablePooledPackets(uint32_t id, uint8_t on);

/* Packet log: a ring of records, type 1 sent, 2 received, 3 text (see aPacketDebug.h). */
aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t size);
aErr aLink_PacketDebug_Enable(uint32_t id);
aErr aLink_PacketDebug_Disable(uint32_t id);
aErr aLink_PacketDebug_Read(uint32_t id, uint32_t* type, uint32_t* length, uint8_t* destination);
/* aErrParam for more than 255 bytes: a record's length is one byte. */
aErr aLink_PacketDebug_Write(uint32_t id, uint8_t type, uint32_t length, const uint8_t* bytes);

/* Probes for a link whose in-FIFO nobody else reads: they take the first packet that
 * arrives within 1000 ms. */
aErr _aLink_GetModuleAddress(uint32_t id, uint8_t* address);
aErr _aLink_GetModel(uint32_t id, uint8_t moduleAddress, uint8_t* model);

#ifdef __cplusplus
}
#endif

#endif
