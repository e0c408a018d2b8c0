// Making and ending links: initialising a record around a stream, creating links for a
// module (shared by use counts), tearing down at the last use, and resets.
#include <cstdio>

#include "aDebugging.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aTime.h"
#include "aStream_Serial.h"
#include "aStream_USB.h"

namespace {

constexpr int RESET_TRIES = 20;
constexpr uint64_t RESET_PAUSE_MS = 100;
constexpr uint32_t LEGACY_IDENT = 0xFFFFFFFF;

aErr createStream(const aLinkEntry* entry, aStream** stream) {
    switch (entry->type) {
    case aLINK_TYPE_USB:
        return aStream_CreateUSB(entry->ident0, stream);
    case aLINK_TYPE_TCPIP:
        return aStream_CreateSocket(entry->ident1, static_cast<uint16_t>(entry->ident2), stream);
    default: // links over a caller's stream and serial links cannot be re-made
        return aErrParam;
    }
}

// Stops the link and frees everything behind the record, then the record and entry.
aErr tearDown(aLinkEntry* entry) {
    aLink* link = entry->link;
    if (!link) {
        delete entry;
        return aErrUnknown;
    }
    if (link->userFilterSema) {
        aMutex_Lock(link->userFilterSema);
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
        aMutex_Unlock(link->userFilterSema);
    }
    aLink_Stop(link);
    if (entry->pairedId) {
        uint32_t paired = entry->pairedId;
        aLink_Destroy(&paired);
    }
    aErr result = aLink_FreeResources(link);
    link->check = 0;
    sFreeEntry(entry);
    return result;
}

// Adds the creator's use and starts the link; on any failure the half-made link goes.
// How a new link comes into service: USB links must answer a sync first.
enum class Sync { No, Required };

uint32_t startNew(uint32_t id, aErr result, bool withStream, Sync sync) {
    if (result == aErrNone && withStream) {
        sChangeUseCount(sLookupEntryByID(id), +1);
        result = aLink_Start(id);
        if (result == aErrNone && sync == Sync::Required) result = aLink_Sync(id);
    } else if (result == aErrNone) {
        result = aErrConnection;
    }
    if (result != aErrNone) {
        aDebug_Trace(aDEBUG_LINK, " link %u not created: %d\n", id, result);
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

} // namespace

aErr aLink_FreeResources(aLink* link) {
    aPacketFifo_Destroy(&link->inFifo);
    aErr result = link->outFifo ? aPacketFifo_Destroy(&link->outFifo) : aErrNone;
    link->inFifo = 0;
    link->outFifo = 0;
    aPacket_Destroy(&link->rxPacket);
    aPacketLog* log = link->packetLog.exchange(nullptr);
    aPacketLog_Destroy(&log);
    aMutex* logSema = link->logSema.exchange(nullptr);
    if (logSema) aMutex_Destroy(&logSema);
    if (link->userFilterSema) aMutex_Destroy(&link->userFilterSema);
    if (link->stream) aStream_Destroy(&link->stream);
    link->stream = nullptr;
    return result;
}

uint32_t aLink_Init(uint32_t id, aStream* stream) {
    aLink* link = sGetLink(id);
    if (!link) return 0;
    link->id = id;
    link->check = aLINK_CHECK;
    link->running = 0;
    if (stream) {
        link->stream = stream;
        link->status = aLINK_STATUS_STOPPED;
    } else {
        link->status = aLINK_STATUS_NO_STREAM;
    }
    link->inThread = nullptr;
    link->outThread = nullptr;
    link->inFifo = aPacketFifo_Create();
    link->outFifo = aPacketFifo_Create();
    link->inProc = aLink_InPipeProc();
    link->outProc = aLink_OutPipeProc();
    link->inStarted = 0;
    link->outStarted = 0;
    link->hbState = 0;
    link->hbCallback = nullptr;
    link->syncState = 0;
    link->rxPacket = aPacket_Create();
    link->packetLog = nullptr;
    link->logSize = 0;
    link->logSema = nullptr;
    link->pooled = 0;
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    char name[255];
    snprintf(name, sizeof(name), "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterSema = aMutex_Create(name);
    // What was made stays in the record for the teardown to free.
    if (!link->inFifo || !link->outFifo || !link->rxPacket || !link->userFilterSema) return 0;
    return id;
}

uint32_t aLink_Create(aStream* stream) {
    uint32_t id = sCreate(LEGACY_IDENT, 0, aLINK_TYPE_LEGACY);
    if (!id) {
        // The link takes the stream over in every case, also when it cannot be made.
        aStream_Destroy(&stream);
        return 0;
    }
    if (aLink_Init(id, stream) != id || !stream) {
        aLink_Destroy(&id);
        return 0;
    }
    if (aLink_Start(id) != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(id), +1);
    return id;
}

namespace {

// The path every module create takes: share the module's link when it has one, else make
// the entry (0: refused), open its stream, and start the new link.
template <typename MakeEntry, typename OpenStream>
uint32_t createModuleLink(uint32_t serialNumber, uint32_t type, MakeEntry makeEntry,
                          OpenStream openStream, Sync sync = Sync::No) {
    uint32_t id = 0;
    switch (sUseExisting(serialNumber, type, &id)) {
    case aLinkReuse::Used:
        return id;
    case aLinkReuse::Served:
        return 0;
    case aLinkReuse::None:
        break;
    }
    id = makeEntry();
    if (!id) return 0;
    aStream* stream = nullptr;
    aErr result = openStream(&stream);
    bool initialised = aLink_Init(id, stream) == id;
    if (!initialised && result == aErrNone) result = aErrConnection;
    return startNew(id, result, stream != nullptr, sync);
}

// Serial line rates and the baud index the serial stream takes for each.
constexpr uint32_t BAUD_RATES[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

bool baudIndexOf(uint32_t baudRate, uint32_t* index) {
    for (uint32_t i = 0; i < sizeof(BAUD_RATES) / sizeof(BAUD_RATES[0]); i++) {
        if (BAUD_RATES[i] == baudRate) {
            *index = i;
            return true;
        }
    }
    return false;
}

} // namespace

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
    return createModuleLink(
        serialNumber, aLINK_TYPE_USB, [=] { return sCreate(serialNumber, 0, aLINK_TYPE_USB); },
        [=](aStream** stream) { return aStream_CreateUSB(serialNumber, stream); }, Sync::Required);
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
    return createModuleLink(
        serialNumber, aLINK_TYPE_TCPIP,
        [=] { return sCreate2(serialNumber, address, port, aLINK_TYPE_TCPIP); },
        [=](aStream** stream) { return aStream_CreateSocket(address, port, stream); });
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    uint32_t baudIndex = 0;
    return createModuleLink(
        serialNumber, aLINK_TYPE_SERIAL,
        [&]() -> uint32_t {
            // Checked before an entry exists, so a refused rate leaves the table as it was.
            if (!portName || !baudIndexOf(baudRate, &baudIndex)) return 0;
            return sCreate(serialNumber, 0, aLINK_TYPE_SERIAL);
        },
        [&](aStream** stream) {
            // No parity, 8 data bits, one stop bit.
            return aStream_CreateSerial_Packetized(portName, baudIndex, 0, 0, 0, stream);
        });
}

aErr aLink_Destroy(uint32_t* id) {
    if (!id) return aErrParam;
    bool found = false;
    aLinkEntry* last = sReleaseUse(*id, &found);
    *id = 0;
    if (!found) return aErrParam;
    return last ? tearDown(last) : aErrNone;
}

aErr aLink_ResetLink(aLinkEntry* entry) {
    if (!entry || !entry->link) return aErrParam;
    aLink* link = entry->link;
    aLink_Stop(link);
    aLink_FreeResources(link);

    aStream* stream = nullptr;
    aErr result = aErrParam;
    for (int attempt = 0; attempt < RESET_TRIES; attempt++) {
        result = createStream(entry, &stream);
        if (stream) break;
        aTime_MSSleep(RESET_PAUSE_MS);
    }
    if (!stream) return result;
    if (aLink_Init(entry->id, stream) != entry->id) return aErrResource;
    return aLink_Start(entry->id);
}

aErr aLink_Reset(uint32_t id) {
    aLinkEntry* entry = sLookupEntryByID(id);
    return entry ? aLink_ResetLink(entry) : aErrParam;
}
