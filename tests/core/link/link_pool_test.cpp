// Pooled writes and the output pipe over a scripted in-memory transport.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "aLink.h"

using namespace std::chrono_literals;

namespace {

// Reads: nothing, ever (paced, so the input pipe does not spin). Writes: recorded; the
// first one blocks until released, so that packets pile up behind it.
struct HeldTransport {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    std::vector<size_t> writes;

    static aErr get(uint8_t*, void*) {
        std::this_thread::sleep_for(5ms);
        return aErrNotReady;
    }
    static aErr write(const uint8_t*, size_t length, void* ref) {
        auto* self = static_cast<HeldTransport*>(ref);
        std::unique_lock lock(self->mutex);
        self->writes.push_back(length);
        self->changed.notify_all();
        self->changed.wait(lock, [self] { return self->released; });
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* ref) { return write(byte, 1, ref); }
    static aErr remove(void*) { return aErrNone; }

    bool waitForWrites(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return writes.size() >= count; });
    }
};

} // namespace

TEST(PooledWrites, BatchesUpTo4096BytesOfWholePackets) {
    HeldTransport transport;
    aStream* stream = aStream_Create(HeldTransport::get, HeldTransport::put, HeldTransport::write,
                                     HeldTransport::remove, &transport);
    uint32_t id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(transport.waitForWrites(1)) << "the route command is held in the transport";
    ASSERT_EQ(aLink_EnablePooledPackets(id, 1), aErrNone);

    std::vector<uint8_t> data(28, 0x5A);
    aPacket* packet = aPacket_CreateWithData(0x06, 28, data.data());
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(aLink_PutPacket(id, packet), aErrNone);
    aPacket_Destroy(&packet);
    {
        std::lock_guard lock(transport.mutex);
        transport.released = true;
        transport.changed.notify_all();
    }
    ASSERT_TRUE(transport.waitForWrites(3));
    {
        std::lock_guard lock(transport.mutex);
        EXPECT_EQ(transport.writes, (std::vector<size_t>{3, 4080, 1920}));
    }
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}
