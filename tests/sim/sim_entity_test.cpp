// The simulated module's entities as a host meets them on the wire: the UEI table, byte
// buffers, the system entity, I2C, the faults they can be switched to, routing, and the
// tfsim program running a full module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tfsim/EntityTable.h"
#include "tfsim/I2CEntity.h"
#include "tfsim/Module.h"
#include "tfsim/SystemEntity.h"
#include "sim_tcp_client.h"
#include "sim_test_support.h"

using namespace simtest;
using tfsim::Access;
using tfsim::Fault;
using tfsim::Key;
using tfsim::Width;
namespace err = tfsim::uei_error;

namespace {

constexpr uint8_t kCmd = 0x11; // an entity class of the tests' own

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 1);
    return b;
}

// The host's side of a byte-buffer set: 24 bytes a packet, then the trailer.
std::vector<Packet> bufferSet(uint8_t address, uint8_t option, const Bytes& bytes) {
    std::vector<Packet> packets;
    size_t offset = 0;
    unsigned seq = 0;
    do {
        size_t take = std::min<size_t>(24, bytes.size() - offset);
        Packet p{address, {kCmd, static_cast<uint8_t>(option | 0x80), 0x20}};
        auto from = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
        p.data.insert(p.data.end(), from, from + static_cast<std::ptrdiff_t>(take));
        offset += take;
        p.data.push_back(static_cast<uint8_t>((seq++ & 0x7F) | (offset < bytes.size() ? 0x80 : 0)));
        packets.push_back(p);
    } while (offset < bytes.size());
    return packets;
}

struct Received {
    std::vector<Packet> packets;
    Bytes bytes;
};

// Reads a byte-buffer answer up to its packet without the continue bit.
Received readBuffer(Client& host) {
    Received r;
    for (;;) {
        auto p = host.readPacket();
        if (!p) {
            ADD_FAILURE() << "the answer stopped after " << r.packets.size() << " packets";
            return r;
        }
        r.packets.push_back(*p);
        if (p->data.size() < 4) return r;
        r.bytes.insert(r.bytes.end(), p->data.begin() + 3, p->data.end() - 1);
        if (!(p->data.back() & 0x80)) return r;
    }
}

// A module at 0x06 with a table and a host connected to it.
struct TableFixture : ::testing::Test {
    tfsim::Module sim;
    std::shared_ptr<tfsim::EntityTable> table = sim.add(std::make_shared<tfsim::EntityTable>());
    Client host{sim.port()};

    void SetUp() override {
        table->define({kCmd, 1}, Width::U8, 0xA1);
        table->define({kCmd, 2}, Width::U16, 0xB2B3);
        table->define({kCmd, 4}, Width::U32, 0xC4C5C6C7);
        table->define({kCmd, 5}, Width::U32, 0x01020304, Access::Get);
        table->define({kCmd, 6, 0, 0}, Width::U32, 0xD0);
        table->define({kCmd, 6, 0, 1}, Width::U32, 0xD1);
        table->define({kCmd, 1, 2}, Width::U8, 0xE2); // index 2
        table->defineCall({kCmd, 7});
        table->defineBytes({kCmd, 9}, {}, 4800);
        connectAndWait(sim, host);
    }
    std::optional<Packet> ask(Bytes data) {
        host.write(Packet{0x06, std::move(data)});
        return host.readPacket();
    }
};

} // namespace

TEST_F(TableFixture, AnswersGetsSetsAndCallsByWidthSubindexAndAccess) {
    struct Case {
        const char* name;
        Bytes request;
        Bytes reply;
    };
    const std::vector<Case> cases = {
        {"8-bit get", {kCmd, 0x41, 0x20}, {kCmd, 1, 0, 0xA1}},
        {"16-bit get", {kCmd, 0x42, 0x20}, {kCmd, 2, 0, 0xB2, 0xB3}},
        {"32-bit get", {kCmd, 0x44, 0x20}, {kCmd, 4, 0, 0xC4, 0xC5, 0xC6, 0xC7}},
        {"another index", {kCmd, 0x41, 0x22}, {kCmd, 1, 2, 0xE2}},
        {"subindex 1", {kCmd, 0x46, 0x20, 1}, {kCmd, 6, 0, 0, 0, 0, 0xD1}},
        {"no subindex is 0", {kCmd, 0x46, 0x20}, {kCmd, 6, 0, 0, 0, 0, 0xD0}},
        {"8-bit set", {kCmd, 0x81, 0x20, 0x5A}, {kCmd, 0xC1, 0}},
        {"read back", {kCmd, 0x41, 0x20}, {kCmd, 1, 0, 0x5A}},
        {"16-bit set", {kCmd, 0x82, 0x20, 0x12, 0x34}, {kCmd, 0xC2, 0}},
        {"32-bit set with subindex", {kCmd, 0x86, 0x20, 1, 9, 8, 7, 6}, {kCmd, 0xC6, 0}},
        {"subindexed value read back", {kCmd, 0x46, 0x20, 1}, {kCmd, 6, 0, 9, 8, 7, 6}},
        {"call", {kCmd, 0x87, 0x20}, {kCmd, 0xC7, 0}},
        {"unknown option", {kCmd, 0x43, 0x20}, {kCmd, 3, 0x80, err::kInvalidOption}},
        {"unknown index", {kCmd, 0x41, 0x23}, {kCmd, 1, 0x83, err::kIndexRange}},
        {"unknown subindex", {kCmd, 0x46, 0x20, 2}, {kCmd, 6, 0x80, err::kIndexRange}},
        {"set of a read-only option",
         {kCmd, 0x85, 0x20, 0, 0, 0, 1},
         {kCmd, 0xC5, 0x80, err::kMode}},
        {"get of a call", {kCmd, 0x47, 0x20}, {kCmd, 7, 0x80, err::kMode}},
        {"set of the wrong width", {kCmd, 0x82, 0x20, 0x12}, {kCmd, 0xC2, 0x80, err::kSize}},
        {"get with two bytes more", {kCmd, 0x41, 0x20, 0, 0}, {kCmd, 1, 0x80, err::kSize}},
        {"no index byte", {kCmd, 0x41}, {kCmd, 0x41, 0x80, err::kShortCommand}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ask(c.request), (Packet{0x06, c.reply})) << c.name;
    EXPECT_EQ(table->value({kCmd, 2}), 0x1234u);
    EXPECT_EQ(table->value({kCmd, 5}), 0x01020304u) << "a refused set changes nothing";
    EXPECT_EQ(table->writes({kCmd, 1}), 1u);
    EXPECT_EQ(table->writes({kCmd, 7}), 1u);
    EXPECT_EQ(table->unflagged(), 0u);

    // Neither flag, both flags (a reply's shape) or another command: not the table's.
    host.write(tfsim::wire(
        {{0x06, {kCmd, 0x01, 0x20}}, {0x06, {kCmd, 0xC1, 0x20}}, {0x06, {0x12, 0x41, 0x20}}}));
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});
    // Bit 5 of the index byte is expected in every request, but its lack is only counted.
    EXPECT_EQ(ask({kCmd, 0x41, 0x00}), (Packet{0x06, {kCmd, 1, 0, 0x5A}}));
    EXPECT_EQ(table->unflagged(), 1u);
}

TEST_F(TableFixture, ByteBufferGetsComeIn24ByteChunksWithSequenceAndContinueBits) {
    for (size_t n : {0u, 1u, 23u, 24u, 25u, 27u, 28u, 29u, 200u, 2000u, 4800u}) {
        const Bytes value = pattern(n);
        table->setBytes({kCmd, 9}, value);
        host.write(Packet{0x06, {kCmd, 0x49, 0x20}});
        Received r = readBuffer(host);
        EXPECT_EQ(r.bytes, value) << n;
        const size_t packets = std::max<size_t>(1, (n + 23) / 24);
        ASSERT_EQ(r.packets.size(), packets) << n;
        for (size_t i = 0; i < packets; ++i) {
            const Packet& p = r.packets[i];
            const size_t payload = i + 1 < packets ? 24 : n - 24 * (packets - 1);
            EXPECT_EQ(p.data.size(), payload + 4) << n << " packet " << i;
            EXPECT_EQ(Bytes(p.data.begin(), p.data.begin() + 3), (Bytes{kCmd, 9, 0}));
            EXPECT_EQ(p.data.back(), (i % 128) | (i + 1 < packets ? 0x80 : 0))
                << n << " packet " << i << ": numbers wrap after 127";
        }
    }
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});

    // A module may send smaller chunks; the packets shrink, the numbering stays.
    table->setChunk(10);
    table->setBytes({kCmd, 9}, pattern(25));
    host.write(Packet{0x06, {kCmd, 0x49, 0x20}});
    Received r = readBuffer(host);
    EXPECT_EQ(r.bytes, pattern(25));
    ASSERT_EQ(r.packets.size(), 3u);
    EXPECT_EQ(r.packets[2].data, (Bytes{kCmd, 9, 0, 141, 148, 155, 162, 169, 0x02}));
}

TEST_F(TableFixture, ByteBufferSetsAreCollectedAndAcknowledgedOnceAtTheEnd) {
    for (size_t n : {0u, 1u, 27u, 28u, 29u, 200u, 2000u, 4800u}) {
        const Bytes value = pattern(n);
        host.write(tfsim::wire(bufferSet(0x06, 9, value)));
        EXPECT_EQ(host.readPacket(), (Packet{0x06, {kCmd, 0xC9, 0}})) << n;
        EXPECT_EQ(table->bytes({kCmd, 9}), value) << n;
        EXPECT_EQ(host.read(1, kQuiet / 4), Bytes{}) << n << ": one reply per transfer";
    }

    struct Case {
        const char* name;
        std::vector<Packet> packets;
        uint8_t code;
    };
    std::vector<Packet> swapped = bufferSet(0x06, 9, pattern(60));
    std::swap(swapped[0], swapped[1]);
    std::vector<Packet> duplicated = bufferSet(0x06, 9, pattern(60));
    duplicated.insert(duplicated.begin() + 1, duplicated[1]);
    std::vector<Packet> skipped = bufferSet(0x06, 9, pattern(60));
    skipped.erase(skipped.begin() + 1);
    const std::vector<Case> cases = {
        {"out of order", swapped, err::kPacket},
        {"a packet twice", duplicated, err::kPacket},
        {"a packet missing", skipped, err::kPacket},
        {"over capacity", bufferSet(0x06, 9, pattern(4801)), err::kSize},
    };
    table->setBytes({kCmd, 9}, {1, 2, 3});
    for (const Case& c : cases) {
        host.write(tfsim::wire(c.packets));
        EXPECT_EQ(host.readPacket(), (Packet{0x06, {kCmd, 0xC9, 0x80, c.code}})) << c.name;
        EXPECT_EQ(host.read(1, kQuiet / 4), Bytes{}) << c.name;
        EXPECT_EQ(table->bytes({kCmd, 9}), (Bytes{1, 2, 3})) << c.name;
    }
    // A failed transfer leaves nothing behind for the next.
    host.write(tfsim::wire(bufferSet(0x06, 9, {7})));
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {kCmd, 0xC9, 0}}));
    EXPECT_EQ(table->bytes({kCmd, 9}), Bytes{7});
}

TEST_F(TableFixture, FaultsBendTheAnswersOfTheRequestsTheyHit) {
    struct Case {
        const char* name;
        Fault fault;
        std::optional<Bytes> reply; // empty: nothing comes
    };
    const std::vector<Case> cases = {
        {"silent", {.silent = true}, std::nullopt},
        {"16 bits for 8", {.length = 5}, Bytes{kCmd, 1, 0, 0xA1, 0}},
        {"no value", {.length = 3}, Bytes{kCmd, 1, 0}},
        {"wrong option echoed", {.echoOption = 2}, Bytes{kCmd, 2, 0, 0xA1}},
        {"wrong index echoed", {.echoIndex = 1}, Bytes{kCmd, 1, 1, 0xA1}},
        {"error with a code",
         {.error = Fault::Error::WithCode, .code = 21},
         Bytes{kCmd, 1, 0x80, 21}},
        {"error without a code", {.error = Fault::Error::WithoutCode}, Bytes{kCmd, 1, 0x80}},
    };
    for (const Case& c : cases) {
        Fault f = c.fault;
        f.command = kCmd;
        f.option = 1;
        f.times = 1;
        table->addFault(f);
        host.write(Packet{0x06, {kCmd, 0x44, 0x20}}); // another option: not hit
        host.write(Packet{0x06, {kCmd, 0x41, 0x20}});
        EXPECT_EQ(host.readPacket(), (Packet{0x06, {kCmd, 4, 0, 0xC4, 0xC5, 0xC6, 0xC7}}))
            << c.name;
        if (c.reply)
            EXPECT_EQ(host.readPacket(), (Packet{0x06, *c.reply})) << c.name;
        else
            EXPECT_EQ(host.read(1, kQuiet), Bytes{}) << c.name;
        EXPECT_EQ(ask({kCmd, 0x41, 0x20}), (Packet{0x06, {kCmd, 1, 0, 0xA1}}))
            << c.name << ": once";
    }

    // Late: after the host's 1000 ms are over, and other requests answered meanwhile.
    table->addFault({.option = 1, .times = 1, .delay = 1200ms});
    const auto sent = Clock::now();
    host.write(Packet{0x06, {kCmd, 0x41, 0x20}});
    EXPECT_EQ(ask({kCmd, 0x42, 0x20}), (Packet{0x06, {kCmd, 2, 0, 0xB2, 0xB3}}));
    EXPECT_EQ(host.readPacket(kWait), (Packet{0x06, {kCmd, 1, 0, 0xA1}}));
    EXPECT_GE(Clock::now() - sent, 1200ms);

    // Byte-buffer answers: a packet swapped with the next, or sent twice.
    table->setBytes({kCmd, 9}, pattern(60));
    table->addFault({.option = 9, .times = 1, .sequence = Fault::Sequence::Swapped, .at = 0});
    table->addFault({.option = 9, .times = 1, .sequence = Fault::Sequence::Duplicated, .at = 1});
    for (const Bytes& trailers : {Bytes{0x81, 0x80, 0x02}, Bytes{0x80, 0x81, 0x81, 0x02}}) {
        host.write(Packet{0x06, {kCmd, 0x49, 0x20}});
        Bytes seen;
        for (size_t i = 0; i < trailers.size(); ++i) {
            auto p = host.readPacket();
            ASSERT_TRUE(p);
            seen.push_back(p->data.back());
        }
        EXPECT_EQ(seen, trailers);
        EXPECT_EQ(host.read(1, kQuiet), Bytes{});
    }
}

TEST(SystemEntity, AnswersWithTheModulesIdentity) {
    tfsim::Module sim({.address = 0x04});
    auto system = sim.add(std::make_shared<tfsim::SystemEntity>(
        tfsim::Identity{.module = 0x04,
                        .version = 0x2A000010,
                        .model = 13,
                        .serial = 0xCAFE0042,
                        .name = "bench rig",
                        .build = 258,
                        .features = 0x80000001,
                        .uniqueId = {0xA0A0A0A0, 0xB1B1B1B1, 0xC2C2C2C2, 0xD3D3D3D3}}));
    Client host(sim.port());
    connectAndWait(sim, host);
    auto ask = [&](Bytes data) {
        host.write(Packet{0x04, std::move(data)});
        return host.readPacket();
    };
    namespace o = tfsim::system_option;
    struct Case {
        const char* name;
        Bytes request;
        Bytes reply;
    };
    const std::vector<Case> cases = {
        {"module address", {3, 0x40 | o::kModule, 0x20}, {3, o::kModule, 0, 0x04}},
        {"router: itself", {3, 0x40 | o::kRouter, 0x20}, {3, o::kRouter, 0, 0x04}},
        {"version", {3, 0x40 | o::kVersion, 0x20}, {3, o::kVersion, 0, 0x2A, 0, 0, 0x10}},
        {"model", {3, 0x48, 0x20}, {3, 8, 0, 13}},
        {"serial number", {3, 0x49, 0x20}, {3, 9, 0, 0xCA, 0xFE, 0x00, 0x42}},
        {"unique id word 2",
         {3, 0x40 | o::kUniqueIdentifier, 0x20, 2},
         {3, o::kUniqueIdentifier, 0, 0xC2, 0xC2, 0xC2, 0xC2}},
        {"protocol features",
         {3, 0x40 | o::kProtocolFeatures, 0x20},
         {3, o::kProtocolFeatures, 0, 0x80, 0, 0, 1}},
        {"build option", {3, 0x40 | o::kBuild, 0x20}, {3, o::kBuild, 0, 0, 0, 1, 2}},
        {"temperature is signed",
         {3, 0x40 | o::kMinimumTemperature, 0x20},
         {3, o::kMinimumTemperature, 0, 0xFF, 0x67, 0x69, 0x80}},
        {"raw build request", {0x49, 0xFF}, {0x49, 0xFF, 0, 0, 1, 2}},
        {"has a get of the model", {0x49, 1, 3, 8, 0, 0x40}, {0x49, 1, 3, 8, 0, 0}},
        {"no set of the model", {0x49, 1, 3, 8, 0, 0x80}, {0x49, 1, 3, 8, 0, err::kMode}},
        {"a call is a set", {0x49, 1, 3, o::kReset, 0, 0x80}, {0x49, 1, 3, o::kReset, 0, 0}},
        {"no option 5", {0x49, 1, 3, 5, 0, 0}, {0x49, 1, 3, 5, 0, err::kInvalidOption}},
        {"no system entity 1", {0x49, 1, 3, 8, 1, 0}, {0x49, 1, 3, 8, 1, err::kIndexRange}},
        {"no entity class 0x30",
         {0x49, 1, 0x30, 0, 0, 0},
         {0x49, 1, 0x30, 0, 0, err::kInvalidEntity}},
        {"one system entity", {0x49, 4, 3}, {0x49, 4, 3, 1}},
        {"subclasses", {0x49, 5, 3, 0}, {0x49, 5, 3, 0, 0}},
        {"echo", {23, 1, 2, 3}, {23, 1, 2, 3}},
        {"store: save entity 8/1", {92, 0x80, 0x20, 0, 0, 8, 1}, {92, 0xC0, 0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ask(c.request), (Packet{0x04, c.reply})) << c.name;

    host.write(Packet{0x04, {3, 0x40 | o::kName, 0x20}});
    const std::string name = "bench rig";
    EXPECT_EQ(readBuffer(host).bytes, Bytes(name.begin(), name.end()));
    host.write(tfsim::wire({{0x04, {3, 0x80 | o::kName, 0x20, 'x', 'y', 0x00}}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x04, {3, 0xC0 | o::kName, 0}}));
    EXPECT_EQ(system->bytes({3, o::kName}), (Bytes{'x', 'y'}));
    EXPECT_EQ(system->value({tfsim::kStoreCommand, 0}), 0x0801u);

    // The counts and the echo can be bent like any answer.
    system->setEntityGroup(3, 0, 7);
    system->setHasUei(8, 0, 0, 0, 0);
    system->addFault({.command = 0x49, .option = 0xFF, .times = 1, .length = 5});
    system->addFault({.command = 23, .times = 1, .echoOption = 9});
    EXPECT_EQ(ask({0x49, 6, 3, 0}), (Packet{0x04, {0x49, 6, 3, 0, 7}}));
    EXPECT_EQ(ask({0x49, 1, 8, 0, 0, 0}), (Packet{0x04, {0x49, 1, 8, 0, 0, 0}}));
    EXPECT_EQ(ask({0x49, 0xFF}), (Packet{0x04, {0x49, 0xFF, 0, 0, 1}}));
    EXPECT_EQ(ask({23, 1, 2, 3}), (Packet{0x04, {23, 9, 2, 3}}));
}

TEST(SystemEntity, ResetAcknowledgesThenEndsTheLinkAndRouteToMeReachesItsHook) {
    tfsim::Module sim({.address = 0x02});
    auto system = sim.add(std::make_shared<tfsim::SystemEntity>(0x02));
    std::vector<bool> routed;
    std::mutex mutex;
    system->onRouteToMe([&](bool on) {
        std::lock_guard lock(mutex);
        routed.push_back(on);
    });
    Client host(sim.port());
    connectAndWait(sim, host);

    host.write(Packet{0x02, {3, 0x94, 0x20, 1}});
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {3, 0xD4, 0}}));
    EXPECT_TRUE(system->routing());
    host.write(Packet{0x02, {3, 0x94, 0x20, 0}});
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {3, 0xD4, 0}}));
    EXPECT_FALSE(system->routing());
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(routed, (std::vector<bool>{true, false}));
    }

    host.write(Packet{0x02, {3, 0x8B, 0x20}});
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {3, 0xCB, 0}}));
    EXPECT_EQ(host.waitForEnd(), Client::End::Fin);
    EXPECT_EQ(system->resets(), 1u);

    // A module that stays up through its reset (one behind a router).
    system->setResetAction(tfsim::Action::None);
    Client again(sim.port());
    connectAndWait(sim, again, 2);
    again.write(Packet{0x02, {3, 0x8B, 0x20}});
    EXPECT_EQ(again.readPacket(), (Packet{0x02, {3, 0xCB, 0}}));
    again.write(Packet{0x02, {3, 0x48, 0x20}});
    EXPECT_EQ(again.readPacket(), (Packet{0x02, {3, 8, 0, 4}}));
    EXPECT_EQ(system->resets(), 2u);
}

TEST(I2CEntity, ReadsAndWritesReachOnlyTheDevicesPresent) {
    tfsim::Module sim;
    auto i2c = sim.add(std::make_shared<tfsim::I2CEntity>());
    i2c->addDevice(0x50, {0xAA, 0xBB, 0xCC});
    Client host(sim.port());
    connectAndWait(sim, host);
    const uint8_t absent = tfsim::I2CEntity::kAbsentStatus;
    struct Case {
        const char* name;
        Bytes request;
        Bytes reply;
    };
    const std::vector<Case> cases = {
        {"read", {8, 0, 0x51, 2, 1}, {8, 0, 0x51, 2, 0, 0xAA, 0xBB}},
        {"read past the data", {8, 0, 0x51, 5, 1}, {8, 0, 0x51, 5, 0, 0xAA, 0xBB, 0xCC, 0, 0}},
        {"read, nobody there", {8, 0, 0x53, 2, 1}, {8, 0, 0x53, 2, absent}},
        {"write", {8, 0, 0x50, 2, 3, 0x01, 0x02}, {8, 0, 0x50, 0, 0}},
        {"write, nobody there", {8, 0, 0x04, 2, 3, 0, 0}, {8, 0, 0x04, 0, absent}},
        {"pull-ups on", {8, 0, 1, 1}, {8, 0, 1, 1, 0}},
    };
    for (const Case& c : cases) {
        host.write(Packet{0x06, c.request});
        EXPECT_EQ(host.readPacket(), (Packet{0x06, c.reply})) << c.name;
    }
    host.write(Packet{0x06, {8, 1, 0x51, 2, 1}}); // another bus: not this entity's
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});
    EXPECT_EQ(i2c->pullup(), true);
    auto transfers = i2c->transfers();
    ASSERT_EQ(transfers.size(), 5u);
    EXPECT_EQ(transfers[3].bytes, (Bytes{0x01, 0x02}));
    EXPECT_EQ(transfers[3].speed, 3);
    EXPECT_TRUE(transfers[3].present);
    EXPECT_FALSE(transfers[4].present);

    i2c->addFault({.option = 0x50, .times = 1, .error = Fault::Error::WithCode, .code = 5});
    i2c->addFault({.option = 0x50, .times = 1, .error = Fault::Error::WithoutCode});
    host.write(Packet{0x06, {8, 0, 0x50, 1, 0, 9}});
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {8, 0, 0x50, 0, 0x85}}));
    host.write(Packet{0x06, {8, 0, 0x50, 1, 0, 9}});
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {8, 0, 0x50, 0}}));
}

TEST(RoutingModule, EachModuleBehindItAnswersWithItsOwnSystemEntity) {
    tfsim::Module router({.address = 0x02});
    auto own = router.add(
        std::make_shared<tfsim::SystemEntity>(tfsim::Identity{.module = 0x02, .serial = 0x100}));
    auto i2c = router.add(std::make_shared<tfsim::I2CEntity>());
    for (uint8_t a : {uint8_t{0x04}, uint8_t{0x08}}) {
        router.attach(a).add(std::make_shared<tfsim::SystemEntity>(
            tfsim::Identity{.module = a, .router = 0x02, .serial = 0x100u + a}));
        i2c->addDevice(a);
    }
    // Behind the router nobody answers until the host has it route.
    own->onRouteToMe([&](bool on) {
        router.at(0x04).setSilent(!on);
        router.at(0x08).setSilent(!on);
    });
    router.at(0x04).setSilent(true);
    router.at(0x08).setSilent(true);
    Client host(router.port());
    connectAndWait(router, host);

    host.write(Packet{0x04, {3, 0x49, 0x20}});
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});
    host.write(Packet{0x02, {3, 0x94, 0x20, 1}});
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {3, 0xD4, 0}}));
    host.write(tfsim::wire({{0x02, {8, 0, 0x04, 2, 3, 0, 0}},
                            {0x02, {8, 0, 0x06, 2, 3, 0, 0}},
                            {0x08, {3, 0x49, 0x20}},
                            {0x04, {3, 0x49, 0x20}},
                            {0x04, {3, 0x42, 0x20}},
                            {0x02, {3, 0x49, 0x20}},
                            kSync}));
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {8, 0, 0x04, 0, 0}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {8, 0, 0x06, 0, tfsim::I2CEntity::kAbsentStatus}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x08, {3, 9, 0, 0, 0, 1, 0x08}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x04, {3, 9, 0, 0, 0, 1, 0x04}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x04, {3, 2, 0, 0x02}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {3, 9, 0, 0, 0, 1, 0x00}}));
    EXPECT_EQ(host.readPacket(), (Packet{0x02, {}})) << "syncs are the router's";
}

TEST(SimProgram, RunsAFullModuleWithModulesBehindIt) {
    SimProgram program;
    ASSERT_NO_FATAL_FAILURE(
        startSimProgram({"--tcp", "0", "--address", "2", "--model", "13", "--serial", "0x1234",
                         "--name", "rig one", "--build", "77", "--behind", "4"},
                        program));
    unsigned port = 0;
    ASSERT_EQ(std::fscanf(program.out, "port %u", &port), 1);
    {
        Client host(static_cast<uint16_t>(port));
        ASSERT_TRUE(host.connected());
        host.write(tfsim::wire({{0x02, {3, 0x48, 0x20}},
                                {0x02, {3, 0x49, 0x20}},
                                {0x02, {0x49, 0xFF}},
                                {0x02, {8, 0, 0x04, 2, 3, 0, 0}},
                                {0x04, {3, 0x49, 0x20}},
                                {0x04, {3, 0x42, 0x20}},
                                {0x02, {3, 0x60, 0x20}}}));
        EXPECT_EQ(host.readPacket(), (Packet{0x02, {3, 8, 0, 13}}));
        EXPECT_EQ(host.readPacket(), (Packet{0x02, {3, 9, 0, 0, 0, 0x12, 0x34}}));
        EXPECT_EQ(host.readPacket(), (Packet{0x02, {0x49, 0xFF, 0, 0, 0, 77}}));
        EXPECT_EQ(host.readPacket(), (Packet{0x02, {8, 0, 0x04, 0, 0}}));
        EXPECT_EQ(host.readPacket(), (Packet{0x04, {3, 9, 0, 0, 0, 0x12, 0x38}}));
        EXPECT_EQ(host.readPacket(), (Packet{0x04, {3, 2, 0, 0x02}}));
        EXPECT_EQ(host.readPacket(),
                  (Packet{0x02, {3, 32, 0, 'r', 'i', 'g', ' ', 'o', 'n', 'e', 0x00}}));
    }
    std::fclose(program.out);
    stopSimProgram(program);
}
