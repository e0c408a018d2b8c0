// A program's view: a Module reaches the simulated module over USB (fake libusb and the
// kernel driver's node), over a serial line, and over TCP/IP found by serial number or by
// model, each with sharing on and off, and does the same work on each.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "ApiTest.h"
#include "Module.h"
#include "TestNetwork.h"
#include "Tessaform-C.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"
#include "fakeusb.h"
#include "tfsim/DiscoveryResponder.h"
#include "tfsim/I2CEntity.h"
#include "tfsim/PtyEndpoint.h"
#include "tfsim/SystemEntity.h"

using namespace apitest;
using namespace Keldoran::Tessaform;

namespace {

std::string hex(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

tfsim::Identity identity(uint32_t serial, uint8_t model = 13) {
    return {.module = 0x06,
            .model = model,
            .serial = serial,
            .name = "over the wire",
            .nameCapacity = 2000};
}

// What a program does with a connected module: identity, names of 1 to 2000 bytes, I2C.
void exercise(Module& module, uint32_t serial, tfsim::I2CEntity& bus) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0, number = 0;
    uint8_t model = 0;
    EXPECT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, 0x2F020F03u);
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 13);
    EXPECT_EQ(system.getSerialNumber(&number), aErrNone);
    EXPECT_EQ(number, serial);
    uint8_t name[64] = {};
    size_t n = 0;
    EXPECT_EQ(system.getName(name, sizeof name, &n), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), n), "over the wire");
    for (size_t size : {1u, 25u, 2000u}) {
        Bytes bytes = pattern(size, static_cast<uint8_t>(size));
        EXPECT_EQ(system.setName(bytes.data(), bytes.size()), aErrNone) << size;
        Bytes back(2000);
        EXPECT_EQ(system.getName(back.data(), back.size(), &n), aErrNone) << size;
        EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), bytes) << size;
    }

    bus.addDevice(0x50, {0xAA, 0xBB});
    I2CClass i2c;
    i2c.init(&module, 0);
    uint8_t read[2] = {};
    EXPECT_EQ(i2c.read(0x50, 2, read), aErrNone);
    EXPECT_EQ(Bytes(read, read + 2), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(i2c.write(0x50, 2, read), aErrNone);
    EXPECT_EQ(i2c.write(0x52, 2, read), aErrIO) << "nobody at 0x52";
}

class ModuleTransports : public testing::TestWithParam<bool> {
  protected:
    void configure(Module& module) {
        aWeaveConfig config;
        config.enabled = GetParam() ? 1 : 0;
        config.fallback = 0;
        ASSERT_EQ(module.setConfig(config), aErrNone);
    }
    static std::shared_ptr<tfsim::I2CEntity> populate(tfsim::Module& sim, uint32_t serial,
                                                      uint8_t model = 13) {
        sim.add(std::make_shared<tfsim::SystemEntity>(identity(serial, model)));
        return sim.add(std::make_shared<tfsim::I2CEntity>());
    }
    uint32_t serial = nextSerial();
};

TEST_P(ModuleTransports, UsbThroughLibusb) {
    fakeusb_reset();
    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    auto bus = populate(sim, serial);
    const std::string text = hex(serial);
    fakeusb_device_config config;
    fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, 0x0100, text.c_str());
    config.backing_port = sim.port();
    ASSERT_NE(fakeusb_add_device(&config), nullptr);
    {
        Module module(0x02);
        configure(module);
        ASSERT_EQ(module.connect(USB, serial), aErrNone);
        EXPECT_EQ(module.getModuleAddress(), 0x06);
        exercise(module, serial, *bus);
    }
    EXPECT_EQ(fakeusb_open_handles(), 0u) << "the module's link is gone with it";
    fakeusb_reset();
}

TEST_P(ModuleTransports, UsbThroughTheKernelNode) {
    if (geteuid() != 0) GTEST_SKIP() << "creating /dev/tessaform.* needs root";
    tfsim::Module sim{
        tfsim::Config{.address = 0x06},
        std::make_unique<tfsim::PtyEndpoint>(tfsim::PtyOptions{.framing = tfsim::PtyFraming::Raw})};
    auto bus = populate(sim, serial);
    const std::string path = "/dev/tessaform." + hex(serial);
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink(sim.slavePath().c_str(), path.c_str()), 0) << path;
    {
        linkSpec spec{};
        spec.type = USB;
        spec.serialNumber = serial;
        spec.t.usb.usbId = serial;
        Module module(0x06);
        configure(module);
        EXPECT_EQ(module.connectFromSpec(spec), aErrNone);
        if (module.isConnected()) exercise(module, serial, *bus);
    }
    ::unlink(path.c_str());
}

TEST_P(ModuleTransports, SerialLine) {
    auto sim = tfsim::Module::serial({.address = 0x06});
    auto bus = populate(sim, serial);
    linkSpec spec{};
    spec.type = SERIAL;
    spec.serialNumber = serial;
    spec.t.serial.baudRate = 115200;
    std::snprintf(spec.t.serial.portName, sizeof spec.t.serial.portName, "%s",
                  sim.slavePath().c_str());
    Module module(0x06);
    configure(module);
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    exercise(module, serial, *bus);
}

// Network discovery does not look at loopback: the modules answer on the veth pair.
TEST_P(ModuleTransports, TcpipBySerialNumberAndByModel) {
    REQUIRE_TEST_NAMESPACE();
    tfsim::Module first{tfsim::Config{.address = 0x06}};
    tfsim::Module second{tfsim::Config{.address = 0x06}};
    const uint32_t other = nextSerial();
    auto firstBus = populate(first, serial, 13);
    auto secondBus = populate(second, other, 21);
    tfsim::DiscoveryResponder responder("10.77.0.2");
    responder.add(responder.answerFor(first, serial, 13));
    responder.add(responder.answerFor(second, other, 21));
    {
        Module module(0x02);
        configure(module);
        ASSERT_EQ(module.connect(TCPIP, serial), aErrNone);
        linkSpec spec;
        ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
        EXPECT_EQ(spec.t.ip.ipAddress, disctest::ipv4("10.77.0.2"));
        exercise(module, serial, *firstBus);
    }
    Module byModel(0x02, static_cast<unsigned char>(21));
    configure(byModel);
    ASSERT_EQ(byModel.discoverAndConnect(TCPIP, 0), aErrNone);
    SystemClass system;
    system.init(&byModel, 0);
    uint32_t number = 0;
    ASSERT_EQ(system.getSerialNumber(&number), aErrNone);
    EXPECT_EQ(number, other) << "the module of model 21";

    Module absent(0x02);
    configure(absent);
    EXPECT_EQ(absent.connect(TCPIP, nextSerial()), aErrNotFound);
}

INSTANTIATE_TEST_SUITE_P(Sharing, ModuleTransports, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& p) {
                             return p.param ? "Shared" : "Unshared";
                         });

} // namespace
