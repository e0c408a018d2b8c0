// Module over an unshared TCP/IP link to the simulated module: the connect road with
// auto-networking, and the raw module queries against right and faulty answers.
#include <gtest/gtest.h>

#include <memory>

#include "ApiTest.h"
#include "Eventually.h"
#include "Module.h"
#include "aLink.h"
#include "tfsim/SystemEntity.h"

using namespace apitest;
using namespace Keldoran::Tessaform;
namespace match = tfsim::match;
using tfsim::Fault;

namespace {

class ModuleOverTcp : public testing::Test {
  protected:
    void SetUp() override { serial = nextSerial(); }

    aErr connect(Module& m) {
        EXPECT_EQ(m.setConfig(unshared()), aErrNone);
        return m.connectFromSpec(tcpSpec(sim.port(), serial));
    }
    void connect() { ASSERT_EQ(connect(module), aErrNone); }

    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    std::shared_ptr<tfsim::SystemEntity> system = sim.add(std::make_shared<tfsim::SystemEntity>(
        tfsim::Identity{.module = 0x06, .model = 13, .build = 258}));
    uint32_t serial = 0;
    Module module{0x06};
};

TEST_F(ModuleOverTcp, AdoptsTheAddressTheModuleReports) {
    Module elsewhere(0x02);
    ASSERT_EQ(connect(elsewhere), aErrNone);
    EXPECT_EQ(elsewhere.getModuleAddress(), 0x06);
    EXPECT_GE(sim.journal().syncsReceived(), 1u) << "the address probe";
}

TEST_F(ModuleOverTcp, WithoutNetworkingModeNoProbe) {
    Module fixed(0x02, false);
    ASSERT_EQ(connect(fixed), aErrNone);
    EXPECT_EQ(fixed.getModuleAddress(), 0x02);
    EXPECT_EQ(sim.journal().syncsReceived(), 0u) << "a TCP/IP link does not sync by itself";
}

TEST_F(ModuleOverTcp, UnansweredProbeLeavesTheLinkConnected) {
    sim.setSyncAnswer(tfsim::SyncAnswer::Ignore);
    Module m(0x02);
    EXPECT_EQ(connect(m), aErrNotReady);
    EXPECT_TRUE(m.isConnected()) << "the link is usable all the same";
    EXPECT_EQ(sim.journal().syncsReceived(), 4u) << "four probes";
    EXPECT_EQ(m.getModuleAddress(), 0x02);
}

TEST_F(ModuleOverTcp, ConnectRoadRefusals) {
    EXPECT_EQ(module.connect(USB, 0), aErrParam) << "no discovery for serial number 0";
    EXPECT_EQ(module.getConfig(nullptr), aErrParam);
    EXPECT_EQ(module.getStatus(), 8u);
    connect();
    EXPECT_EQ(module.connectFromSpec(tcpSpec(sim.port(), serial)), aErrBusy);
    EXPECT_EQ(module.setConfig(aWeaveConfig{}), aErrMode);
    EXPECT_EQ(module.disconnect(), aErrNone);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.reconnect(), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(connections(sim), 2u);
}

TEST_F(ModuleOverTcp, QueriesWhileNotConnected) {
    unsigned int build = 0;
    unsigned char out = 0;
    const unsigned char bytes[1] = {1};
    EXPECT_EQ(module.getBuild(&build), aErrConnection);
    EXPECT_EQ(module.debug(bytes, 1), aErrConnection);
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0x40), aErrConnection);
    EXPECT_EQ(module.classQuantity(3, &out), aErrConnection);
    EXPECT_EQ(module.subClassQuantity(3, 0, &out), aErrConnection);
    EXPECT_EQ(module.entityGroup(3, 0, &out), aErrConnection);
    EXPECT_EQ(module.getBuild(nullptr), aErrParam);
    EXPECT_EQ(module.classQuantity(3, nullptr), aErrParam);
    EXPECT_EQ(module.subClassQuantity(3, 0, nullptr), aErrParam);
    EXPECT_EQ(module.entityGroup(3, 0, nullptr), aErrParam);
}

TEST_F(ModuleOverTcp, BuildNumber) {
    connect();
    unsigned int build = 0;
    uint64_t since = sim.mark();
    ASSERT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 258u);
    EXPECT_EQ(requestsTo(sim, 0x06, since), (std::vector<Bytes>{{0x49, 0xFF}}));

    struct Case {
        const char* what;
        Fault fault;
        aErr expected;
    } cases[] = {
        {"short", {.length = 5}, aErrSize},
        {"long", {.length = 7}, aErrSize},
        {"silent", {.silent = true}, aErrTimeout},
        {"late", {.delay = 1500ms}, aErrTimeout},
    };
    for (Case c : cases) {
        c.fault.command = 0x49;
        c.fault.option = 0xFF;
        c.fault.times = 1;
        system->addFault(c.fault);
        build = 7;
        EXPECT_EQ(module.getBuild(&build), c.expected) << c.what;
        EXPECT_EQ(build, 7u) << c.what;
    }
}

TEST_F(ModuleOverTcp, EchoTest) {
    connect();
    Bytes bytes = pattern(28);
    uint64_t since = sim.mark();
    EXPECT_EQ(module.debug(bytes.data(), 27), aErrNone);
    auto sent = requestsTo(sim, 0x06, since);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 28u);
    EXPECT_EQ(module.debug(bytes.data(), 28), aErrParam);
    EXPECT_EQ(requestsTo(sim, 0x06, since).size(), 1u) << "nothing sent for 28 bytes";
    EXPECT_EQ(module.debug(nullptr, 0), aErrNone);

    system->addFault({.command = 23, .times = 1, .echoOption = 0x00});
    EXPECT_EQ(module.debug(bytes.data(), 4), aErrIO) << "a byte differs";
    system->addFault({.command = 23, .times = 1, .length = 3});
    EXPECT_EQ(module.debug(bytes.data(), 4), aErrIO) << "cut short";
    system->addFault({.command = 23, .times = 1, .silent = true});
    EXPECT_EQ(module.debug(bytes.data(), 4), aErrTimeout);
}

TEST_F(ModuleOverTcp, HasUEI) {
    connect();
    uint64_t since = sim.mark();
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0x40), aErrNone);
    EXPECT_EQ(requestsTo(sim, 0x06, since), (std::vector<Bytes>{{0x49, 1, 3, 8, 0, 0x40}}));
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0x80), aErrMode) << "the model is read-only";
    EXPECT_EQ(module.hasUEI(3, 60, 0, 0), aErrInvalidOption);

    since = sim.mark();
    for (int flags : {0xC0, 0x01, 0x41, 0x20})
        EXPECT_EQ(module.hasUEI(3, 7, 0, static_cast<unsigned char>(flags)), aErrParam) << flags;
    EXPECT_TRUE(requestsTo(sim, 0x06, since).empty());

    system->addFault({.command = 0x49, .option = 1, .times = 1, .echoOption = 9});
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0), aErrUnknown) << "another option echoed";
    system->addFault({.command = 0x49, .option = 1, .times = 1, .length = 5});
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0), aErrUnknown) << "no answer byte";
}

TEST_F(ModuleOverTcp, EntityCounts) {
    connect();
    system->setClassQuantity(8, 2);
    system->setSubClassQuantity(8, 1, 3);
    system->setEntityGroup(8, 1, 5);
    unsigned char out = 0;
    ASSERT_EQ(module.classQuantity(8, &out), aErrNone);
    EXPECT_EQ(out, 2);
    ASSERT_EQ(module.subClassQuantity(8, 1, &out), aErrNone);
    EXPECT_EQ(out, 3);
    ASSERT_EQ(module.entityGroup(8, 1, &out), aErrNone);
    EXPECT_EQ(out, 5);

    struct Case {
        Fault fault;
        aErr expected;
    } cases[] = {
        {{.length = 3}, aErrUnknown},
        {{.length = 5}, aErrUnknown},
        {{.echoOption = 9}, aErrUnknown},
        {{.silent = true}, aErrTimeout},
    };
    for (Case c : cases) {
        c.fault.command = 0x49;
        c.fault.option = 4;
        c.fault.times = 1;
        system->addFault(c.fault);
        out = 9;
        EXPECT_EQ(module.classQuantity(8, &out), c.expected);
        EXPECT_EQ(out, 0) << "cleared first";
    }
}

} // namespace
