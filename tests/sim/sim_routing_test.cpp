// What answers inside a simulated module: handlers at an address and the shell's script
// before them, and a routing module that hands requests to the modules behind it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "tfsim/Handler.h"
#include "tfsim/Module.h"
#include "sim_tcp_client.h"
#include "sim_test_support.h"

using namespace simtest;

namespace {

// Answers requests whose first data byte is one of `commands` with that byte and `tag`,
// from the address asked; counts what it was offered.
struct Tagged {
    std::shared_ptr<tfsim::Handler> handler;
    std::shared_ptr<std::atomic<int>> offered = std::make_shared<std::atomic<int>>(0);
};

Tagged tagged(std::vector<uint8_t> commands, uint8_t tag) {
    Tagged t;
    t.handler = tfsim::handler(
        [commands, tag, offered = t.offered](const Packet& request, tfsim::Replies& replies) {
            ++*offered;
            if (request.data.empty()) return false;
            for (uint8_t c : commands)
                if (request.data[0] == c) {
                    replies.add(Packet{request.address, {c, tag}});
                    return true;
                }
            return false;
        });
    return t;
}

} // namespace

TEST(ModuleHandlers, TriedInOrderAfterTheScriptUntilOneTakesTheRequest) {
    tfsim::Module sim;
    Tagged first = tagged({0x30}, 0x0A);
    Tagged second = tagged({0x30, 0x31}, 0x0B);
    sim.add(first.handler);
    sim.add(second.handler);
    // A handler may take a request and say nothing.
    sim.add(tfsim::handler([](const Packet& r, tfsim::Replies&) { return r.data == Bytes{0x33}; }));
    Client host(sim.port());
    connectAndWait(sim, host);

    host.write(tfsim::wire({{0x06, {0x30}}, {0x06, {0x31}}, {0x06, {0x32}}, {0x06, {0x33}}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x30, 0x0A}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x31, 0x0B}}));
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});
    EXPECT_EQ(first.offered->load(), 4);
    EXPECT_EQ(second.offered->load(), 3) << "a request taken goes no further";

    // The shell's rules come first; a removed handler is asked no more.
    sim.onRequest(match::prefix(0x06, {0x30}), tfsim::reply(Packet{0x06, {0x30, 0x0C}}),
                  {.times = 1});
    host.write(tfsim::wire({{0x06, {0x30}}, {0x06, {0x30}}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x30, 0x0C}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x30, 0x0A}}));
    sim.self().remove(first.handler);
    host.write(Packet{0x06, {0x30}});
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x30, 0x0B}}));
    EXPECT_EQ(first.offered->load(), 5);
}

TEST(RoutingModule, HandsRequestsToTheModuleAtTheirAddressAndAnswersSyncsItself) {
    tfsim::Module router({.address = 0x02});
    router.add(tagged({0x30}, 0x22).handler);
    router.attach(0x04).add(tagged({0x30}, 0x44).handler);
    tfsim::BusModule& six = router.attach(0x06);
    six.add(tagged({0x30}, 0x66).handler);
    six.onRequest(match::prefix(0x06, {0x31}), tfsim::reply(Packet{0x06, {0x31, 0x67}}));
    Client host(router.port());
    connectAndWait(router, host);

    // Each answer comes from the module asked, in the order asked; nobody owns 0x08.
    host.write(tfsim::wire({kSync,
                            {0x04, {0x30}},
                            {0x08, {0x30}},
                            {0x06, {0x30}},
                            {0x06, {0x31}},
                            {0x02, {0x30}},
                            {0x04, {0x31}}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {}})) << "the router's own address";
    EXPECT_EQ(host.readPacket(), (Packet{0x04, {0x30, 0x44}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x30, 0x66}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x31, 0x67}})) << "a bus module's own rule";
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {0x30, 0x22}}));
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});

    // A module behind the router that goes quiet leaves the others answering.
    six.setSilent(true);
    host.write(tfsim::wire({{0x06, {0x30}}, {0x04, {0x30}}, {0xAF, {0x01}}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x04, {0x30, 0x44}}));
    ASSERT_TRUE(router.waitForPacket(match::route(), kWait));
    EXPECT_TRUE(router.routeOn());
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});
}

TEST(RoutingModule, HeartbeatsFromAModuleBehindItAreCheckedAgainstItsAddress) {
    tfsim::Module router({.address = 0x02});
    Tagged behind = tagged({0x00}, 0x44); // would answer anything starting with 0
    router.attach(0x04).add(behind.handler);
    Client host(router.port());
    connectAndWait(router, host);

    ASSERT_TRUE(router.at(0x04).sendHeartbeat(0));
    EXPECT_EQ(host.readPacket(), (Packet{0x04, {0x00, 0x00}}));
    host.write(Packet{0x04, {0x00, 0x02}});
    ASSERT_TRUE(router.waitForHeartbeatAnswers(1, kWait));
    EXPECT_TRUE(router.heartbeatAnswers()[0].right);

    // Answered in the order sent, each against its own sender.
    ASSERT_TRUE(router.sendHeartbeat(1));
    ASSERT_TRUE(router.at(0x04).sendHeartbeat(1));
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {0x00, 0x01}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x04, {0x00, 0x01}}));
    host.write(tfsim::wire({{0x02, {0x00, 0x03}}, {0x02, {0x00, 0x03}}}));
    ASSERT_TRUE(router.waitForHeartbeatAnswers(3, kWait));
    EXPECT_TRUE(router.heartbeatAnswers()[1].right);
    EXPECT_FALSE(router.heartbeatAnswers()[2].right) << "the router answered for 0x04";
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});
    EXPECT_EQ(behind.offered->load(), 0) << "heartbeat answers are the shell's";
}
