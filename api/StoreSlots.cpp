// A Link's store slots (command 4) and factory data (command 0x5E): byte images moved over
// raw request/reply packets, one reply awaited per request.
#include <algorithm>
#include <cstring>

#include "Link.h"
#include "aLink.h"

namespace Keldoran::Tessaform {

namespace {

constexpr uint8_t kSlotCommand = 4;
enum : uint8_t { kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4 };
enum : uint8_t { kRead = 6, kWrite = 7, kClose = 8 };
constexpr uint8_t kNoHandle = 255;
constexpr size_t kSlotChunk = 25;

constexpr uint8_t kFactoryCommand = 0x5E;
constexpr size_t COMMAND_OVERHEAD = 2;
constexpr size_t kFactoryChunk = aPACKET_MAX_DATA - COMMAND_OVERHEAD;
constexpr uint8_t kKindBits = 0x0F;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryFinish = 0x20;
constexpr uint8_t kFactoryFirst = 0x40;
// The finish carries the total in 16 bits.
constexpr size_t kMaxTotal = 0xFFFF;

constexpr uint8_t kErrorBit = 0x80;
constexpr uint64_t kReplyWaitMs = 1000;
constexpr uint64_t kOpenWaitMs = 3000;

struct SlotRequest {
    uint8_t address;
    uint8_t sub;
    uint8_t store; // sub-commands 1 to 4
    uint8_t slot;
    uint8_t handle; // sub-commands 5 to 8
};

bool namesSlot(uint8_t sub) {
    return sub >= kCapacity && sub <= kOpenWrite;
}

// A reply from the module asked, long enough for the fields it echoes.
bool sSlotFilter(const aPacket* packet, const void* ref) {
    const auto* r = static_cast<const SlotRequest*>(ref);
    const uint8_t* d = packet->data;
    if (packet->address != r->address || packet->length < 3) return false;
    if (d[0] != kSlotCommand || (d[1] & ~kErrorBit) != r->sub) return false;
    if (namesSlot(r->sub)) return packet->length >= 4 && d[2] == r->store && d[3] == r->slot;
    return r->sub >= 5 && r->sub <= kClose && d[2] == r->handle;
}

struct FactoryRequest {
    uint8_t address;
    uint8_t kind; // the request's kind bits; 0 for a finish
};

bool sFactoryFilter(const aPacket* packet, const void* ref) {
    const auto* r = static_cast<const FactoryRequest*>(ref);
    const uint8_t* d = packet->data;
    return packet->address == r->address && packet->length >= 2 && d[0] == kFactoryCommand &&
           (d[1] & ~kErrorBit) == r->kind;
}

// An owned reply, or none.
struct Reply {
    aPacket* packet = nullptr;
    Reply() = default;
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    Reply(Reply&& other) noexcept : packet(other.packet) { other.packet = nullptr; }
    ~Reply() {
        if (packet) aPacket_Destroy(&packet);
    }
    uint8_t length() const { return packet->length; }
    uint8_t operator[](size_t i) const { return packet->data[i]; }
    bool isError() const { return (packet->data[1] & kErrorBit) != 0; }
    // The module's code at `at`; a reply without one, or with 0, would read as success.
    aErr code(size_t at) const {
        return (packet->length > at && packet->data[at] != 0) ? static_cast<aErr>(packet->data[at])
                                                              : aErrUnknown;
    }
};

// Queues [bytes] to `address` and awaits the reply `filter` takes. `sent` is aErrResource
// when the packet cannot be made, else the queueing's result.
Reply exchange(uint32_t linkId, uint8_t address, const uint8_t* bytes, size_t length,
               aPacketPredicate filter, const void* ref, uint64_t wait, aErr* sent) {
    Reply reply;
    aPacket* request = aPacket_CreateWithData(address, static_cast<uint8_t>(length), bytes);
    if (request == nullptr) {
        *sent = aErrResource;
        return reply;
    }
    *sent = aLink_PutPacket(linkId, request);
    aPacket_Destroy(&request);
    if (*sent == aErrNone) reply.packet = aLink_AwaitFirst(linkId, filter, ref, wait);
    return reply;
}

Reply slotExchange(uint32_t linkId, const SlotRequest& r, const uint8_t* data, size_t length,
                   uint64_t wait, aErr* sent) {
    uint8_t bytes[aPACKET_MAX_DATA] = {kSlotCommand, r.sub};
    size_t n = 2;
    if (namesSlot(r.sub)) {
        bytes[n++] = r.store;
        bytes[n++] = r.slot;
    } else {
        bytes[n++] = r.handle;
    }
    if (length) std::memcpy(bytes + n, data, length);
    return exchange(linkId, r.address, bytes, n + length, sSlotFilter, &r, wait, sent);
}

uint8_t sOpenSlot(uint32_t linkId, uint8_t address, uint8_t store, uint8_t slot, uint8_t mode) {
    const SlotRequest r{address, mode, store, slot, 0};
    aErr sent = aErrNone;
    Reply reply = slotExchange(linkId, r, nullptr, 0, kOpenWaitMs, &sent);
    if (reply.packet == nullptr || reply.isError() || reply.length() < 5) return kNoHandle;
    return reply[4];
}

aErr sCloseSlot(uint32_t linkId, uint8_t address, uint8_t handle) {
    const SlotRequest r{address, kClose, 0, 0, handle};
    aErr sent = aErrNone;
    Reply reply = slotExchange(linkId, r, nullptr, 0, kReplyWaitMs, &sent);
    if (reply.packet == nullptr) return sent;
    if (reply.length() != 4) return aErrIO;
    return reply.isError() ? reply.code(3) : aErrNone;
}

// Capacity and size: the same exchange with another sub-command.
aErr slotWord(uint32_t linkId, uint8_t address, uint8_t sub, uint8_t store, uint8_t slot,
              size_t* out) {
    const SlotRequest r{address, sub, store, slot, 0};
    aErr sent = aErrNone;
    Reply reply = slotExchange(linkId, r, nullptr, 0, kReplyWaitMs, &sent);
    if (reply.packet == nullptr) return sent != aErrNone ? sent : aErrTimeout;
    if (reply.isError()) return reply.code(4);
    if (reply.length() != 6) return aErrUnknown;
    *out = static_cast<size_t>(reply[4] << 8 | reply[5]);
    return aErrNone;
}

uint8_t sum8(const uint8_t* bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

// The finish of a factory-data transfer of `total` bytes.
aErr factoryFinish(uint32_t linkId, uint8_t address, size_t total) {
    const uint8_t bytes[] = {kFactoryCommand, kFactoryFinish, static_cast<uint8_t>(total >> 8),
                             static_cast<uint8_t>(total)};
    const FactoryRequest r{address, 0};
    aErr sent = aErrNone;
    Reply reply =
        exchange(linkId, address, bytes, sizeof bytes, sFactoryFilter, &r, kReplyWaitMs, &sent);
    if (reply.packet == nullptr) return sent != aErrNone ? sent : aErrTimeout;
    return reply.isError() ? reply.code(2) : aErrNone;
}

} // namespace

aErr Link::loadStoreSlot(unsigned char address, unsigned char store, unsigned char slot,
                         const unsigned char* data, size_t length) {
    if (data == nullptr || length > kMaxTotal) return aErrParam;
    if (!isConnected()) return aErrConnection;
    const uint32_t linkId = coreLinkId();
    const uint8_t handle = sOpenSlot(linkId, address, store, slot, kOpenWrite);
    if (handle == kNoHandle) return aErrMedia;
    aErr result = aErrNone;
    for (size_t offset = 0; result == aErrNone && offset < length;) {
        const size_t n = std::min(length - offset, kSlotChunk);
        const uint8_t sum = sum8(data + offset, n);
        aErr sent = aErrNone;
        Reply reply = slotExchange(linkId, SlotRequest{address, kWrite, 0, 0, handle},
                                   data + offset, n, kReplyWaitMs, &sent);
        offset += n;
        if (sent != aErrNone)
            result = sent;
        else if (reply.packet == nullptr)
            result = aErrTimeout;
        else if (reply.isError())
            result = reply.code(3);
        else if (reply.length() == 4 && reply[3] != sum)
            result = aErrIO;
    }
    const aErr closed = sCloseSlot(linkId, address, handle);
    return result != aErrNone ? result : closed;
}

aErr Link::unloadStoreSlot(unsigned char address, unsigned char store, unsigned char slot,
                           unsigned char* buffer, size_t capacity, size_t* read) {
    if (read == nullptr || buffer == nullptr) return aErrParam;
    if (!isConnected()) return aErrConnection;
    size_t size = 0;
    if (aErr result = storeSlotSize(address, store, slot, &size); result != aErrNone) return result;
    const uint32_t linkId = coreLinkId();
    const uint8_t handle = sOpenSlot(linkId, address, store, slot, kOpenRead);
    if (handle == kNoHandle) return aErrMedia;
    const size_t wanted = std::min(capacity, size);
    size_t taken = 0;
    aErr result = aErrNone;
    while (result == aErrNone && taken < wanted) {
        aErr sent = aErrNone;
        Reply reply = slotExchange(linkId, SlotRequest{address, kRead, 0, 0, handle}, nullptr, 0,
                                   kReplyWaitMs, &sent);
        if (sent != aErrNone)
            result = sent;
        else if (reply.packet == nullptr)
            result = aErrTimeout;
        else if (reply.isError())
            result = reply.code(3);
        else if (reply.length() <= 3)
            result = aErrUnknown;
        else {
            const size_t n = std::min<size_t>(reply.length() - 3u, wanted - taken);
            std::memcpy(buffer + taken, reply.packet->data + 3, n);
            taken += n;
        }
    }
    const aErr closed = sCloseSlot(linkId, address, handle);
    if (result == aErrNone) result = closed;
    if (result != aErrNone) return result;
    *read = taken;
    return size > capacity ? aErrOverrun : aErrNone;
}

aErr Link::storeSlotSize(unsigned char address, unsigned char store, unsigned char slot,
                         size_t* size) {
    if (size == nullptr) return aErrParam;
    if (!isConnected()) return aErrConnection;
    return slotWord(coreLinkId(), address, kSize, store, slot, size);
}

aErr Link::storeSlotCapacity(unsigned char address, unsigned char store, unsigned char slot,
                             size_t* capacity) {
    if (!isConnected()) return aErrConnection;
    if (capacity == nullptr) return aErrParam;
    return slotWord(coreLinkId(), address, kCapacity, store, slot, capacity);
}

aErr Link::getFactoryData(unsigned char address, unsigned char kind, unsigned char* buffer,
                          size_t capacity, size_t* length) {
    if (!isConnected()) return aErrConnection;
    if (buffer == nullptr || length == nullptr || kind > kKindBits) return aErrParam;
    const uint32_t linkId = coreLinkId();
    const FactoryRequest r{address, kind};
    // The last byte of the buffer stays free; the total must fit the finish's 16 bits.
    const size_t room = std::min(capacity, kMaxTotal + 1);
    size_t taken = 0;
    aErr result = aErrNone;
    bool more = true;
    for (bool first = true; result == aErrNone && more; first = false) {
        const uint8_t bytes[] = {kFactoryCommand,
                                 static_cast<uint8_t>(kind | (first ? kFactoryFirst : 0))};
        aErr sent = aErrNone;
        Reply reply =
            exchange(linkId, address, bytes, sizeof bytes, sFactoryFilter, &r, kReplyWaitMs, &sent);
        if (sent != aErrNone) {
            result = sent;
            break;
        }
        if (reply.packet == nullptr) {
            result = aErrTimeout;
            break;
        }
        const size_t n = reply.length() - COMMAND_OVERHEAD;
        if (reply.isError())
            result = reply.code(2);
        else if (taken + n >= room)
            result = aErrOverrun;
        else {
            std::memcpy(buffer + taken, reply.packet->data + COMMAND_OVERHEAD, n);
            taken += n;
        }
        more = reply.length() == aPACKET_MAX_DATA;
    }
    if (result == aErrNone) result = factoryFinish(linkId, address, taken);
    if (result == aErrNone) *length = taken;
    return result;
}

aErr Link::setFactoryData(unsigned char address, unsigned char kind, const unsigned char* data,
                          size_t length) {
    if (!isConnected()) return aErrConnection;
    if (data == nullptr || kind > kKindBits || length > kMaxTotal) return aErrParam;
    const uint32_t linkId = coreLinkId();
    const FactoryRequest r{address, kind};
    aErr result = aErrNone;
    for (size_t offset = 0; result == aErrNone && offset < length;) {
        const size_t n = std::min(length - offset, kFactoryChunk);
        uint8_t bytes[aPACKET_MAX_DATA] = {
            kFactoryCommand,
            static_cast<uint8_t>(kind | kFactoryWrite | (offset == 0 ? kFactoryFirst : 0))};
        std::memcpy(bytes + COMMAND_OVERHEAD, data + offset, n);
        offset += n;
        aErr sent = aErrNone;
        Reply reply = exchange(linkId, address, bytes, COMMAND_OVERHEAD + n, sFactoryFilter, &r,
                               kReplyWaitMs, &sent);
        if (sent != aErrNone)
            result = sent;
        else if (reply.packet == nullptr)
            result = aErrTimeout;
        else if (reply.isError())
            result = reply.code(2);
        else if (reply.length() != COMMAND_OVERHEAD)
            result = aErrSize;
    }
    if (result == aErrNone) result = factoryFinish(linkId, address, length);
    return result;
}

} // namespace Keldoran::Tessaform
