// The Link: its connect road (core link creation, optionally behind a local packet server,
// discovery, fallback, sharing another Link's core link) and the UEI and raw exchange.
#include "Link.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "aDebugging.h"
#include "aFile.h"
#include "aLink.h"
#include "aLogger.h"
#include "aPacketDebug.h"
#include "aTime.h"
#include "aUEI.h"
#include "LinkStreams.h"

namespace Keldoran::Tessaform {

namespace {

// Every link creation of the process runs under it: the core's "is this module already
// linked?" look-ups and the server wrapping are not atomic across calls.
std::mutex linkCreateHelperSerializer;

constexpr size_t kMaxName = 1024;
constexpr uint8_t kProbeAddress = 0xAD;
constexpr uint64_t kReplyWaitMs = 1000;
constexpr uint64_t kLargeReplyWaitMs = 4000;
constexpr size_t kLargePayload = 1000;
constexpr uint8_t kMaxRawData = 27;
constexpr size_t kBytesPerPacket = 24;
constexpr unsigned short kConnectPolls = 200; // of 10 ms

// The packet log's start marker, its zero byte included.
constexpr char kLogStart[] = "START";
constexpr unsigned kLogIdleMs = 5;
// More entries than the smallest ones of a full 64 KiB ring.
constexpr uint32_t kLogDrainMost = 65536;

constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kIndexStream = 0x40;
constexpr uint8_t kIndexError = 0x80;

bool isAWEAVE(linkType type) {
    return type >= AWEAVE && type <= AWEAVE_SERIAL;
}

bool validModuleAddress(unsigned char address) {
    return address != 0 && (address & 1) == 0;
}

// The failures after which the other transport family is worth one try.
bool _fallbackHelper(aErr result, linkType type, bool fallback) {
    if (!fallback) return false;
    if (result != aErrNotFound && result != aErrInitialization && result != aErrConnection)
        return false;
    return type == USB || type == TCPIP || isAWEAVE(type);
}

bool cbModelCallback(const linkSpec* found, bool* accepted, void* ref) {
    auto* wanted = static_cast<linkSpec*>(ref);
    if (wanted->model != 0 && wanted->model != found->model) return true;
    std::memcpy(wanted, found, sizeof(linkSpec));
    *accepted = true;
    return false;
}

struct CommandPattern {
    uint8_t address;
    uint8_t count;
    const uint8_t* bytes;
};

// Replies come from the module asked; a module's stream samples are never replies.
bool sCommandFilter(const aPacket* packet, const void* ref) {
    const auto* pattern = static_cast<const CommandPattern*>(ref);
    if (packet->address != pattern->address || packet->length < pattern->count) return false;
    if (aUEI_isStreamPacket(packet)) return false;
    return pattern->count == 0 || std::memcmp(packet->data, pattern->bytes, pattern->count) == 0;
}

bool MatchMagic(const aPacket* packet, const void*) {
    return packet->length == 0;
}

// 0 when queued; the packet is the caller's to keep.
aErr queue(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &none);
    if (packet == nullptr) return aErrResource;
    aErr result = aLink_PutPacket(linkId, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Writes the value of a single-packet request at `at`; its length, or -1 for a type that
// has no single-packet form.
int putValue(const uei& u, uint8_t* at) {
    switch (u.type) {
    case ueiTypeVoid:
        return 0;
    case ueiTypeByte:
        at[0] = u.v.byteVal;
        return 1;
    case ueiTypeShort:
        aUEI_StoreShort(at, u.v.shortVal);
        return 2;
    case ueiTypeInt:
        aUEI_StoreInt(at, u.v.intVal);
        return 4;
    default:
        return -1;
    }
}

} // namespace

aWeaveConfig::aWeaveConfig()
    : enabled(1), fallback(1), localOnly(1), assignedPort(0), networkInterface(0) {
    const uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(&networkInterface, loopback, sizeof loopback);
}

struct Link::impl {
    impl(Link& link, const char* givenName) : owner(link) {
        if (givenName != nullptr) name = std::string(givenName, strnlen(givenName, kMaxName));
        hasName = givenName != nullptr;
    }
    ~impl() {
        // First: the stream filter runs on the core link's input thread with this record.
        streams.stop();
        stopPacketLog();
        if (linkId != 0) aLink_Destroy(&linkId);
        if (specifier != nullptr) aLinkSpec_Destroy(&specifier);
        if (logger != nullptr) aLogger_Destroy(&logger);
    }

    aErr setSpecifier(linkSpec spec);
    aErr getSpecifier(linkSpec* out) const;
    const char* getName() const { return hasName ? name.c_str() : nullptr; }
    aErr linkCreateHelper(linkSpec& spec, uint32_t reference);
    aErr connectHelper(uint32_t reference = 0);
    aErr waitForLink(unsigned short limit);
    aErr discoveryAndConnectHelper(linkType type, unsigned int serialNumber, unsigned char model,
                                   Link* caller);
    uint32_t serve(uint32_t deviceLinkId);
    // The logger's callback: moves at most one ring entry of link `linkId` into the file.
    static void readDebugBuffer(void* file, unsigned int linkId);
    // One ring entry as one line; false when the ring had none.
    static bool logOneEntry(aFile* file, uint32_t linkId);
    // Stops the logger thread, then writes what it had not yet taken from the ring: it idles
    // between reads, so the last packets before a disable would otherwise never be logged.
    aErr stopLogger();
    // Before the link id goes: the thread would otherwise poll an id that names nothing.
    void stopPacketLog() {
        if (logger == nullptr) return;
        if (linkId != 0) aLink_PacketDebug_Disable(linkId);
        stopLogger();
    }

    // Common checks of the exchange: a running link and a module address it can carry.
    aErr checkExchange(unsigned char module) const {
        if (!owner.isConnected()) return aErrConnection;
        if (!validModuleAddress(module)) return aErrPacket;
        return aErrNone;
    }

    Link& owner;
    uint32_t linkId = 0;
    aLogger* logger = nullptr;
    uint32_t loggerLinkId = 0; // the core link whose ring the logger reads
    std::string logPath;       // the file of the first enable
    aWeaveConfig config;
    std::string name;
    bool hasName = false;
    linkSpec* specifier = nullptr;
    LinkStreams streams{owner, linkId};
};

aErr Link::impl::setSpecifier(linkSpec spec) {
    if (owner.isConnected()) return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(spec);
    if (copy == nullptr) return aErrMemory;
    if (specifier != nullptr) aLinkSpec_Destroy(&specifier);
    specifier = copy;
    return aErrNone;
}

aErr Link::impl::getSpecifier(linkSpec* out) const {
    if (specifier == nullptr) return aErrNotFound;
    if (out == nullptr) return aErrParam;
    *out = *specifier;
    return aErrNone;
}

// Puts the device link behind a local server; the id of the client link through it, or 0
// with the device link released.
uint32_t Link::impl::serve(uint32_t deviceLinkId) {
    aDebug_Trace(aDEBUG_LINK, "serving device link %u\n", deviceLinkId);
    uint32_t client = aLink_CreateServer(deviceLinkId, &config.assignedPort,
                                         &config.networkInterface, config.localOnly);
    if (client == 0) {
        aDebug_Trace(aDEBUG_LINK, "Failed to create server\n");
        aLink_Destroy(&deviceLinkId);
        return 0;
    }
    aDebug_Trace(aDEBUG_LINK, "served through client link %u\n", client);
    return client;
}

// `reference` is a core link id that another Link holds: a packet-server link adds one use
// to it. This Link holds an id only once a create has counted a use for it.
aErr Link::impl::linkCreateHelper(linkSpec& spec, uint32_t reference) {
    std::lock_guard<std::mutex> lock(linkCreateHelperSerializer);
    const uint16_t port = static_cast<uint16_t>(spec.t.ip.ipPort & 0xFFFFu);
    uint32_t created = 0;
    switch (spec.type) {
    case USB:
        created = aLink_CreateUSB(spec.serialNumber);
        break;
    case TCPIP:
        created = aLink_CreateTCPIP(spec.serialNumber, spec.t.ip.ipAddress, port);
        break;
    case SERIAL:
        created =
            aLink_CreateSerial(spec.serialNumber, spec.t.serial.portName, spec.t.serial.baudRate);
        break;
    default:
        if (!isAWEAVE(spec.type)) return aErrMode;
        if (!config.enabled) return aErrConfiguration;
        created = aLink_CreateClient(spec.t.ip.ipAddress, port, reference);
        break;
    }
    if (created != 0 && !isAWEAVE(spec.type) && config.enabled) created = serve(created);
    linkId = created;
    return aErrNone;
}

aErr Link::impl::connectHelper(uint32_t reference) {
    linkSpec spec;
    if (getSpecifier(&spec) != aErrNone) return aErrConfiguration;
    aErr result = linkCreateHelper(spec, reference);
    if (result != aErrNone) return result;
    if (linkId == 0) return aErrConnection;
    return waitForLink(kConnectPolls);
}

aErr Link::impl::waitForLink(unsigned short limit) {
    uint32_t status = aLink_GetStatus(linkId);
    switch (status) {
    case aLINK_STATUS_STOPPED:
    case aLINK_STATUS_STARTING:
    case aLINK_STATUS_SYNCING:
        for (unsigned short sleeps = 0; status != aLINK_STATUS_RUNNING && sleeps < limit;
             sleeps++) {
            aTime_MSSleep(10);
            status = aLink_GetStatus(linkId);
        }
        return status == aLINK_STATUS_RUNNING ? aErrNone : aErrConnection;
    case aLINK_STATUS_RUNNING:
        return aErrNone;
    case aLINK_STATUS_STOPPING:
        return aErrBusy;
    case aLINK_STATUS_NO_STREAM:
    case aLINK_STATUS_IO_ERROR:
    case aLINK_STATUS_NOT_QUEUED:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, unsigned int serialNumber,
                                           unsigned char model, Link* caller) {
    linkSpec* found = nullptr;
    if (serialNumber != 0) {
        found = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
    } else {
        found = aLinkSpec_Create(type);
        if (found == nullptr) return aErrMemory;
        found->model = model;
        if (aDiscovery_EnumerateModules(type, cbModelCallback, found, config.networkInterface) == 0)
            aLinkSpec_Destroy(&found);
    }
    if (found == nullptr) return aErrNotFound;
    setSpecifier(*found);
    aLinkSpec_Destroy(&found);
    return caller->connect();
}

Link::Link(const char* name) : pimpl(std::make_unique<impl>(*this, name)) {}

Link::Link(linkSpec spec, const char* name) : Link(name) {
    pimpl->setSpecifier(spec);
}

Link::~Link() = default;

aErr Link::getConfig(aWeaveConfig* out) const {
    if (out == nullptr) return aErrParam;
    *out = pimpl->config;
    return aErrNone;
}

aErr Link::setConfig(aWeaveConfig config) {
    if (isConnected()) return aErrMode;
    pimpl->config = config;
    return aErrNone;
}

aErr Link::discoverAndConnect(linkType type, unsigned int serialNumber, unsigned char model) {
    // A held id stays as it is: rediscovery would replace the specifier under it.
    if (pimpl->linkId != 0) return aErrConnection;
    aErr result = pimpl->discoveryAndConnectHelper(type, serialNumber, model, this);
    if (_fallbackHelper(result, type, pimpl->config.fallback != 0)) {
        const linkType other = (type == USB || type == TCPIP) ? AWEAVE : USB;
        aDebug_Trace(aDEBUG_LINK, "Executing Fallback - old type: %d - new type: %d\n",
                     static_cast<int>(type), static_cast<int>(other));
        // A first attempt that linked but never ran holds an id for the old specifier.
        disconnect();
        result = pimpl->discoveryAndConnectHelper(other, serialNumber, model, this);
    }
    return result;
}

aErr Link::connect() {
    if (pimpl->linkId != 0) return aErrConnection;
    return pimpl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& other) {
    if (!other.pimpl || other.pimpl->linkId == 0) return aErrInitialization;
    if (pimpl->linkId != 0) return aErrConnection;
    return pimpl->connectHelper(other.pimpl->linkId);
}

bool Link::isConnected() const {
    return pimpl && pimpl->linkId != 0 && aLink_GetStatus(pimpl->linkId) == aLINK_STATUS_RUNNING;
}

uint32_t Link::getStatus() const {
    if (!pimpl || pimpl->linkId == 0) return aLINK_STATUS_NOT_QUEUED;
    return aLink_GetStatus(pimpl->linkId);
}

aErr Link::disconnect() {
    // Before the id goes: on a core link that others share, our filter would outlive us.
    pimpl->streams.stop();
    pimpl->stopPacketLog();
    if (pimpl->linkId != 0) aLink_Destroy(&pimpl->linkId);
    return aErrNone;
}

uint32_t Link::coreLinkId() const {
    return pimpl->linkId;
}

aErr Link::enablePacketLog(const char* path) {
    if (pimpl->linkId == 0) return aErrConfiguration;
    if (aErr result = aLink_PacketDebug_Enable(pimpl->linkId); result != aErrNone) return result;
    // The logger reads the ring of one core link; after a reconnect a new one appends to
    // the first file.
    if (pimpl->logger != nullptr && pimpl->loggerLinkId != pimpl->linkId)
        aLogger_Destroy(&pimpl->logger);
    if (pimpl->logger == nullptr) {
        // A later enable keeps the first file.
        if (pimpl->logPath.empty()) {
            if (path == nullptr) {
                aLink_PacketDebug_Disable(pimpl->linkId);
                return aErrParam;
            }
            pimpl->logPath = path;
        }
        pimpl->logger =
            aLogger_Create(pimpl->linkId, impl::readDebugBuffer, pimpl->logPath.c_str());
        if (pimpl->logger == nullptr) {
            // Nothing would ever drain the ring.
            aLink_PacketDebug_Disable(pimpl->linkId);
            pimpl->logPath.clear();
            return aErrIO;
        }
        pimpl->loggerLinkId = pimpl->linkId;
    }
    aErr result = aLogger_Enable(pimpl->logger);
    if (result == aErrNone)
        aLink_PacketDebug_Write(pimpl->linkId, aPACKETLOG_TEXT, sizeof kLogStart,
                                reinterpret_cast<const uint8_t*>(kLogStart));
    return result;
}

aErr Link::disablePacketLog() {
    if (pimpl->linkId == 0) return aErrConfiguration;
    aLink_PacketDebug_Disable(pimpl->linkId);
    if (pimpl->logger == nullptr) return aErrParam;
    return pimpl->stopLogger();
}

aErr Link::impl::stopLogger() {
    aErr result = aLogger_Disable(logger);
    if (result != aErrNone || loggerLinkId != linkId) return result;
    aFile* file = aFile_Open(logPath.c_str(), aFileModeAppend);
    if (file == nullptr) return result;
    // The ring is disabled, so it only empties; the bound holds should another user of the
    // core link have enabled it again.
    for (uint32_t n = 0; n < kLogDrainMost && logOneEntry(file, linkId); n++) {
    }
    aFile_Close(&file);
    return result;
}

// One line per entry: its length, ">" for a sent packet or "<" otherwise, the bytes (a text
// entry as characters), CR LF; written in one call so a line is never split.
void Link::impl::readDebugBuffer(void* file, unsigned int linkId) {
    // An empty ring, or a link that is gone: either way, no spinning.
    if (!logOneEntry(static_cast<aFile*>(file), linkId)) aTime_MSSleep(kLogIdleMs);
}

bool Link::impl::logOneEntry(aFile* file, uint32_t linkId) {
    uint32_t type = 0;
    uint32_t length = aPACKETLOG_MAX_DATA;
    uint8_t entry[aPACKETLOG_MAX_DATA];
    if (aLink_PacketDebug_Read(linkId, &type, &length, entry) != aErrNone) return false;
    std::string line = std::to_string(length) + (type == aPACKETLOG_SENT ? " > " : " < ");
    char hex[8];
    for (uint32_t i = 0; i < length; i++) {
        if (type == aPACKETLOG_TEXT) {
            line.push_back(static_cast<char>(entry[i]));
        } else {
            std::snprintf(hex, sizeof hex, "0x%X ", entry[i]);
            line += hex;
        }
    }
    line += "\r\n";
    aFile_Write(file, line.data(), line.size(), nullptr);
    return true;
}

aErr Link::reset() {
    if (pimpl->linkId != 0) aLink_Reset(pimpl->linkId);
    return aErrNone;
}

const char* Link::getName() const {
    return pimpl->getName();
}

aErr Link::getLinkSpecifier(linkSpec* out) const {
    return pimpl->getSpecifier(out);
}

aErr Link::setLinkSpecifier(linkSpec spec) {
    return pimpl->setSpecifier(spec);
}

aErr Link::sendUEI(uei u) {
    if (aErr result = pimpl->checkExchange(u.module); result != aErrNone) return result;
    uint8_t data[aPACKET_MAX_DATA] = {u.command, u.option, u.index};
    if (u.type != ueiTypeBytes) {
        int length = putValue(u, data + 3);
        if (length < 0) return aErrParam;
        return queue(pimpl->linkId, u.module, static_cast<uint8_t>(3 + length), data);
    }
    if (u.bufferSize != 0 && u.v.bufPtr == nullptr) return aErrParam;
    size_t offset = 0;
    uint8_t sequence = 0;
    for (;;) {
        const size_t taken = std::min(u.bufferSize - offset, kBytesPerPacket);
        const bool more = offset + taken < u.bufferSize;
        if (taken) std::memcpy(data + 3, u.v.bufPtr + offset, taken);
        data[3 + taken] = static_cast<uint8_t>((more ? 0x80u : 0u) | (sequence & 0x7Fu));
        aErr result = queue(pimpl->linkId, u.module, static_cast<uint8_t>(4 + taken), data);
        if (result != aErrNone || !more) return result;
        offset += taken;
        sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
    }
}

// Types without a single-packet form (byte buffers included) are refused.
aErr Link::sendUEI(uei u, unsigned char subindex) {
    if (aErr result = pimpl->checkExchange(u.module); result != aErrNone) return result;
    uint8_t data[aPACKET_MAX_DATA] = {u.command, u.option, u.index, subindex};
    int length = putValue(u, data + 4);
    if (length < 0) return aErrParam;
    return queue(pimpl->linkId, u.module, static_cast<uint8_t>(4 + length), data);
}

aErr Link::receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                      unsigned char index, uei* u) {
    return receiveUEI(module, command, option, index, u, sUEIFilter);
}

// The filter compares against u's own fields; the four bytes only name the transaction.
aErr Link::receiveUEI(unsigned char module, unsigned char, unsigned char, unsigned char, uei* u,
                      aPacketPredicate filter) {
    if (aErr result = pimpl->checkExchange(module); result != aErrNone) return result;
    if (u == nullptr || filter == nullptr) return aErrParam;
    uint64_t wait = kReplyWaitMs;
    if (u->type == ueiTypeBytes && u->bufferSize > kLargePayload) {
        wait = kLargeReplyWaitMs;
        aDebug_Trace(aDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
                     static_cast<unsigned long>(wait));
    }
    aPacket* reply = aLink_AwaitFirst(pimpl->linkId, filter, u, wait);
    if (reply == nullptr) return aErrTimeout;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(unsigned char module, unsigned char command, unsigned char option,
                                  unsigned char index) {
    if (aErr result = pimpl->checkExchange(module); result != aErrNone) return result;
    uei u{};
    u.module = module;
    u.command = command;
    u.option = option;
    u.index = index;
    aLink_DrainPackets(pimpl->linkId, sUEIFilter, &u);
    return aErrNone;
}

Link::ReplyHead Link::sMatchUEIReply(const aPacket* packet, uei* u) {
    if (packet->address != u->module || packet->length < 3) return ReplyHead::Rejected;
    const uint8_t* d = packet->data;
    if (d[0] != u->command || d[1] != u->option) return ReplyHead::Rejected;
    if ((d[2] & kIndexStream) != 0 || (d[2] & kIndexMask) != u->index) return ReplyHead::Rejected;
    if ((d[2] & kIndexError) == 0) return ReplyHead::Value;
    u->index = d[2];
    // An error without a code would read as success.
    u->v.byteVal = (packet->length >= 4 && d[3] != 0) ? d[3] : static_cast<uint8_t>(aErrUnknown);
    return ReplyHead::Error;
}

// The reference is the caller's uei, written only when the packet is taken (the core hands
// predicates a const reference; the record is the caller's own to fill).
bool Link::sUEIFilter(const aPacket* packet, const void* ref) {
    auto* u = static_cast<uei*>(const_cast<void*>(ref));
    ReplyHead head = sMatchUEIReply(packet, u);
    if (head != ReplyHead::Value) return head == ReplyHead::Error;
    const uint8_t* d = packet->data;
    switch (packet->length) {
    case 3:
        u->type = ueiTypeVoid;
        break;
    case 4:
        u->type = ueiTypeByte;
        u->v.intVal = 0;
        u->v.byteVal = d[3];
        break;
    case 5:
        u->type = ueiTypeShort;
        u->v.intVal = 0;
        u->v.shortVal = aUEI_RetrieveShort(d + 3);
        break;
    case 7:
        u->type = ueiTypeInt;
        u->v.intVal = aUEI_RetrieveInt(d + 3);
        break;
    default:
        break;
    }
    return true;
}

aErr Link::sendPacket(unsigned char address, unsigned char command, unsigned char length,
                      const unsigned char* data) {
    if (!isConnected()) return aErrConnection;
    if (length > kMaxRawData) return aErrParam;
    if (!validModuleAddress(address)) return aErrPacket;
    if (length != 0 && data == nullptr) return aErrParam;
    uint8_t bytes[aPACKET_MAX_DATA] = {command};
    if (length) std::memcpy(bytes + 1, data, length);
    return queue(pimpl->linkId, address, static_cast<uint8_t>(length + 1), bytes);
}

aErr Link::receivePacket(unsigned char address, const unsigned char* pattern, unsigned char* length,
                         unsigned char* out) {
    if (aErr result = pimpl->checkExchange(address); result != aErrNone) return result;
    if (length == nullptr || out == nullptr || (*length != 0 && pattern == nullptr))
        return aErrParam;
    if (*length > aPACKET_MAX_DATA) return aErrParam;
    const CommandPattern match{address, *length, pattern};
    aPacket* reply = aLink_AwaitFirst(pimpl->linkId, sCommandFilter, &match, kReplyWaitMs);
    if (reply == nullptr) return aErrTimeout;
    *length = reply->length;
    std::memcpy(out, reply->data, reply->length);
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::dropMatchingPackets(unsigned char address, const unsigned char* pattern,
                               unsigned char length) {
    if (aErr result = pimpl->checkExchange(address); result != aErrNone) return result;
    if ((length != 0 && pattern == nullptr) || length > aPACKET_MAX_DATA) return aErrParam;
    const CommandPattern match{address, length, pattern};
    aLink_DrainPackets(pimpl->linkId, sCommandFilter, &match);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool on) {
    if (pimpl->linkId == 0) return aErrParam;
    return aLink_EnablePooledPackets(pimpl->linkId, on ? 1 : 0);
}

aErr Link::getModuleAddress(unsigned char* address) {
    if (address == nullptr) return aErrParam;
    *address = 0;
    if (!isConnected()) return aErrNotReady;
    aDebug_Trace(aDEBUG_LINK, "getModuleAddress\n");
    queue(pimpl->linkId, kProbeAddress, 0, nullptr);
    aDebug_Trace(aDEBUG_LINK, "getModuleAddress wait\n");
    aPacket* answer = aLink_AwaitFirst(pimpl->linkId, MatchMagic, nullptr, kReplyWaitMs);
    if (answer == nullptr) return aErrNotReady;
    *address = answer->address;
    aPacket_Destroy(&answer);
    return aErrNone;
}

aErr Link::registerStreamCallback(unsigned char module, unsigned char command, unsigned char option,
                                  unsigned char index, bool enable, streamCallback callback,
                                  void* ref) {
    return pimpl->streams.registerStreamCallback(module, command, option, index, enable,
                                                 std::move(callback), ref);
}

aErr Link::enableStream(unsigned char module, unsigned char command, unsigned char option,
                        unsigned char index, bool enable) {
    return registerStreamCallback(module, command, option, index, enable, nullptr, nullptr);
}

aErr Link::isLinkStreaming(unsigned char module, unsigned char* streaming) {
    return pimpl->streams.isLinkStreaming(module, streaming);
}

aErr Link::getStreamValue(unsigned char module, unsigned char command, unsigned char option,
                          unsigned char index, unsigned char subindex, uint32_t* value) const {
    return pimpl->streams.getStreamValue(module, command, option, index, subindex, value);
}

std::vector<uint64_t> Link::filterActiveStreamKeys(unsigned char module, unsigned char command,
                                                   unsigned char option, unsigned char index,
                                                   unsigned char subindex, bool lock) const {
    return pimpl->streams.filterActiveStreamKeys(module, command, option, index, subindex, lock);
}

aErr Link::getStreamStatus(unsigned char module, unsigned char command, unsigned char option,
                           unsigned char index, unsigned char subindex, StreamStatusEntry* entries,
                           size_t capacity, size_t* count) const {
    return pimpl->streams.getStreamStatus(module, command, option, index, subindex, entries,
                                          capacity, count);
}

} // namespace Keldoran::Tessaform
