// The link engine against a simulated module over loopback TCP.
#include <algorithm>
#include <atomic>

#include "LinkFixture.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

using namespace linktest;
using tfsim::Packet;
namespace match = tfsim::match;

TEST_F(SimLink, RunsWithoutSyncAndSendsRouteOnFirst) {
    connect();
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    ASSERT_TRUE(sim->waitForPackets(1, 2s));
    EXPECT_EQ(sim->received().front().packet, (Packet{0xAF, {0x01}}));
    EXPECT_EQ(sim->journal().syncsReceived(), 0u);
}

// The host's connect completes in the kernel before the module takes the connection; the
// fixture must wait for the module, or its first sends go nowhere.
TEST_F(SimLink, ConnectWaitsForAModuleThatAcceptsLate) {
    const auto before = std::chrono::steady_clock::now();
    connect({.acceptDelay = 300ms});
    ASSERT_TRUE(sim->sendHeartbeat(0)) << "the module has no connection yet";
    ASSERT_TRUE(sim->send(Packet{0x06, {0x30, 1}}));
    EXPECT_GE(sim->journal().linkEvents().front().at - before, 300ms) << "the accept was late";
    ASSERT_TRUE(sim->waitForHeartbeatAnswers(1, 3s));
    EXPECT_TRUE(sim->heartbeatAnswers().front().right);
    PacketPtr packet(aLink_AwaitPacket(id, 2000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(dataOf(packet.get()), (std::vector<uint8_t>{0x30, 1}));
}

TEST_F(SimLink, AnswersHeartbeatsWithCounterPlusTwo) {
    connect({.address = 0x10});
    for (int counter : {0x00, 0x01, 0x7F, 0xFF})
        ASSERT_TRUE(sim->sendHeartbeat(static_cast<uint8_t>(counter))) << counter;
    ASSERT_TRUE(sim->waitForHeartbeatAnswers(4, 3s));
    for (const auto& answer : sim->heartbeatAnswers())
        EXPECT_TRUE(answer.right) << answer.answer;
    EXPECT_EQ(sim->heartbeatAnswers().back().answer, (Packet{0x10, {0x00, 0x01}}));
    EXPECT_EQ(aLink_AwaitPacket(id, 100), nullptr) << "heartbeats do not reach the callers";
}

TEST_F(SimLink, DeliversRepliesAndKeepsOrder) {
    connect();
    sim->onRequest(match::prefix(0x06, {0x17}), [](const Packet& request) {
        return Packet{0x06, request.data}.wire();
    });
    for (uint8_t i = 0; i < 50; i++) {
        auto request = makePacket(0x06, {0x17, i});
        ASSERT_EQ(aLink_PutPacket(id, request.get()), aErrNone);
    }
    for (uint8_t i = 0; i < 50; i++) {
        PacketPtr reply(aLink_AwaitPacket(id, 2000));
        ASSERT_NE(reply, nullptr) << +i;
        EXPECT_EQ(dataOf(reply.get()), (std::vector<uint8_t>{0x17, i}));
    }
}

TEST_F(SimLink, ReassemblesPacketsSplitAcrossPauses) {
    connect();
    ASSERT_TRUE(sim->sendRaw(Packet{0x06, {1, 2, 3, 4, 5}}.wire(), tfsim::splitEvery(7, 1, 20ms)));
    PacketPtr packet(aLink_AwaitPacket(id, 2000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(dataOf(packet.get()), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

// Each framing fault must start a sync; the link recovers once the module echoes it.
TEST_F(SimLink, FramingLossStartsASyncAndRecovers) {
    struct Case {
        const char* name;
        tfsim::Bytes bytes;
    } cases[] = {
        {"odd address", Packet{0x07, {1}}.wire()},
        {"length 29", tfsim::wire(0x06, 29, tfsim::Bytes(29, 0x55))},
    };
    connect();
    sim->onRequest(match::prefix(0x06, {0x17}), echo());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t since = sim->mark();
        ASSERT_TRUE(sim->sendRaw(c.bytes));
        ASSERT_TRUE(sim->waitForPackets(6, 3s, match::sync(), since)) << "six sync packets";
        EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
        EXPECT_TRUE(eventually([&] { return exchanges(id, 0x06, 0x42); }));
    }
}

TEST_F(SimLink, MismatchedSyncAnswersNeverCompleteASync) {
    connect();
    sim->setSyncAnswer(tfsim::SyncAnswer::Alternate);
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    // The failed syncs leave a backlog of sync packets behind; once the module answers
    // right again the link gets back in step.
    sim->setSyncAnswer(tfsim::SyncAnswer::Echo);
    EXPECT_TRUE(eventually([&] { return aLink_Sync(id) == aErrNone; }, 30s));
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
}

TEST_F(SimLink, SyncWithASilentModuleFailsAndEmptiesBothFifos) {
    connect();
    sim->setSilent(true);
    ASSERT_TRUE(sim->send(Packet{0x06, {1}})); // silent means no answers; nothing queued either way
    auto queued = makePacket(0x06, {0x17, 1});
    aLink_PutPacket(id, queued.get());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(id, anyPacket, nullptr, 100), nullptr)
        << "a syncing link hands out nothing";
}

namespace {
std::atomic<int> gFiltered{0};
uint8_t consumeAll(const aPacket*, void* ref) {
    gFiltered++;
    return *static_cast<uint8_t*>(ref);
}
} // namespace

TEST_F(SimLink, UserFilterSeesEveryPacketFirst) {
    connect();
    static const uint8_t consume = 1, keep = 2; // anything but exactly 1 consumes nothing
    gFiltered = 0;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeAll, const_cast<uint8_t*>(&consume)),
              aErrNone);
    ASSERT_TRUE(sim->send(Packet{0x06, {0x30, 1}}));
    ASSERT_TRUE(sim->sendHeartbeat(0));
    ASSERT_TRUE(eventually([] { return gFiltered == 2; }));
    EXPECT_EQ(aLink_AwaitPacket(id, 100), nullptr) << "consumed";
    EXPECT_TRUE(sim->heartbeatAnswers().empty()) << "a consumed heartbeat is not answered";

    ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeAll, const_cast<uint8_t*>(&keep)), aErrNone);
    ASSERT_TRUE(sim->send(Packet{0x06, {0x30, 2}}));
    PacketPtr packet(aLink_AwaitPacket(id, 2000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[1], 2);

    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    int before = gFiltered;
    ASSERT_TRUE(sim->send(Packet{0x06, {0x30, 3}}));
    PacketPtr unfiltered(aLink_AwaitPacket(id, 2000));
    ASSERT_NE(unfiltered, nullptr);
    EXPECT_EQ(gFiltered, before) << "a removed filter is never called again";
}

// Two users of one link: each may take away only the filter it put there itself.
TEST_F(SimLink, RemovingAFilterTakesOnlyTheOneNamed) {
    connect();
    static const uint8_t consume = 1, other = 1;
    auto consumeOther = [](const aPacket*, void*) -> uint8_t { return 1; };
    gFiltered = 0;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeAll, const_cast<uint8_t*>(&consume)),
              aErrNone);
    struct Attempt {
        const char* name;
        aUserPacketFilter filter;
        const uint8_t* ref;
    } others[] = {
        {"another filter", consumeOther, &consume},
        {"another reference", consumeAll, &other},
        {"none", nullptr, nullptr},
    };
    for (const auto& a : others)
        EXPECT_EQ(aLink_RemoveUserPacketFilter(id, a.filter, const_cast<uint8_t*>(a.ref)),
                  aErrNotFound)
            << a.name;
    ASSERT_TRUE(sim->send(Packet{0x06, {0x30, 1}}));
    ASSERT_TRUE(eventually([] { return gFiltered == 1; }));
    EXPECT_EQ(aLink_AwaitPacket(id, 100), nullptr) << "the filter is still in place";

    ASSERT_EQ(aLink_RemoveUserPacketFilter(id, consumeAll, const_cast<uint8_t*>(&consume)),
              aErrNone);
    ASSERT_TRUE(sim->send(Packet{0x06, {0x30, 2}}));
    PacketPtr packet(aLink_AwaitPacket(id, 2000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(gFiltered, 1) << "a removed filter is never called again";
    EXPECT_EQ(aLink_RemoveUserPacketFilter(id, consumeAll, const_cast<uint8_t*>(&consume)),
              aErrNotFound);
    EXPECT_EQ(aLink_RemoveUserPacketFilter(0x7FFFFFF0u, consumeAll, nullptr), aErrParam);
}

TEST_F(SimLink, AwaitFirstTakesTheMatchingPacketAndLeavesTheRest) {
    connect();
    ASSERT_TRUE(sim->send(Packet{0x06, {0x30, 1}}));
    ASSERT_TRUE(sim->send(Packet{0x06, {0x31, 2}}));
    auto is31 = [](const aPacket* p, const void*) { return p->length > 0 && p->data[0] == 0x31; };
    PacketPtr found(aLink_AwaitFirst(id, is31, nullptr, 2000));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->data[1], 2);
    PacketPtr rest(aLink_AwaitPacket(id, 1000));
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(rest->data[0], 0x30);
}

TEST_F(SimLink, ProbesModuleAddressAndModel) {
    connect({.address = 0x0A});
    sim->onRequest(match::prefix(0x0A, {0x03, 0x48, 0x20}),
                   tfsim::reply(Packet{0x0A, {0x03, 0x48, 0x20, 17}}));
    uint8_t address = 0, model = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(id, &address), aErrNone);
    EXPECT_EQ(address, 0x0A);
    EXPECT_EQ(_aLink_GetModel(id, 0x0A, &model), aErrNone);
    EXPECT_EQ(model, 17);
    sim->setSilent(true);
    EXPECT_EQ(_aLink_GetModuleAddress(id, &address), aErrTimeout);
    EXPECT_EQ(_aLink_GetModuleAddress(0xFFFFFF, &address), aErrTimeout);
}

TEST_F(SimLink, PacketLogRecordsSentAndReceivedPackets) {
    connect();
    EXPECT_EQ(aLink_PacketDebug_Read(id, nullptr, nullptr, nullptr), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, -5), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 100), aErrBusy);
    sim->onRequest(match::prefix(0x06, {0x17}), echo());
    ASSERT_TRUE(exchanges(id, 0x06, 9));

    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
    for (;;) {
        uint32_t type = 0, length = 64;
        uint8_t bytes[64];
        if (aLink_PacketDebug_Read(id, &type, &length, bytes) != aErrNone) break;
        records.emplace_back(type, std::vector<uint8_t>(bytes, bytes + length));
    }
    const std::vector<uint8_t> wire = {0x06, 2, 0x17, 9};
    EXPECT_NE(std::find(records.begin(), records.end(), std::make_pair(1u, wire)), records.end());
    EXPECT_NE(std::find(records.begin(), records.end(), std::make_pair(2u, wire)), records.end());

    ASSERT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
    ASSERT_TRUE(exchanges(id, 0x06, 10));
    const uint8_t text[3] = {'a', 'b', 'c'};
    EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 3, text), aErrNone);
    uint8_t big[256] = {};
    EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 256, big), aErrParam);
    uint32_t type = 0, length = 64;
    uint8_t bytes[64];
    ASSERT_EQ(aLink_PacketDebug_Read(id, &type, &length, bytes), aErrNone);
    EXPECT_EQ(type, 3u) << "the pipes add nothing while disabled";
    EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, bytes), aErrNotFound);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 0x4000001), aErrParam);
}

TEST_F(SimLink, PeerResetIsReconnectedTransparently) {
    connect();
    sim->onRequest(match::prefix(0x06, {0x17}), echo());
    ASSERT_TRUE(exchanges(id, 0x06, 1));
    ASSERT_TRUE(sim->reset());
    EXPECT_TRUE(sim->waitForConnection(2, 5s)) << "the stream connects again";
    EXPECT_TRUE(eventually([&] { return exchanges(id, 0x06, 2); }));
}

TEST_F(SimLink, PeerThatClosesAndStaysAwayEndsInAStreamError) {
    connect();
    sim->setAccepting(false);
    ASSERT_TRUE(sim->close());
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == aLINK_STATUS_IO_ERROR; }, 10s));
    EXPECT_EQ(aLink_AwaitFirst(id, anyPacket, nullptr, 5000), nullptr);
}

TEST_F(SimLink, PeerThatStopsReadingNeitherHangsTheLinkNorItsDestroy) {
    connect();
    sim->stopReading();
    auto big = makePacket(0x06, std::vector<uint8_t>(28, 0xEE));
    for (int i = 0; i < 1000; i++)
        aLink_PutPacket(id, big.get());
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(sim->sendHeartbeat(0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(id, 0u);
}

TEST_F(SimLink, DestroyWakesACallerWaitingForAPacket) {
    connect();
    std::atomic<bool> returned{false};
    aPacket* got = reinterpret_cast<aPacket*>(1);
    std::thread waiter([&] {
        got = aLink_AwaitPacket(id, 60000);
        returned = true;
    });
    std::this_thread::sleep_for(100ms);
    uint32_t copy = id;
    EXPECT_EQ(aLink_Destroy(&copy), aErrNone);
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(got, nullptr);
    id = 0;
}

TEST_F(SimLink, DestroyWakesACallerInAwaitFirst) {
    connect();
    aPacket* got = reinterpret_cast<aPacket*>(1);
    std::thread waiter([&] { got = aLink_AwaitFirst(id, anyPacket, nullptr, 60000); });
    std::this_thread::sleep_for(100ms);
    uint32_t copy = id;
    EXPECT_EQ(aLink_Destroy(&copy), aErrNone);
    waiter.join();
    EXPECT_EQ(got, nullptr);
    id = 0;
}
