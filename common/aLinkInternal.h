// The link record behind a link id. Internal to the core (C++ only): the pipe threads
// and callers share its flags without a lock, so those are atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "aLink.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aThread.h"
#include "packetfifo.h"

#define aLINK_CHECK 0xCEED

struct aLink {
    uint16_t check;
    uint32_t id;
    std::atomic<uint8_t> running;
    std::atomic<uint32_t> status;
    aPacketFifoId inFifo;
    aPacket* rxPacket; // input pipe only
    aPacketFifoId outFifo;
    aThread* inThread;
    aThread* outThread;
    aThreadProc inProc;
    aThreadProc outProc;
    std::atomic<uint8_t> inStarted;
    std::atomic<uint8_t> outStarted;
    aStream* stream;
    std::atomic<uint32_t> hbState;
    void (*hbCallback)(uint8_t);
    std::atomic<uint32_t> syncState;
    uint8_t syncAddress; // input pipe only
    // Created once by aLink_PacketDebug_Enable, read by the pipes: the mutex is published
    // before the ring, and the ring's contents (enabled included) are touched under it.
    std::atomic<aPacketLog*> packetLog;
    uint32_t logSize;
    std::atomic<aMutex*> logSema;
    aUserPacketFilter userFilter; // under userFilterSema
    void* userFilterRef;          // under userFilterSema
    aMutex* userFilterSema;
    std::atomic<uint8_t> pooled;
};

// The pipe procedures that aLink_Init puts into a record.
aThreadProc aLink_InPipeProc();
aThreadProc aLink_OutPipeProc();

// Stops the pipes (route off, threads joined); the record stays whole.
aErr aLink_Stop(aLink* link);

struct aLinkEntry;
// Re-creates the entry's stream and restarts its link (USB and TCP/IP links only).
aErr aLink_ResetLink(aLinkEntry* entry);

// Frees what aLink_Init made around the stream: FIFOs, receive packet, packet log,
// mutexes, and the stream itself. The result is the out-FIFO's destruction.
aErr aLink_FreeResources(aLink* link);
