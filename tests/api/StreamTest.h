// Helpers of the stream subscription tests: packets made from the simulator's, and a
// callback that records what it was called with.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Link.h"
#include "aPacket.h"
#include "tfsim/Packet.h"

namespace streamtest {

using Keldoran::Tessaform::Link;
using Keldoran::Tessaform::streamCallback;

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

inline PacketPtr packetOf(const tfsim::Packet& p) {
    return PacketPtr(
        aPacket_CreateWithData(p.address, static_cast<uint8_t>(p.data.size()), p.data.data()));
}

// What the callbacks saw, written on the worker thread.
struct Seen {
    std::mutex mutex;
    std::vector<uint32_t> values;
    std::vector<uint64_t> keys; // the packet's concrete key
    std::vector<int> order;     // which subscription, by its ref
    std::vector<std::thread::id> threads;

    size_t count() {
        std::lock_guard lock(mutex);
        return values.size();
    }
};

// A callback that records the packet; `ref` is the subscription's number in `seen->order`.
inline streamCallback recorder(Seen* seen) {
    return [seen](const aPacket* p, void* ref) -> unsigned char {
        uint32_t value = 0;
        unsigned char subindex = 0;
        Link::getStreamSample(p, nullptr, &value, &subindex);
        std::lock_guard lock(seen->mutex);
        seen->values.push_back(value);
        seen->keys.push_back(Link::createStreamKey(p->address, p->data[0], p->data[1] & 0x3F,
                                                   p->data[2] & 0x1F, subindex));
        seen->order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(ref)));
        seen->threads.push_back(std::this_thread::get_id());
        return 0;
    };
}

inline void* tag(int n) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(n));
}

} // namespace streamtest
