// The device listings against simulated modules behind the fake libusb: modules found directly
// with their build, version and name, and modules on the bus behind a routing module.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ApiTest.h"
#include "RecordingDisplay.h"
#include "Tessaform-C.h"
#include "Updater.h"
#include "fakeusb.h"
#include "tfsim/I2CEntity.h"
#include "tfsim/SystemEntity.h"

namespace {

using apitest::nextSerial;

std::string hex(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

fakeusb_device* plug(const tfsim::Module& sim, uint32_t serial, uint16_t product) {
    const std::string text = hex(serial);
    fakeusb_device_config config;
    fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, product, text.c_str());
    config.backing_port = sim.port();
    return fakeusb_add_device(&config);
}

class Listing : public testing::Test {
  protected:
    void SetUp() override { fakeusb_reset(); }
    void TearDown() override {
        EXPECT_EQ(fakeusb_open_handles(), 0u) << "every module is let go";
        fakeusb_reset();
    }
    tftest::RecordingDisplay display;
    Updater updater{"http://127.0.0.1:9/cgi/u", "/nonexistent", display};
};

// Names are read from 2.10.4 on; a wide patch number counts with its low 8 bits only.
TEST_F(Listing, UsbModulesWithBuildVersionAndName) {
    struct Case {
        uint32_t version;
        uint8_t major, minor;
        uint32_t patch;
        const char* name;
    };
    const Case cases[] = {
        {0x2A000003, 2, 10, 3, ""},
        {0x2A000004, 2, 10, 4, "bench"},
        {0x2A000103, 2, 10, 259, ""},
        {0x2F020F03, 2, 15, 3, "bench"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.patch);
        fakeusb_reset();
        const uint32_t serial = nextSerial();
        tfsim::Module sim(tfsim::Config{.address = 0x06});
        sim.add(std::make_shared<tfsim::SystemEntity>(tfsim::Identity{.module = 0x06,
                                                                      .version = c.version,
                                                                      .model = 13,
                                                                      .serial = serial,
                                                                      .name = "bench",
                                                                      .build = 258}));
        ASSERT_NE(plug(sim, serial, 0x010D), nullptr);

        const std::vector<DeviceInfo> list = updater.Discover_Devices(USB);
        ASSERT_EQ(list.size(), 1u);
        const DeviceInfo& d = list[0];
        EXPECT_EQ(d.error, aErrNone);
        EXPECT_EQ(d.spec.type, static_cast<linkType>(USB));
        EXPECT_EQ(d.spec.serialNumber, serial);
        EXPECT_EQ(d.spec.moduleAddress, 0x06u);
        EXPECT_EQ(d.spec.routerAddress, 0x06u);
        EXPECT_EQ(d.build, 258u);
        EXPECT_EQ(d.major, c.major);
        EXPECT_EQ(d.minor, c.minor);
        EXPECT_EQ(d.patch, c.patch);
        EXPECT_EQ(d.modelName, "TF-Pico");
        EXPECT_EQ(d.deviceName, c.name);
    }
}

TEST_F(Listing, ModuleThatDoesNotAnswerIsListedWithItsError) {
    const uint32_t serial = nextSerial();
    tfsim::Module sim(tfsim::Config{.address = 0x06});
    sim.setSilent(true);
    ASSERT_NE(plug(sim, serial, 0x010D), nullptr);
    const std::vector<DeviceInfo> list = updater.Discover_Devices(USB);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_NE(list[0].error, aErrNone);
    EXPECT_EQ(list[0].build, 0u);
    EXPECT_EQ(list[0].major, 0u);
    EXPECT_EQ(list[0].deviceName, "");
}

TEST_F(Listing, ModulesBehindARoutingModule) {
    const uint32_t routerSerial = nextSerial();
    tfsim::Module router(tfsim::Config{.address = 0x02});
    router.add(std::make_shared<tfsim::SystemEntity>(
        tfsim::Identity{.module = 0x02, .model = 5, .serial = routerSerial}));
    auto bus = router.add(std::make_shared<tfsim::I2CEntity>());
    tfsim::BusModule& behind = router.attach(0x08);
    behind.add(std::make_shared<tfsim::SystemEntity>(tfsim::Identity{
        .module = 0x08, .router = 0x02, .model = 13, .serial = 0xABCD0008, .build = 77}));
    bus->addDevice(0x08);
    bus->addDevice(0x0A); // takes the probe but is no module
    ASSERT_NE(plug(router, routerSerial, 0x0105), nullptr);

    const std::vector<DeviceInfo> list = updater.Discover_TFNetwork_Devices(routerSerial, 0);
    ASSERT_EQ(list.size(), 1u);
    const DeviceInfo& d = list[0];
    EXPECT_EQ(d.error, aErrNone);
    EXPECT_EQ(d.spec.type, static_cast<linkType>(USB));
    EXPECT_EQ(d.spec.serialNumber, 0xABCD0008u);
    EXPECT_EQ(d.spec.moduleAddress, 0x08u);
    EXPECT_EQ(d.spec.routerAddress, 0x02u);
    EXPECT_EQ(d.spec.routerSerialNumber, routerSerial);
    EXPECT_EQ(d.spec.t.usb.usbId, routerSerial) << "the router's transport part";
    EXPECT_EQ(d.networkAddress, 0x08u);
    EXPECT_EQ(d.build, 77u);
    EXPECT_EQ(d.modelName, "TF-Pico");
    EXPECT_EQ(display.errors, std::vector<std::string>{});

    std::vector<unsigned> probed;
    for (const auto& t : bus->transfers())
        probed.push_back(t.address);
    ASSERT_EQ(probed.size(), 125u) << "every even address but 0, 254 and the router's own";
    EXPECT_EQ(probed.front(), 0x04u);
    EXPECT_EQ(probed.back(), 252u);
}

TEST_F(Listing, NoRouterGivesAnEmptyListSilently) {
    EXPECT_TRUE(updater.Discover_TFNetwork_Devices(nextSerial(), USB).empty());
    EXPECT_EQ(display.errors, std::vector<std::string>{});
}

} // namespace
