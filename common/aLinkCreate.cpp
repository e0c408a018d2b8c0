// Making and ending links: initialising a record around a stream, creating links for a
// module (shared by use counts), tearing down at the last use, and resets.
//
// Every kind of link is one row of KINDS: how a new link of that kind comes into service
// and how its stream is made again on a reset. Create and reset both go through the row.
#include <atomic>
#include <cstdio>

#include "aDebugging.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aServer_ZeroMQ.h"
#include "aStream_Serial.h"
#include "aStream_USB.h"
#include "aStream_ZeroMQClient.h"
#include "aTime.h"

namespace {

constexpr int RESET_TRIES = 20;
constexpr uint64_t RESET_PAUSE_MS = 100;
constexpr uint32_t LEGACY_IDENT = 0xFFFFFFFF;
constexpr int CONFIGURE_TRIES = 5;
constexpr uint64_t CONFIGURE_PAUSE_MS = 10;

// The identifiers of a table entry (what each means depends on the kind).
struct Identity {
    uint32_t ident0 = 0;
    uint32_t ident1 = 0;
    uint32_t ident2 = 0;
};

using OpenProc = aErr (*)(const Identity& who, aStream** stream);

// How a new link comes into service: USB links must answer a sync first.
enum class Sync { No, Required };

struct LinkKind {
    linkType type;
    Sync sync;
    // Opens the stream from the entry's identifiers alone; nullptr when that cannot be done
    // (the stream was the caller's, or needs more than the entry holds): such a link cannot
    // be reset.
    OpenProc open;
};

aErr openUSB(const Identity& who, aStream** stream) {
    return aStream_CreateUSB(who.ident0, stream);
}

aErr openSocket(const Identity& who, aStream** stream) {
    return aStream_CreateSocket(who.ident1, static_cast<uint16_t>(who.ident2), stream);
}

// A client link's entry holds the server's address and port; its third identifier only
// keeps client links apart.
aErr openClient(const Identity& who, aStream** stream) {
    return aStream_CreateClient(who.ident0, static_cast<uint16_t>(who.ident1), stream);
}

constexpr LinkKind KINDS[] = {
    {LEGACY_LINK, Sync::No, nullptr}, {USB, Sync::Required, openUSB}, {TCPIP, Sync::No, openSocket},
    {SERIAL, Sync::No, nullptr},      {AWEAVE, Sync::No, openClient},
};

// Raised after every new client entry, so that each new client link is an entry of its own.
std::atomic<uint32_t> _clientCount{0};

const LinkKind* kindOf(linkType type) {
    for (const LinkKind& kind : KINDS)
        if (kind.type == type) return &kind;
    return nullptr;
}

// Once this returns the old filter is no longer running and is never called again.
void clearFilter(aLink& link) {
    if (!link.userFilterSema) return;
    aMutex_Lock(link.userFilterSema);
    link.userFilter = nullptr;
    link.userFilterRef = nullptr;
    aMutex_Unlock(link.userFilterSema);
}

// Fills the record around the stream. The mutexes are made once and live as long as the
// record, so that callers holding the record can always lock them; everything else is new.
bool initLocked(aLink& link, uint32_t id, aStream* stream) {
    link.id = id;
    link.check = aLINK_CHECK;
    link.running = 0;
    if (stream) {
        link.stream = stream;
        link.status = aLINK_STATUS_STOPPED;
    } else {
        link.status = aLINK_STATUS_NO_STREAM;
    }
    link.inThread = nullptr;
    link.outThread = nullptr;
    link.inFifo = aPacketFifo_Create();
    link.outFifo = aPacketFifo_Create();
    link.inProc = aLink_InPipeProc();
    link.outProc = aLink_OutPipeProc();
    link.inStarted = 0;
    link.outStarted = 0;
    link.hbState = 0;
    link.hbCallback = nullptr;
    link.syncState = 0;
    link.rxPacket = aPacket_Create();
    link.pooled = 0;
    link.inDropped = 0;
    char name[aMUTEX_MAX_NAME];
    if (!link.userFilterSema) {
        snprintf(name, sizeof(name), "aLink(%p)->userFilterSema", static_cast<void*>(&link));
        link.userFilterSema = aMutex_Create(name);
    }
    if (!link.logSema) {
        snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(&link));
        link.logSema = aMutex_Create(name);
    }
    clearFilter(link);
    if (link.logSema) {
        aMutex_Lock(link.logSema);
        link.logSize = 0;
        aMutex_Unlock(link.logSema);
    }
    // What was made stays in the record for the teardown to free.
    return link.inFifo && link.outFifo && link.rxPacket && link.userFilterSema && link.logSema;
}

// Stops the link and frees everything behind the record; the record itself goes with the
// last pin. Waits for a start or reset in progress on another thread.
aErr tearDown(aLinkEntry* entry) {
    std::shared_ptr<aLink> link = entry->link;
    if (!link) {
        sFreeEntry(entry);
        return aErrUnknown;
    }
    aErr result;
    {
        std::lock_guard<std::mutex> control(link->control);
        link->retired = true;
        // The filter goes first: its owner may be going away with its last use of the link.
        clearFilter(*link);
        aLink_StopLocked(*link);
        if (entry->server) aServer_Destroy(&entry->server);
        if (entry->pairedId) {
            uint32_t paired = entry->pairedId;
            aLink_Destroy(&paired);
        }
        result = aLink_FreeResources(*link);
        link->check = 0;
    }
    sFreeEntry(entry);
    return result;
}

// Adds the creator's use and starts the link; on any failure the half-made link goes.
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

// Makes the entry, opens its stream and starts the new link; 0 (and nothing left in the
// table) on any failure.
template <typename Open> uint32_t createNewLink(const LinkKind& kind, Identity who, Open open) {
    uint32_t id = sCreate2(who.ident0, who.ident1, who.ident2, kind.type);
    if (!id) return 0;
    aStream* stream = nullptr;
    aErr result = open(who, &stream);
    bool initialised = aLink_Init(id, stream) == id;
    if (!initialised && result == aErrNone) result = aErrConnection;
    return startNew(id, result, stream != nullptr, kind.sync);
}

// The path every module create takes: share the module's link when it has one, else make a
// new one.
template <typename Open> uint32_t createModuleLink(const LinkKind& kind, Identity who, Open open) {
    uint32_t id = 0;
    switch (sUseExisting(who.ident0, kind.type, &id)) {
    case aLinkReuse::Used:
        return id;
    case aLinkReuse::Served:
        return 0;
    case aLinkReuse::None:
        break;
    }
    return createNewLink(kind, who, open);
}

uint32_t createModuleLink(linkType type, Identity who) {
    const LinkKind& kind = *kindOf(type);
    return createModuleLink(kind, who, kind.open);
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

// The reset itself, on a pinned record: at most one runs at a time, and never beside a
// start or teardown.
aErr resetPinned(const aLinkPin& pin) {
    aLink& link = *pin.link;
    std::lock_guard<std::mutex> control(link.control);
    if (link.retired) return aErrParam;
    aLink_StopLocked(link);
    aLink_FreeResources(link);

    const LinkKind* kind = kindOf(pin.type);
    const Identity who{pin.ident0, pin.ident1, pin.ident2};
    aStream* stream = nullptr;
    aErr result = aErrParam;
    for (int attempt = 0; attempt < RESET_TRIES; attempt++) {
        result = kind && kind->open ? kind->open(who, &stream) : aErrParam;
        if (stream) break;
        aTime_MSSleep(RESET_PAUSE_MS);
    }
    if (!stream) return result;
    if (!initLocked(link, link.id, stream)) return aErrResource;
    return aLink_StartLocked(link);
}

} // namespace

aLink::~aLink() {
    aPacketLog* log = packetLog.exchange(nullptr);
    aPacketLog_Destroy(&log);
    if (logSema) aMutex_Destroy(&logSema);
    if (userFilterSema) aMutex_Destroy(&userFilterSema);
    check = 0;
}

aErr aLink_FreeResources(aLink& link) {
    clearFilter(link);
    aPacketFifoId inFifo = link.inFifo.exchange(0);
    aPacketFifoId outFifo = link.outFifo.exchange(0);
    aPacketFifo_Destroy(&inFifo);
    aErr result = outFifo ? aPacketFifo_Destroy(&outFifo) : aErrNone;
    aPacket_Destroy(&link.rxPacket);
    if (link.logSema) {
        aMutex_Lock(link.logSema);
        aPacketLog* log = link.packetLog.exchange(nullptr);
        aPacketLog_Destroy(&log);
        aMutex_Unlock(link.logSema);
    }
    if (link.stream) aStream_Destroy(&link.stream);
    link.stream = nullptr;
    return result;
}

uint32_t aLink_Init(uint32_t id, aStream* stream) {
    aLinkPin pin;
    if (!sPinLink(id, &pin)) return 0;
    std::lock_guard<std::mutex> control(pin.link->control);
    return initLocked(*pin.link, id, stream) ? id : 0;
}

uint32_t aLink_Create(aStream* stream) {
    uint32_t id = sCreate(LEGACY_IDENT, 0, LEGACY_LINK);
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

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
    return createModuleLink(USB, {serialNumber, 0, 0});
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
    return createModuleLink(TCPIP, {serialNumber, address, port});
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    uint32_t baudIndex = 0;
    // Checked before an entry exists, so a refused rate leaves the table as it was.
    if (!portName || !baudIndexOf(baudRate, &baudIndex)) return 0;
    return createModuleLink(
        *kindOf(SERIAL), {serialNumber, 0, 0}, [&](const Identity&, aStream** stream) {
            // No parity, 8 data bits, one stop bit.
            return aStream_CreateSerial_Packetized(portName, baudIndex, 0, 0, 0, stream);
        });
}

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t linkId) {
    if (linkId) {
        // Another holder shares the link it names.
        if (sUseEntry(linkId)) return linkId;
        aDebug_Trace(aDEBUG_LINK, "The provided ref is invalid.\n");
        return 0;
    }
    const LinkKind& kind = *kindOf(AWEAVE);
    return createNewLink(kind, {address, port, _clientCount.fetch_add(1)}, kind.open);
}

aErr _aLink_ConfigureServerDetails(uint32_t clientId, aServer* server) {
    // Whatever an earlier failed try left behind is not an answer to these probes.
    aLink_DrainPackets(
        clientId, [](const aPacket*, const void*) { return true; }, nullptr);
    uint8_t address = 0;
    aErr result = _aLink_GetModuleAddress(clientId, &address);
    aServer_SetModuleAddress(server, result == aErrNone ? address : 0);
    if (result == aErrNone) {
        uint8_t model = 0;
        result = _aLink_GetModel(clientId, address, &model);
        aServer_SetModel(server, result == aErrNone ? model : 0);
    }
    if (result != aErrNone) aServer_FlushFIFO(server);
    return result;
}

uint32_t aLink_CreateServer(uint32_t deviceLinkId, uint16_t* port, uint32_t* interfaceAddress,
                            uint8_t localOnly) {
    uint32_t clientId = 0;
    // Only the client link goes: its pairing is cleared first, so the device link keeps
    // its uses (its creator releases it) and the server stays in front of it until then.
    auto fail = [&clientId](const char* step) -> uint32_t {
        if (step) aDebug_Trace(aDEBUG_LINK, "FAIL: %s:\n", step);
        if (clientId) {
            sSetPairedId(clientId, 0);
            aLink_Destroy(&clientId);
        }
        aDebug_Trace(aDEBUG_SERVER, "Failed to create server\n");
        return 0;
    };
    if (!port || !interfaceAddress || !deviceLinkId) return fail(nullptr);
    uint32_t served = *interfaceAddress;
    if (!sLookupEntryByID(deviceLinkId)) return fail("sLookupEntryByID");
    aServer* server = aServer_Create(deviceLinkId, served, localOnly != 0);
    if (!server) return fail("aServer_Create");
    if (!sAttachServer(deviceLinkId, server)) {
        aServer_Destroy(&server);
        return fail("link already served");
    }
    // From here the device link owns the server and destroys it with itself.
    if (aServer_Start(server) != aErrNone) return fail("aServer_Start");
    if (aServer_GetPort(server, port) != aErrNone) return fail("aServer_GetPort");
    if (aServer_GetInterface(server, &served) != aErrNone) return fail("aServer_GetInterface");
    clientId = aLink_CreateClient(served, *port, 0);
    if (!clientId) return fail("aLink_CreateClient");
    if (!sSetPairedId(clientId, deviceLinkId)) return fail("NULL != clientItem");
    for (int attempt = 1;; attempt++) {
        if (_aLink_ConfigureServerDetails(clientId, server) == aErrNone) break;
        if (attempt == CONFIGURE_TRIES) return fail("NULL != _getDeviceInfo");
        aDebug_Trace(aDEBUG_LINK, "FAIL: for _getDeviceInfo will try again. :\n");
        aTime_MSSleep(CONFIGURE_PAUSE_MS);
    }
    *interfaceAddress = served;
    return clientId;
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
    aLinkPin pin;
    pin.link = entry->link;
    pin.type = entry->type;
    pin.ident0 = entry->ident0;
    pin.ident1 = entry->ident1;
    pin.ident2 = entry->ident2;
    return resetPinned(pin);
}

aErr aLink_Reset(uint32_t id) {
    aLinkPin pin;
    return sPinLink(id, &pin) ? resetPinned(pin) : aErrParam;
}
