// Stream subscriptions: keys and stream packets, the filter on the core link's input thread,
// the value cache, the callback threads, and the stream requests to the module.
#include "LinkStreams.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "aLink.h"
#include "aUEI.h"

namespace Keldoran::Tessaform {

namespace {

constexpr unsigned char kStreamCommand = 0x5D;
constexpr unsigned char kEnable = 0x81;
constexpr unsigned char kDisable = 0x82;
constexpr unsigned char kIsStreaming = 0x41;
constexpr unsigned char kIsStreamingReply = 0x01;
constexpr unsigned char kSetReply = 0xC0;
constexpr unsigned char kRequestIndex = 0x20;
constexpr uint8_t kIndexError = 0x80;
constexpr uint8_t kOptionBits = 0x3F;
constexpr uint8_t kIndexBits = 0x1F;
constexpr unsigned kElements = 5;
// Bit positions of the elements, by their STREAM_KEY number.
constexpr unsigned kShift[kElements] = {24, 16, 8, 0, 32};

// The key with 0xFF in the elements named by the bits of n + 1: bit 0 the index, bit 1 the
// option, bit 2 the command, bit 3 the subindex. The module is never a wildcard.
uint64_t genericStreamKeyMask(unsigned n) {
    if (n > 14) return 0;
    const unsigned bits = n + 1;
    uint64_t mask = 0;
    if (bits & 1) mask |= 0xFFull << kShift[Link::STREAM_KEY_INDEX];
    if (bits & 2) mask |= 0xFFull << kShift[Link::STREAM_KEY_OPTION];
    if (bits & 4) mask |= 0xFFull << kShift[Link::STREAM_KEY_CMD];
    if (bits & 8) mask |= 0xFFull << kShift[Link::STREAM_KEY_SUBINDEX];
    return mask;
}
constexpr unsigned kMasks = 15;

// The data length of a sample of each kind; 0 where a kind has none.
constexpr uint8_t kSampleLength[] = {0, 14, 15, 17, 0, 15, 16, 18};

bool keyMatches(uint64_t key, const unsigned char (&wanted)[kElements]) {
    for (unsigned e = 0; e < kElements; e++) {
        const auto element = static_cast<unsigned char>(key >> kShift[e]);
        if (wanted[e] != Link::kStreamWildcard && wanted[e] != element) return false;
    }
    return true;
}

bool isConcrete(uint64_t key) {
    for (unsigned e = 0; e < kElements; e++)
        if (static_cast<unsigned char>(key >> kShift[e]) == Link::kStreamWildcard) return false;
    return true;
}

} // namespace

// Keys, packets and samples -------------------------------------------------------------

uint64_t Link::createStreamKey(unsigned char module, unsigned char command, unsigned char option,
                               unsigned char index, unsigned char subindex) {
    return static_cast<uint64_t>(index) << kShift[STREAM_KEY_INDEX] |
           static_cast<uint64_t>(option) << kShift[STREAM_KEY_OPTION] |
           static_cast<uint64_t>(command) << kShift[STREAM_KEY_CMD] |
           static_cast<uint64_t>(module) << kShift[STREAM_KEY_MODULE_ADDRESS] |
           static_cast<uint64_t>(subindex) << kShift[STREAM_KEY_SUBINDEX];
}

unsigned char Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
    if (element >= kElements) return 0;
    return static_cast<unsigned char>(key >> kShift[element]);
}

bool Link::isStreamPacket(const aPacket* packet) {
    return aUEI_isStreamPacket(packet);
}

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind) {
    STREAM_PACKET found = STREAM_PACKET_NONE;
    if (isStreamPacket(packet)) {
        if (aUEI_getBytesSequence(packet) != 0 || aUEI_getBytesContinue(packet))
            found = STREAM_PACKET_BYTES;
        else if (packet->data[3] >= STREAM_PACKET_U8 &&
                 packet->data[3] <= STREAM_PACKET_SUBINDEX_U32)
            found = static_cast<STREAM_PACKET>(packet->data[3]);
    }
    if (kind != nullptr) *kind = found;
    return found != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(STREAM_PACKET kind) {
    return kind >= STREAM_PACKET_SUBINDEX_U8 && kind <= STREAM_PACKET_SUBINDEX_U32;
}

bool Link::isStreamSample(const aPacket* packet) {
    STREAM_PACKET kind;
    if (!getStreamPacketType(packet, &kind)) return false;
    return packet->data[packet->length - 1] == 0 && kSampleLength[kind] != 0 &&
           packet->length == kSampleLength[kind];
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
                           unsigned char* subindex) {
    STREAM_PACKET kind;
    if (!getStreamPacketType(packet, &kind)) return aErrPacket;
    if (kind == STREAM_PACKET_BYTES) return aErrSize;
    if (!isStreamSample(packet)) return aErrPacket;
    const uint8_t* d = packet->data;
    const bool withSubindex = isSubindexType(kind);
    const uint8_t* at = d + (withSubindex ? 5 : 4);
    const uint64_t stamp =
        static_cast<uint64_t>(aUEI_RetrieveInt(at)) << 32 | aUEI_RetrieveInt(at + 4);
    at += 8;
    uint32_t v = 0;
    switch (withSubindex ? kind - 4 : kind) {
    case STREAM_PACKET_U8:
        v = at[0];
        break;
    case STREAM_PACKET_U16:
        v = aUEI_RetrieveShort(at);
        break;
    default:
        v = aUEI_RetrieveInt(at);
        break;
    }
    if (timestamp != nullptr) *timestamp = stamp;
    if (value != nullptr) *value = v;
    if (subindex != nullptr) *subindex = withSubindex ? d[4] : 0;
    return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
    if (high != nullptr) *high = static_cast<uint32_t>(timestamp >> 32);
    if (low != nullptr) *low = static_cast<uint32_t>(timestamp);
}

// The queue element and the worker ------------------------------------------------------

LinkStreams::asyncPacket::asyncPacket(std::shared_ptr<Subscriber> s, aPacket* p)
    : subscriber(std::move(s)), packet(p) {}

LinkStreams::asyncPacket::asyncPacket(asyncPacket&& other) noexcept
    : subscriber(std::move(other.subscriber)), packet(std::exchange(other.packet, nullptr)) {}

LinkStreams::asyncPacket& LinkStreams::asyncPacket::operator=(asyncPacket&& other) noexcept {
    std::swap(subscriber, other.subscriber);
    std::swap(packet, other.packet);
    return *this;
}

LinkStreams::asyncPacket::~asyncPacket() {
    if (packet != nullptr) aPacket_Destroy(&packet);
}

LinkStreams::Worker::Worker(std::shared_ptr<Gate> g)
    : asyncQueue(kQueueSlots), gate(std::move(g)) {}

// Elements still queued at the stop are not run; they go with the worker record.
void LinkStreams::asyncWork(std::shared_ptr<Worker> worker, std::future<void> stop) {
    using namespace std::chrono_literals;
    auto stopped = [&stop] { return stop.wait_for(0s) == std::future_status::ready; };
    asyncPacket item;
    while (!stopped()) {
        if (!worker->asyncQueue.pop(&item)) {
            // The idle sleep, cut short by the stop.
            stop.wait_for(1ms);
            continue;
        }
        std::lock_guard<Gate> lock(*worker->gate);
        if (stopped()) break;
        const Subscriber& s = *item.subscriber;
        if (s.live) {
            try {
                s.callback(item.packet, s.ref);
            } catch (...) {
                // A callback's exception must not end the process from this thread.
            }
        }
        item = asyncPacket{};
    }
}

// The subscriptions ---------------------------------------------------------------------

LinkStreams::LinkStreams(Link& link, const uint32_t& id)
    : owner(link), linkId(id), gate(std::make_shared<Gate>()) {}

LinkStreams::~LinkStreams() {
    stop();
    reap();
    // Left only when a callback destroys its own Link: those threads hold their own
    // records and end once the callback returns.
    std::lock_guard lock(workerLock);
    for (auto& worker : retired)
        worker->thread.detach();
}

void LinkStreams::stop() {
    std::vector<std::shared_ptr<Subscriber>> dropped;
    {
        std::lock_guard lock(workerLock);
        installStreamFilter(false, dropped);
    }
    retire(dropped);
    reap();
}

aErr LinkStreams::installStreamFilter(bool install,
                                      std::vector<std::shared_ptr<Subscriber>>& dropped) {
    if (install) {
        if (linkId == 0) return aErrConnection;
        if (aErr result = aLink_InstallUserPacketFilter(linkId, linkStreamFilter, this);
            result != aErrNone)
            return result;
        filterLink = linkId;
        if (asyncWorker) return aErrNone;
        auto worker = std::make_shared<Worker>(gate);
        try {
            worker->thread = std::thread(asyncWork, worker, worker->asyncStop.get_future());
        } catch (...) {
            return aErrResource;
        }
        workerThreads.push_back(worker->thread.get_id());
        {
            std::lock_guard lock(streamLock);
            queue = &worker->asyncQueue;
        }
        asyncWorker = std::move(worker);
        return aErrNone;
    }
    // Only our own filter: a later Link on the same core link may have replaced it.
    if (filterLink != 0) aLink_RemoveUserPacketFilter(filterLink, linkStreamFilter, this);
    filterLink = 0;
    {
        std::lock_guard lock(streamLock);
        for (auto& [key, entry] : streams)
            if (entry.subscriber) dropped.push_back(std::move(entry.subscriber));
        streams.clear();
    }
    stopWorkerLocked();
    return linkId == 0 ? aErrConnection : aErrNone;
}

void LinkStreams::stopWorkerLocked() {
    if (!asyncWorker) return;
    {
        std::lock_guard lock(streamLock);
        queue = nullptr;
    }
    asyncWorker->asyncStop.set_value();
    retired.push_back(std::move(asyncWorker));
}

void LinkStreams::retire(const std::vector<std::shared_ptr<Subscriber>>& dropped) {
    if (dropped.empty()) return;
    std::lock_guard<Gate> lock(*gate);
    for (const auto& s : dropped)
        s->live = false;
}

void LinkStreams::reap() {
    std::vector<std::shared_ptr<Worker>> joining;
    {
        std::lock_guard lock(workerLock);
        const auto self = std::this_thread::get_id();
        if (std::find(workerThreads.begin(), workerThreads.end(), self) != workerThreads.end())
            return;
        joining.swap(retired);
    }
    for (auto& worker : joining) {
        const auto id = worker->thread.get_id();
        worker->thread.join();
        // Only now: until it has ended, the worker's own calls must not join others.
        std::lock_guard lock(workerLock);
        workerThreads.erase(std::find(workerThreads.begin(), workerThreads.end(), id));
    }
}

void LinkStreams::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet) {
    if (!entry.subscriber || !entry.subscriber->callback || queue == nullptr) return;
    aPacket* copy = aPacket_Copy(packet);
    if (copy == nullptr) return;
    // A full ring drops the callback; the element, and with it the copy, is freed here.
    queue->push(asyncPacket(entry.subscriber, copy));
}

uint8_t LinkStreams::linkStreamFilter(const aPacket* packet, void* self) {
    Link::STREAM_PACKET kind;
    if (!Link::getStreamPacketType(packet, &kind)) return 0;
    const uint8_t* d = packet->data;
    const unsigned char subindex = Link::isSubindexType(kind) ? d[4] : 0;
    const uint64_t key = Link::createStreamKey(packet->address, d[0], d[1] & kOptionBits,
                                               d[2] & kIndexBits, subindex);
    uint32_t value = 0;
    const bool sample = Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

    auto& streams = *static_cast<LinkStreams*>(self);
    std::lock_guard lock(streams.streamLock);
    auto& map = streams.streams;
    const auto exact = map.find(key);
    if (exact != map.end()) {
        streams.queueAsyncCallback(exact->second, packet);
        if (sample) {
            exact->second.value = value;
            exact->second.fresh = true;
        }
    }
    bool caught = false;
    for (unsigned n = 0; n < kMasks; n++) {
        const auto it = map.find(key | genericStreamKeyMask(n));
        if (it == map.end()) continue;
        caught = true;
        streams.queueAsyncCallback(it->second, packet);
    }
    if (exact == map.end() && caught && sample)
        map.emplace(key, StreamEntry{.key = key, .fresh = true, .value = value});
    // Every stream packet is ours while the filter is in place, caught or not.
    return 1;
}

void LinkStreams::eraseMatching(unsigned char module, unsigned char command, unsigned char option,
                                unsigned char index,
                                std::vector<std::shared_ptr<Subscriber>>& dropped) {
    const unsigned char wanted[kElements] = {module, command, option, index, Link::kStreamWildcard};
    for (auto it = streams.begin(); it != streams.end();) {
        if (!keyMatches(it->first, wanted)) {
            ++it;
            continue;
        }
        if (it->second.subscriber) dropped.push_back(std::move(it->second.subscriber));
        it = streams.erase(it);
    }
}

aErr LinkStreams::registerStreamCallback(unsigned char module, unsigned char command,
                                         unsigned char option, unsigned char index, bool enable,
                                         streamCallback callback, void* ref) {
    if ((module & 1) != 0) return aErrParam;
    const uint64_t key =
        Link::createStreamKey(module, command, option, index, Link::kStreamWildcard);
    std::vector<std::shared_ptr<Subscriber>> dropped;
    aErr result;
    {
        std::lock_guard lock(workerLock);
        bool any;
        {
            std::lock_guard mapLock(streamLock);
            if (enable) {
                StreamEntry& entry = streams[key];
                // A replaced callback is done with, like a removed one.
                if (entry.subscriber) dropped.push_back(std::move(entry.subscriber));
                entry = StreamEntry{.key = key, .subscription = true};
                if (callback)
                    entry.subscriber = std::make_shared<Subscriber>(
                        Subscriber{.callback = std::move(callback), .ref = ref});
            } else {
                eraseMatching(module, command, option, index, dropped);
            }
            any = !streams.empty();
        }
        result = installStreamFilter(any, dropped);
    }
    retire(dropped);
    reap();
    if (result == aErrNone) result = tellModule(module, command, option, index, enable);
    if (result != aErrNone) undo(module, command, option, index);
    return result;
}

void LinkStreams::undo(unsigned char module, unsigned char command, unsigned char option,
                       unsigned char index) {
    std::vector<std::shared_ptr<Subscriber>> dropped;
    {
        std::lock_guard lock(workerLock);
        bool any;
        {
            std::lock_guard mapLock(streamLock);
            eraseMatching(module, command, option, index, dropped);
            any = !streams.empty();
        }
        // A filter left in place with nothing subscribed would swallow every stream packet.
        if (!any) installStreamFilter(false, dropped);
    }
    retire(dropped);
    reap();
}

// One request on the stream command and its reply, awaited with `replyOption` and index 0:
// the device's error code, or 0 with the reply decoded into u.
aErr LinkStreams::streamRequest(unsigned char module, unsigned char option,
                                unsigned char replyOption, uei& u) {
    u.module = module;
    u.command = kStreamCommand;
    u.option = option;
    u.index = kRequestIndex;
    if (aErr result = owner.sendUEI(u); result != aErrNone) return result;
    u.option = replyOption;
    u.index = 0;
    u.type = ueiTypeVoid;
    if (aErr result = owner.receiveUEI(module, kStreamCommand, replyOption, 0, &u);
        result != aErrNone)
        return result;
    return (u.index & kIndexError) ? static_cast<aErr>(u.v.byteVal) : aErrNone;
}

// The request carries the key's four low bytes: module, command, option, index.
aErr LinkStreams::tellModule(unsigned char module, unsigned char command, unsigned char option,
                             unsigned char index, bool enable) {
    const unsigned char request = enable ? kEnable : kDisable;
    uei u{};
    u.type = ueiTypeInt;
    u.v.intVal = static_cast<uint32_t>(Link::createStreamKey(module, command, option, index, 0));
    return streamRequest(module, request, static_cast<unsigned char>(request | kSetReply), u);
}

aErr LinkStreams::isLinkStreaming(unsigned char module, unsigned char* streaming) {
    if (streaming == nullptr) return aErrParam;
    uei u{};
    u.type = ueiTypeVoid;
    if (aErr result = streamRequest(module, kIsStreaming, kIsStreamingReply, u); result != aErrNone)
        return result;
    if (u.type != ueiTypeByte) return aErrSize;
    *streaming = u.v.byteVal;
    return aErrNone;
}

aErr LinkStreams::getStreamValue(unsigned char module, unsigned char command, unsigned char option,
                                 unsigned char index, unsigned char subindex, uint32_t* value) {
    if (value == nullptr) return aErrParam;
    const uint64_t key = Link::createStreamKey(module, command, option, index, subindex);
    std::lock_guard lock(streamLock);
    const auto it = streams.find(key);
    // A subscription's own entry holds no sample.
    if (it == streams.end() || it->second.subscription) return aErrNotFound;
    *value = it->second.value;
    return std::exchange(it->second.fresh, false) ? aErrNone : aErrStreamStale;
}

std::vector<uint64_t> LinkStreams::filterActiveStreamKeys(unsigned char module,
                                                          unsigned char command,
                                                          unsigned char option, unsigned char index,
                                                          unsigned char subindex, bool lock) {
    const unsigned char wanted[kElements] = {module, command, option, index, subindex};
    std::unique_lock mapLock(streamLock, std::defer_lock);
    if (lock) mapLock.lock();
    std::vector<uint64_t> keys;
    for (const auto& [key, entry] : streams)
        if (keyMatches(key, wanted)) keys.push_back(key);
    return keys;
}

aErr LinkStreams::getStreamStatus(unsigned char module, unsigned char command, unsigned char option,
                                  unsigned char index, unsigned char subindex,
                                  Link::StreamStatusEntry* entries, size_t capacity,
                                  size_t* count) {
    if (!owner.isConnected()) return aErrConnection;
    if (entries == nullptr || count == nullptr || capacity == 0) return aErrParam;
    const auto keys = filterActiveStreamKeys(module, command, option, index, subindex, true);
    std::lock_guard lock(streamLock);
    *count = 0;
    for (uint64_t key : keys) {
        const auto it = streams.find(key);
        if (it == streams.end() || !isConcrete(key)) continue;
        if (*count == capacity) return aErrSize;
        entries[(*count)++] = Link::StreamStatusEntry{key, it->second.value};
    }
    return aErrNone;
}

} // namespace Keldoran::Tessaform
