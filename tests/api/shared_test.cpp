// Sharing: a Link that puts its module behind a local packet server and talks to it as a
// client, a second Link that finds that server, modules behind a routing module on the
// router's link (shared or not), and the borrowed link ids of those paths.
#include <gtest/gtest.h>

#include <memory>

#include "ApiTest.h"
#include "Eventually.h"
#include "Module.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "autoGen_SystemClass_CPP.h"
#include "tfsim/SystemEntity.h"

using namespace apitest;
using namespace Keldoran::Tessaform;
using tftest::eventually;

namespace {

uint32_t serialOf(Module& module) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    return serial;
}

int16_t usesOf(uint32_t serial) {
    aLinkEntry* entry = sLookupEntryByIdentifier(serial, TCPIP);
    return entry ? entry->useCount : 0;
}

class Shared : public testing::Test {
  protected:
    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    uint32_t serial = nextSerial();
    std::shared_ptr<tfsim::SystemEntity> system =
        sim.add(std::make_shared<tfsim::SystemEntity>(tfsim::Identity{.module = 0x06,
                                                                      .model = 13,
                                                                      .serial = serial,
                                                                      .name = "shared",
                                                                      .nameCapacity = 2000}));
};

TEST_F(Shared, ModuleBehindALocalServer) {
    Module module(0x02);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(sim.port(), serial)), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 0x06) << "probed through the server";
    aWeaveConfig config;
    ASSERT_EQ(module.getConfig(&config), aErrNone);
    EXPECT_NE(config.assignedPort, 0) << "the server's port, written back";
    EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(serialOf(module), serial);
    aLinkEntry* device = sLookupEntryByIdentifier(serial, TCPIP);
    ASSERT_NE(device, nullptr);
    EXPECT_NE(device->server, nullptr) << "the device link is served";

    SystemClass entity;
    entity.init(&module, 0);
    Bytes name = pattern(300);
    ASSERT_EQ(entity.setName(name.data(), name.size()), aErrNone);
    Bytes back(300);
    size_t n = 0;
    ASSERT_EQ(entity.getName(back.data(), back.size(), &n), aErrNone);
    EXPECT_EQ(back, name);

    ASSERT_EQ(module.disconnect(), aErrNone);
    EXPECT_EQ(sLookupEntryByIdentifier(serial, TCPIP), nullptr)
        << "one release takes the client link, the device link and the server";
    EXPECT_TRUE(eventually([&] { return hostClosed(sim) == 1; }));
}

TEST_F(Shared, FailedServingReleasesTheDeviceLink) {
    sim.setSyncAnswer(tfsim::SyncAnswer::Ignore); // the server's probes go unanswered
    Link link(tcpSpec(sim.port(), serial), "unserved");
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(link.getStatus(), 8u);
    EXPECT_EQ(sLookupEntryByIdentifier(serial, TCPIP), nullptr) << "no device link left";
    EXPECT_TRUE(eventually([&] { return hostClosed(sim) == 1; }));
}

// While the first Link serves the module, a second finds it only among the servers.
TEST_F(Shared, SecondLinkFallsBackToTheServer) {
    Module first(0x06);
    ASSERT_EQ(first.connectFromSpec(tcpSpec(sim.port(), serial)), aErrNone);

    Module direct(0x06);
    EXPECT_EQ(direct.connectFromSpec(tcpSpec(sim.port(), serial)), aErrConnection)
        << "a served module's link is not handed out";

    Module second(0x06);
    ASSERT_EQ(second.connect(USB, serial), aErrNone) << "not on USB: found among the servers";
    linkSpec spec;
    ASSERT_EQ(second.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, static_cast<linkType>(AWEAVE_TCPIP)) << "as the server publishes it";
    EXPECT_EQ(serialOf(second), serial);
    EXPECT_EQ(connections(sim), 1u) << "both through the first Link's connection";

    Module strict(0x06);
    aWeaveConfig config;
    config.fallback = 0;
    ASSERT_EQ(strict.setConfig(config), aErrNone);
    EXPECT_EQ(strict.connect(USB, serial), aErrNotFound) << "one attempt only";
}

TEST_F(Shared, DiscoveryWhileLinkedChangesNothing) {
    Link link(tcpSpec(sim.port(), serial), "held");
    ASSERT_EQ(link.setConfig(unshared()), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(USB, serial + 1), aErrConnection);
    linkSpec spec;
    ASSERT_EQ(link.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, serial) << "the specifier still names the held link";
    EXPECT_TRUE(link.isConnected());
}

// A routing module at 0x02 with a module at 0x04 behind it on its bus.
class Routed : public testing::Test {
  protected:
    void SetUp() override {
        router.add(std::make_shared<tfsim::SystemEntity>(
            tfsim::Identity{.module = 0x02, .model = 13, .serial = routerSerial}));
        router.attach(0x04).add(std::make_shared<tfsim::SystemEntity>(
            tfsim::Identity{.module = 0x04, .router = 0x02, .serial = behindSerial}));
    }
    void connectRouter(bool sharing) {
        if (!sharing) {
            ASSERT_EQ(routerModule.setConfig(unshared()), aErrNone);
        }
        ASSERT_EQ(routerModule.connectFromSpec(tcpSpec(router.port(), routerSerial)), aErrNone);
        ASSERT_EQ(routerModule.getModuleAddress(), 0x02);
    }

    uint32_t routerSerial = nextSerial();
    uint32_t behindSerial = nextSerial();
    tfsim::Module router{tfsim::Config{.address = 0x02}};
    Module routerModule{0x02};
    Module behind{0x04};
};

TEST_F(Routed, UnsharedRouterLinkCarriesTheModuleBehind) {
    connectRouter(false);
    EXPECT_EQ(usesOf(routerSerial), 1);
    ASSERT_EQ(behind.connectThroughLinkModule(&routerModule), aErrNone);
    EXPECT_EQ(usesOf(routerSerial), 2) << "the router's core link, one more use";
    EXPECT_EQ(behind.getModuleAddress(), 0x04) << "no probe: the address given is kept";
    EXPECT_EQ(serialOf(behind), behindSerial);
    EXPECT_EQ(serialOf(routerModule), routerSerial);
    EXPECT_EQ(connections(router), 1u);
    EXPECT_EQ(behind.connectThroughLinkModule(&routerModule), aErrNone) << "already connected";
    EXPECT_EQ(usesOf(routerSerial), 2) << "and nothing changed";

    ASSERT_EQ(behind.disconnect(), aErrNone);
    EXPECT_EQ(usesOf(routerSerial), 1);
    EXPECT_TRUE(routerModule.isConnected());
    EXPECT_EQ(serialOf(routerModule), routerSerial);
}

TEST_F(Routed, SharedRouterServesTheModuleBehind) {
    connectRouter(true);
    ASSERT_EQ(behind.connectThroughLinkModule(&routerModule), aErrNone);
    linkSpec spec;
    ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
    aWeaveConfig config;
    ASSERT_EQ(routerModule.getConfig(&config), aErrNone);
    EXPECT_EQ(spec.type, static_cast<linkType>(AWEAVE));
    EXPECT_EQ(spec.t.ip.ipPort, config.assignedPort) << "the router's server";
    EXPECT_EQ(serialOf(behind), behindSerial);

    // The router's client link is shared: either holder may let go first.
    ASSERT_EQ(routerModule.disconnect(), aErrNone);
    EXPECT_TRUE(behind.isConnected());
    EXPECT_EQ(serialOf(behind), behindSerial);
    ASSERT_EQ(behind.disconnect(), aErrNone);
    EXPECT_EQ(sLookupEntryByIdentifier(routerSerial, TCPIP), nullptr);
}

// A Link that borrows another's id but cannot connect keeps no use it does not hold.
TEST_F(Routed, FailedBorrowKeepsNoUse) {
    connectRouter(false);
    {
        Link borrower("borrower");
        EXPECT_EQ(borrower.connectThroughLinkModule(*routerModule.getLink()), aErrConfiguration);
        EXPECT_EQ(borrower.getStatus(), 8u);
    }
    EXPECT_EQ(usesOf(routerSerial), 1);
    EXPECT_TRUE(routerModule.isConnected());

    Link holder(tcpSpec(router.port(), routerSerial), "holder");
    ASSERT_EQ(holder.setConfig(unshared()), aErrNone);
    ASSERT_EQ(holder.connectThroughLinkModule(*routerModule.getLink()), aErrNone);
    EXPECT_EQ(holder.connectThroughLinkModule(*routerModule.getLink()), aErrConnection)
        << "refused while an id is held";
    EXPECT_EQ(usesOf(routerSerial), 2);
    Link none("none");
    EXPECT_EQ(holder.connectThroughLinkModule(none), aErrInitialization);
}

} // namespace
