// A bounded ring for exactly one producer thread and one consumer thread: the link's input
// thread hands stream callbacks to a Link's callback worker through it without a lock.
#pragma once

#include <atomic>
#include <utility>

namespace Keldoran {

template <typename T> class LocklessQueue_SPSC {
  public:
    // Holds at most capacity - 1 elements: one slot stays free to tell full from empty.
    explicit LocklessQueue_SPSC(unsigned int slotCount)
        : slots(new T[slotCount]), capacity(static_cast<unsigned short>(slotCount)) {}
    ~LocklessQueue_SPSC() { delete[] slots; }
    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    // Producer only; false when full. The slot is filled before the index store publishes it.
    bool push(T item) {
        const unsigned short next = _increment(writeIndex.load());
        if (next == readIndex.load()) return false;
        slots[next] = std::move(item);
        writeIndex.store(next);
        return true;
    }

    // Consumer only; false when empty. The producer never writes the slot readIndex names,
    // so moving out after the store is safe.
    bool pop(T* out) {
        const unsigned short read = readIndex.load();
        if (read == writeIndex.load()) return false;
        const unsigned short next = _increment(read);
        readIndex.store(next);
        *out = std::move(slots[next]);
        return true;
    }

    unsigned short _increment(unsigned short i) const {
        return static_cast<unsigned short>(i + 1 >= capacity ? 0 : i + 1);
    }

  private:
    T* slots;
    unsigned short capacity;
    std::atomic<unsigned short> writeIndex{0}; // the slot last filled
    std::atomic<unsigned short> readIndex{0};  // the slot last emptied
};

} // namespace Keldoran
