// Links that stop or leave their running state: the route command around a stop, and
// waits that must not sit out their time on a link that can deliver nothing.
#include <functional>

#include "LinkFixture.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

using namespace linktest;
using tfsim::Packet;
namespace match = tfsim::match;

TEST_F(SimLink, RouteGoesOffBeforeEveryStopAndOnAfterEveryStart) {
    connect();
    auto routes = [&](size_t count) { return sim->waitForPackets(count, 3s, match::route()); };
    ASSERT_TRUE(routes(1));
    ASSERT_EQ(aLink_Stop(sGetLink(id)), aErrNone);
    ASSERT_TRUE(routes(2)) << "a stop writes the route off before its pipes end";
    ASSERT_EQ(aLink_Start(id), aErrNone);
    ASSERT_TRUE(routes(3));
    uint32_t last = id;
    id = 0;
    ASSERT_EQ(aLink_Destroy(&last), aErrNone);
    ASSERT_TRUE(routes(4)) << "so does the teardown";
    EXPECT_EQ(sim->journal().routeCommands(), (std::vector<uint8_t>{1, 0, 1, 0}));
    EXPECT_EQ(sim->received().back().packet, (Packet{0xAF, {0x00}})) << "the last thing written";
}

namespace {
bool acceptsNothing(const aPacket*, const void*) {
    return false;
}
} // namespace

// Only a link running in status 2 can deliver; any other state answers at once, however
// long the caller offered to wait (a caller that polls a broken link must not hang in it).
TEST_F(SimLink, AwaitFirstReturnsAtOnceUnlessTheLinkRunsInStatus2) {
    struct Case {
        const char* name;
        std::function<void()> leaveStatus2;
    };
    const Case cases[] = {
        {"stopped", [&] { ASSERT_EQ(aLink_Stop(sGetLink(id)), aErrNone); }},
        {"syncing with a module that never answers",
         [&] {
             sim->setSyncAnswer(tfsim::SyncAnswer::Ignore);
             ASSERT_TRUE(sim->send(Packet{0x07, {1}})) << "an odd address: framing lost";
             ASSERT_TRUE(eventually([&] { return aLink_GetStatus(id) == aLINK_STATUS_SYNCING; }));
         }},
        {"stream error",
         [&] {
             sim->setAccepting(false);
             ASSERT_TRUE(sim->close());
             ASSERT_TRUE(
                 eventually([&] { return aLink_GetStatus(id) == aLINK_STATUS_IO_ERROR; }, 10s));
         }},
    };
    const uint64_t waitMs = 5000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (id) aLink_Destroy(&id);
        connect();
        // The simulator may not have taken the connection yet when the create returns.
        ASSERT_TRUE(sim->waitForConnection(1, 5s));
        c.leaveStatus2();
        if (HasFatalFailure()) return;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(aLink_AwaitFirst(id, acceptsNothing, nullptr, waitMs), nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(waitMs / 2))
            << "returned only when the wait ran out";
    }
}
