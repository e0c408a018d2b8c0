// EntityClass: typed gets, sets and calls of one entity's options, byte buffers over
// several packets, raw packets, and the store entity's save, reset and load.
#include "Entity.h"

#include <cstring>
#include <utility>

#include "aUEI.h"

namespace Keldoran::Tessaform {

namespace {

constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kSetReply = 0xC0;
constexpr uint8_t kRequest = 0x20;
constexpr uint8_t kIndexError = 0x80;
constexpr unsigned char kStoreCommand = 92;

// The device's code of an error reply (the filters never leave it 0).
bool isError(const uei& u) {
    return (u.index & kIndexError) != 0;
}

uei valueOf(int type, uint32_t value) {
    uei u{};
    u.type = type;
    switch (type) {
    case ueiTypeByte:
        u.v.byteVal = static_cast<uint8_t>(value);
        break;
    case ueiTypeShort:
        u.v.shortVal = static_cast<uint16_t>(value);
        break;
    default:
        u.v.intVal = value;
        break;
    }
    return u;
}

// The value a reply decoded, widened to 32 bits; aErrSize when it decoded none.
aErr decodedValue(const uei& u, uint32_t* value) {
    switch (u.type) {
    case ueiTypeByte:
        *value = u.v.byteVal;
        return aErrNone;
    case ueiTypeShort:
        *value = u.v.shortVal;
        return aErrNone;
    case ueiTypeInt:
        *value = u.v.intVal;
        return aErrNone;
    default:
        return aErrSize;
    }
}

// A get with a subindex carries it as a byte value.
uei subindexed(unsigned char subindex) {
    return valueOf(ueiTypeByte, subindex);
}

} // namespace

struct EntityClass::impl {
    Module* module = nullptr;
    unsigned char command = 0;
    unsigned char index = 0;

    Link* link() const { return module == nullptr ? nullptr : module->getLink(); }
};

EntityClass::EntityClass() : pimpl(std::make_unique<impl>()) {}

EntityClass::~EntityClass() = default;

aErr EntityClass::init(Module* module, unsigned char command, unsigned char index) {
    pimpl->module = module;
    pimpl->command = command;
    pimpl->index = index;
    return aErrNone;
}

unsigned char EntityClass::getIndex() const {
    return pimpl->index;
}

aErr EntityClass::sendPacket(unsigned char first, unsigned char count, const unsigned char* bytes) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    return link->sendPacket(pimpl->module->getModuleAddress(), first, count, bytes);
}

aErr EntityClass::receivePacket(const unsigned char* pattern, unsigned char* count,
                                unsigned char* buffer) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    return link->receivePacket(pimpl->module->getModuleAddress(), pattern, count, buffer);
}

// Steps after the cache: the request, then the reply with the plain option and index.
aErr EntityClass::askUEI(Link* link, unsigned char option, uei& u) {
    u.module = pimpl->module->getModuleAddress();
    u.command = pimpl->command;
    u.option = static_cast<uint8_t>(option | kGet);
    u.index = static_cast<uint8_t>(pimpl->index | kRequest);
    if (aErr result = link->sendUEI(u); result != aErrNone) return result;
    // Only what the reply decodes may be read as its value.
    u.option = option;
    u.index = pimpl->index;
    u.type = ueiTypeVoid;
    u.v.intVal = 0;
    if (aErr result = link->receiveUEI(u.module, u.command, u.option, u.index, &u);
        result != aErrNone)
        return result;
    return isError(u) ? static_cast<aErr>(u.v.byteVal) : aErrNone;
}

aErr EntityClass::cachedValue(Link* link, unsigned char option, const uei& u,
                              uint32_t* value) const {
    const unsigned char subindex = u.type == ueiTypeByte ? u.v.byteVal : 0;
    return link->getStreamValue(pimpl->module->getModuleAddress(), pimpl->command, option,
                                pimpl->index, subindex, value);
}

aErr EntityClass::getUEI(unsigned char option, uei& u) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    uint32_t value = 0;
    aErr cached = cachedValue(link, option, u, &value);
    if (cached != aErrNotFound) {
        u.v.intVal = value;
        return cached;
    }
    return askUEI(link, option, u);
}

aErr EntityClass::getTyped(unsigned char option, uei& u, int width, uint32_t* value) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    aErr result = cachedValue(link, option, u, value);
    if (result != aErrNotFound) return result;
    result = askUEI(link, option, u);
    if (result != aErrNone) return result;
    return u.type == width ? decodedValue(u, value) : aErrSize;
}

aErr EntityClass::setUEI(unsigned char option, uei& u) {
    return setTransaction(option, 0, u, false);
}

aErr EntityClass::setUEI(unsigned char option, unsigned char subindex, uei& u) {
    return setTransaction(option, subindex, u, true);
}

aErr EntityClass::setTransaction(unsigned char option, unsigned char subindex, uei& u,
                                 bool withSubindex) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    u.module = pimpl->module->getModuleAddress();
    u.command = pimpl->command;
    u.option = static_cast<uint8_t>(option | kSet);
    u.index = static_cast<uint8_t>(pimpl->index | kRequest);
    aErr result = withSubindex ? link->sendUEI(u, subindex) : link->sendUEI(u);
    if (result != aErrNone) return result;
    u.option = static_cast<uint8_t>(option | kSetReply);
    u.index = pimpl->index;
    result = link->receiveUEI(u.module, u.command, u.option, u.index, &u);
    if (result != aErrNone) return result;
    return isError(u) ? static_cast<aErr>(u.v.byteVal) : aErrNone;
}

aErr EntityClass::callUEI(unsigned char option) {
    uei u = valueOf(ueiTypeVoid, 0);
    return setUEI(option, u);
}

aErr EntityClass::setUEI8(unsigned char option, uint8_t value) {
    uei u = valueOf(ueiTypeByte, value);
    return setUEI(option, u);
}

aErr EntityClass::setUEI8(unsigned char option, unsigned char subindex, uint8_t value) {
    uei u = valueOf(ueiTypeByte, value);
    return setUEI(option, subindex, u);
}

aErr EntityClass::setUEI16(unsigned char option, uint16_t value) {
    uei u = valueOf(ueiTypeShort, value);
    return setUEI(option, u);
}

aErr EntityClass::setUEI16(unsigned char option, unsigned char subindex, uint16_t value) {
    uei u = valueOf(ueiTypeShort, value);
    return setUEI(option, subindex, u);
}

aErr EntityClass::setUEI32(unsigned char option, uint32_t value) {
    uei u = valueOf(ueiTypeInt, value);
    return setUEI(option, u);
}

aErr EntityClass::setUEI32(unsigned char option, unsigned char subindex, uint32_t value) {
    uei u = valueOf(ueiTypeInt, value);
    return setUEI(option, subindex, u);
}

aErr EntityClass::setUEIBytes(unsigned char option, const uint8_t* bytes, size_t count) {
    if (bytes == nullptr && count != 0) return aErrParam;
    uei u{};
    u.type = ueiTypeBytes;
    // Only read by the send.
    u.v.bufPtr = const_cast<uint8_t*>(bytes);
    u.bufferSize = count;
    return setUEI(option, u);
}

// The getters: plain ones ask with no value, those with a subindex carry it as a byte.
template <typename T>
aErr EntityClass::getValue(unsigned char option, const int* subindex, int width, T* out) {
    if (out == nullptr) return aErrParam;
    uei u = subindex ? subindexed(static_cast<unsigned char>(*subindex)) : valueOf(ueiTypeVoid, 0);
    uint32_t got = 0;
    aErr result = getTyped(option, u, width, &got);
    if (result == aErrNone || result == aErrStreamStale) *out = static_cast<T>(got);
    return result;
}

aErr EntityClass::getUEI8(unsigned char option, uint8_t* value) {
    return getValue(option, nullptr, ueiTypeByte, value);
}

aErr EntityClass::getUEI8(unsigned char option, unsigned char subindex, uint8_t* value) {
    const int sub = subindex;
    return getValue(option, &sub, ueiTypeByte, value);
}

aErr EntityClass::getUEI16(unsigned char option, uint16_t* value) {
    return getValue(option, nullptr, ueiTypeShort, value);
}

aErr EntityClass::getUEI16(unsigned char option, unsigned char subindex, uint16_t* value) {
    const int sub = subindex;
    return getValue(option, &sub, ueiTypeShort, value);
}

aErr EntityClass::getUEI32(unsigned char option, uint32_t* value) {
    return getValue(option, nullptr, ueiTypeInt, value);
}

aErr EntityClass::getUEI32(unsigned char option, unsigned char subindex, uint32_t* value) {
    const int sub = subindex;
    return getValue(option, &sub, ueiTypeInt, value);
}

aErr EntityClass::getUEIBytes(unsigned char option, uint8_t* buffer, size_t size,
                              size_t* transferred) {
    if (buffer == nullptr || transferred == nullptr || size == 0) return aErrParam;
    *transferred = 0;
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    const unsigned char address = pimpl->module->getModuleAddress();
    // Leftovers of an earlier transfer of this option (a wait that gave up, a duplicate)
    // would otherwise pass for this one's first packets.
    link->dropMatchingUEIPackets(address, pimpl->command, option, pimpl->index);
    uei request = valueOf(ueiTypeVoid, 0);
    request.module = address;
    request.command = pimpl->command;
    request.option = static_cast<uint8_t>(option | kGet);
    request.index = static_cast<uint8_t>(pimpl->index | kRequest);
    if (aErr result = link->sendUEI(request); result != aErrNone) return result;

    uei record{};
    record.module = address;
    record.command = pimpl->command;
    record.option = option;
    record.index = pimpl->index;
    record.v.bufPtr = buffer;
    record.bufferSize = size;
    record.transferred = transferred;
    record.type = ueiTypeVoid;
    for (;;) {
        aErr result = link->receiveUEI(address, record.command, option, record.index, &record,
                                       sUEIBytesFilter);
        if (result != aErrNone) return result;
        if (isError(record)) return static_cast<aErr>(record.v.byteVal);
        if (!record.continues) return aErrNone;
        record.sequence = static_cast<uint8_t>((record.sequence + 1) & 0x7F);
    }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t elementSize) {
    if (count == nullptr || elementSize == 0) return aErrParam;
    if (*count % elementSize != 0) return aErrMemory;
    *count /= elementSize;
    return aErrNone;
}

// Runs with the in-FIFO's lock held; writes only into the caller's buffer and record.
bool EntityClass::sUEIBytesFilter(const aPacket* packet, const void* ref) {
    auto* u = static_cast<uei*>(const_cast<void*>(ref));
    Link::ReplyHead head = Link::sMatchUEIReply(packet, u);
    if (head != Link::ReplyHead::Value) return head == Link::ReplyHead::Error;
    const uint8_t* d = packet->data;
    // Without a trailer there is no sequence number, and the payload length would underflow.
    if (packet->length < 4) return false;
    if (getUEIBytesSequence(packet) != (u->sequence & 0x7F)) return false;
    const size_t payload = packet->length - 4u;
    if (*u->transferred + payload > u->bufferSize) {
        u->index = static_cast<uint8_t>(u->index | kIndexError);
        u->v.byteVal = static_cast<uint8_t>(aErrMemory);
        return true;
    }
    if (payload) std::memcpy(u->v.bufPtr, d + 3, payload);
    u->v.bufPtr += payload;
    *u->transferred += payload;
    u->sequence = getUEIBytesSequence(packet);
    u->continues = getUEIBytesContinue(packet) ? 1 : 0;
    return true;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) {
    return aUEI_getBytesSequence(packet);
}

bool EntityClass::getUEIBytesContinue(const aPacket* packet) {
    return aUEI_getBytesContinue(packet);
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
    if (value == nullptr) return aErrParam;
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    uei u = valueOf(ueiTypeVoid, 0);
    u.module = pimpl->module->getModuleAddress();
    u.command = pimpl->command;
    u.option = static_cast<uint8_t>(option & 0xFF);
    u.index = pimpl->index;
    aErr result = link->receiveUEI(u.module, u.command, u.option, u.index, &u);
    if (result != aErrNone) return result;
    if (isError(u)) return static_cast<aErr>(u.v.byteVal);
    return decodedValue(u, value);
}

aErr EntityClass::drainUEI(unsigned char option) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    return link->dropMatchingUEIPackets(pimpl->module->getModuleAddress(), pimpl->command, option,
                                        pimpl->index);
}

aErr EntityClass::setStreamEnabled(unsigned char enable) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    return link->enableStream(pimpl->module->getModuleAddress(), pimpl->command,
                              Link::kStreamWildcard, pimpl->index, enable != 0);
}

aErr EntityClass::registerOptionCallback(unsigned char option, bool enable, streamCallback callback,
                                         void* ref) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    return link->registerStreamCallback(pimpl->module->getModuleAddress(), pimpl->command, option,
                                        pimpl->index, enable, std::move(callback), ref);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity,
                                  size_t* count) {
    Link* link = pimpl->link();
    if (link == nullptr) return aErrResource;
    return link->getStreamStatus(pimpl->module->getModuleAddress(), pimpl->command,
                                 Link::kStreamWildcard, pimpl->index, Link::kStreamWildcard,
                                 entries, capacity, count);
}

aErr EntityClass::storeOperation(unsigned char option) {
    if (pimpl->link() == nullptr) return aErrResource;
    EntityClass store;
    store.init(pimpl->module, kStoreCommand, 0);
    return store.setUEI32(option, (static_cast<uint32_t>(pimpl->command) << 8) | pimpl->index);
}

aErr EntityClass::saveEntityToStore() {
    return storeOperation(0);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
    return storeOperation(1);
}

aErr EntityClass::loadEntityFromStore() {
    return storeOperation(2);
}

} // namespace Keldoran::Tessaform
