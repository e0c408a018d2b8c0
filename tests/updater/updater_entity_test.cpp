// The upgrade entity against the simulated module's upgrade entity: the loader and firmware
// roads over TCP, a serial line and a routing module, the byte-buffer variant, and what every
// misbehaving answer gives (always an error, never a hang).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "ApiTest.h"
#include "BirdBuilder.h"
#include "LogCapture.h"
#include "Module.h"
#include "RecordingDisplay.h"
#include "Tessaform-C.h"
#include "UpdaterEntity.h"
#include "fakeusb.h"
#include "tfsim/SystemEntity.h"
#include "tfsim/UpgradeEntity.h"

using namespace apitest;
using namespace std::chrono_literals;
using Keldoran::Tessaform::Module;
using tfsim::Fault;
using tfsim::UpgradeEntity;
namespace up = tfsim::upgrade;

namespace {

constexpr uint32_t kAddress = 0x20000400;

// A block as the firmware file holds it: its load address, then its data.
Bytes blockOf(const Bytes& data, uint32_t address = kAddress) {
    Bytes block;
    tftest::putBig(block, address);
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

// The requests of one sub-command the module got, in order.
std::vector<Bytes> upgradeRequests(const std::vector<Bytes>& requests, uint8_t sub) {
    std::vector<Bytes> out;
    for (const Bytes& r : requests)
        if (r.size() >= 2 && r[0] == 0x5F && r[1] == sub) out.push_back(r);
    return out;
}

enum class Transport { Tcp, Serial, Routed };

const char* nameOf(Transport transport) {
    switch (transport) {
    case Transport::Tcp:
        return "Tcp";
    case Transport::Serial:
        return "Serial";
    default:
        return "Routed";
    }
}

void PrintTo(Transport transport, std::ostream* os) {
    *os << nameOf(transport);
}

// The simulated module with its upgrade entity and the host's Module bound to it: directly over
// TCP or a serial line, or behind a routing module on the router's TCP link.
struct Rig {
    explicit Rig(Transport kind) : transport(kind) {
        const uint32_t serial = nextSerial();
        if (transport == Transport::Serial)
            sim = std::make_unique<tfsim::Module>(tfsim::Config{.address = 0x06},
                                                  std::make_unique<tfsim::PtyEndpoint>());
        else
            sim = std::make_unique<tfsim::Module>(tfsim::Config{
                .address = transport == Transport::Routed ? uint8_t{0x02} : uint8_t{0x06}});
        tfsim::BusModule* at = &sim->self();
        if (transport == Transport::Routed) {
            sim->add(std::make_shared<tfsim::SystemEntity>(
                tfsim::Identity{.module = 0x02, .serial = serial}));
            at = &sim->attach(0x04);
        }
        system = at->add(std::make_shared<tfsim::SystemEntity>(tfsim::Identity{
            .module = at->address(), .router = sim->address(), .serial = serial + 1}));
        upgrade = at->add(std::make_shared<UpgradeEntity>());
        if (transport == Transport::Routed) {
            // The shared link stays when the module behind the router restarts.
            system->setResetAction(tfsim::Action::None);
            upgrade->setRebootDrops(false);
        }
        address = at->address();
        if (transport == Transport::Tcp) upgrade->setLink(sim.get());

        linkSpec spec = tcpSpec(sim->port(), serial, sim->address());
        if (transport == Transport::Serial) {
            spec = linkSpec{};
            spec.type = SERIAL;
            spec.serialNumber = serial;
            spec.t.serial.baudRate = 115200;
            std::snprintf(spec.t.serial.portName, sizeof spec.t.serial.portName, "%s",
                          sim->slavePath().c_str());
        }
        Module* direct = transport == Transport::Routed ? &router : &module;
        EXPECT_EQ(direct->setConfig(unshared()), aErrNone);
        EXPECT_EQ(direct->connectFromSpec(spec), aErrNone);
        if (transport == Transport::Routed) {
            EXPECT_EQ(module.connectThroughLinkModule(&router), aErrNone);
        }
    }

    std::vector<Bytes> requests(uint64_t since = 0) const {
        return requestsTo(*sim, address, since);
    }

    Transport transport;
    std::unique_ptr<tfsim::Module> sim;
    std::shared_ptr<tfsim::SystemEntity> system;
    std::shared_ptr<UpgradeEntity> upgrade;
    uint8_t address = 0;
    Module router{0x02};
    Module module{transport == Transport::Routed ? uint8_t{0x04} : uint8_t{0x06}};
};

class UpgradeRoad : public testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(rig.module.isConnected());
        entity.init(&rig.module, 0, true, rig.transport == Transport::Routed);
    }

    Rig rig{GetParam()};
    UpdaterEntity entity;
    tftest::RecordingDisplay display;
};

TEST_P(UpgradeRoad, LoaderGoesInAsOnePieceWithOneSum) {
    const Bytes loader = tftest::randomBytes(60, 7);
    const Bytes block = blockOf(loader);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 1, blockSize), aErrNone);
    ASSERT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrNone);
    ASSERT_EQ(entity.LoaderStart(), aErrNone);

    const auto requests = rig.requests();
    EXPECT_EQ(upgradeRequests(requests, up::kPrepare),
              (std::vector<Bytes>{{0x5F, 0x03, 0x01, 0x20, 0x00, 0x04, 0x00}}));
    std::vector<size_t> sizes;
    for (const Bytes& data : upgradeRequests(requests, up::kData))
        sizes.push_back(data.size() - 2);
    EXPECT_EQ(sizes, (std::vector<size_t>{26, 26, 8}));
    EXPECT_EQ(upgradeRequests(requests, up::kWrite).size(), 0u) << "a loader is not written";
    const auto blocks = rig.upgrade->blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].flags, 1);
    EXPECT_EQ(blocks[0].address, kAddress);
    EXPECT_EQ(blocks[0].received, loader);
    EXPECT_EQ(blocks[0].sums, 1u);
}

TEST_P(UpgradeRoad, FirmwareGoesInPiecesOfTheBlockSizeEachWritten) {
    const Bytes firmware = tftest::randomBytes(5000, 11);
    const Bytes block = blockOf(firmware);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize), aErrNone);
    EXPECT_EQ(blockSize, 2048);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display),
              aErrNone);

    EXPECT_EQ(rig.upgrade->image(kAddress), firmware);
    EXPECT_EQ(upgradeRequests(rig.requests(), up::kWrite),
              (std::vector<Bytes>{
                  {0x5F, 0x05, 0x08, 0x00}, {0x5F, 0x05, 0x08, 0x00}, {0x5F, 0x05, 0x03, 0x88}}));
    EXPECT_EQ(rig.upgrade->blocks().at(0).sums, 3u);
    ASSERT_EQ(display.fractions.size(), 3u);
    EXPECT_DOUBLE_EQ(display.fractions[0], (4.0 + 2048) / 5004);
    EXPECT_DOUBLE_EQ(display.fractions[1], (4.0 + 4096) / 5004);
    EXPECT_DOUBLE_EQ(display.fractions[2], 1.0);
    EXPECT_EQ(display.barsStarted, 1);
    EXPECT_EQ(display.barsEnded, 1);
}

// One byte-buffer set per piece once the module says it takes them.
TEST_P(UpgradeRoad, ByteBufferPiecesWhenTheModuleTakesThem) {
    rig.system->setHasUei(0x5F, up::kDataOption, 0, 0x80, 0);
    rig.upgrade->setBlockSize(1000);
    ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    const Bytes firmware = tftest::randomBytes(2500, 13);
    const Bytes block = blockOf(firmware);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize), aErrNone);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display),
              aErrNone);
    EXPECT_EQ(rig.upgrade->image(kAddress), firmware);
    EXPECT_EQ(rig.upgrade->requests(up::kDataOption), 3u);
    EXPECT_EQ(rig.upgrade->requests(up::kData), 0u);
}

TEST_P(UpgradeRoad, RebootEndsOnceTheLinkDrops) {
    ASSERT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(upgradeRequests(rig.requests(), up::kReboot).size(), 1u);
    if (rig.transport == Transport::Routed) {
        EXPECT_TRUE(rig.module.isConnected()) << "behind a router the link stays";
        EXPECT_EQ(display.spins, 1) << "and the wait is one round";
    } else {
        EXPECT_FALSE(rig.module.isConnected());
    }
    EXPECT_EQ(display.spinnerStops, 1);
    EXPECT_TRUE(display.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Links, UpgradeRoad,
                         testing::Values(Transport::Tcp, Transport::Serial, Transport::Routed),
                         [](const testing::TestParamInfo<Transport>& p) {
                             return std::string(nameOf(p.param));
                         });

class UpgradeFaults : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(rig.module.isConnected());
        entity.init(&rig.module, 0, true, false);
    }

    aErr prepare(uint16_t& blockSize) {
        return entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize);
    }
    aErr transfer(uint16_t blockSize) {
        return entity.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display);
    }

    Rig rig{Transport::Tcp};
    UpdaterEntity entity;
    tftest::RecordingDisplay display;
    const Bytes firmware = tftest::randomBytes(3000, 5);
    const Bytes block = blockOf(firmware);
};

Fault on(uint8_t sub, Fault fault) {
    fault.command = 0x5F;
    fault.option = sub;
    return fault;
}

// Each case: what goes wrong in the module, the exchange that meets it, and its result.
struct FaultCase {
    const char* name;
    std::function<void(UpgradeEntity&)> misbehave;
    enum { Init, Prepare, Transfer } step;
    aErr expected;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class UpgradeFaultTable : public UpgradeFaults, public testing::WithParamInterface<FaultCase> {};

TEST_P(UpgradeFaultTable, GivesItsError) {
    const FaultCase& c = GetParam();
    c.misbehave(*rig.upgrade);
    uint16_t blockSize = 1;
    aErr result = aErrNone;
    switch (c.step) {
    case FaultCase::Init:
        result = entity.LoaderInit();
        break;
    case FaultCase::Prepare:
        result = prepare(blockSize);
        if (result != aErrNone) {
            EXPECT_EQ(blockSize, 1) << "left as it was";
        }
        break;
    case FaultCase::Transfer:
        ASSERT_EQ(prepare(blockSize), aErrNone);
        result = transfer(blockSize);
        break;
    }
    EXPECT_EQ(result, c.expected);
    if (c.step == FaultCase::Transfer) {
        EXPECT_NE(rig.upgrade->image(kAddress), firmware);
    }
}

const FaultCase kFaultCases[] = {
    {"InitSilent", [](UpgradeEntity& u) { u.addFault(on(up::kInit, {.silent = true})); },
     FaultCase::Init, aErrTimeout},
    {"InitWithoutLoadBase", [](UpgradeEntity& u) { u.addFault(on(up::kInit, {.length = 5})); },
     FaultCase::Init, aErrPacket},
    {"PrepareSilent", [](UpgradeEntity& u) { u.addFault(on(up::kPrepare, {.silent = true})); },
     FaultCase::Prepare, aErrTimeout},
    {"PrepareLate", [](UpgradeEntity& u) { u.addFault(on(up::kPrepare, {.delay = 1300ms})); },
     FaultCase::Prepare, aErrTimeout},
    {"PrepareRefused", [](UpgradeEntity& u) { u.setStatus(up::kPrepare, 2); }, FaultCase::Prepare,
     aErrInvalidOption},
    {"PrepareWithoutBlockSize",
     [](UpgradeEntity& u) { u.addFault(on(up::kPrepare, {.length = 4})); }, FaultCase::Prepare,
     aErrPacket},
    {"BlockSizeZero", [](UpgradeEntity& u) { u.setBlockSize(0); }, FaultCase::Transfer,
     aErrInvalidOption},
    {"DataSilent", [](UpgradeEntity& u) { u.addFault(on(up::kData, {.silent = true})); },
     FaultCase::Transfer, aErrPacket},
    {"DataLate", [](UpgradeEntity& u) { u.addFault(on(up::kData, {.delay = 1300ms})); },
     FaultCase::Transfer, aErrPacket},
    {"DataEchoAlwaysWrong",
     [](UpgradeEntity& u) { u.addFault(on(up::kData, {.echoIndex = 0x19})); }, FaultCase::Transfer,
     aErrPacket},
    {"DataEchoMissing", [](UpgradeEntity& u) { u.addFault(on(up::kData, {.length = 2})); },
     FaultCase::Transfer, aErrPacket},
    {"SumSilent", [](UpgradeEntity& u) { u.addFault(on(up::kSum, {.silent = true})); },
     FaultCase::Transfer, aErrPacket},
    {"SumLate", [](UpgradeEntity& u) { u.addFault(on(up::kSum, {.delay = 1300ms})); },
     FaultCase::Transfer, aErrPacket},
    {"SumMismatch", [](UpgradeEntity& u) { u.setSumOffset(1); }, FaultCase::Transfer,
     aErrInvalidOption},
    {"SumBadStatus", [](UpgradeEntity& u) { u.setStatus(up::kSum, 3); }, FaultCase::Transfer,
     aErrInvalidOption},
    {"SumWithoutTheSum", [](UpgradeEntity& u) { u.addFault(on(up::kSum, {.length = 3})); },
     FaultCase::Transfer, aErrPacket},
    {"WriteSilent", [](UpgradeEntity& u) { u.addFault(on(up::kWrite, {.silent = true})); },
     FaultCase::Transfer, aErrInvalidOption},
    {"WriteWithoutStatus", [](UpgradeEntity& u) { u.addFault(on(up::kWrite, {.length = 2})); },
     FaultCase::Transfer, aErrInvalidOption},
    {"WriteRefused", [](UpgradeEntity& u) { u.setStatus(up::kWrite, 1); }, FaultCase::Transfer,
     aErrInvalidOption},
    {"LinkClosedInMidBlock", [](UpgradeEntity& u) { u.closeAfterData(30); }, FaultCase::Transfer,
     aErrPacket},
};

INSTANTIATE_TEST_SUITE_P(Module, UpgradeFaultTable, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase>& p) { return p.param.name; });

TEST_F(UpgradeFaults, WrongDataEchoSendsTheSameBytesAgain) {
    rig.upgrade->addFault(on(up::kData, {.times = 1, .echoIndex = 0x19}));
    uint16_t blockSize = 0;
    ASSERT_EQ(prepare(blockSize), aErrNone);
    ASSERT_EQ(transfer(blockSize), aErrNone);
    const auto data = upgradeRequests(rig.requests(), up::kData);
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ(data[0], data[1]);
    EXPECT_EQ(data[0].size(), 28u);
    EXPECT_EQ(rig.upgrade->image(kAddress), firmware) << "no byte twice, none missing";
}

TEST_F(UpgradeFaults, DataResendsAreBounded) {
    rig.upgrade->addFault(on(up::kData, {.echoIndex = 0x19}));
    uint16_t blockSize = 0;
    ASSERT_EQ(prepare(blockSize), aErrNone);
    ASSERT_EQ(transfer(blockSize), aErrPacket);
    EXPECT_EQ(rig.upgrade->requests(up::kData), UpdaterEntity::DATA_TRIES);
    EXPECT_EQ(rig.upgrade->requests(up::kSum), 0u) << "a failed piece has no sum check";
}

TEST_F(UpgradeFaults, SumMismatchIsLoggedWhateverPackagesAreOn) {
    tftest::LogCapture log(0);
    rig.upgrade->setSumOffset(1);
    uint16_t blockSize = 0;
    ASSERT_EQ(prepare(blockSize), aErrNone);
    ASSERT_EQ(transfer(blockSize), aErrInvalidOption);
    EXPECT_NE(log.text().find("NETWORK: Unable to validate transfer [00]"), std::string::npos)
        << log.text();
    EXPECT_NE(log.text().find("NETWORK: Failed to transfer firmware\n"), std::string::npos);
}

// A reply that came after its wait gave up must not pass for the next request's: the stale
// sum reply (5F 07 00 S3 S2 S1 S0) would read as an accepted prepare with a block size from
// the sum's bytes.
TEST_F(UpgradeFaults, LateSumReplyIsNotTakenForTheRetrysPrepare) {
    rig.upgrade->addFault(on(up::kSum, {.times = 1, .delay = 1200ms}));
    uint16_t blockSize = 0;
    ASSERT_EQ(prepare(blockSize), aErrNone);
    ASSERT_EQ(transfer(blockSize), aErrPacket);
    std::this_thread::sleep_for(600ms); // the late reply is in by now
    rig.upgrade->setBlockSize(512);
    ASSERT_EQ(prepare(blockSize), aErrNone);
    EXPECT_EQ(blockSize, 512);
    ASSERT_EQ(transfer(blockSize), aErrNone);
    EXPECT_EQ(rig.upgrade->image(kAddress), firmware);
}

TEST_F(UpgradeFaults, RequestsWithoutALinkGiveTheSendError) {
    ASSERT_EQ(rig.module.disconnect(), aErrNone);
    uint16_t blockSize = 7;
    EXPECT_EQ(entity.LoaderInit(), aErrConnection);
    EXPECT_EQ(prepare(blockSize), aErrConnection);
    EXPECT_EQ(blockSize, 7);
    EXPECT_EQ(entity.LoaderStart(), aErrConnection);
    EXPECT_EQ(entity.FirmwareWrite(10), aErrConnection);
    UpdaterEntity unbound;
    EXPECT_EQ(unbound.LoaderInit(), aErrResource);
    EXPECT_EQ(unbound.LoaderReboot(display), aErrResource);
    EXPECT_EQ(unbound.CheckUEIDataSupport(), aErrConnection);
}

TEST_F(UpgradeFaults, ModuleWithoutByteBufferPiecesKeepsDataPackets) {
    EXPECT_NE(entity.CheckUEIDataSupport(), aErrNone);
    uint16_t blockSize = 0;
    ASSERT_EQ(prepare(blockSize), aErrNone);
    ASSERT_EQ(transfer(blockSize), aErrNone);
    EXPECT_EQ(rig.upgrade->requests(up::kDataOption), 0u);
    EXPECT_EQ(rig.upgrade->image(kAddress), firmware);
}

TEST_F(UpgradeFaults, RefusedByteBufferPieceGivesTheModulesCode) {
    rig.system->setHasUei(0x5F, up::kDataOption, 0, 0x80, 0);
    ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    rig.upgrade->addFault(on(up::kDataOption, {.error = Fault::Error::WithCode, .code = 14}));
    uint16_t blockSize = 0;
    ASSERT_EQ(prepare(blockSize), aErrNone);
    EXPECT_EQ(transfer(blockSize), aErrSize);
    EXPECT_EQ(rig.upgrade->requests(up::kSum), 0u);
}

TEST_F(UpgradeFaults, PooledPacketsFollowTheProtocolFeatures) {
    for (uint32_t features : {0x80000001u, 0x00000001u}) {
        rig.system->set({.command = 3, .option = tfsim::system_option::kProtocolFeatures},
                        features);
        EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone) << std::hex << features;
    }
    // The link still carries whole pieces with pooled writes.
    uint16_t blockSize = 0;
    ASSERT_EQ(prepare(blockSize), aErrNone);
    ASSERT_EQ(transfer(blockSize), aErrNone);
    EXPECT_EQ(rig.upgrade->image(kAddress), firmware);
}

TEST_F(UpgradeFaults, RebootThatNeverDropsEndsWithAMessage) {
    rig.upgrade->setRebootDrops(false);
    EXPECT_EQ(entity.LoaderReboot(display), aErrTimeout);
    EXPECT_TRUE(rig.module.isConnected());
    EXPECT_EQ(display.spins, static_cast<int>(UpdaterEntity::REBOOT_WAIT_ROUNDS));
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.spinnerStops, 1);
}

TEST_F(UpgradeFaults, NoWaitOnRebootReturnsAfterOneRound) {
    rig.upgrade->setRebootDrops(false);
    entity.init(&rig.module, 0, true, true);
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(display.spins, 1);
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(UpgradeFaults, SilentLoadOnALinkThatStays) {
    rig.upgrade->setLoad(UpgradeEntity::Load::Silent);
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
    EXPECT_TRUE(rig.module.isConnected()) << "the one reconnection went through";
    EXPECT_EQ(connections(*rig.sim), 2u);
}

TEST_F(UpgradeFaults, SilentLoadThatDropsAndNeverComesBack) {
    tftest::LogCapture log(DEBUG_Network);
    rig.upgrade->setLoad(UpgradeEntity::Load::Drop);
    rig.sim->setAccepting(false);
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
    EXPECT_FALSE(rig.module.isConnected());
    const std::string text = log.text();
    EXPECT_NE(text.find("Attempt: 5 of 5"), std::string::npos) << text;
    EXPECT_NE(text.find("reconnect DEFAULT sn. Attempt: 5 of 5"), std::string::npos) << text;
}

TEST_F(UpgradeFaults, LoaderThatRestartsIsReachedAgain) {
    tftest::LogCapture log(DEBUG_Network | DEBUG_Network_FIRM);
    rig.upgrade->setLoad(UpgradeEntity::Load::Restart, 1800ms);
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_TRUE(rig.module.isConnected());
    const std::string text = log.text();
    EXPECT_NE(text.find("Loader validated start (Reconnect)"), std::string::npos) << text;
    EXPECT_EQ(text.find("DEFAULT sn"), std::string::npos) << text;
}

// Over the fake libusb the started loader leaves the bus and comes back after a while, as
// the module itself or as a loader without an identity (serial number 0xDEADDEAD), and is
// reached where it is.
struct UsbReturn {
    const char* name;
    bool asLoader;
    std::chrono::milliseconds absence;
};

void PrintTo(const UsbReturn& c, std::ostream* os) {
    *os << c.name;
}

class LoaderOverUsb : public testing::TestWithParam<UsbReturn> {
  protected:
    void SetUp() override { fakeusb_reset(); }
    void TearDown() override { fakeusb_reset(); }
};

TEST_P(LoaderOverUsb, IsReachedWhereItComesBack) {
    const UsbReturn& c = GetParam();
    const uint32_t serial = nextSerial();
    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    sim.add(
        std::make_shared<tfsim::SystemEntity>(tfsim::Identity{.module = 0x06, .serial = serial}));
    auto upgrade = sim.add(std::make_shared<UpgradeEntity>());
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    fakeusb_device_config config;
    fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, 0x0100, text);
    config.backing_port = sim.port();
    fakeusb_device* device = fakeusb_add_device(&config);
    ASSERT_NE(device, nullptr);
    const std::string returning = c.asLoader ? "DEADDEAD" : text;
    upgrade->setLink(&sim);
    upgrade->setLoad(UpgradeEntity::Load::Restart, c.absence);
    upgrade->onRestart([device] { fakeusb_unplug(device); },
                       [device, config, returning]() mutable {
                           config.serial = returning.c_str();
                           fakeusb_reconfigure(device, &config);
                           fakeusb_plug(device);
                       });
    {
        Module module(0x06);
        ASSERT_EQ(module.setConfig(unshared()), aErrNone);
        ASSERT_EQ(module.connect(USB, serial), aErrNone);
        UpdaterEntity entity;
        entity.init(&module, 0, true, false);
        tftest::LogCapture log(DEBUG_Network | DEBUG_Network_FIRM);
        EXPECT_EQ(entity.LoaderStart(), aErrNone);
        ASSERT_TRUE(module.isConnected());
        const std::string trace = log.text();
        EXPECT_NE(trace.find("Loader validated start (Reconnect)"), std::string::npos) << trace;
        EXPECT_EQ(trace.find("DEFAULT sn") != std::string::npos, c.asLoader) << trace;

        // The loader takes the firmware on the new link.
        UpdaterEntity firmware;
        firmware.init(&module, 0, true, false);
        const Bytes data = tftest::randomBytes(3000, 3);
        const Bytes block = blockOf(data);
        uint16_t blockSize = 0;
        tftest::RecordingDisplay display;
        ASSERT_EQ(firmware.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize),
                  aErrNone);
        ASSERT_EQ(
            firmware.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display),
            aErrNone);
        EXPECT_EQ(upgrade->image(kAddress), data);
    }
    EXPECT_EQ(fakeusb_open_handles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Returns, LoaderOverUsb,
                         testing::Values(UsbReturn{"AsItself", false, 1800ms},
                                         UsbReturn{"AsTheLoader", true, 1200ms}),
                         [](const testing::TestParamInfo<UsbReturn>& p) { return p.param.name; });

} // namespace
