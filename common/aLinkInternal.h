// The link record behind a link id. Internal to the core (C++ only): the pipe threads
// and callers share its flags without a lock, so those are atomics.
//
// Lifetime: the table entry owns the record through shared ownership, and callers that use
// the record outside the table lock pin it (sPinLink), so a teardown by another holder never
// frees it under them. What a reset or teardown replaces (stream, FIFOs, receive packet,
// packet log ring) is replaced under `control`; the two mutexes live as long as the record.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "aLink.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aThread.h"
#include "packetfifo.h"

#define aLINK_CHECK 0xCEED

struct aLink {
    uint16_t check = 0;
    uint32_t id = 0;
    std::atomic<uint8_t> running{0};
    std::atomic<uint32_t> status{0};
    // Replaced by a reset while by-id callers read them: atomics, read through the table.
    std::atomic<aPacketFifoId> inFifo{0};
    aPacket* rxPacket = nullptr; // input pipe only (and control, while the pipes are stopped)
    std::atomic<aPacketFifoId> outFifo{0};
    aThread* inThread = nullptr;  // under control
    aThread* outThread = nullptr; // under control
    aThreadProc inProc = nullptr;
    aThreadProc outProc = nullptr;
    std::atomic<uint8_t> inStarted{0};
    std::atomic<uint8_t> outStarted{0};
    aStream* stream = nullptr; // the pipes only (and control, while they are stopped)
    std::atomic<uint32_t> hbState{0};
    void (*hbCallback)(uint8_t) = nullptr;
    std::atomic<uint32_t> syncState{0};
    uint8_t syncAddress = 0; // input pipe only
    uint64_t inDropped = 0;  // input pipe only: packets the full in-FIFO gave up
    // The ring, its size and its contents (enabled included) under logSema; the pipes peek
    // at the pointer first so that a link without a log costs no lock per packet.
    std::atomic<aPacketLog*> packetLog{nullptr};
    uint32_t logSize = 0; // under logSema
    aMutex* logSema = nullptr;
    aUserPacketFilter userFilter = nullptr; // under userFilterSema
    void* userFilterRef = nullptr;          // under userFilterSema
    aMutex* userFilterSema = nullptr;
    std::atomic<uint8_t> pooled{0};

    // Serialises start, stop, reset and teardown. Never taken by the pipes, nor while
    // userFilterSema or logSema is held.
    std::mutex control;
    bool retired = false; // under control: torn down; a late reset must not revive it

    aLink() = default;
    ~aLink();
    aLink(const aLink&) = delete;
    aLink& operator=(const aLink&) = delete;
};

// The pipe procedures that aLink_Init puts into a record.
aThreadProc aLink_InPipeProc();
aThreadProc aLink_OutPipeProc();

// Starts the pipes with `control` held by the caller (aLink_Start takes it).
aErr aLink_StartLocked(aLink& link);

// Stops the pipes (route off, threads joined); the record stays whole. Takes `control`.
aErr aLink_Stop(aLink* link);
// The same with `control` already held by the caller.
aErr aLink_StopLocked(aLink& link);

struct aLinkEntry;
// Re-creates the entry's stream and restarts its link (USB and TCP/IP links only).
aErr aLink_ResetLink(aLinkEntry* entry);

// Frees what a reset replaces: FIFOs, receive packet, packet log ring and the stream, and
// clears the user filter. With `control` held and the pipes stopped. The result is the
// out-FIFO's destruction.
aErr aLink_FreeResources(aLink& link);

struct aServer;
// Probes the module's address and model through a new client link of the server and hands
// them to the server (0 for a probe that failed). On a failure the server forgets its waiting
// clients, so a late answer cannot reach the next request; the result is the probe's.
aErr _aLink_ConfigureServerDetails(uint32_t clientId, aServer* server);
