// A Link's stream subscriptions: the map of subscriptions and cached samples, the filter that
// the core link's input thread runs on every packet, and the thread that runs the callbacks.
#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Link.h"
#include "LocklessQueue_SPSC.h"

namespace Keldoran::Tessaform {

// Lock order: gate (held while a callback runs) -> workerLock -> the core link's filter
// mutex -> streamLock. The input thread takes only the last two; nothing waits for a
// worker while holding any of them.
class LinkStreams {
  public:
    // `linkId` is the owner's held id, read on the caller's threads only.
    LinkStreams(Link& owner, const uint32_t& linkId);
    // Ends the subscriptions; waits for the callback threads unless called from one of them.
    ~LinkStreams();
    LinkStreams(const LinkStreams&) = delete;
    LinkStreams& operator=(const LinkStreams&) = delete;

    aErr registerStreamCallback(unsigned char module, unsigned char command, unsigned char option,
                                unsigned char index, bool enable, streamCallback callback,
                                void* ref);
    aErr isLinkStreaming(unsigned char module, unsigned char* streaming);
    aErr getStreamValue(unsigned char module, unsigned char command, unsigned char option,
                        unsigned char index, unsigned char subindex, uint32_t* value);
    std::vector<uint64_t> filterActiveStreamKeys(unsigned char module, unsigned char command,
                                                 unsigned char option, unsigned char index,
                                                 unsigned char subindex, bool lock);
    aErr getStreamStatus(unsigned char module, unsigned char command, unsigned char option,
                         unsigned char index, unsigned char subindex,
                         Link::StreamStatusEntry* entries, size_t capacity, size_t* count);
    // Every subscription ends: the filter goes (when this Link installed it), the map is
    // cleared and the callback thread stops, with or without a link id. Before the link id
    // goes, so that no filter of this Link stays on a core link that others share.
    void stop();

    static uint8_t linkStreamFilter(const aPacket* packet, void* self);

  private:
    // One subscription's callback. `live` is cleared under the gate once the subscription
    // is gone, so a callback already queued never runs after its removal has returned.
    struct Subscriber {
        streamCallback callback;
        void* ref = nullptr;
        bool live = true;
    };
    struct StreamEntry {
        uint64_t key = 0;
        bool fresh = false;
        // Null for a cache entry and for a subscription without a callback.
        std::shared_ptr<Subscriber> subscriber;
        uint32_t value = 0;
        bool subscription = false;
    };
    // One queued callback; owns its packet copy, so what is left in a ring is freed with it.
    struct asyncPacket {
        asyncPacket() = default;
        asyncPacket(std::shared_ptr<Subscriber> s, aPacket* p);
        asyncPacket(asyncPacket&& other) noexcept;
        asyncPacket& operator=(asyncPacket&& other) noexcept;
        ~asyncPacket();
        std::shared_ptr<Subscriber> subscriber;
        aPacket* packet = nullptr;
    };
    using Gate = std::recursive_mutex;
    // A callback thread and what it alone consumes. Shared with the thread, which so never
    // touches the LinkStreams and outlives it when a callback destroys the Link.
    struct Worker {
        explicit Worker(std::shared_ptr<Gate> g);
        LocklessQueue_SPSC<asyncPacket> asyncQueue;
        std::promise<void> asyncStop;
        std::shared_ptr<Gate> gate;
        std::thread thread;
    };
    static constexpr unsigned kQueueSlots = 500;

    static void asyncWork(std::shared_ptr<Worker> worker, std::future<void> stop);
    // Under workerLock. Install: the filter and, when none runs, a worker. Removal: the
    // map cleared into `dropped`, the worker retired.
    aErr installStreamFilter(bool install, std::vector<std::shared_ptr<Subscriber>>& dropped);
    void stopWorkerLocked();
    // Under streamLock.
    void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
    void eraseMatching(unsigned char module, unsigned char command, unsigned char option,
                       unsigned char index, std::vector<std::shared_ptr<Subscriber>>& dropped);
    // The removal of a failed request's subscriptions, and the filter with them once none
    // is left.
    void undo(unsigned char module, unsigned char command, unsigned char option,
              unsigned char index);
    // Outside every lock but the gate: no queued callback of these runs afterwards.
    void retire(const std::vector<std::shared_ptr<Subscriber>>& dropped);
    // Joins the stopped workers, unless this thread is a worker of this Link (one could be
    // waiting for the gate this thread holds): their join waits for a later call.
    void reap();
    aErr streamRequest(unsigned char module, unsigned char option, unsigned char replyOption,
                       uei& u);
    aErr tellModule(unsigned char module, unsigned char command, unsigned char option,
                    unsigned char index, bool enable);

    Link& owner;
    const uint32_t& linkId;
    std::shared_ptr<Gate> gate;

    std::mutex workerLock;
    std::shared_ptr<Worker> asyncWorker;          // under workerLock
    std::vector<std::shared_ptr<Worker>> retired; // under workerLock
    uint32_t filterLink = 0;                      // under workerLock: where ours is
    std::vector<std::thread::id> workerThreads;   // under workerLock

    std::mutex streamLock;
    std::map<uint64_t, StreamEntry> streams;          // under streamLock
    LocklessQueue_SPSC<asyncPacket>* queue = nullptr; // under streamLock: the producer's
};

} // namespace Keldoran::Tessaform
