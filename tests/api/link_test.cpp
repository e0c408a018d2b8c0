// The Link without sharing: its states and settings, connecting over TCP/IP to the
// simulated module, and the UEI and raw exchange as the module sees it on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ApiTest.h"
#include "Eventually.h"
#include "Link.h"
#include "aLink.h"

using namespace apitest;
using namespace Keldoran::Tessaform;
namespace match = tfsim::match;

namespace {

TEST(LinkHandle, DefaultsAndStatesWithoutALink) {
    aWeaveConfig config;
    EXPECT_EQ(config.enabled, 1);
    EXPECT_EQ(config.fallback, 1);
    EXPECT_EQ(config.localOnly, 1);
    EXPECT_EQ(config.assignedPort, 0);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(&config.networkInterface, loopback, 4), 0) << "network byte order";

    Link link("name");
    EXPECT_EQ(link.getConfig(nullptr), aErrParam);
    EXPECT_EQ(link.connect(), aErrConfiguration) << "no specifier";
    EXPECT_EQ(link.getStatus(), 8u);
    EXPECT_FALSE(link.isConnected());
    linkSpec spec;
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_EQ(link.reset(), aErrNone);
    unsigned char address = 9;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(link.getModuleAddress(nullptr), aErrParam);
}

TEST(LinkHandle, NameIsCutAt1024Characters) {
    std::string longName(2000, 'n');
    Link link(longName.c_str());
    EXPECT_EQ(std::string(link.getName()), longName.substr(0, 1024));
    Link unnamed(nullptr);
    EXPECT_EQ(unnamed.getName(), nullptr);
}

TEST(LinkHandle, RefusesTypesItCannotMake) {
    struct Case {
        linkType type;
        uint8_t enabled;
        aErr expected;
    } cases[] = {
        {0, 0, aErrMode},
        {8, 1, aErrMode},
        {AWEAVE, 0, aErrConfiguration},
        {AWEAVE_USB, 0, aErrConfiguration},
        {AWEAVE_SERIAL, 0, aErrConfiguration},
    };
    for (const Case& c : cases) {
        linkSpec spec{};
        spec.type = c.type;
        Link link(spec, "refused");
        aWeaveConfig config = unshared();
        config.enabled = c.enabled;
        ASSERT_EQ(link.setConfig(config), aErrNone);
        EXPECT_EQ(link.connect(), c.expected) << "type " << c.type;
        EXPECT_EQ(link.getStatus(), 8u) << "nothing was created for type " << c.type;
    }
}

class LinkOverTcp : public testing::Test {
  protected:
    void SetUp() override {
        serial = nextSerial();
        link.setLinkSpecifier(tcpSpec(sim.port(), serial));
        ASSERT_EQ(link.setConfig(unshared()), aErrNone);
    }
    void connect() {
        ASSERT_EQ(link.connect(), aErrNone);
        ASSERT_TRUE(link.isConnected());
        ASSERT_TRUE(tftest::eventually([&] { return connections(sim) > 0; }));
    }

    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    uint32_t serial = 0;
    Link link{"tcp"};
};

TEST_F(LinkOverTcp, ConnectsHoldsOneLinkAndReconnects) {
    connect();
    EXPECT_EQ(link.getStatus(), aLINK_STATUS_RUNNING);
    EXPECT_EQ(link.connect(), aErrConnection) << "a second connect while linked";
    EXPECT_TRUE(link.isConnected()) << "the first link is untouched";
    EXPECT_EQ(connections(sim), 1u);

    linkSpec other = tcpSpec(1, serial + 1);
    EXPECT_EQ(link.setLinkSpecifier(other), aErrBusy);
    EXPECT_EQ(link.setConfig(aWeaveConfig{}), aErrMode);
    aWeaveConfig config;
    ASSERT_EQ(link.getConfig(&config), aErrNone);
    EXPECT_EQ(config.enabled, 0) << "unchanged while connected";

    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_EQ(link.getStatus(), 8u);
    EXPECT_TRUE(tftest::eventually([&] { return hostClosed(sim) == 1; }));
    connect();
    EXPECT_EQ(connections(sim), 2u) << "a new link from the stored specifier";
}

TEST_F(LinkOverTcp, ModuleThatIsNotThereGivesConnection) {
    link.setLinkSpecifier(tcpSpec(1, serial)); // nothing listens on port 1
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(link.getStatus(), 8u);
}

TEST_F(LinkOverTcp, RequestsOnTheWire) {
    connect();
    struct Case {
        const char* what;
        int type;
        uint32_t value;
        int subindex; // -1: none
        Bytes wire;
    } cases[] = {
        {"32-bit set", ueiTypeInt, 0x01020304, -1, {3, 0x85, 0x20, 1, 2, 3, 4}},
        {"16-bit", ueiTypeShort, 0x1234, -1, {3, 0x85, 0x20, 0x12, 0x34}},
        {"8-bit", ueiTypeByte, 0xAB, -1, {3, 0x85, 0x20, 0xAB}},
        {"void", ueiTypeVoid, 0, -1, {3, 0x85, 0x20}},
        {"void, subindex", ueiTypeVoid, 0, 7, {3, 0x85, 0x20, 7}},
        {"8-bit, subindex", ueiTypeByte, 0xAB, 7, {3, 0x85, 0x20, 7, 0xAB}},
        {"16-bit, subindex", ueiTypeShort, 0x1234, 7, {3, 0x85, 0x20, 7, 0x12, 0x34}},
        {"32-bit, subindex", ueiTypeInt, 0xA1B2C3D4, 7, {3, 0x85, 0x20, 7, 0xA1, 0xB2, 0xC3, 0xD4}},
    };
    for (const Case& c : cases) {
        uei u{};
        u.module = 0x06;
        u.command = 3;
        u.option = 0x85;
        u.index = 0x20;
        u.type = c.type;
        if (c.type == ueiTypeByte) u.v.byteVal = static_cast<uint8_t>(c.value);
        if (c.type == ueiTypeShort) u.v.shortVal = static_cast<uint16_t>(c.value);
        if (c.type == ueiTypeInt) u.v.intVal = c.value;
        uint64_t since = sim.mark();
        aErr sent = c.subindex < 0 ? link.sendUEI(u)
                                   : link.sendUEI(u, static_cast<unsigned char>(c.subindex));
        ASSERT_EQ(sent, aErrNone) << c.what;
        auto got = sim.waitForPacket(match::prefix(0x06), 2s, since);
        ASSERT_TRUE(got) << c.what;
        EXPECT_EQ(got->packet.data, c.wire) << c.what;
    }
}

TEST_F(LinkOverTcp, ByteBufferSequences) {
    connect();
    for (size_t size : {0u, 1u, 24u, 25u, 50u, 2000u, 3072u + 24u}) {
        Bytes data = pattern(size);
        uei u{};
        u.module = 0x06;
        u.command = 3;
        u.option = 0xA0;
        u.index = 0x20;
        u.type = ueiTypeBytes;
        u.v.bufPtr = data.data();
        u.bufferSize = data.size();
        const size_t packets = size == 0 ? 1 : (size + 23) / 24;
        uint64_t since = sim.mark();
        ASSERT_EQ(link.sendUEI(u), aErrNone) << size;
        ASSERT_TRUE(sim.waitForPackets(packets, 5s, match::prefix(0x06), since)) << size;
        auto sent = requestsTo(sim, 0x06, since);
        ASSERT_EQ(sent.size(), packets) << size;
        for (const Bytes& p : sent)
            EXPECT_EQ(Bytes(p.begin(), p.begin() + 3), (Bytes{3, 0xA0, 0x20}));
        EXPECT_EQ(joinBytesRequests(sent), data) << size;
        if (size == 50) {
            EXPECT_EQ(sent[0].back(), 0x80);
            EXPECT_EQ(sent[1].back(), 0x81);
            EXPECT_EQ(sent[2].back(), 0x02);
        }
        if (size == 24) {
            EXPECT_EQ(sent[0].size(), 28u);
        }
        if (size == 0) {
            EXPECT_EQ(sent[0], (Bytes{3, 0xA0, 0x20, 0x00}));
        }
    }
}

TEST_F(LinkOverTcp, RefusedRequestsSendNothing) {
    uei u{};
    u.module = 0x06;
    u.command = 3;
    EXPECT_EQ(link.sendUEI(u), aErrConnection) << "not connected yet";
    EXPECT_EQ(link.sendPacket(0x06, 0x17, 0, nullptr), aErrConnection);
    unsigned char length = 0;
    unsigned char out[28];
    EXPECT_EQ(link.receivePacket(0x06, nullptr, &length, out), aErrConnection);
    EXPECT_EQ(link.receiveUEI(0x06, 3, 0, 0, &u), aErrConnection);
    EXPECT_EQ(link.dropMatchingUEIPackets(0x06, 3, 0, 0), aErrConnection);
    connect();
    uint64_t since = sim.mark();

    for (uint8_t bad : {uint8_t{0x00}, uint8_t{0x03}}) {
        u.module = bad;
        EXPECT_EQ(link.sendUEI(u), aErrPacket);
        EXPECT_EQ(link.sendUEI(u, 1), aErrPacket);
        EXPECT_EQ(link.receiveUEI(bad, 3, 0, 0, &u), aErrPacket);
        EXPECT_EQ(link.sendPacket(bad, 0x17, 0, nullptr), aErrPacket);
        EXPECT_EQ(link.receivePacket(bad, nullptr, &length, out), aErrPacket);
    }
    u.module = 0x06;
    u.type = 3; // no request form
    EXPECT_EQ(link.sendUEI(u), aErrParam);
    u.type = ueiTypeBytes;
    EXPECT_EQ(link.sendUEI(u, 1), aErrParam) << "a byte buffer has no subindex form";
    u.bufferSize = 10;
    u.v.bufPtr = nullptr;
    EXPECT_EQ(link.sendUEI(u), aErrParam);
    EXPECT_EQ(link.receiveUEI(0x06, 3, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(link.sendPacket(0x06, 0x17, 1, nullptr), aErrParam);
    EXPECT_EQ(link.receivePacket(0x06, nullptr, nullptr, out), aErrParam);
    length = 1;
    EXPECT_EQ(link.receivePacket(0x06, nullptr, &length, out), aErrParam);

    Bytes bytes = pattern(28);
    EXPECT_EQ(link.sendPacket(0x06, 0x17, 28, bytes.data()), aErrParam);
    ASSERT_EQ(link.sendPacket(0x06, 0x17, 27, bytes.data()), aErrNone);
    auto got = sim.waitForPacket(match::prefix(0x06), 2s, since);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->packet.data.size(), 28u) << "only the 27-byte packet went out";
    EXPECT_EQ(requestsTo(sim, 0x06, since).size(), 1u);
}

// A module that stops reading: once the out-FIFO is full the request is not queued, and
// the caller learns it.
TEST_F(LinkOverTcp, FullQueueIsReported) {
    connect();
    sim.stopReading();
    const Bytes bytes = pattern(27);
    uei u{};
    u.module = 0x06;
    u.command = 3;
    // The output pipe may still free a slot now and then, so each kind sends until refused.
    auto untilRefused = [](auto send) {
        aErr result = aErrNone;
        for (int i = 0; i < 200000 && result == aErrNone; i++)
            result = send();
        return result;
    };
    EXPECT_EQ(untilRefused([&] { return link.sendPacket(0x06, 0x17, 27, bytes.data()); }),
              aErrOverrun);
    EXPECT_EQ(untilRefused([&] { return link.sendUEI(u); }), aErrOverrun);
    sim.resumeReading();
    EXPECT_TRUE(tftest::eventually(
        [&] { return link.sendPacket(0x06, 0x17, 27, bytes.data()) == aErrNone; }, 10s));
}

// Replies the module sends to a waiting receiveUEI, and what the wait makes of them.
TEST_F(LinkOverTcp, ReplyFilterDecodesAndRejects) {
    connect();
    struct Case {
        const char* what;
        uint8_t option; // the reply awaited
        tfsim::Packet reply;
        bool accepted;
        int type;
        uint32_t value;
        uint8_t index;
    } cases[] = {
        {"16-bit get reply", 5, {0x06, {3, 5, 0, 0x12, 0x34}}, true, ueiTypeShort, 0x1234, 0},
        {"8-bit", 5, {0x06, {3, 5, 0, 0x7F}}, true, ueiTypeByte, 0x7F, 0},
        {"32-bit", 5, {0x06, {3, 5, 0x20, 1, 2, 3, 4}}, true, ueiTypeInt, 0x01020304, 0},
        {"no value", 5, {0x06, {3, 5, 0}}, true, ueiTypeVoid, 0, 0},
        {"6 bytes: taken, nothing decoded", 5, {0x06, {3, 5, 0, 1, 2, 3}}, true, 99, 0, 0},
        {"error with its code", 0xC5, {0x06, {3, 0xC5, 0x80, 21}}, true, 99, 21, 0x80},
        {"error without a code", 0xC5, {0x06, {3, 0xC5, 0x80}}, true, 99, aErrUnknown, 0x80},
        {"error whose code is 0", 0xC5, {0x06, {3, 0xC5, 0x80, 0}}, true, 99, aErrUnknown, 0x80},
        {"another module", 5, {0x04, {3, 5, 0, 0x12, 0x34}}, false, 0, 0, 0},
        {"another option", 5, {0x06, {3, 6, 0, 0x12}}, false, 0, 0, 0},
        {"the request's option flags", 5, {0x06, {3, 0x45, 0, 0x12}}, false, 0, 0, 0},
        {"another index", 5, {0x06, {3, 5, 1, 0x12}}, false, 0, 0, 0},
        {"a stream sample", 5, {0x06, {3, 5, 0x40, 1, 2, 3, 4}}, false, 0, 0, 0},
        {"too short", 5, {0x06, {3, 5}}, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        link.dropMatchingUEIPackets(0x06, 3, c.option, 0);
        ASSERT_TRUE(sim.send(c.reply));
        uei u{};
        u.module = 0x06;
        u.command = 3;
        u.option = c.option;
        u.index = 0;
        u.type = 99; // shows whether the filter decoded a type
        aErr result = link.receiveUEI(0x06, 3, c.option, 0, &u);
        if (!c.accepted) {
            EXPECT_EQ(result, aErrTimeout) << c.what;
            continue;
        }
        ASSERT_EQ(result, aErrNone) << c.what;
        EXPECT_EQ(u.type, c.type) << c.what;
        EXPECT_EQ(u.index, c.index) << c.what;
        uint32_t value = u.v.intVal;
        if ((c.index & 0x80) || c.type == ueiTypeByte) value = u.v.byteVal;
        if (c.type == ueiTypeShort) value = u.v.shortVal;
        if (c.type == ueiTypeVoid || c.type == 99) value = c.index & 0x80 ? value : 0;
        EXPECT_EQ(value, c.value) << c.what;
    }
}

TEST_F(LinkOverTcp, DropRemovesStaleRepliesOnly) {
    connect();
    ASSERT_TRUE(sim.send({0x06, {3, 5, 0, 1}}));
    ASSERT_TRUE(sim.send({0x06, {3, 6, 0, 2}}));
    ASSERT_TRUE(sim.send({0x06, {0x17, 1}}));
    // Packets arrive in order: once the marker is here, both replies wait in the in-FIFO.
    unsigned char length = 1;
    unsigned char out[28];
    const unsigned char marker[1] = {0x17};
    ASSERT_EQ(link.receivePacket(0x06, marker, &length, out), aErrNone);
    EXPECT_EQ(link.dropMatchingUEIPackets(0x06, 3, 5, 0), aErrNone);
    uei u{};
    u.module = 0x06;
    u.command = 3;
    u.option = 5;
    EXPECT_EQ(link.receiveUEI(0x06, 3, 5, 0, &u), aErrTimeout) << "the stale reply was dropped";
    u.option = 6;
    ASSERT_EQ(link.receiveUEI(0x06, 3, 6, 0, &u), aErrNone) << "another option's reply stays";
    EXPECT_EQ(u.v.byteVal, 2);
}

TEST_F(LinkOverTcp, RawReplyByPatternFromTheModuleAsked) {
    connect();
    unsigned char out[28];
    const unsigned char info[1] = {0x49};
    struct Case {
        const char* what;
        tfsim::Packet reply;
        bool accepted;
    } cases[] = {
        {"matching", {0x06, {0x49, 0xFF, 0, 0, 1, 2}}, true},
        {"another module", {0x04, {0x49, 0xFF, 0, 0, 1, 2}}, false},
        {"another command", {0x06, {0x48, 0xFF}}, false},
        {"shorter than the pattern", {0x06, {}}, false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(sim.send(c.reply));
        unsigned char length = 1;
        aErr result = link.receivePacket(0x06, info, &length, out);
        if (!c.accepted) {
            EXPECT_EQ(result, aErrTimeout) << c.what;
            continue;
        }
        ASSERT_EQ(result, aErrNone) << c.what;
        ASSERT_EQ(length, c.reply.data.size()) << c.what;
        EXPECT_EQ(Bytes(out, out + length), c.reply.data) << c.what;
    }
    ASSERT_TRUE(sim.send({0x06, {0x23, 1}}));
    unsigned char length = 0;
    EXPECT_EQ(link.receivePacket(0x06, nullptr, &length, out), aErrNone) << "count 0: any";
}

TEST_F(LinkOverTcp, AddressProbe) {
    connect();
    unsigned char address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 0x06);
    EXPECT_TRUE(sim.waitForPacket(match::sync(), 1s));
    sim.setSyncAnswer(tfsim::SyncAnswer::Ignore);
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
}

} // namespace
