// The link engine: the input and output pipes of a running link, sync, heartbeats,
// the user filter, pooled writes, the packet log hooks and the by-id operations.
#include <cstdio>
#include <cstring>

#include "aDebugging.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aTime.h"
#include "packetfifoInternal.h"

namespace {

constexpr uint8_t SYNC_ADDRESS = 0xAD;
constexpr uint8_t ROUTE_ADDRESS = 0xAF;
constexpr int SYNC_PACKETS = 6;
constexpr int START_POLLS = 200; // of 10 ms
constexpr int SYNC_POLLS = 200;  // of 10 ms
constexpr uint64_t OUT_AWAIT_MS = 1000;
constexpr uint64_t READ_ERROR_PAUSE_MS = 100;
constexpr size_t POOL_SIZE = 4096;
constexpr size_t POOL_FULL = POOL_SIZE - aPACKET_MAX_BYTES; // 4066: one more packet still fits
constexpr uint32_t DEFAULT_LOG_SIZE = 65536;
constexpr int32_t MAX_LOG_SIZE = 0x4000000;
// The last packets written at a stop: a peer that stopped reading must not hold the
// stop (each blocked write can take its full retry time) for longer than this.
constexpr uint64_t FINAL_FLUSH_LIMIT_MS = 1000;

enum SyncState : uint32_t {
    kSyncStateNone = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

// What callers that may race a teardown read of a link, copied under the table lock.
struct LinkView {
    bool found = false;
    bool running = false;
    uint32_t status = aLINK_STATUS_NO_STREAM;
    aPacketFifoId inFifo = 0;
    aPacketFifoId outFifo = 0;
};

LinkView viewOf(uint32_t id) {
    LinkView view;
    view.found = sWithLink(id, [&view](aLink& link) {
        view.running = link.running != 0;
        view.status = link.status;
        view.inFifo = link.inFifo;
        view.outFifo = link.outFifo;
    });
    return view;
}

aErr queuePacket(aPacketFifoId fifo, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &none);
    if (!packet) return aErrMemory;
    aErr result = aPacketFifo_Put(fifo, packet);
    aPacket_Destroy(&packet);
    return result;
}

aErr sForceRoute(aLink* link, uint8_t on) {
    return queuePacket(link->outFifo, ROUTE_ADDRESS, 1, &on);
}

size_t wireForm(const aPacket* packet, uint8_t* out) {
    size_t count = 0;
    aPacket_GetBytes(packet, out, aPACKET_MAX_BYTES, &count);
    return count;
}

void logPacket(aLink* link, uint8_t type, const aPacket* packet) {
    if (!link->packetLog.load()) return; // no log: no lock per packet
    uint8_t bytes[aPACKET_MAX_BYTES];
    size_t count = wireForm(packet, bytes);
    aMutex_Lock(link->logSema);
    aPacketLog* log = link->packetLog.load();
    if (log && log->enabled) aPacketLog_Put(log, type, static_cast<uint32_t>(count), bytes);
    aMutex_Unlock(link->logSema);
}

void tracePacket(const char* where, uint32_t id, const aPacket* packet) {
    if (!aTessaformDebuggingEnable || !(aTessaformDebuggingLevel & aDEBUG_PACKETS)) return;
    char data[3 * aPACKET_MAX_DATA + 1] = "";
    for (uint8_t i = 0; i < packet->length && i < aPACKET_MAX_DATA; i++)
        snprintf(data + 3 * i, 4, "%02X ", packet->data[i]);
    aDebug_Trace(aDEBUG_PACKETS, " %s(%u) ADDR:%02X, LEN:%02X, [%s]\n", where, id, packet->address,
                 packet->length, data);
}

// Sync --------------------------------------------------------------------------------

void sStartSync(aLink* link) {
    link->status = aLINK_STATUS_SYNCING;
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->rxPacket);
    aErr result = aErrNone;
    for (int i = 0; i < SYNC_PACKETS; i++)
        result = queuePacket(link->outFifo, SYNC_ADDRESS, 0, nullptr);
    if (result == aErrNone) link->syncState = kSyncStateByte1;
}

void sSyncByte(aLink* link, uint8_t byte) {
    switch (link->syncState.load()) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sStartSync(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncStateNone;
            link->status = aLINK_STATUS_RUNNING;
            aDebug_Trace(aDEBUG_LINK, " link %u in sync with module 0x%02X\n", link->id,
                         link->syncAddress);
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default: // none, start, or anything unexpected: this byte begins a new sync
        sStartSync(link);
        break;
    }
}

// Received packets ----------------------------------------------------------------------

// True when the packet was a heartbeat and has been answered.
bool sHandleHBBackChannel(aLink* link) {
    const aPacket* packet = link->rxPacket;
    if (!packet || packet->length != 2 || packet->data[0] != 0) return false;
    if (link->hbState > 1) return false;

    uint8_t counter = packet->data[1];
    if (counter == 0)
        link->hbState = 2;
    else if (counter == 1)
        link->hbState = 3;

    const uint8_t answer[2] = {0, static_cast<uint8_t>(counter + 2)};
    queuePacket(link->outFifo, packet->address, 2, answer);
    // Also when the answer could not be made: a stuck state would route every later
    // heartbeat to the callers as an ordinary packet.
    link->hbState = 0;
    if (link->hbCallback) link->hbCallback(answer[1] & 1);
    return true;
}

aErr sHandlePacket(aLink* link) {
    if (!aPacket_IsComplete(link->rxPacket)) return aErrNone;
    tracePacket("sHandlePacket", link->id, link->rxPacket);
    logPacket(link, aPACKETLOG_RECEIVED, link->rxPacket);

    aMutex_Lock(link->userFilterSema);
    bool consumed = link->userFilter && link->userFilter(link->rxPacket, link->userFilterRef) == 1;
    aMutex_Unlock(link->userFilterSema);

    aErr result = aErrNone;
    if (!consumed && !sHandleHBBackChannel(link)) {
        // Nobody may be reading the in-FIFO: at its bound the oldest packet gives way, so
        // the link keeps running and the callers see the newest traffic.
        size_t dropped = 0;
        result = aPacketFifo_PutDroppingOldest(link->inFifo, link->rxPacket, &dropped);
        if (dropped) {
            link->inDropped += dropped;
            aDebug_Trace(aDEBUG_LINK,
                         " sHandlePacket(%u) in-FIFO full: dropped the oldest, %llu so far\n",
                         link->id, static_cast<unsigned long long>(link->inDropped));
        }
    }
    aPacket_Reset(link->rxPacket);
    return result;
}

void* sInPipeProcess(void* arg) {
    auto* link = static_cast<aLink*>(arg);
    link->hbState = 0;
    link->syncAddress = 1;
    link->inStarted = 1;
    link->status = aLINK_STATUS_RUNNING;
    link->syncState = kSyncStateNone;

    while (link->running) {
        uint8_t byte = 0;
        aErr result = aStream_Read(link->stream, &byte, 1);
        if (result == aErrNotReady) {
            uint32_t status = link->status;
            if (status == aLINK_STATUS_SYNCING || status == aLINK_STATUS_IO_ERROR) sStartSync(link);
            continue;
        }
        if (result != aErrNone) {
            link->status = aLINK_STATUS_IO_ERROR;
            aDebug_Trace(aDEBUG_LINK, " sInPipeProcess(%u) IO_ERROR [aStream_Read()==>%d]\n",
                         link->id, result);
            aTime_MSSleep(READ_ERROR_PAUSE_MS);
            continue;
        }
        if (link->status == aLINK_STATUS_SYNCING) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->rxPacket, byte) != aErrNone || (link->rxPacket->address & 1)) {
            aDebug_Trace(aDEBUG_LINK, "Out of sync\n");
            sStartSync(link);
        } else if (sHandlePacket(link) != aErrNone) {
            link->status = aLINK_STATUS_NOT_QUEUED;
        }
    }
    return nullptr;
}

// Sending ------------------------------------------------------------------------------

// Puts the packet's wire form at out, traced and logged as sent; returns its size.
size_t takeForSending(aLink* link, const aPacket* packet, uint8_t* out) {
    tracePacket("sOutPipeProcess", link->id, packet);
    logPacket(link, aPACKETLOG_SENT, packet);
    return wireForm(packet, out);
}

aErr writeOne(aLink* link, const aPacket* packet) {
    uint8_t bytes[aPACKET_MAX_BYTES];
    size_t count = takeForSending(link, packet, bytes);
    aErr result = aStream_Write(link->stream, bytes, count);
    if (result != aErrNone)
        aDebug_Trace(aDEBUG_LINK, "sOutPipeProcess error writing: %d\n", result);
    return result;
}

// Takes what is queued behind first into one batch of at most 4096 bytes.
aErr writePooled(aLink* link, const aPacket* first) {
    uint8_t batch[POOL_SIZE];
    size_t used = takeForSending(link, first, batch);
    while (used <= POOL_FULL) {
        aPacket* next = aPacketFifo_Get(link->outFifo);
        if (!next) break;
        used += takeForSending(link, next, batch + used);
        aPacket_Destroy(&next);
    }
    aErr result = aStream_Write(link->stream, batch, used);
    if (result != aErrNone)
        aDebug_Trace(aDEBUG_LINK, "sOutPipeProcess error writing pooled: %d\n", result);
    return result;
}

void* sOutPipeProcess(void* arg) {
    auto* link = static_cast<aLink*>(arg);
    link->outStarted = 1;
    while (link->running) {
        aPacket* packet = aPacketFifo_Await(link->outFifo, OUT_AWAIT_MS);
        if (!packet) continue;
        // A failed write drops what it carried: the module's framing recovers by sync.
        if (link->pooled)
            writePooled(link, packet);
        else
            writeOne(link, packet);
        aPacket_Destroy(&packet);
    }

    // What was queued before the stop (the route-off command among it) still goes out,
    // one by one, until a write fails or the time is up; the rest stays queued.
    uint64_t deadline = aTime_GetMonotonicMSTicks() + FINAL_FLUSH_LIMIT_MS;
    while (aTime_GetMonotonicMSTicks() < deadline) {
        aPacket* packet = aPacketFifo_Get(link->outFifo);
        if (!packet) break;
        aErr result = writeOne(link, packet);
        aPacket_Destroy(&packet);
        if (result != aErrNone) break;
    }
    return nullptr;
}

bool drainAll(const aPacket*, const void*) {
    return true;
}

// Polls until pred holds, up to polls times 10 ms apart.
template <typename Pred> bool pollFor(int polls, Pred pred) {
    for (int i = 0; i < polls; i++) {
        if (pred()) return true;
        aTime_MSSleep(10);
    }
    return pred();
}

aPacket* awaitAnswer(uint32_t id, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacket* request = aPacket_CreateWithData(address, length, length ? data : &none);
    if (!request) return nullptr;
    aErr result = aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    return result == aErrNone ? aLink_AwaitPacket(id, 1000) : nullptr;
}

} // namespace

// Start and stop ------------------------------------------------------------------------

aErr aLink_StartLocked(aLink& link) {
    if (!link.stream) return aErrConnection;
    if (link.running) return aErrNone;

    link.running = 1;
    link.status = aLINK_STATUS_STARTING;
    link.hbState = 0;
    link.inStarted = 0;
    link.outStarted = 0;
    link.inThread = aThread_Create(link.inProc, &link);
    if (!link.inThread) return aErrResource;
    link.outThread = aThread_Create(link.outProc, &link);
    if (!link.outThread) return aErrResource;

    bool started = pollFor(START_POLLS, [&link] {
        return link.inStarted && link.outStarted && link.status == aLINK_STATUS_RUNNING;
    });
    if (!started) return aErrIndexRange;
    aDebug_Trace(aDEBUG_LINK, " aLink_Start(%u) running\n", link.id);
    return sForceRoute(&link, 1);
}

aErr aLink_Start(uint32_t id) {
    aLinkPin pin;
    if (!sPinLink(id, &pin)) return aErrParam;
    std::lock_guard<std::mutex> control(pin.link->control);
    if (pin.link->retired) return aErrParam;
    return aLink_StartLocked(*pin.link);
}

aErr aLink_StopLocked(aLink& link) {
    uint32_t status = link.status;
    if (status == aLINK_STATUS_STOPPING || status == aLINK_STATUS_STOPPED) return aErrNone;
    link.status = aLINK_STATUS_STOPPING;

    aErr result = aErrNone;
    if (link.inThread && link.outThread) result = sForceRoute(&link, 0);
    link.running = 0;
    if (link.inThread && aThread_Destroy(&link.inThread) != 0) result = aErrUnknown;
    if (link.outThread && aThread_Destroy(&link.outThread) != 0) result = aErrUnknown;

    link.inStarted = 0;
    link.outStarted = 0;
    aPacket_Reset(link.rxPacket);
    link.status = aLINK_STATUS_STOPPED;
    link.hbState = 0;
    aDebug_Trace(aDEBUG_LINK, " aLink_Stop(%u) stopped\n", link.id);
    return result;
}

aErr aLink_Stop(aLink* link) {
    if (!link) return aErrParam;
    std::lock_guard<std::mutex> control(link->control);
    return aLink_StopLocked(*link);
}

aErr aLink_Sync(uint32_t id) {
    bool running = false;
    if (!sWithLink(id, [&running](aLink& link) {
            running = link.running != 0;
            if (running) link.status = aLINK_STATUS_SYNCING;
        }))
        return aErrParam;
    if (!running) return aErrNotReady;

    bool synced = pollFor(SYNC_POLLS, [id] { return viewOf(id).status == aLINK_STATUS_RUNNING; });
    // Packets queued before the sync and the remaining sync answers are stale now.
    aPacketFifo_DrainPackets(viewOf(id).outFifo, drainAll, nullptr);
    aTime_MSSleep(100);
    aPacketFifo_DrainPackets(viewOf(id).inFifo, drainAll, nullptr);
    return synced ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(uint32_t id, uint8_t on) {
    LinkView view = viewOf(id);
    if (!view.found) return aErrNotFound;
    return queuePacket(view.outFifo, ROUTE_ADDRESS, 1, &on);
}

uint32_t aLink_GetStatus(uint32_t id) {
    return viewOf(id).status;
}

// Packets --------------------------------------------------------------------------------

aErr aLink_PutPacket(uint32_t id, const aPacket* packet) {
    LinkView view = viewOf(id);
    if (!view.found) return aErrParam;
    return aPacketFifo_Put(view.outFifo, packet);
}

aPacket* aLink_GetPacket(uint32_t id) {
    LinkView view = viewOf(id);
    return view.found ? aPacketFifo_Get(view.inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t id, uint64_t ms) {
    LinkView view = viewOf(id);
    return view.found ? aPacketFifo_Await(view.inFifo, ms) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t id, aPacketPredicate predicate, const void* ref) {
    LinkView view = viewOf(id);
    return view.found ? aPacketFifo_GetFirst(view.inFifo, predicate, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t id, aPacketPredicate predicate, const void* ref, uint64_t ms) {
    if (!predicate) return nullptr; // nothing could ever match: no reason to wait
    uint64_t start = aTime_GetMonotonicMSTicks();
    uint64_t deadline = ms > UINT64_MAX - start ? UINT64_MAX : start + ms;
    // The link is looked up afresh after every wait: it may be torn down meanwhile.
    for (;;) {
        LinkView view = viewOf(id);
        if (!view.found || !view.running || view.status != aLINK_STATUS_RUNNING) return nullptr;
        uint64_t now = aTime_GetMonotonicMSTicks();
        if (now >= deadline) return nullptr;
        aPacket* packet = aPacketFifo_AwaitFirst(view.inFifo, predicate, ref, deadline - now);
        if (packet) return packet;
    }
}

size_t aLink_DrainPackets(uint32_t id, aPacketPredicate predicate, const void* ref) {
    LinkView view = viewOf(id);
    if (!view.found) return 0;
    return static_cast<size_t>(
        aPacketFifo_DrainPackets(view.inFifo, predicate ? predicate : drainAll, ref));
}

namespace {

// Runs fn on the link under userFilterSema; false for an unknown id. Not under the table
// lock: a running filter holds userFilterSema and may call back into the link's operations.
// The pin keeps the mutex alive whoever tears down.
template <typename Fn> bool withFilterSema(uint32_t id, Fn fn) {
    aLinkPin pin;
    if (!sPinLink(id, &pin) || !pin.link->userFilterSema) return false;
    aLink& link = *pin.link;
    aMutex_Lock(link.userFilterSema);
    fn(link);
    aMutex_Unlock(link.userFilterSema);
    return true;
}

} // namespace

aErr aLink_InstallUserPacketFilter(uint32_t id, aUserPacketFilter filter, void* ref) {
    return withFilterSema(id,
                          [&](aLink& link) {
                              link.userFilter = filter;
                              link.userFilterRef = ref;
                          })
               ? aErrNone
               : aErrParam;
}

aErr aLink_RemoveUserPacketFilter(uint32_t id, aUserPacketFilter filter, void* ref) {
    bool ours = false;
    if (!withFilterSema(id, [&](aLink& link) {
            ours = link.userFilter == filter && link.userFilterRef == ref;
            if (!ours) return;
            link.userFilter = nullptr;
            link.userFilterRef = nullptr;
        }))
        return aErrParam;
    return ours ? aErrNone : aErrNotFound;
}

aErr aLink_EnablePooledPackets(uint32_t id, uint8_t on) {
    return sWithLink(id, [on](aLink& link) { link.pooled = on; }) ? aErrNone : aErrParam;
}

// Packet log ---------------------------------------------------------------------------

namespace {

// Runs fn on the link's packet log slot under logSema; aErrParam for an unknown id. The
// ring is made, read and destroyed only under that mutex, so two enables make one ring and
// a reset never frees it under a reader.
template <typename Fn> aErr withLogSema(uint32_t id, Fn fn) {
    aLinkPin pin;
    if (!sPinLink(id, &pin) || !pin.link->logSema) return aErrParam;
    aLink& link = *pin.link;
    aMutex_Lock(link.logSema);
    aErr result = fn(link);
    aMutex_Unlock(link.logSema);
    return result;
}

// The same for operations that need the ring: aErrNotReady while the link has none.
template <typename Fn> aErr withPacketLog(uint32_t id, Fn fn) {
    return withLogSema(id, [&fn](aLink& link) {
        aPacketLog* log = link.packetLog.load();
        return log ? fn(log) : aErrNotReady;
    });
}

} // namespace

aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t size) {
    if (size > MAX_LOG_SIZE) return aErrParam;
    return withLogSema(id, [size](aLink& link) {
        if (link.packetLog.load()) return aErrBusy;
        link.logSize = size < 0 ? 0 : static_cast<uint32_t>(size);
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Enable(uint32_t id) {
    return withLogSema(id, [](aLink& link) {
        aPacketLog* log = link.packetLog.load();
        if (!log) {
            log = aPacketLog_Create(link.logSize ? link.logSize : DEFAULT_LOG_SIZE);
            if (!log) return aErrResource;
            link.packetLog = log;
        }
        log->enabled = 1;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Disable(uint32_t id) {
    return withPacketLog(id, [](aPacketLog* log) {
        log->enabled = 0;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Read(uint32_t id, uint32_t* type, uint32_t* length, uint8_t* destination) {
    return withPacketLog(
        id, [=](aPacketLog* log) { return aPacketLog_Get(log, type, length, destination); });
}

aErr aLink_PacketDebug_Write(uint32_t id, uint8_t type, uint32_t length, const uint8_t* bytes) {
    if (length > aPACKETLOG_MAX_DATA) return aErrParam;
    return withPacketLog(id,
                         [=](aPacketLog* log) { return aPacketLog_Put(log, type, length, bytes); });
}

// Probes -------------------------------------------------------------------------------

aErr _aLink_GetModuleAddress(uint32_t id, uint8_t* address) {
    if (!viewOf(id).found) return aErrTimeout;
    aPacket* answer = awaitAnswer(id, SYNC_ADDRESS, 0, nullptr);
    if (!answer) return aErrTimeout;
    aErr result = aErrIO;
    if (answer->length == 0 && answer->address != 0) {
        if (address) *address = answer->address;
        result = aErrNone;
    }
    aPacket_Destroy(&answer);
    return result;
}

aErr _aLink_GetModel(uint32_t id, uint8_t moduleAddress, uint8_t* model) {
    if (!viewOf(id).found) return aErrTimeout;
    // UEI get of the system entity's model: command 3, option 8 | get, index 0 | request.
    const uint8_t request[3] = {0x03, 0x48, 0x20};
    aPacket* answer = awaitAnswer(id, moduleAddress, 3, request);
    if (!answer) return aErrTimeout;
    aErr result = aErrIO;
    if (answer->address == moduleAddress && answer->length == 4 && answer->data[0] == 3) {
        if (model) *model = answer->data[3];
        result = aErrNone;
    }
    aPacket_Destroy(&answer);
    return result;
}

aThreadProc aLink_InPipeProc() {
    return sInPipeProcess;
}
aThreadProc aLink_OutPipeProc() {
    return sOutPipeProcess;
}
