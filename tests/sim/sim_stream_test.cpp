// The simulator's stream entity and emitter against a bare TCP host: the stream requests and
// their answers, the byte layout of every sample kind, and samples sent only while enabled.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <thread>

#include "sim_tcp_client.h"
#include "tfsim/StreamEmitter.h"
#include "tfsim/StreamEntity.h"

using namespace simtest;
using tfsim::Fault;
using tfsim::StreamEntity;
using tfsim::StreamKind;
using tfsim::StreamSource;

namespace {

struct StreamFixture : ::testing::Test {
    tfsim::Module sim;
    std::shared_ptr<StreamEntity> streams = sim.add(std::make_shared<StreamEntity>(0x06));
    Client host{sim.port()};

    std::deque<Packet> early; // samples that came before a reply

    void SetUp() override { connectAndWait(sim, host); }
    static bool isSample(const Packet& p) { return p.data.size() > 2 && (p.data[2] & 0x40); }
    // The reply; a sample may leave before it once the enable has taken effect.
    std::optional<Packet> ask(Bytes data, milliseconds wait = kWait) {
        host.write(Packet{0x06, std::move(data)});
        for (;;) {
            auto p = host.readPacket(wait);
            if (!p || !isSample(*p)) return p;
            early.push_back(*p);
        }
    }
    std::optional<Packet> nextSample() {
        if (!early.empty()) {
            Packet p = early.front();
            early.pop_front();
            return p;
        }
        return host.readPacket();
    }
};

TEST_F(StreamFixture, AnswersEnableDisableAndTheStreamingQuestion) {
    struct Case {
        const char* name;
        Bytes request;
        Bytes reply;
        size_t enabledAfter;
    } cases[] = {
        {"not streaming yet", {0x5D, 0x41, 0x20}, {0x5D, 0x01, 0x00, 0}, 0},
        {"enable one key", {0x5D, 0x81, 0x20, 0x06, 3, 7, 0}, {0x5D, 0xC1, 0x00}, 1},
        {"the same again", {0x5D, 0x81, 0x20, 0x06, 3, 7, 0}, {0x5D, 0xC1, 0x00}, 1},
        {"any option", {0x5D, 0x81, 0x20, 0x06, 3, 0xFF, 1}, {0x5D, 0xC1, 0x00}, 2},
        {"streaming", {0x5D, 0x41, 0x20}, {0x5D, 0x01, 0x00, 1}, 2},
        {"short key", {0x5D, 0x81, 0x20, 0x06, 3}, {0x5D, 0xC1, 0x80, 14}, 2},
        {"unknown option", {0x5D, 0x83, 0x20}, {0x5D, 0xC3, 0x80, 29}, 2},
        {"disable all of command 3", {0x5D, 0x82, 0x20, 0x06, 3, 0xFF, 0xFF}, {0x5D, 0xC2, 0}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto reply = ask(c.request);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->data, c.reply);
        EXPECT_EQ(streams->enabled().size(), c.enabledAfter);
    }
}

TEST_F(StreamFixture, ARefusedOrUnansweredRequestChangesNothing) {
    streams->addFault(Fault{
        .command = 0x5D, .option = 0x81, .times = 1, .error = Fault::Error::WithCode, .code = 26});
    streams->addFault(Fault{.command = 0x5D, .option = 0x81, .times = 1, .silent = true});
    auto refused = ask({0x5D, 0x81, 0x20, 0x06, 3, 7, 0});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->data, (Bytes{0x5D, 0xC1, 0x80, 26}));
    EXPECT_FALSE(ask({0x5D, 0x81, 0x20, 0x06, 3, 7, 0}, kQuiet)) << "the silent fault";
    EXPECT_TRUE(streams->enabled().empty());
}

// Written out from the layout a module sends, not from the simulator's encoder.
TEST(StreamSample, LaysOutEveryKindBigEndianWithAZeroTrailer) {
    const uint64_t ts = 0x0102030405060708ull;
    struct Case {
        StreamKind kind;
        uint32_t value;
        Bytes data;
    } cases[] = {
        {StreamKind::U8, 0xAB, {3, 7, 0x41, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0}},
        {StreamKind::U16, 0xABCD, {3, 7, 0x41, 2, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0xCD, 0}},
        {StreamKind::U32,
         0xA1B2C3D4,
         {3, 7, 0x41, 3, 1, 2, 3, 4, 5, 6, 7, 8, 0xA1, 0xB2, 0xC3, 0xD4, 0}},
        {StreamKind::SubindexU8, 0xAB, {3, 7, 0x41, 5, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0}},
        {StreamKind::SubindexU16,
         0xABCD,
         {3, 7, 0x41, 6, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0xCD, 0}},
        {StreamKind::SubindexU32,
         0xA1B2C3D4,
         {3, 7, 0x41, 7, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0xA1, 0xB2, 0xC3, 0xD4, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        StreamSource source{.command = 3, .option = 7, .index = 1, .kind = c.kind, .subindex = 9};
        EXPECT_EQ(StreamEntity::sample(0x06, source, ts, c.value), (Packet{0x06, c.data}));
    }
    EXPECT_EQ(
        StreamEntity::sample(0x06, {.command = 3, .kind = StreamKind::U8}, 0, 1, 15).data.size(),
        15u);
    EXPECT_EQ(StreamEntity::bytesPiece(0x06, 3, 7, 1, {0xAA, 0xBB}, 2, true),
              (Packet{0x06, {3, 7, 0x41, 0xAA, 0xBB, 0x82}}));
}

TEST_F(StreamFixture, SendsOnlyEnabledSourcesTakingTurnsWithCountingValues) {
    const size_t a = streams->addSource({.command = 3,
                                         .option = 7,
                                         .kind = StreamKind::U8,
                                         .first = 0xFE,
                                         .timestamp = 0x500000000ull});
    const size_t b = streams->addSource({.command = 3, .option = 8, .kind = StreamKind::U32});
    const size_t off = streams->addSource({.command = 4, .option = 1});
    tfsim::StreamEmitter emitter(sim, *streams);
    emitter.setRate(1000);
    EXPECT_FALSE(host.readPacket(kQuiet)) << "nothing before an enable";

    ASSERT_TRUE(ask({0x5D, 0x81, 0x20, 0x06, 3, 0xFF, 0}));
    std::vector<Packet> got;
    for (int i = 0; i < 6; i++) {
        auto p = nextSample();
        ASSERT_TRUE(p) << i;
        got.push_back(*p);
    }
    // Turns: a, b, a, b...; source a's 8-bit value wraps from 0xFE to 0xFF to 0x00.
    const uint8_t aValues[] = {0xFE, 0xFF, 0x00};
    for (size_t i = 0; i < got.size(); i++) {
        const Bytes& d = got[i].data;
        const bool isA = d[1] == 7;
        ASSERT_EQ(isA, i % 2 == 0) << i;
        if (isA) {
            ASSERT_EQ(d.size(), 14u);
            EXPECT_EQ(d[12], aValues[i / 2]);
            EXPECT_EQ(d[7], 5) << "timestamp high word";
            EXPECT_EQ(d[11], i / 2) << "timestamp low word counts";
        } else {
            ASSERT_EQ(d.size(), 17u);
            EXPECT_EQ(d[15], 1 + i / 2);
        }
    }
    EXPECT_EQ(streams->sent(off), 0u);

    ASSERT_TRUE(ask({0x5D, 0x82, 0x20, 0x06, 3, 0xFF, 0}));
    const uint64_t sentA = streams->sent(a), sentB = streams->sent(b);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(streams->sent(a), sentA) << "nothing after the disable";
    EXPECT_EQ(streams->sent(b), sentB);
    EXPECT_EQ(streams->lastValue(b), sentB);
}

} // namespace
