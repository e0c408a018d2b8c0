// Packet FIFOs: a process-wide table from id to shared queue, classes inside and a C
// interface outside, so that no exception and no pointer to a queue ever leaves this file.
#include "packetfifo.h"
#include "packetfifoInternal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct aPacketDeleter {
    void operator()(aPacket* packet) const noexcept { aPacket_Destroy(&packet); }
};
using PacketOwner = std::unique_ptr<aPacket, aPacketDeleter>;

// One queued packet and the serial id that orders it within its FIFO.
class SerialPacket {
  public:
    SerialPacket(int64_t id, PacketOwner packet) : mEntry(id, std::move(packet)) {}
    SerialPacket(SerialPacket&&) noexcept = default;
    SerialPacket& operator=(SerialPacket&&) noexcept = default;
    SerialPacket(const SerialPacket&) = delete;
    SerialPacket& operator=(const SerialPacket&) = delete;

    int64_t getId() const { return std::get<0>(mEntry); }
    const aPacket* getPacket() const { return std::get<1>(mEntry).get(); }
    operator PacketOwner&() { return std::get<1>(mEntry); }

  private:
    std::tuple<int64_t, PacketOwner> mEntry;
};

class packetFifo {
  public:
    using Queue = std::deque<SerialPacket>;
    using Position = Queue::iterator;

    Queue queue;
    std::condition_variable notEmpty;
    std::mutex lock;
    std::atomic<bool> open{true};
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};
    int waiters = 0; // under lock: a put with nobody waiting makes no wake-up call

    void clearAndSyncWindow() {
        queue.clear();
        windowStart.store(nextId.load());
    }
    void eraseAndSyncWindow(Position at) {
        queue.erase(at);
        syncWindow();
    }
    void eraseAndSyncWindow(Position first, Position last) {
        queue.erase(first, last);
        syncWindow();
    }

  private:
    void syncWindow() { windowStart.store(queue.empty() ? nextId.load() : queue.front().getId()); }
};

using FifoRef = std::shared_ptr<packetFifo>;

std::map<aPacketFifoId, FifoRef> gpPacketFifoDictionary;
std::mutex gpPacketFifoDictionaryMutex;
std::atomic<uint64_t> gpSequentialId{1};

// Callers work on their own reference, so a FIFO destroyed meanwhile stays alive until they
// return. The dictionary mutex is released before any FIFO lock is taken: never nested.
FifoRef sGetFifo(aPacketFifoId id) {
    std::lock_guard<std::mutex> held(gpPacketFifoDictionaryMutex);
    auto found = gpPacketFifoDictionary.find(id);
    return found == gpPacketFifoDictionary.end() ? nullptr : found->second;
}

FifoRef sExtractFifo(aPacketFifoId id) {
    std::lock_guard<std::mutex> held(gpPacketFifoDictionaryMutex);
    auto found = gpPacketFifoDictionary.find(id);
    if (found == gpPacketFifoDictionary.end()) return nullptr;
    FifoRef fifo = std::move(found->second);
    gpPacketFifoDictionary.erase(found);
    return fifo;
}

// A time-out so large that the deadline would overflow the clock means "no deadline".
Clock::time_point sDeadline(uint64_t timeoutMs) {
    const Clock::time_point now = Clock::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    if (room.count() <= 0 || timeoutMs >= static_cast<uint64_t>(room.count()))
        return Clock::time_point::max();
    return now + std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(timeoutMs));
}

// At the deadline the condition is tested once more. Without a deadline the wait is untimed,
// so no conversion of the far-future time point to the OS clock can misbehave.
template <typename Condition>
void sWait(packetFifo& fifo, std::unique_lock<std::mutex>& held, Clock::time_point deadline,
           Condition condition) {
    if (condition()) return;
    ++fifo.waiters;
    if (deadline == Clock::time_point::max())
        fifo.notEmpty.wait(held, condition);
    else
        fifo.notEmpty.wait_until(held, deadline, condition);
    --fifo.waiters;
}

void _waitUntilNotEmpty(std::unique_lock<std::mutex>& held, Clock::time_point deadline,
                        packetFifo& fifo) {
    sWait(fifo, held, deadline, [&fifo] { return !fifo.queue.empty() || !fifo.open.load(); });
}

// Ids only grow along the queue, so remembering the last offered id offers each packet at
// most once however often the wait wakes, and survives packets leaving the queue meanwhile.
packetFifo::Position _waitUntilProcIsSatisfied(std::unique_lock<std::mutex>& held,
                                               Clock::time_point deadline, packetFifo& fifo,
                                               const std::function<bool(const aPacket*)>& accepts) {
    int64_t lastOffered = fifo.windowStart.load() - 1;
    packetFifo::Position found = fifo.queue.end();
    sWait(fifo, held, deadline, [&] {
        found = fifo.queue.end();
        for (auto at = fifo.queue.begin(); at != fifo.queue.end(); ++at) {
            if (at->getId() - lastOffered <= 0) continue;
            lastOffered = at->getId();
            if (accepts(at->getPacket())) {
                found = at;
                return true;
            }
        }
        return !fifo.open.load();
    });
    return found;
}

// A packet that cannot be copied stays queued, so the caller may try again.
aPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Position at) {
    aPacket* copy = aPacket_Copy(at->getPacket());
    if (copy) fifo.eraseAndSyncWindow(at);
    return copy;
}

} // namespace

extern "C" {

aPacketFifoId aPacketFifo_Create(void) {
    try {
        FifoRef fifo = std::make_shared<packetFifo>();
        std::lock_guard<std::mutex> held(gpPacketFifoDictionaryMutex);
        for (;;) {
            const aPacketFifoId id = gpSequentialId.fetch_add(1);
            // 0 names no FIFO; after a wrap of the counter, skip ids still in use.
            if (id != 0 && gpPacketFifoDictionary.emplace(id, fifo).second) return id;
        }
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
    if (!id) return aErrParam;
    try {
        FifoRef fifo = sExtractFifo(*id);
        if (!fifo) return aErrNotFound;
        {
            std::lock_guard<std::mutex> held(fifo->lock);
            fifo->clearAndSyncWindow();
            fifo->open.store(false);
        }
        fifo->notEmpty.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo) return 0;
        std::lock_guard<std::mutex> held(fifo->lock);
        return fifo->queue.size();
    } catch (...) {
        return 0;
    }
}

namespace {

enum class Overflow { Refuse, DropOldest };

aErr sPut(aPacketFifoId id, const aPacket* packet, Overflow overflow, size_t* dropped) {
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
        std::unique_lock<std::mutex> held(fifo->lock);
        // Destroyed between the look-up and here: nobody could ever take the packet out.
        if (!fifo->open.load()) return aErrParam;
        // A full FIFO keeps what it holds: the caller learns that this packet was not queued
        // (or, for a queue nobody may be reading, the oldest packet gives way).
        if (fifo->queue.size() >= aPACKETFIFO_MAX_PACKETS) {
            if (overflow == Overflow::Refuse) return aErrOverrun;
            fifo->eraseAndSyncWindow(fifo->queue.begin());
            if (dropped) ++*dropped;
        }
        const int64_t serial = fifo->nextId.fetch_add(1);
        PacketOwner copy(aPacket_Copy(packet));
        if (!copy) return aErrParam;
        try {
            fifo->queue.emplace_back(serial, std::move(copy));
        } catch (...) {
            return aErrResource;
        }
        fifo->windowStart.store(fifo->queue.front().getId());
        const bool wake = fifo->waiters > 0;
        held.unlock();
        if (wake) fifo->notEmpty.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrResource;
    }
}

} // namespace

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
    return sPut(id, packet, Overflow::Refuse, nullptr);
}

aErr aPacketFifo_PutDroppingOldest(aPacketFifoId id, const aPacket* packet, size_t* dropped) {
    if (dropped) *dropped = 0;
    return sPut(id, packet, Overflow::DropOldest, dropped);
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo) return nullptr;
        std::lock_guard<std::mutex> held(fifo->lock);
        if (fifo->queue.empty()) return nullptr;
        return _stealPacketFromFifo(*fifo, fifo->queue.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t timeoutMs) {
    try {
        const Clock::time_point deadline = sDeadline(timeoutMs);
        FifoRef fifo = sGetFifo(id);
        if (!fifo) return nullptr;
        std::unique_lock<std::mutex> held(fifo->lock);
        _waitUntilNotEmpty(held, deadline, *fifo);
        if (fifo->queue.empty()) return nullptr;
        return _stealPacketFromFifo(*fifo, fifo->queue.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketPredicate predicate, const void* ref) {
    if (!predicate) return nullptr;
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo) return nullptr;
        std::lock_guard<std::mutex> held(fifo->lock);
        for (auto at = fifo->queue.begin(); at != fifo->queue.end(); ++at)
            if (predicate(at->getPacket(), ref)) return _stealPacketFromFifo(*fifo, at);
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketPredicate predicate, const void* ref,
                                uint64_t timeoutMs) {
    if (!predicate) return nullptr;
    try {
        const Clock::time_point deadline = sDeadline(timeoutMs);
        FifoRef fifo = sGetFifo(id);
        if (!fifo) return nullptr;
        const std::function<bool(const aPacket*)> accepts = [predicate, ref](const aPacket* p) {
            return predicate(p, ref);
        };
        std::unique_lock<std::mutex> held(fifo->lock);
        packetFifo::Position found = _waitUntilProcIsSatisfied(held, deadline, *fifo, accepts);
        if (found == fifo->queue.end()) return nullptr;
        return _stealPacketFromFifo(*fifo, found);
    } catch (...) {
        return nullptr;
    }
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketPredicate predicate, const void* ref) {
    if (!predicate) return 0;
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo) return 0;
        std::lock_guard<std::mutex> held(fifo->lock);
        packetFifo::Queue& queue = fifo->queue;
        const size_t before = queue.size();
        // Every verdict first, so a predicate that throws leaves the queue untouched.
        std::vector<bool> accepted;
        accepted.reserve(before);
        for (const SerialPacket& element : queue)
            accepted.push_back(predicate(element.getPacket(), ref));
        // Kept packets move forward in order; moving onto an accepted one frees it.
        auto kept = queue.begin();
        size_t index = 0;
        for (auto at = queue.begin(); at != queue.end(); ++at, ++index) {
            if (accepted[index]) continue;
            if (kept != at) *kept = std::move(*at);
            ++kept;
        }
        fifo->eraseAndSyncWindow(kept, queue.end());
        return before - queue.size();
    } catch (...) {
        return 0;
    }
}

} // extern "C"
