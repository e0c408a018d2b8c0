// The base of every entity class: one function inside a module, named by its command
// (the entity class) and its index, and the typed UEI transactions on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Link.h"
#include "Module.h"

namespace Keldoran::Tessaform {

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity; the module must outlive it. No traffic.
    aErr init(Module* module, unsigned char command, unsigned char index);
    unsigned char getIndex() const;

    // Raw packets to and from the entity's module (at most 27 bytes after `first`).
    aErr sendPacket(unsigned char first, unsigned char count, const unsigned char* bytes);
    // *count: in the pattern's length, out the reply's; `buffer` holds 28 bytes.
    aErr receivePacket(const unsigned char* pattern, unsigned char* count, unsigned char* buffer);

    aErr getUEI(unsigned char option, uei& u);
    aErr setUEI(unsigned char option, uei& u);
    aErr setUEI(unsigned char option, unsigned char subindex, uei& u);
    aErr callUEI(unsigned char option);

    aErr setUEI8(unsigned char option, uint8_t value);
    aErr setUEI8(unsigned char option, unsigned char subindex, uint8_t value);
    aErr setUEI16(unsigned char option, uint16_t value);
    aErr setUEI16(unsigned char option, unsigned char subindex, uint16_t value);
    aErr setUEI32(unsigned char option, uint32_t value);
    aErr setUEI32(unsigned char option, unsigned char subindex, uint32_t value);
    aErr setUEIBytes(unsigned char option, const uint8_t* bytes, size_t count);

    // The value is stored on aErrNone and aErrStreamStale; aErrSize when the reply carried
    // no value of this width.
    aErr getUEI8(unsigned char option, uint8_t* value);
    aErr getUEI8(unsigned char option, unsigned char subindex, uint8_t* value);
    aErr getUEI16(unsigned char option, uint16_t* value);
    aErr getUEI16(unsigned char option, unsigned char subindex, uint16_t* value);
    aErr getUEI32(unsigned char option, uint32_t* value);
    aErr getUEI32(unsigned char option, unsigned char subindex, uint32_t* value);
    // A byte buffer over several packets; aErrMemory (1) when it does not fit, with
    // *transferred the bytes kept.
    aErr getUEIBytes(unsigned char option, uint8_t* buffer, size_t size, size_t* transferred);
    // Turns a byte count into a count of elements; aErrMemory (1) when it is no multiple.
    static aErr getUEIBytesCheck(size_t* count, size_t elementSize);

    static bool sUEIBytesFilter(const aPacket* packet, const void* ref);
    static uint8_t getUEIBytesSequence(const aPacket* packet);
    static bool getUEIBytesContinue(const aPacket* packet);

    // Waits for a UEI packet of this option without asking; the third argument is unused
    // (the wait is the Link's reply wait).
    aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
    // Discards queued replies of this option.
    aErr drainUEI(unsigned char option);

    // Streams of this entity: every option at once, one option with a callback (run on the
    // Link's callback thread), and the values its subscriptions cached, any option and
    // subindex. While a value is subscribed, the gets answer from the cache.
    aErr setStreamEnabled(unsigned char enable);
    aErr registerOptionCallback(unsigned char option, bool enable, streamCallback callback,
                                void* ref);
    aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

    // The module's store entity saves, resets or loads this entity's settings.
    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

  private:
    struct impl;
    aErr askUEI(Link* link, unsigned char option, uei& u);
    aErr cachedValue(Link* link, unsigned char option, const uei& u, uint32_t* value) const;
    aErr getTyped(unsigned char option, uei& u, int width, uint32_t* value);
    template <typename T>
    aErr getValue(unsigned char option, const int* subindex, int width, T* out);
    aErr setTransaction(unsigned char option, unsigned char subindex, uei& u, bool withSubindex);
    aErr storeOperation(unsigned char option);

    std::unique_ptr<impl> pimpl;
};

} // namespace Keldoran::Tessaform
