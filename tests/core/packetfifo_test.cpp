// Packet FIFOs: ids, ownership of copies, the 1000-packet bound and its overflow policies,
// predicate searches, and waits with real threads (puts, time-outs, destruction, many producers and
// consumers).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <limits>
#include <semaphore>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "Holders.h"
#include "packetfifo.h"
#include "packetfifoInternal.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using tftest::PacketPtr;

// A packet whose single data byte tells packets of the same address apart.
PacketPtr makePacket(uint8_t address, uint8_t tag = 0) {
    return PacketPtr(aPacket_CreateWithData(address, 1, &tag));
}

uint8_t tagOf(const aPacket* packet) {
    return packet->data[0];
}

// Records every packet offered; accepts the one whose tag is `accept` (none when negative)
// and fulfils `started` once `startAfter` packets have been offered.
struct Recorder {
    int accept = -1;
    size_t startAfter = 0;
    std::vector<uint8_t> seen;
    std::promise<void> started;
};

bool sRecord(const aPacket* packet, const void* ref) {
    auto* recorder = const_cast<Recorder*>(static_cast<const Recorder*>(ref));
    recorder->seen.push_back(tagOf(packet));
    if (recorder->startAfter && recorder->seen.size() == recorder->startAfter)
        recorder->started.set_value();
    return recorder->accept >= 0 && tagOf(packet) == recorder->accept;
}

bool sAcceptAll(const aPacket*, const void*) {
    return true;
}
bool sEvenAddress(const aPacket* packet, const void*) {
    return packet->address % 2 == 0;
}

std::vector<uint8_t> sequence(uint8_t first, uint8_t count) {
    std::vector<uint8_t> tags;
    for (uint8_t i = 0; i < count; i++)
        tags.push_back(static_cast<uint8_t>(first + i));
    return tags;
}

constexpr uint64_t kForever = std::numeric_limits<uint64_t>::max();
// Never reached by a working FIFO; finite, so that a lost wake-up fails the test instead
// of hanging it.
constexpr uint64_t kPatient = 10'000;

class PacketFifoTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(fifo = aPacketFifo_Create(), 0u); }
    void TearDown() override {
        if (fifo) aPacketFifo_Destroy(&fifo);
    }
    void put(uint8_t address, uint8_t tag) {
        PacketPtr packet = makePacket(address, tag);
        ASSERT_EQ(aPacketFifo_Put(fifo, packet.get()), aErrNone);
    }
    // Takes every queued packet and returns their tags.
    std::vector<uint8_t> takeAll() {
        std::vector<uint8_t> tags;
        while (PacketPtr packet{aPacketFifo_Get(fifo)})
            tags.push_back(tagOf(packet.get()));
        return tags;
    }

    aPacketFifoId fifo = 0;
};

} // namespace

// The counter is process-wide, so the first ids are only visible in a fresh process.
TEST(PacketFifoIdsDeathTest, DrawnFromOneAndNeverReused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            aPacketFifoId first = aPacketFifo_Create();
            const aPacketFifoId firstValue = first;
            const aPacketFifoId second = aPacketFifo_Create();
            aPacketFifo_Destroy(&first);
            const aPacketFifoId third = aPacketFifo_Create();
            std::fprintf(stderr, "ids %llu %llu %llu\n", (unsigned long long)firstValue,
                         (unsigned long long)second, (unsigned long long)third);
            std::exit(firstValue == 1 && second == 2 && third == 3 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(PacketFifoIds, DestroyClearsTheIdAndRefusesBadAddresses) {
    aPacketFifoId fifo = aPacketFifo_Create();
    ASSERT_NE(fifo, 0u);
    const aPacketFifoId kept = fifo;
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    EXPECT_EQ(fifo, 0u);

    aPacketFifoId stale = kept;
    EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
    EXPECT_EQ(stale, kept);
    EXPECT_NE(aPacketFifo_Create(), kept);
}

TEST(PacketFifoIds, UnknownIdsAreRefusedByEveryOperation) {
    aPacketFifoId destroyed = aPacketFifo_Create();
    const aPacketFifoId destroyedValue = destroyed;
    {
        PacketPtr packet = makePacket(0x02);
        ASSERT_EQ(aPacketFifo_Put(destroyed, packet.get()), aErrNone);
    }
    ASSERT_EQ(aPacketFifo_Destroy(&destroyed), aErrNone);

    const aPacketFifoId unknown[] = {0, destroyedValue, std::numeric_limits<aPacketFifoId>::max()};
    PacketPtr packet = makePacket(0x02);
    for (aPacketFifoId id : unknown) {
        SCOPED_TRACE(id);
        EXPECT_EQ(aPacketFifo_Put(id, packet.get()), aErrParam);
        EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
        EXPECT_EQ(aPacketFifo_Get(id), nullptr);
        EXPECT_EQ(aPacketFifo_GetFirst(id, sAcceptAll, nullptr), nullptr);
        EXPECT_EQ(aPacketFifo_DrainPackets(id, sAcceptAll, nullptr), 0u);
        // Must not wait for a FIFO that does not exist.
        EXPECT_EQ(aPacketFifo_Await(id, kForever), nullptr);
        EXPECT_EQ(aPacketFifo_AwaitFirst(id, sAcceptAll, nullptr, kForever), nullptr);
        aPacketFifoId copy = id;
        EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
        EXPECT_EQ(copy, id);
    }
}

TEST_F(PacketFifoTest, HandsOutFreshCopiesInPutOrder) {
    EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
    PacketPtr a = makePacket(0x02, 'A'), b = makePacket(0x04, 'B'), c = makePacket(0x06, 'C');
    for (const PacketPtr& p : {std::cref(a), std::cref(b), std::cref(c)})
        ASSERT_EQ(aPacketFifo_Put(fifo, p.get()), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 3u);

    for (const PacketPtr& mine : {std::cref(a), std::cref(b), std::cref(c)}) {
        PacketPtr got{aPacketFifo_Get(fifo)};
        ASSERT_NE(got, nullptr);
        EXPECT_NE(got.get(), mine.get());
        EXPECT_TRUE(aPacket_IsComplete(got.get()));
        EXPECT_EQ(got->address, mine->address);
        EXPECT_EQ(tagOf(got.get()), tagOf(mine.get()));
        // The caller's packet stays valid and untouched.
        EXPECT_TRUE(aVALIDPACKET(mine.get()));
    }
    EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(PacketFifoTest, RefusesInvalidPackets) {
    PacketPtr wrongCheck = makePacket(0x02);
    wrongCheck->check = 0x1234;
    PacketPtr tooLong = makePacket(0x02);
    tooLong->length = aPACKET_MAX_DATA + 1;
    EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(fifo, wrongCheck.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(fifo, tooLong.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

// A full FIFO loses nothing silently: a plain put is refused and the queue stays whole,
// while the dropping put (for queues nobody may be reading) makes room at the old end.
TEST_F(PacketFifoTest, AFullFifoRefusesAPutAndKeepsItsPackets) {
    for (int i = 0; i < aPACKETFIFO_MAX_PACKETS; i++)
        put(0x02, static_cast<uint8_t>(i));
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
    PacketPtr extra = makePacket(0x02, 0xEE);
    EXPECT_EQ(aPacketFifo_Put(fifo, extra.get()), aErrOverrun);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);

    PacketPtr oldest{aPacketFifo_Get(fifo)};
    ASSERT_NE(oldest, nullptr);
    EXPECT_EQ(tagOf(oldest.get()), 0) << "the refused put took nothing out";
    EXPECT_EQ(aPacketFifo_Put(fifo, extra.get()), aErrNone) << "room again after a take";
    std::vector<uint8_t> tags = takeAll();
    ASSERT_EQ(tags.size(), 1000u);
    EXPECT_EQ(tags.front(), 1);
    EXPECT_EQ(tags.back(), 0xEE);
}

TEST_F(PacketFifoTest, TheDroppingPutMakesRoomByDroppingTheOldest) {
    size_t dropped = 99;
    for (int i = 0; i < aPACKETFIFO_MAX_PACKETS; i++) {
        PacketPtr packet = makePacket(0x02, static_cast<uint8_t>(i));
        ASSERT_EQ(aPacketFifo_PutDroppingOldest(fifo, packet.get(), &dropped), aErrNone);
        EXPECT_EQ(dropped, 0u);
    }
    PacketPtr extra = makePacket(0x04, 0xEE);
    EXPECT_EQ(aPacketFifo_PutDroppingOldest(fifo, extra.get(), &dropped), aErrNone);
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
    std::vector<uint8_t> tags = takeAll();
    ASSERT_EQ(tags.size(), 1000u);
    EXPECT_EQ(tags.front(), 1) << "packet 0 gave way";
    EXPECT_EQ(tags.back(), 0xEE);
}

TEST_F(PacketFifoTest, GetFirstTakesTheFirstAcceptedAndKeepsTheRestInOrder) {
    put(0x02, 'A');
    put(0x04, 'B');
    put(0x06, 'C');
    put(0x08, 'B');
    EXPECT_EQ(aPacketFifo_GetFirst(fifo, nullptr, nullptr), nullptr);

    Recorder recorder;
    recorder.accept = 'B';
    PacketPtr got{aPacketFifo_GetFirst(fifo, sRecord, &recorder)};
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->address, 0x04);
    EXPECT_EQ(recorder.seen, (std::vector<uint8_t>{'A', 'B'}));

    recorder.accept = 'Z';
    EXPECT_EQ(aPacketFifo_GetFirst(fifo, sRecord, &recorder), nullptr);
    EXPECT_EQ(takeAll(), (std::vector<uint8_t>{'A', 'C', 'B'}));
}

TEST_F(PacketFifoTest, DrainRemovesTheAcceptedOnesOfferingEachOnce) {
    const uint8_t addresses[] = {0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    for (uint8_t address : addresses)
        put(address, address);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, nullptr, nullptr), 0u);

    Recorder recorder; // accepts nothing: every packet is offered once and all stay
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, sRecord, &recorder), 0u);
    EXPECT_EQ(recorder.seen, std::vector<uint8_t>(std::begin(addresses), std::end(addresses)));

    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, sEvenAddress, nullptr), 3u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 3u);
    put(0x09, 0x09); // the window follows the compacted queue
    EXPECT_EQ(takeAll(), (std::vector<uint8_t>{0x03, 0x05, 0x07, 0x09}));
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, sAcceptAll, nullptr), 0u);
}

// Packets put while the call waits are offered as they come, none of them twice; a packet
// rejected by one call is offered again to the next.
TEST_F(PacketFifoTest, AwaitFirstOffersEachPacketOncePerCall) {
    for (uint8_t tag = 0; tag < 3; tag++)
        put(0x02, tag);
    Recorder recorder;
    recorder.accept = 5;
    recorder.startAfter = 3;
    std::future<void> started = recorder.started.get_future();
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aPacketFifo_AwaitFirst(fifo, sRecord, &recorder, kPatient));
    });
    started.wait();
    put(0x02, 3);
    put(0x02, 4);
    put(0x02, 5);
    PacketPtr got = waiter.get();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(tagOf(got.get()), 5);
    EXPECT_EQ(recorder.seen, sequence(0, 6));

    Recorder second;
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, sRecord, &second, 0), nullptr);
    EXPECT_EQ(second.seen, sequence(0, 5));

    Recorder timed;
    const auto begin = Clock::now();
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, sRecord, &timed, 100), nullptr);
    EXPECT_GE(Clock::now() - begin, 100ms);
    EXPECT_EQ(timed.seen, sequence(0, 5));
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 5u);
}

// Packets that the clearing removed before the waiter saw them are never offered; all others
// are offered in put order, none twice.
namespace {
struct Serials {
    std::vector<int> seen;
    std::promise<void> started;
};

bool sRecordSerial(const aPacket* packet, const void* ref) {
    auto* serials = const_cast<Serials*>(static_cast<const Serials*>(ref));
    if (serials->seen.empty()) serials->started.set_value();
    serials->seen.push_back(packet->data[0] << 8 | packet->data[1]);
    return packet->address == 0x04;
}
} // namespace

TEST_F(PacketFifoTest, AwaitFirstFollowsTheWindowAcrossAnOverflow) {
    auto putSerial = [this](uint8_t address, int serial) {
        const uint8_t data[2] = {static_cast<uint8_t>(serial >> 8), static_cast<uint8_t>(serial)};
        PacketPtr packet{aPacket_CreateWithData(address, 2, data)};
        ASSERT_EQ(aPacketFifo_PutDroppingOldest(fifo, packet.get(), nullptr), aErrNone);
    };
    putSerial(0x02, 0);
    Serials serials;
    std::future<void> started = serials.started.get_future();
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aPacketFifo_AwaitFirst(fifo, sRecordSerial, &serials, kPatient));
    });
    started.wait();
    // Past the bound: the oldest packets give way while the waiter walks the queue.
    for (int serial = 1; serial <= aPACKETFIFO_MAX_PACKETS + 50; serial++)
        putSerial(0x02, serial);
    putSerial(0x04, 5000);
    PacketPtr got = waiter.get();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->address, 0x04);
    ASSERT_GE(serials.seen.size(), 2u);
    EXPECT_EQ(serials.seen.back(), 5000);
    for (size_t i = 1; i < serials.seen.size(); i++)
        EXPECT_GT(serials.seen[i], serials.seen[i - 1]) << "at " << i;
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 999u);
}

TEST_F(PacketFifoTest, AwaitTimesOutOnAnEmptyFifo) {
    EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
    const auto begin = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(fifo, 50), nullptr);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 10s);
}

// A deadline computed without saturation wraps into the past (the call returns at once) or
// into a negative time-out.
TEST_F(PacketFifoTest, WaitersWithAnyTimeOutAreWokenByAPut) {
    const uint64_t timeouts[] = {
        3'600'000,
        uint64_t{std::numeric_limits<int64_t>::max()} / 1'000'000,
        uint64_t{std::numeric_limits<int64_t>::max()},
        uint64_t{std::numeric_limits<int64_t>::max()} + 1,
        kForever - 1,
        kForever,
    };
    uint8_t tag = 0;
    for (uint64_t timeout : timeouts) {
        for (bool withPredicate : {false, true}) {
            SCOPED_TRACE(::testing::Message() << timeout << (withPredicate ? " first" : ""));
            auto waiter = std::async(std::launch::async, [&] {
                return PacketPtr(withPredicate
                                     ? aPacketFifo_AwaitFirst(fifo, sAcceptAll, nullptr, timeout)
                                     : aPacketFifo_Await(fifo, timeout));
            });
            std::this_thread::sleep_for(20ms);
            put(0x02, ++tag);
            PacketPtr got = waiter.get();
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(tagOf(got.get()), tag);
        }
    }
}

TEST(PacketFifoDestroy, WakesEveryWaiterWithNull) {
    aPacketFifoId plain = aPacketFifo_Create();
    aPacketFifoId searched = aPacketFifo_Create();
    ASSERT_NE(plain, 0u);
    ASSERT_NE(searched, 0u);
    {
        PacketPtr rejected = makePacket(0x02);
        ASSERT_EQ(aPacketFifo_Put(searched, rejected.get()), aErrNone);
    }

    // Long but finite, so that a waiter nobody wakes fails the test instead of hanging it.
    constexpr uint64_t kLong = 30'000;
    struct Outcome {
        bool gotNull;
        Clock::duration waited;
    };
    auto timed = [](auto call) {
        return std::async(std::launch::async, [call] {
            const auto begin = Clock::now();
            PacketPtr got{call()};
            return Outcome{got == nullptr, Clock::now() - begin};
        });
    };
    std::vector<std::future<Outcome>> waiters;
    Recorder recorders[2];
    std::vector<std::future<void>> started;
    for (Recorder& recorder : recorders) {
        recorder.startAfter = 1; // offered the rejected packet: the waiter holds the lock
        started.push_back(recorder.started.get_future());
        const aPacketFifoId id = searched;
        Recorder* r = &recorder;
        waiters.push_back(timed([id, r] { return aPacketFifo_AwaitFirst(id, sRecord, r, kLong); }));
    }
    for (int i = 0; i < 2; i++) {
        const aPacketFifoId id = plain;
        waiters.push_back(timed([id] { return aPacketFifo_Await(id, kLong); }));
    }
    for (std::future<void>& s : started)
        s.wait();
    std::this_thread::sleep_for(50ms); // let the plain waiters reach their wait

    EXPECT_EQ(aPacketFifo_Destroy(&searched), aErrNone);
    EXPECT_EQ(aPacketFifo_Destroy(&plain), aErrNone);
    for (std::future<Outcome>& waiter : waiters) {
        Outcome outcome = waiter.get();
        EXPECT_TRUE(outcome.gotNull);
        EXPECT_LT(outcome.waited, 10s);
    }
}

// Nothing lost, nothing duplicated, and each producer's packets arrive at every consumer in
// the order they were put.
TEST(PacketFifoConcurrency, ProducersAndConsumersLoseNothing) {
    constexpr int kProducers = 4, kConsumers = 4, kEach = 2000;
    constexpr uint8_t kStop = 0xFE;
    aPacketFifoId fifo = aPacketFifo_Create();
    ASSERT_NE(fifo, 0u);
    // Keeps the queue well below the bound, whose overflow would empty it.
    std::counting_semaphore<800> room(800);

    auto producer = [&](int p) {
        for (int seq = 0; seq < kEach; seq++) {
            room.acquire();
            const uint8_t data[2] = {static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
            PacketPtr packet{aPacket_CreateWithData(static_cast<uint8_t>(2 * (p + 1)), 2, data)};
            ASSERT_EQ(aPacketFifo_Put(fifo, packet.get()), aErrNone);
        }
    };
    using Received = std::vector<std::pair<int, int>>; // (producer, sequence)
    auto consumer = [&](int c) {
        Received received;
        for (;;) {
            PacketPtr packet{c % 2 ? aPacketFifo_AwaitFirst(fifo, sAcceptAll, nullptr, 10'000)
                                   : aPacketFifo_Await(fifo, 10'000)};
            if (!packet || packet->address == kStop) break;
            room.release();
            received.emplace_back(packet->address / 2 - 1, packet->data[0] << 8 | packet->data[1]);
        }
        return received;
    };

    std::vector<std::future<Received>> consumers;
    for (int c = 0; c < kConsumers; c++)
        consumers.push_back(std::async(std::launch::async, consumer, c));
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++)
        producers.emplace_back(producer, p);
    for (std::thread& t : producers)
        t.join();
    // Queued behind every data packet, so each consumer stops only once all are taken.
    for (int c = 0; c < kConsumers; c++) {
        PacketPtr stop = makePacket(kStop);
        ASSERT_EQ(aPacketFifo_Put(fifo, stop.get()), aErrNone);
    }

    std::set<std::pair<int, int>> all;
    size_t total = 0;
    for (std::future<Received>& f : consumers) {
        Received received = f.get();
        std::vector<int> last(kProducers, -1);
        for (auto [p, seq] : received) {
            ASSERT_GE(p, 0);
            ASSERT_LT(p, kProducers);
            EXPECT_GT(seq, last[static_cast<size_t>(p)]) << "producer " << p;
            last[static_cast<size_t>(p)] = seq;
            all.emplace(p, seq);
        }
        total += received.size();
    }
    EXPECT_EQ(total, size_t{kProducers * kEach});
    EXPECT_EQ(all.size(), size_t{kProducers * kEach});
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
    aPacketFifo_Destroy(&fifo);
}
