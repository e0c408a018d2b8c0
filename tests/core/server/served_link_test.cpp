// Served links: a device link to the simulated module (TCP/IP, serial or USB over the fake
// libusb) put behind a local packet server, and reached through a client link to it.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "Bounded.h"
#include "LinkFixture.h"
#include "Tessaform-C.h"
#include "aLinkManagerInternal.h"
#include "aServer_ZeroMQ.h"
#include "fakeusb.h"

using namespace linktest;
using tfsim::Packet;
namespace match = tfsim::match;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t MODULE = 0x06;
constexpr uint8_t MODEL = 17;

enum class Transport { TCPIP, Serial, USB };

std::string nameOf(const testing::TestParamInfo<Transport>& info) {
    switch (info.param) {
    case Transport::TCPIP:
        return "TCPIP";
    case Transport::Serial:
        return "Serial";
    case Transport::USB:
        return "USB";
    }
    return "unknown";
}

// The use count of the entry with this id, -1 when it is not in the table.
int usesOf(uint32_t id) {
    aLinkEntry* entry = sLookupEntryByID(id);
    return entry ? entry->useCount : -1;
}

// The newest client link of this process to a server on loopback, if any.
aLinkEntry* anyClientLink() {
    return sLookupEntryByIdentifier(loopback(), AWEAVE);
}

class ServedLink : public testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        fakeusb_reset();
        static uint32_t serials = 0x5D000000u | ((static_cast<uint32_t>(getpid()) & 0xFFFu) << 8);
        serial = ++serials;
        for (tfsim::Module* m : {&tcp, &line}) {
            m->onRequest(match::prefix(MODULE, {0x17}), echo());
            modelRules.push_back(
                m->onRequest(match::prefix(MODULE, {0x03, 0x48, 0x20}),
                             tfsim::reply(Packet{MODULE, {0x03, 0x48, 0x20, MODEL}})));
        }
        char text[16];
        std::snprintf(text, sizeof text, "%08X", serial);
        fakeusb_device_config config;
        fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, 0x0100, text);
        config.backing_port = tcp.port();
        ASSERT_NE(fakeusb_add_device(&config), nullptr);
        device = createDevice();
        ASSERT_NE(device, 0u);
    }
    void TearDown() override {
        if (client) aLink_Destroy(&client);
        if (device) aLink_Destroy(&device);
        fakeusb_reset();
    }

    tfsim::Module& module() { return GetParam() == Transport::Serial ? line : tcp; }
    tfsim::RuleId modelRule() const { return modelRules[GetParam() == Transport::Serial]; }

    uint32_t createDevice() {
        switch (GetParam()) {
        case Transport::TCPIP:
            return aLink_CreateTCPIP(serial, loopback(), tcp.port());
        case Transport::Serial:
            return aLink_CreateSerial(serial, line.slavePath().c_str(), 115200);
        case Transport::USB:
            return aLink_CreateUSB(serial);
        }
        return 0;
    }

    // The served link, holding the device link's use from here on.
    uint32_t serve() {
        uint32_t id = aLink_CreateServer(device, &port, &interfaceAddress, 1);
        if (id) device = 0;
        return id;
    }

    tfsim::Module tcp{tfsim::Config{.address = MODULE}};
    tfsim::Module line = tfsim::Module::serial({.address = MODULE});
    std::vector<tfsim::RuleId> modelRules; // tcp's, then line's
    uint32_t serial = 0;
    uint32_t device = 0;
    uint32_t client = 0;
    uint16_t port = 0;
    uint32_t interfaceAddress = 0;
};

} // namespace

TEST_P(ServedLink, ReachesTheModuleThroughTheServerAndGoesAsOne) {
    uint32_t deviceId = device;
    client = serve();
    ASSERT_NE(client, 0u);
    EXPECT_EQ(interfaceAddress, loopback()) << "a local-only server serves on loopback";
    EXPECT_NE(port, 0);
    aLinkEntry* entry = sLookupEntryByID(client);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->type, AWEAVE);
    EXPECT_EQ(entry->pairedId, deviceId);
    EXPECT_EQ(entry->ident1, port);
    ASSERT_NE(sLookupEntryByID(deviceId), nullptr);
    ASSERT_NE(sLookupEntryByID(deviceId)->server, nullptr);
    EXPECT_EQ(usesOf(deviceId), 1) << "the client link holds the creator's use";

    EXPECT_EQ(aLink_GetStatus(client), aLINK_STATUS_RUNNING);
    for (uint8_t tag = 1; tag <= 20; tag++)
        ASSERT_TRUE(exchanges(client, MODULE, tag, 2000));
    EXPECT_EQ(createDevice(), 0u) << "a served module is reached only through its server";
    EXPECT_EQ(usesOf(deviceId), 1);

    EXPECT_EQ(aLink_Destroy(&client), aErrNone);
    EXPECT_EQ(usesOf(deviceId), -1) << "the device link went with its client link";
    EXPECT_EQ(anyClientLink(), nullptr);
    device = createDevice();
    EXPECT_NE(device, 0u) << "once the server is gone, the module can be linked again";
}

TEST_P(ServedLink, ResetOfTheClientLinkReconnectsToTheSameServer) {
    client = serve();
    ASSERT_NE(client, 0u);
    uint32_t deviceId = sLookupEntryByID(client)->pairedId;
    ASSERT_TRUE(exchanges(client, MODULE, 1, 2000));
    EXPECT_EQ(aLink_Reset(client), aErrNone);
    EXPECT_TRUE(eventually([&] { return exchanges(client, MODULE, 2, 500); }, 5s));
    EXPECT_EQ(sLookupEntryByID(client)->pairedId, deviceId) << "a reset keeps the pairing";
    EXPECT_EQ(aLink_Destroy(&client), aErrNone);
    EXPECT_EQ(usesOf(deviceId), -1);
}

INSTANTIATE_TEST_SUITE_P(Transports, ServedLink,
                         testing::Values(Transport::TCPIP, Transport::Serial, Transport::USB),
                         nameOf);

// The failures need one transport only: they happen before or after the device link's part.
class ServedLinkFailure : public ServedLink {};

TEST_P(ServedLinkFailure, ArgumentsThatNameNoLinkCreateNothing) {
    struct Case {
        const char* what;
        uint32_t id;
        bool withPort;
        bool withInterface;
    } cases[] = {
        {"device id 0", 0, true, true},
        {"unknown id", 0x7FFFFF00u, true, true},
        {"no port", device, false, true},
        {"no interface", device, true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aLink_CreateServer(c.id, c.withPort ? &port : nullptr,
                                     c.withInterface ? &interfaceAddress : nullptr, 1),
                  0u)
            << c.what;
        EXPECT_EQ(sLookupEntryByID(device)->server, nullptr) << c.what;
    }
    EXPECT_EQ(usesOf(device), 1);
    EXPECT_EQ(anyClientLink(), nullptr);
}

TEST_P(ServedLinkFailure, ALinkTakesOneServerOnly) {
    uint32_t deviceId = device;
    client = serve();
    ASSERT_NE(client, 0u);
    aServer* first = sLookupEntryByID(deviceId)->server;
    uint16_t otherPort = 0;
    uint32_t otherInterface = 0;
    EXPECT_EQ(aLink_CreateServer(deviceId, &otherPort, &otherInterface, 1), 0u);
    EXPECT_EQ(sLookupEntryByID(deviceId)->server, first);
    EXPECT_EQ(usesOf(deviceId), 1);
    EXPECT_TRUE(exchanges(client, MODULE, 1, 2000)) << "the first server still serves";
}

// A module that never answers one of the probes: five tries of a second each, then only the
// client link goes; the device link keeps its use and runs on, with the server that was made
// in front of it until its creator releases it.
TEST_P(ServedLinkFailure, ModuleThatFailsAProbeLeavesTheDeviceLinkAsItWas) {
    struct Case {
        const char* what;
        bool answersAddress;
    } cases[] = {{"address probe", false}, {"model probe", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.answersAddress)
            module().removeRule(modelRule());
        else
            module().setSyncAnswer(tfsim::SyncAnswer::Ignore);
        auto started = Clock::now();
        EXPECT_EQ(aLink_CreateServer(device, &port, &interfaceAddress, 1), 0u);
        EXPECT_GE(Clock::now() - started, 5s) << "five probes of a second each";
        EXPECT_EQ(usesOf(device), 1);
        EXPECT_EQ(anyClientLink(), nullptr);
        EXPECT_EQ(aLink_GetStatus(device), aLINK_STATUS_RUNNING);
        EXPECT_NE(sLookupEntryByID(device)->server, nullptr);
        EXPECT_EQ(aLink_Destroy(&device), aErrNone);
        module().setSyncAnswer(tfsim::SyncAnswer::Echo);
        device = createDevice();
        ASSERT_NE(device, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(OverTCPIP, ServedLinkFailure, testing::Values(Transport::TCPIP), nameOf);
