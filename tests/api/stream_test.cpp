// Stream subscriptions over an unshared TCP/IP link to the simulated module's stream entity:
// keys and samples, callbacks on the worker thread with wildcards, the value cache and the
// entity gets it answers, a full ring, unsubscribing, refusals, and links shared by Links.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ApiTest.h"
#include "StreamTest.h"
#include "Entity.h"
#include "Eventually.h"
#include "Link.h"
#include "Module.h"
#include "aLink.h"
#include "tfsim/StreamEmitter.h"
#include "tfsim/StreamEntity.h"

using namespace apitest;
using namespace streamtest;
using namespace Keldoran::Tessaform;
using tfsim::Fault;
using tfsim::StreamEntity;
using tfsim::StreamKind;
using tftest::eventually;

namespace {

constexpr uint8_t kAddress = 0x06;

class StreamOverTcp : public testing::Test {
  protected:
    void SetUp() override {
        serial = nextSerial();
        ASSERT_EQ(link.setConfig(unshared()), aErrNone);
        ASSERT_EQ(link.setLinkSpecifier(tcpSpec(sim.port(), serial)), aErrNone);
        ASSERT_EQ(link.connect(), aErrNone);
    }
    // A second use of the Link's core link, as another user of it would hold.
    uint32_t peerUse() {
        const linkSpec spec = tcpSpec(sim.port(), serial);
        return aLink_CreateTCPIP(serial, spec.t.ip.ipAddress,
                                 static_cast<uint16_t>(spec.t.ip.ipPort));
    }
    // Sends `n` samples at the rate and stops.
    void emit(uint64_t n, unsigned rate = 2000) {
        const uint64_t target = streams->totalSent() + n;
        emitter.setRate(rate, n);
        ASSERT_TRUE(streams->waitForSent(target, 10s));
    }
    tfsim::Module sim{tfsim::Config{.address = kAddress}};
    std::shared_ptr<StreamEntity> streams = sim.add(std::make_shared<StreamEntity>(kAddress));
    tfsim::StreamEmitter emitter{sim, *streams};
    uint32_t serial = 0;
    Link link{"streams"};
};

TEST(StreamKeys, PackFiveElementsWithTheSubindexOnTop) {
    const uint64_t key = Link::createStreamKey(2, 3, 5, 1, 0xFF);
    EXPECT_EQ(key, 0xFF02030501ull);
    struct Case {
        Link::STREAM_KEY element;
        unsigned char value;
    } cases[] = {{Link::STREAM_KEY_MODULE_ADDRESS, 2}, {Link::STREAM_KEY_CMD, 3},
                 {Link::STREAM_KEY_OPTION, 5},         {Link::STREAM_KEY_INDEX, 1},
                 {Link::STREAM_KEY_SUBINDEX, 0xFF},    {static_cast<Link::STREAM_KEY>(5), 0}};
    for (const auto& c : cases)
        EXPECT_EQ(Link::getStreamKeyElement(key, c.element), c.value) << int(c.element);
}

TEST(StreamPackets, KindsLengthsAndDecodedSamples) {
    const uint64_t ts = 0x0000000A0000000Bull;
    auto source = [](StreamKind kind) {
        return tfsim::StreamSource{
            .command = 3, .option = 7, .index = 1, .kind = kind, .subindex = 9};
    };
    struct Case {
        const char* name;
        tfsim::Packet packet;
        Link::STREAM_PACKET kind;
        aErr sample;
        uint32_t value;
        unsigned char subindex;
    } cases[] = {
        {"8-bit", StreamEntity::sample(6, source(StreamKind::U8), ts, 0xAB), Link::STREAM_PACKET_U8,
         aErrNone, 0xAB, 0},
        {"16-bit", StreamEntity::sample(6, source(StreamKind::U16), ts, 0xABCD),
         Link::STREAM_PACKET_U16, aErrNone, 0xABCD, 0},
        {"32-bit", StreamEntity::sample(6, source(StreamKind::U32), ts, 0xA1B2C3D4),
         Link::STREAM_PACKET_U32, aErrNone, 0xA1B2C3D4, 0},
        {"8-bit, subindex", StreamEntity::sample(6, source(StreamKind::SubindexU8), ts, 0xAB),
         Link::STREAM_PACKET_SUBINDEX_U8, aErrNone, 0xAB, 9},
        {"16-bit, subindex", StreamEntity::sample(6, source(StreamKind::SubindexU16), ts, 0xABCD),
         Link::STREAM_PACKET_SUBINDEX_U16, aErrNone, 0xABCD, 9},
        {"32-bit, subindex",
         StreamEntity::sample(6, source(StreamKind::SubindexU32), ts, 0xA1B2C3D4),
         Link::STREAM_PACKET_SUBINDEX_U32, aErrNone, 0xA1B2C3D4, 9},
        {"8-bit one byte long", StreamEntity::sample(6, source(StreamKind::U8), ts, 1, 15),
         Link::STREAM_PACKET_U8, aErrPacket, 0, 0},
        {"32-bit one byte short",
         StreamEntity::sample(6, source(StreamKind::U32), ts, 0x01000000, 16),
         Link::STREAM_PACKET_U32, aErrPacket, 0, 0},
        {"byte-buffer piece", StreamEntity::bytesPiece(6, 3, 7, 1, {1, 2}, 1, false),
         Link::STREAM_PACKET_BYTES, aErrSize, 0, 0},
        {"last piece, byte 3 says 4", StreamEntity::bytesPiece(6, 3, 7, 1, {4, 5}, 0, false),
         Link::STREAM_PACKET_BYTES, aErrSize, 0, 0},
        {"kind 9", tfsim::Packet{6, {3, 7, 0x41, 9, 0, 0, 0}}, Link::STREAM_PACKET_NONE, aErrPacket,
         0, 0},
        {"no stream bit", tfsim::Packet{6, {3, 7, 0x01, 1, 0, 0, 0}}, Link::STREAM_PACKET_NONE,
         aErrPacket, 0, 0},
        {"option with a flag", tfsim::Packet{6, {3, 0x47, 0x41, 1, 0, 0, 0}},
         Link::STREAM_PACKET_NONE, aErrPacket, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PacketPtr p = packetOf(c.packet);
        Link::STREAM_PACKET kind = Link::STREAM_PACKET_U8;
        EXPECT_EQ(Link::getStreamPacketType(p.get(), &kind), c.kind != Link::STREAM_PACKET_NONE);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(Link::isStreamSample(p.get()), c.sample == aErrNone);
        uint64_t timestamp = 0;
        uint32_t value = 0;
        unsigned char subindex = 0xEE;
        EXPECT_EQ(Link::getStreamSample(p.get(), &timestamp, &value, &subindex), c.sample);
        if (c.sample != aErrNone) continue;
        EXPECT_EQ(timestamp, ts);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(subindex, c.subindex);
        EXPECT_EQ(Link::getStreamSample(p.get(), nullptr, nullptr, nullptr), aErrNone);
    }
    uint32_t high = 0, low = 0;
    Link::getTimestampParts(ts, &high, &low);
    EXPECT_EQ(high, 0xAu);
    EXPECT_EQ(low, 0xBu);
    Link::getTimestampParts(ts, nullptr, nullptr);
}

TEST_F(StreamOverTcp, SamplesReachTheCallbackOnItsOwnThreadInOrder) {
    streams->addSource(
        {.command = 3, .option = 7, .index = 0, .kind = StreamKind::U32, .first = 100});
    Seen seen;
    ASSERT_EQ(link.registerStreamCallback(kAddress, 3, 7, 0, true, recorder(&seen), tag(1)),
              aErrNone);
    ASSERT_EQ(streams->enabled(), (std::vector<StreamEntity::Key>{{kAddress, 3, 7, 0}}));
    emit(200, 500);
    ASSERT_TRUE(eventually([&] { return seen.count() == 200; })) << seen.count();
    std::lock_guard lock(seen.mutex);
    for (size_t i = 0; i < seen.values.size(); i++) {
        ASSERT_EQ(seen.values[i], 100 + i) << "every sample, in order";
        EXPECT_EQ(seen.keys[i], Link::createStreamKey(kAddress, 3, 7, 0, 0));
        EXPECT_EQ(seen.threads[i], seen.threads[0]) << "one callback thread";
    }
    EXPECT_NE(seen.threads[0], std::this_thread::get_id());
}

// A subscription for each choice of wildcards in command, option and index: each catches
// every sample once, in the order of the wildcard masks; the others catch nothing.
TEST_F(StreamOverTcp, WildcardsCatchEverySampleInMaskOrder) {
    streams->addSource({.command = 3, .option = 7, .index = 1, .kind = StreamKind::U16});
    struct Sub {
        uint8_t command, option, index;
        bool catches;
    } subs[] = {
        {3, 7, 1, true},    {3, 7, 0xFF, true},    {3, 0xFF, 1, true},     {3, 0xFF, 0xFF, true},
        {0xFF, 7, 1, true}, {0xFF, 7, 0xFF, true}, {0xFF, 0xFF, 1, true},  {0xFF, 0xFF, 0xFF, true},
        {3, 8, 1, false},   {3, 7, 2, false},      {4, 0xFF, 0xFF, false},
    };
    Seen seen;
    for (int i = 0; i < static_cast<int>(std::size(subs)); i++)
        ASSERT_EQ(link.registerStreamCallback(kAddress, subs[i].command, subs[i].option,
                                              subs[i].index, true, recorder(&seen), tag(i)),
                  aErrNone)
            << i;
    emit(10);
    ASSERT_TRUE(eventually([&] { return seen.count() == 80; })) << seen.count();
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(seen.mutex);
    ASSERT_EQ(seen.order.size(), 80u) << "nothing for the subscriptions that do not match";
    for (size_t i = 0; i < 80; i++)
        ASSERT_EQ(seen.order[i], static_cast<int>(i % 8)) << i;
}

TEST_F(StreamOverTcp, CacheGivesTheLatestValueOnceThenStaleAndEntityGetsUseIt) {
    const size_t plain = streams->addSource(
        {.command = 3, .option = 7, .index = 0, .kind = StreamKind::U32, .first = 0x10});
    const size_t sub = streams->addSource({.command = 3,
                                           .option = 9,
                                           .index = 0,
                                           .kind = StreamKind::SubindexU16,
                                           .subindex = 2,
                                           .first = 0x2000});
    Module module(kAddress, false);
    ASSERT_EQ(module.setConfig(unshared()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(sim.port(), serial)), aErrNone) << "shares the link";
    EntityClass entity;
    entity.init(&module, 3, 0);
    Link* shared = module.getLink();
    ASSERT_EQ(shared->registerStreamCallback(kAddress, 3, 0xFF, 0, true, nullptr, nullptr),
              aErrNone);
    uint32_t value = 0;
    EXPECT_EQ(shared->getStreamValue(kAddress, 3, 7, 0, 0, &value), aErrNotFound);

    emit(40);
    ASSERT_TRUE(eventually([&] {
        return shared->getStreamValue(kAddress, 3, 9, 0, 2, &value) == aErrNone &&
               value == streams->lastValue(sub);
    }));
    ASSERT_TRUE(eventually([&] {
        uint32_t v = 0;
        shared->getStreamValue(kAddress, 3, 7, 0, 0, &v);
        return v == streams->lastValue(plain);
    }));
    // Both values are now stale through the Link: the entity's gets give them without asking.
    const uint64_t since = sim.mark();
    uint32_t got = 0;
    EXPECT_EQ(entity.getUEI32(7, &got), aErrStreamStale);
    EXPECT_EQ(got, streams->lastValue(plain));
    uint16_t got16 = 0;
    EXPECT_EQ(entity.getUEI16(9, 2, &got16), aErrStreamStale);
    EXPECT_EQ(got16, streams->lastValue(sub));
    EXPECT_TRUE(requestsTo(sim, kAddress, since).empty()) << "answered from the cache";

    emit(2);
    EXPECT_TRUE(eventually([&] {
        return entity.getUEI32(7, &got) == aErrNone && got == streams->lastValue(plain);
    })) << "a new sample is fresh again";

    // A sample of the wrong length and a byte-buffer piece still reach callbacks; neither
    // changes the cache.
    Seen seen;
    ASSERT_EQ(shared->registerStreamCallback(kAddress, 3, 7, 0, true, recorder(&seen), tag(0)),
              aErrNone);
    const tfsim::StreamSource wrong{.command = 3, .option = 7, .kind = StreamKind::U32};
    ASSERT_TRUE(sim.send(StreamEntity::sample(kAddress, wrong, 0, 0xDEAD, 18)));
    ASSERT_TRUE(sim.send(StreamEntity::bytesPiece(kAddress, 3, 7, 0, {1, 2, 3}, 1, false)));
    ASSERT_TRUE(eventually([&] { return seen.count() == 2; }));
    EXPECT_EQ(shared->getStreamValue(kAddress, 3, 7, 0, 0, &value), aErrStreamStale);
    EXPECT_EQ(value, streams->lastValue(plain));

    Link::StreamStatusEntry entries[3];
    size_t count = 9;
    EXPECT_EQ(entity.getStreamStatus(entries, 1, &count), aErrSize);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(entity.getStreamStatus(entries, 3, &count), aErrNone);
    ASSERT_EQ(count, 2u) << "the two concrete keys, no subscription";
    EXPECT_EQ(entries[0].key, Link::createStreamKey(kAddress, 3, 7, 0, 0));
    EXPECT_EQ(entries[0].value, streams->lastValue(plain));
    EXPECT_EQ(entries[1].key, Link::createStreamKey(kAddress, 3, 9, 0, 2));
    EXPECT_EQ(entries[1].value, streams->lastValue(sub));
    EXPECT_EQ(entity.getStreamStatus(nullptr, 3, &count), aErrParam);
}

// A callback held up while samples pour in: the ring keeps 499 of them and drops the rest,
// and the cache still follows every sample.
TEST_F(StreamOverTcp, AFullRingDropsCallbacksButNotCacheUpdates) {
    const size_t source = streams->addSource({.command = 3, .option = 7, .index = 0});
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
    auto blocking = [&](const aPacket*, void*) -> unsigned char {
        if (calls++ == 0)
            while (!release)
                std::this_thread::sleep_for(1ms);
        return 0;
    };
    ASSERT_EQ(link.registerStreamCallback(kAddress, 3, 7, 0, true, blocking, nullptr), aErrNone);
    ASSERT_TRUE(eventually([&] {
        emit(1);
        return calls == 1;
    }));
    emit(800, 20000);
    uint32_t value = 0;
    ASSERT_TRUE(eventually([&] {
        link.getStreamValue(kAddress, 3, 7, 0, 0, &value);
        return value == streams->lastValue(source);
    }));
    release = true;
    ASSERT_TRUE(eventually([&] { return calls == 500; })) << calls;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls, 500) << "one held up and 499 waiting; the rest were dropped";
}

// Once an unsubscribe returns its callback never runs again, also when it was running.
TEST_F(StreamOverTcp, NoCallbackRunsOnceUnsubscribeHasReturned) {
    streams->addSource({.command = 3, .option = 7, .index = 0});
    streams->addSource({.command = 3, .option = 8, .index = 0});
    for (bool last : {false, true}) {
        SCOPED_TRACE(last ? "the last subscription" : "another one stays");
        std::atomic<int> calls{0};
        std::atomic<bool> inside{false};
        auto slow = [&](const aPacket*, void*) -> unsigned char {
            inside = true;
            calls++;
            std::this_thread::sleep_for(2ms);
            inside = false;
            return 0;
        };
        if (!last) {
            ASSERT_EQ(link.enableStream(kAddress, 3, 8, 0, true), aErrNone);
        }
        ASSERT_EQ(link.registerStreamCallback(kAddress, 3, 7, 0, true, slow, nullptr), aErrNone);
        emitter.setRate(20000);
        ASSERT_TRUE(eventually([&] { return calls > 20; }));
        ASSERT_EQ(link.registerStreamCallback(kAddress, 3, 7, 0, false, nullptr, nullptr),
                  aErrNone);
        EXPECT_FALSE(inside);
        const int after = calls;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(calls, after);
        emitter.setRate(0);
        EXPECT_EQ(link.filterActiveStreamKeys(kAddress, 3, 7, 0, 0xFF).size(), 0u);
        if (!last) {
            ASSERT_EQ(link.enableStream(kAddress, 3, 8, 0, false), aErrNone);
        }
    }
}

// The callback thread stopping itself: the stop cannot wait for the thread that asks for
// it, and a new thread must not drain the old one's ring.
TEST_F(StreamOverTcp, CallbacksMayUnsubscribeResubscribeOrDestroyTheirLink) {
    streams->addSource({.command = 3, .option = 7, .index = 0});
    emitter.setRate(5000);
    enum class Act { Unsubscribe, Resubscribe, Destroy };
    for (Act act : {Act::Unsubscribe, Act::Resubscribe, Act::Destroy}) {
        SCOPED_TRACE(static_cast<int>(act));
        auto own = std::make_unique<Link>("own");
        ASSERT_EQ(own->setConfig(unshared()), aErrNone);
        ASSERT_EQ(own->setLinkSpecifier(tcpSpec(sim.port(), serial)), aErrNone);
        ASSERT_EQ(own->connect(), aErrNone) << "shares the fixture's core link";
        std::atomic<int> calls{0}, later{0};
        std::atomic<bool> done{false};
        streamCallback again = [&](const aPacket*, void*) -> unsigned char {
            later++;
            return 0;
        };
        streamCallback first = [&](const aPacket*, void*) -> unsigned char {
            if (calls++ != 0) return 0;
            switch (act) {
            case Act::Unsubscribe:
                own->registerStreamCallback(kAddress, 3, 7, 0, false, nullptr, nullptr);
                break;
            case Act::Resubscribe:
                own->registerStreamCallback(kAddress, 3, 7, 0, false, nullptr, nullptr);
                own->registerStreamCallback(kAddress, 3, 7, 0, true, again, nullptr);
                break;
            case Act::Destroy:
                own.reset();
                break;
            }
            done = true;
            return 0;
        };
        ASSERT_EQ(own->registerStreamCallback(kAddress, 3, 7, 0, true, first, nullptr), aErrNone);
        ASSERT_TRUE(eventually([&] { return done.load(); }));
        if (act == Act::Resubscribe) {
            EXPECT_TRUE(eventually([&] { return later > 10; })) << "the new thread runs";
            EXPECT_EQ(calls, 1) << "the old callback is gone";
        } else {
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(calls, 1);
        }
        own.reset();
    }
}

TEST_F(StreamOverTcp, RefusedOrUnsentRequestsLeaveNoSubscriptionAndNoFilter) {
    streams->addSource({.command = 3, .option = 7, .index = 0});
    streams->addFault(Fault{
        .command = 0x5D, .option = 0x81, .times = 1, .error = Fault::Error::WithCode, .code = 26});
    Seen seen;
    struct Case {
        const char* name;
        uint8_t module;
        aErr expected;
    } cases[] = {
        {"refused by the module", kAddress, static_cast<aErr>(26)},
        {"module 0", 0, aErrPacket},
        {"module 0xFF", 0xFF, aErrParam},
        {"odd module", 0x07, aErrParam},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(link.registerStreamCallback(c.module, 3, 7, 0, true, recorder(&seen), nullptr),
                  c.expected);
        EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
    }
    // The module streams anyway: with no filter left, its samples reach the link's callers.
    uint32_t peer = peerUse();
    ASSERT_NE(peer, 0u);
    ASSERT_TRUE(sim.send(StreamEntity::sample(kAddress, {.command = 3, .option = 7}, 0, 5)));
    aPacket* got = aLink_AwaitPacket(peer, 2000);
    EXPECT_NE(got, nullptr) << "swallowed by a filter left behind";
    aPacket_Destroy(&got);
    aLink_Destroy(&peer);
    EXPECT_EQ(seen.count(), 0u);

    Link unconnected("none");
    EXPECT_EQ(unconnected.registerStreamCallback(kAddress, 3, 7, 0, true, recorder(&seen), nullptr),
              aErrConnection);
    EXPECT_TRUE(unconnected.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
    EXPECT_EQ(unconnected.enablePooledPackets(true), aErrParam);
    EXPECT_EQ(link.enablePooledPackets(true), aErrNone);
}

TEST_F(StreamOverTcp, AsksWhetherTheModuleStreams) {
    unsigned char streaming = 9;
    ASSERT_EQ(link.isLinkStreaming(kAddress, &streaming), aErrNone);
    EXPECT_EQ(streaming, 0);
    ASSERT_EQ(link.enableStream(kAddress, 3, 0xFF, 0, true), aErrNone);
    ASSERT_EQ(link.isLinkStreaming(kAddress, &streaming), aErrNone);
    EXPECT_EQ(streaming, 1);
    streams->addFault(
        Fault{.command = 0x5D, .option = 0x41, .error = Fault::Error::WithCode, .code = 29});
    EXPECT_EQ(link.isLinkStreaming(kAddress, &streaming), 29);
    EXPECT_EQ(link.isLinkStreaming(kAddress, nullptr), aErrParam);
}

// Two Links on one core link: the one that goes must take its filter with it (it would run
// on freed memory), and only its own: the later Link's filter replaced it.
TEST_F(StreamOverTcp, ALinkLeavingASharedCoreLinkTakesOnlyItsOwnFilter) {
    streams->addSource({.command = 3, .option = 7, .index = 0});
    Seen mine, theirs;
    for (bool destroyOnly : {false, true}) {
        SCOPED_TRACE(destroyOnly ? "destroyed" : "disconnected, then destroyed");
        auto other = std::make_unique<Link>("other");
        ASSERT_EQ(other->setConfig(unshared()), aErrNone);
        ASSERT_EQ(other->setLinkSpecifier(tcpSpec(sim.port(), serial)), aErrNone);
        ASSERT_EQ(other->connect(), aErrNone);
        ASSERT_EQ(
            other->registerStreamCallback(kAddress, 3, 7, 0, true, recorder(&theirs), nullptr),
            aErrNone);
        emitter.setRate(2000);
        ASSERT_TRUE(eventually([&] { return theirs.count() > 0; }));
        if (!destroyOnly) {
            ASSERT_EQ(other->disconnect(), aErrNone);
            EXPECT_TRUE(other->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF).empty());
        }
        other.reset();
        const uint64_t sent = streams->totalSent();
        ASSERT_TRUE(streams->waitForSent(sent + 20, 5s)) << "samples go on over the shared link";
        emitter.setRate(0);
    }
    // This Link subscribes first; another user's filter replaces it; this Link's last
    // unsubscribe must leave that filter alone.
    ASSERT_EQ(link.registerStreamCallback(kAddress, 3, 7, 0, true, recorder(&mine), nullptr),
              aErrNone);
    uint32_t peer = peerUse();
    static std::atomic<int> peerSaw{0};
    auto peerFilter = [](const aPacket* p, void*) -> uint8_t {
        const bool sample = p->length > 2 && (p->data[2] & 0x40);
        peerSaw += sample ? 1 : 0;
        return sample ? 1 : 0;
    };
    ASSERT_EQ(aLink_InstallUserPacketFilter(peer, peerFilter, nullptr), aErrNone);
    ASSERT_EQ(link.registerStreamCallback(kAddress, 3, 7, 0, false, nullptr, nullptr), aErrNone);
    peerSaw = 0;
    ASSERT_TRUE(sim.send(StreamEntity::sample(kAddress, {.command = 3, .option = 7}, 0, 5)));
    EXPECT_TRUE(eventually([&] { return peerSaw > 0; })) << "the other user's filter stays";
    aLink_InstallUserPacketFilter(peer, nullptr, nullptr);
    aLink_Destroy(&peer);
}

// Subscribe, unsubscribe and destroy a Link 1000 times while samples flow: a callback that
// runs after its Link said it would not, or after the Link went, marks its token; a lost
// wake-up shows as a wait that never ends.
TEST_F(StreamOverTcp, ChurnWhileSamplesFlow) {
    streams->addSource({.command = 3, .option = 7, .index = 0});
    streams->addSource({.command = 3, .option = 9, .index = 0, .kind = StreamKind::SubindexU8});
    // The module keeps streaming whatever the Links ask: an enable of all of command 3 that
    // no Link's disable covers.
    const uint8_t enableAll[] = {0x81, 0x20, kAddress, 3, 0xFF, 0xFF};
    ASSERT_EQ(link.sendPacket(kAddress, 0x5D, sizeof enableAll, enableAll), aErrNone);
    ASSERT_TRUE(eventually([&] { return streams->enabled().size() == 1; }));
    emitter.setRate(5000);

    struct Token {
        std::atomic<bool> ended{false};
        std::atomic<int> calls{0};
        std::atomic<int> late{0};
    };
    std::vector<std::unique_ptr<Token>> tokens;
    auto counting = [](const aPacket*, void* ref) -> unsigned char {
        auto* token = static_cast<Token*>(ref);
        if (token->ended) token->late++;
        token->calls++;
        return 0;
    };
    constexpr int kRounds = 1000;
    for (int round = 0; round < kRounds; round++) {
        auto churn = std::make_unique<Link>("churn");
        ASSERT_EQ(churn->setConfig(unshared()), aErrNone);
        ASSERT_EQ(churn->setLinkSpecifier(tcpSpec(sim.port(), serial)), aErrNone);
        ASSERT_EQ(churn->connect(), aErrNone) << round;
        tokens.push_back(std::make_unique<Token>());
        Token* token = tokens.back().get();
        const uint8_t option = round % 2 ? 7 : 0xFF;
        ASSERT_EQ(churn->registerStreamCallback(kAddress, 3, option, 0, true, counting, token),
                  aErrNone)
            << round;
        ASSERT_TRUE(eventually([&] { return token->calls > 0; })) << "round " << round;
        if (round % 3 != 0) {
            ASSERT_EQ(
                churn->registerStreamCallback(kAddress, 3, option, 0, false, nullptr, nullptr),
                aErrNone);
            token->ended = true;
        }
        churn.reset();
        token->ended = true;
    }
    emitter.setRate(0);
    std::this_thread::sleep_for(50ms);
    int late = 0;
    for (const auto& token : tokens)
        late += token->late;
    EXPECT_EQ(late, 0) << "callbacks after their unsubscribe or their Link's end";
}

} // namespace
