// The object layer's handle of one connection to a module: where the module is, how the
// connection is shared, the core link it holds, and the request/reply exchange over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "aError.h"
#include "aPacket.h"
#include "discover.h"
#include "packetfifo.h"

namespace Keldoran::Tessaform {

// Sharing settings of a Link, copied by value.
struct aWeaveConfig {
    aWeaveConfig();
    // Puts USB, TCP/IP and serial links behind a local packet server; the packet-server
    // link types are allowed only while it is set.
    uint8_t enabled;
    // discoverAndConnect tries the other transport family once after certain failures.
    uint8_t fallback;
    // The local server listens on 127.0.0.1 only.
    uint8_t localOnly;
    // The local server's port; written back once a server is made.
    uint16_t assignedPort;
    // IPv4, network byte order: the interface the server serves on (written back) and the
    // one discovery uses.
    uint32_t networkInterface;
};

// Value types of a UEI transaction.
enum : int {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
};

// One UEI transaction. The reply filters write into it when they accept a reply.
struct uei {
    uint8_t module;
    uint8_t command;
    uint8_t option; // bit 6 get, bit 7 set, both: the reply to a set
    uint8_t index;  // bit 5 in every request, bit 6 a stream sample, bit 7 an error reply
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bufPtr; // byte buffer: start of a send, cursor of a receive
    } v;
    uint8_t sequence;  // byte-buffer receive: the sequence number the next packet carries
    uint8_t continues; // byte-buffer receive: continue bit of the last packet taken
    size_t bufferSize; // bytes to send, or the receive buffer's capacity
    size_t* transferred;
    int type;
};

// Called on the Link's callback thread for each stream packet that matches a subscription;
// the packet is valid only during the call. The result is not used.
using streamCallback = std::function<unsigned char(const aPacket*, void*)>;

class Link {
  public:
    struct impl;

    // The elements of a 40-bit stream key, by their number.
    enum STREAM_KEY : unsigned char {
        STREAM_KEY_MODULE_ADDRESS = 0, // bits 24 to 31, never a wildcard
        STREAM_KEY_CMD = 1,            // bits 16 to 23
        STREAM_KEY_OPTION = 2,         // bits 8 to 15
        STREAM_KEY_INDEX = 3,          // bits 0 to 7
        STREAM_KEY_SUBINDEX = 4,       // bits 32 to 39
    };
    // 0xFF in an element of a subscription's key matches any value.
    static constexpr unsigned char kStreamWildcard = 0xFF;

    // What a stream packet carries: a value of 8, 16 or 32 bits, with or without a
    // subindex, or a piece of a byte buffer.
    enum STREAM_PACKET : unsigned char {
        STREAM_PACKET_NONE = 0,
        STREAM_PACKET_U8 = 1,
        STREAM_PACKET_U16 = 2,
        STREAM_PACKET_U32 = 3,
        STREAM_PACKET_BYTES = 4,
        STREAM_PACKET_SUBINDEX_U8 = 5,
        STREAM_PACKET_SUBINDEX_U16 = 6,
        STREAM_PACKET_SUBINDEX_U32 = 7,
    };

    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };

    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    aErr getConfig(aWeaveConfig* out) const;
    // aErrMode while connected.
    aErr setConfig(aWeaveConfig config);

    // Finds the module by serial number, or with serial number 0 the first of the model
    // (any model for 0), and connects; see aWeaveConfig::fallback.
    aErr discoverAndConnect(linkType type, unsigned int serialNumber, unsigned char model = 0);
    // Connects from the stored specifier; aErrConnection while a link id is held.
    aErr connect();
    // Shares the other Link's core link, reached through this Link's specifier.
    aErr connectThroughLinkModule(Link& other);
    bool isConnected() const;
    // The core status word; 8 without a link id.
    uint32_t getStatus() const;
    aErr disconnect();
    aErr reset();

    const char* getName() const;
    aErr getLinkSpecifier(linkSpec* out) const;
    // aErrBusy while connected.
    aErr setLinkSpecifier(linkSpec spec);

    // UEI requests and replies. A reply filter is an aPacketPredicate whose reference is the
    // caller's uei, which it fills when it accepts.
    aErr sendUEI(uei u);
    aErr sendUEI(uei u, unsigned char subindex);
    aErr receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                    unsigned char index, uei* u);
    aErr receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                    unsigned char index, uei* u, aPacketPredicate filter);
    aErr dropMatchingUEIPackets(unsigned char module, unsigned char command, unsigned char option,
                                unsigned char index);

    // Raw packets: [command, data...] with at most 27 data bytes.
    aErr sendPacket(unsigned char address, unsigned char command, unsigned char length,
                    const unsigned char* data);
    // Awaits a packet from `address` whose first *length data bytes equal `pattern`; then
    // *length is its data length and `out` (28 bytes) holds its data.
    aErr receivePacket(unsigned char address, const unsigned char* pattern, unsigned char* length,
                       unsigned char* out);
    // Discards queued packets that receivePacket would take for this address and pattern, so
    // that a reply which came after its wait gave up is not taken for the next one's.
    aErr dropMatchingPackets(unsigned char address, const unsigned char* pattern,
                             unsigned char length);
    // Batched writes of the link's output; aErrParam without a link.
    aErr enablePooledPackets(bool on);
    // Asks the module on the link for its bus address; aErrNotReady when it does not say.
    aErr getModuleAddress(unsigned char* address);

    // The default reply filter of receiveUEI.
    static bool sUEIFilter(const aPacket* packet, const void* ref);
    // What every UEI reply filter checks first: a packet from u's module with its command,
    // option and index, and no stream sample. An error reply is decoded into u then (index
    // bit 7, the code in the value byte; a reply without a code reads as aErrUnknown).
    enum class ReplyHead { Rejected, Error, Value };
    static ReplyHead sMatchUEIReply(const aPacket* packet, uei* u);

    // Stream subscriptions. Enabling adds or replaces the subscription of (module, command,
    // option, index), any of the last three 0xFF for "any", and asks the module to stream;
    // disabling removes every subscription and cached value under that key and asks it to
    // stop. A refused request removes the subscription again. Once a call that removes or
    // replaces a subscription returns, its callback is never called again (a callback
    // running meanwhile on another thread is waited for): do not call it while holding
    // something the callback needs. Callbacks may call these operations themselves.
    aErr registerStreamCallback(unsigned char module, unsigned char command, unsigned char option,
                                unsigned char index, bool enable, streamCallback callback,
                                void* ref);
    aErr enableStream(unsigned char module, unsigned char command, unsigned char option,
                      unsigned char index, bool enable);
    aErr isLinkStreaming(unsigned char module, unsigned char* streaming);
    // The last sample of one concrete key that a subscription caught: aErrNone the first time
    // it is read, aErrStreamStale (the value still given) until the next one arrives,
    // aErrNotFound when there is none. What an entity's get asks before it sends anything.
    aErr getStreamValue(unsigned char module, unsigned char command, unsigned char option,
                        unsigned char index, unsigned char subindex, uint32_t* value) const;
    // The keys held (subscriptions and cached values), in key order, whose elements match;
    // 0xFF matches any.
    std::vector<uint64_t> filterActiveStreamKeys(unsigned char module, unsigned char command,
                                                 unsigned char option, unsigned char index,
                                                 unsigned char subindex, bool lock = true) const;
    // The cached values of the concrete keys that match; aErrSize when more match than
    // `capacity`, with *count those written.
    aErr getStreamStatus(unsigned char module, unsigned char command, unsigned char option,
                         unsigned char index, unsigned char subindex, StreamStatusEntry* entries,
                         size_t capacity, size_t* count) const;

    static uint64_t createStreamKey(unsigned char module, unsigned char command,
                                    unsigned char option, unsigned char index,
                                    unsigned char subindex);
    // 0 for an element number that names none.
    static unsigned char getStreamKeyElement(uint64_t key, STREAM_KEY element);
    static bool isStreamPacket(const aPacket* packet);
    // False, and kind STREAM_PACKET_NONE, for a packet that is no stream packet of a known kind.
    static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind);
    // A single value of a known kind with exactly its kind's length.
    static bool isStreamSample(const aPacket* packet);
    static bool isSubindexType(STREAM_PACKET kind);
    // Each output may be null. aErrPacket for no sample, aErrSize for a byte-buffer packet.
    static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
                                unsigned char* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

    // Store slots (command 4): a slot's byte image written or read through a handle.
    aErr loadStoreSlot(unsigned char address, unsigned char store, unsigned char slot,
                       const unsigned char* data, size_t length);
    // aErrOverrun when the slot is larger than `capacity`; its first bytes are then read.
    aErr unloadStoreSlot(unsigned char address, unsigned char store, unsigned char slot,
                         unsigned char* buffer, size_t capacity, size_t* read);
    aErr storeSlotSize(unsigned char address, unsigned char store, unsigned char slot,
                       size_t* size);
    aErr storeSlotCapacity(unsigned char address, unsigned char store, unsigned char slot,
                           size_t* capacity);

    // Factory data (command 0x5E) of a kind 0 to 15. The buffer must be larger than the data:
    // data that would fill `capacity` exactly gives aErrOverrun.
    aErr getFactoryData(unsigned char address, unsigned char kind, unsigned char* buffer,
                        size_t capacity, size_t* length);
    aErr setFactoryData(unsigned char address, unsigned char kind, const unsigned char* data,
                        size_t length);

    // A text log of every packet of the core link, one line per packet, appended to the file
    // of the first enable, also after a reconnect. Without a link id both give
    // aErrConfiguration; a file that cannot be opened gives aErrIO. disconnect stops it.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

  private:
    // The core link id held, 0 for none.
    uint32_t coreLinkId() const;

    std::unique_ptr<impl> pimpl;
};

} // namespace Keldoran::Tessaform
