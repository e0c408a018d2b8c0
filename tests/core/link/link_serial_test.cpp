// Serial links: COBS frames over a pty to the simulated module.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Bounded.h"
#include "LinkFixture.h"
#include "PtyPair.h"
#include "aLinkManagerInternal.h"
#include "tfsim/Cobs.h"

using namespace linktest;
using tfsim::Packet;
namespace match = tfsim::match;

namespace {

class SerialLink : public testing::Test {
  protected:
    void SetUp() override {
        static uint32_t serials = 0x5A000000;
        serial = ++serials;
        sim->onRequest(match::prefix(0x06, {0x17}), echo());
        id = aLink_CreateSerial(serial, sim->slavePath().c_str(), 115200);
        ASSERT_NE(id, 0u);
    }
    void TearDown() override {
        if (id) aLink_Destroy(&id);
    }

    tfsim::Module module = tfsim::Module::serial({.address = 0x06});
    tfsim::Module* sim = &module;
    uint32_t serial = 0;
    uint32_t id = 0;
};

} // namespace

TEST_F(SerialLink, RunsAndExchangesPacketsAndHeartbeats) {
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    ASSERT_TRUE(sim->waitForPacket(match::route(), 2s)) << "the route command arrives framed";
    EXPECT_TRUE(exchanges(id, 0x06, 1));
    // The sync answers come as separate frames; the link must still get in step.
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    auto full = makePacket(0x06, std::vector<uint8_t>(28, 0x00));
    full->data[0] = 0x17;
    ASSERT_EQ(aLink_PutPacket(id, full.get()), aErrNone);
    PacketPtr reply(aLink_AwaitPacket(id, 2000));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->length, 28) << "a full packet travels whole";
    ASSERT_TRUE(sim->sendHeartbeat(1));
    ASSERT_TRUE(sim->waitForHeartbeatAnswers(1, 2s));
    EXPECT_TRUE(sim->heartbeatAnswers()[0].right);
}

TEST_F(SerialLink, SurvivesBrokenFramesOnTheLine) {
    const Packet probe{0x06, {0x30, 0x01}};
    struct Case {
        const char* name;
        tfsim::Bytes line;
    } cases[] = {
        {"wrong CRC", tfsim::cobs::frame(probe, {.badCrc = true})},
        {"truncated", tfsim::cobs::frame(probe, {.truncate = 2})},
        {"overlong", tfsim::cobs::frame(Packet{0x06, tfsim::Bytes(40, 0x11)})},
        {"zero code byte", tfsim::cobs::frame(probe, {.zeroCode = 1})},
        {"lone delimiter", {0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(sim->sendLine(c.line));
        EXPECT_TRUE(eventually([&] { return exchanges(id, 0x06, 2, 300); }, 10s));
        aLink_DrainPackets(id, nullptr, nullptr);
    }
    // Two packets in one write, and a packet split across pauses, arrive whole.
    tfsim::Bytes two = tfsim::cobs::frame(Packet{0x06, {0x31, 1}});
    tfsim::Bytes second = tfsim::cobs::frame(Packet{0x06, {0x31, 2}});
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(sim->sendLine(two));
    for (int n : {1, 2}) {
        PacketPtr packet(aLink_AwaitPacket(id, 2000));
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(dataOf(packet.get()), (std::vector<uint8_t>{0x31, static_cast<uint8_t>(n)}));
    }
    tfsim::Bytes split = tfsim::cobs::frame(Packet{0x06, {0x32, 9, 9, 9}});
    ASSERT_TRUE(sim->sendLine(split, tfsim::splitEvery(split.size(), 2, 20ms)));
    PacketPtr whole(aLink_AwaitPacket(id, 2000));
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(dataOf(whole.get()), (std::vector<uint8_t>{0x32, 9, 9, 9}));
}

TEST_F(SerialLink, ReportsAPortThatHangsUp) {
    ASSERT_TRUE(exchanges(id, 0x06, 3));
    ASSERT_TRUE(sim->reset());
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == aLINK_STATUS_IO_ERROR; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_IO_ERROR) << "a dead port never looks idle";
}

TEST(SerialLinkCreate, RefusesUnknownRatesAndMissingPortsWithoutLeavingEntries) {
    auto sim = tfsim::Module::serial({.address = 0x06});
    struct Case {
        const char* name;
        std::string port;
        uint32_t baud;
    } cases[] = {
        {"1200 baud", sim.slavePath(), 1200},
        {"0 baud", sim.slavePath(), 0},
        {"missing port", "/dev/tessaform-no-such-port", 115200},
    };
    uint32_t serial = 0x5AF00000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(aLink_CreateSerial(++serial, c.port.c_str(), c.baud), 0u);
        EXPECT_EQ(sLookupEntryByIdentifier(serial, SERIAL), nullptr);
    }
    EXPECT_EQ(aLink_CreateSerial(++serial, nullptr, 115200), 0u);
}

TEST_F(SerialLink, SameSerialNumberSharesTheLink) {
    uint32_t again = aLink_CreateSerial(serial, sim->slavePath().c_str(), 9600);
    EXPECT_EQ(again, id);
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
}

// A peer that floods the line, with bytes that never end a frame or with nothing but
// delimiters (as a wrong baud rate gives), must not keep the input thread in one read: the
// link reports the framing error, and its teardown returns.
TEST(SerialLinkFlood, DestroyReturnsWhileThePeerFloods) {
    const struct {
        const char* name;
        uint8_t byte;
    } cases[] = {{"bytes without a frame end", 0x55}, {"delimiters only", 0x00}};
    uint32_t serial = 0x5AE00000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tftest::PtyPair pty;
        const int master = pty.master();
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        std::atomic<bool> stop{false};
        // Paced, to spare the machine: the line is never quiet long enough to look idle.
        std::thread flood([&] {
            const std::vector<uint8_t> chunk(64, c.byte);
            uint8_t sink[512];
            while (!stop) {
                pollfd wait{master, POLLIN | POLLOUT, 0};
                if (poll(&wait, 1, 20) <= 0) continue;
                if (wait.revents & POLLIN) (void)!read(master, sink, sizeof sink);
                if (wait.revents & POLLOUT) (void)!write(master, chunk.data(), chunk.size());
                std::this_thread::sleep_for(1ms);
            }
        });

        uint32_t id = aLink_CreateSerial(++serial, pty.slave().c_str(), 115200);
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == aLINK_STATUS_IO_ERROR; }, 10s));
        auto destroyed = tftest::finishesWithin(
            10s, [&] { return aLink_Destroy(&id); }, [&] { stop = true; });
        flood.join();
        EXPECT_TRUE(destroyed) << "the teardown returned only once the flood stopped";
        EXPECT_EQ(destroyed.value_or(aErrUnknown), aErrNone);
    }
}
