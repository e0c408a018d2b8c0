// Link creation, sharing by use counts, teardown and reset.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "LinkFixture.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

using namespace linktest;
namespace match = tfsim::match;

TEST_F(SimLink, SameSerialSharesOneLinkUntilTheLastDestroy) {
    connect();
    // Address and port are not compared: the serial number names the module.
    uint32_t second = aLink_CreateTCPIP(serial, loopback(), static_cast<uint16_t>(sim->port() + 1));
    EXPECT_EQ(second, id);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING) << "one holder remains";
    uint32_t last = id;
    EXPECT_EQ(aLink_Destroy(&last), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_NO_STREAM) << "gone";
    uint32_t stale = id;
    EXPECT_EQ(aLink_Destroy(&stale), aErrParam);
    EXPECT_EQ(stale, 0u);
    id = 0;
}

TEST(LinkCreate, UnreachableModuleLeavesNoEntry) {
    // A port nobody listens on: bind one, then close it.
    tfsim::Module probe;
    uint16_t port = probe.port();
    probe.setAccepting(false);
    const uint32_t serial = 0x5E000001;
    EXPECT_EQ(aLink_CreateTCPIP(serial, loopback(), port), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(serial, TCPIP), nullptr);
}

TEST(LinkCreate, CallersStreamLinkRunsAndIsNeverShared) {
    tfsim::Module sim;
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(loopback(), sim.port(), &stream), aErrNone);
    uint32_t id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(sLookupEntryByIdentifier(0xFFFFFFFF, LEGACY_LINK)->id, id);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
}

// Two holders let go at the same moment, many times over: exactly one tears down, and
// neither touches a freed record (the sanitizers watch).
TEST_F(SimLink, ConcurrentDestroysTearDownOnce) {
    connect();
    uint32_t first = id;
    id = 0;
    for (int round = 0; round < 20; round++) {
        uint32_t a = round == 0 ? first : aLink_CreateTCPIP(serial, loopback(), sim->port());
        ASSERT_NE(a, 0u);
        uint32_t b = aLink_CreateTCPIP(serial, loopback(), sim->port());
        ASSERT_EQ(a, b);
        std::atomic<int> go{0};
        aErr ra = aErrUnknown, rb = aErrUnknown;
        std::thread ta([&] {
            while (!go)
                std::this_thread::yield();
            ra = aLink_Destroy(&a);
        });
        std::thread tb([&] {
            while (!go)
                std::this_thread::yield();
            rb = aLink_Destroy(&b);
        });
        go = 1;
        ta.join();
        tb.join();
        EXPECT_EQ(ra, aErrNone);
        EXPECT_EQ(rb, aErrNone);
        EXPECT_EQ(sLookupEntryByIdentifier(serial, TCPIP), nullptr);
    }
}

namespace {
// Consumes every packet: while it is installed no reply reaches the callers.
uint8_t consumeEverything(const aPacket*, void*) {
    return 1;
}
} // namespace

TEST_F(SimLink, ResetKeepsTheIdAndDropsFilterAndLog) {
    connect();
    sim->onRequest(match::prefix(0x06, {0x17}), echo());
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeEverything, nullptr), aErrNone);
    ASSERT_FALSE(exchanges(id, 0x06, 2, 300)) << "the filter takes the reply";
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    uint32_t before = id;
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(sim->waitForConnection(2, 5s));
    EXPECT_EQ(aLink_PacketDebug_Read(id, nullptr, nullptr, nullptr), aErrNotReady);
    EXPECT_TRUE(eventually([&] { return exchanges(id, 0x06, 3); }));
    EXPECT_EQ(id, before);
    EXPECT_EQ(aLink_Reset(0xFFFFFF), aErrParam);
}

TEST_F(SimLink, ResetOfAModuleThatStaysAwayLeavesTheLinkStopped) {
    connect();
    sim->setAccepting(false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(aLink_Reset(id), aErrNone);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms) << "twenty tries, 100 ms apart";
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_STOPPED);
    EXPECT_EQ(aLink_AwaitPacket(id, 10), nullptr);
}

TEST(LinkCreate, StreamlessLinksRefuseToStartOrSync) {
    uint32_t id = sCreate(0x5E000002, 0, SERIAL);
    ASSERT_EQ(aLink_Init(id, nullptr), id);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_NO_STREAM);
    EXPECT_EQ(aLink_Start(id), aErrConnection);
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    EXPECT_EQ(aLink_ResetLink(sLookupEntryByID(id)), aErrParam) << "serial links cannot be reset";
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}
