// Stream subscriptions through a served link: the device link goes behind a local packet
// server, which passes samples on in batches at the module's heartbeats.
#include <gtest/gtest.h>

#include "ApiTest.h"
#include "Eventually.h"
#include "Link.h"
#include "StreamTest.h"
#include "tfsim/StreamEmitter.h"
#include "tfsim/StreamEntity.h"
#include "tfsim/SystemEntity.h"

using namespace apitest;
using namespace streamtest;
using namespace Keldoran::Tessaform;
using tftest::eventually;

namespace {

TEST(StreamServed, SamplesReachTheCallbackInOrderAndFillTheCache) {
    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    const uint32_t serial = nextSerial();
    // The server asks the module who it is before it serves it.
    sim.add(std::make_shared<tfsim::SystemEntity>(
        tfsim::Identity{.module = 0x06, .model = 13, .serial = serial}));
    auto streams = sim.add(std::make_shared<tfsim::StreamEntity>(0x06));
    const size_t source = streams->addSource(
        {.command = 3, .option = 7, .index = 0, .kind = tfsim::StreamKind::U16, .first = 500});
    tfsim::StreamEmitter emitter{sim, *streams};
    Link link(tcpSpec(sim.port(), serial), "served");
    ASSERT_EQ(link.connect(), aErrNone);
    aWeaveConfig config;
    ASSERT_EQ(link.getConfig(&config), aErrNone);
    ASSERT_NE(config.assignedPort, 0) << "behind a server";
    // The server passes samples on at each heartbeat (or every 4 KB).
    sim.startHeartbeats(20ms);

    Seen seen;
    ASSERT_EQ(link.registerStreamCallback(0x06, 3, 0xFF, 0, true, recorder(&seen), nullptr),
              aErrNone);
    emitter.setRate(2000, 300);
    ASSERT_TRUE(streams->waitForSent(300, 10s));
    ASSERT_TRUE(eventually([&] { return seen.count() == 300; })) << seen.count();
    {
        std::lock_guard lock(seen.mutex);
        for (size_t i = 0; i < seen.values.size(); i++)
            ASSERT_EQ(seen.values[i], 500 + i) << "every sample, in order";
    }
    uint32_t value = 0;
    EXPECT_EQ(link.getStreamValue(0x06, 3, 7, 0, 0, &value), aErrNone);
    EXPECT_EQ(value, streams->lastValue(source));
    ASSERT_EQ(link.registerStreamCallback(0x06, 3, 0xFF, 0, false, nullptr, nullptr), aErrNone);
    EXPECT_TRUE(streams->enabled().empty()) << "the disable reached the module";
}

} // namespace
