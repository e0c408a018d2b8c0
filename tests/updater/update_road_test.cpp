// The update road end to end over the fake libusb: the written image against the file's
// firmware with the serial number patched, the store's record, and the failures' exact lines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "ApiTest.h"
#include "BirdBuilder.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "Tessaform-C.h"
#include "Updater.h"
#include "fakeusb.h"
#include "tfsim/SystemEntity.h"
#include "tfsim/UpgradeEntity.h"

using namespace apitest;
using tftest::Bytes;

namespace {

constexpr uint32_t kFirmwareAt = 0x00010000;
constexpr uint32_t kSerialAt = 0x00010100;
constexpr const char* kNoServer = "http://127.0.0.1:9/cgi/u";

struct UsbModule {
    UsbModule() : serial(nextSerial()) {
        fakeusb_reset();
        sim.add(std::make_shared<tfsim::SystemEntity>(
            tfsim::Identity{.module = 0x06, .model = 4, .serial = serial}));
        upgrade = sim.add(std::make_shared<tfsim::UpgradeEntity>());
        upgrade->setLink(&sim);
        std::snprintf(text, sizeof text, "%08X", serial);
        fakeusb_device_config config;
        fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, 0x0100, text);
        config.backing_port = sim.port();
        device = fakeusb_add_device(&config);
    }
    ~UsbModule() { fakeusb_reset(); }

    uint32_t serial;
    char text[16] = "";
    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    std::shared_ptr<tfsim::UpgradeEntity> upgrade;
    fakeusb_device* device = nullptr;
};

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class UpdateRoad : public testing::Test {
  protected:
    // A file with a loader, a firmware block holding the serial-number place, and a descriptor.
    std::string writeBird(const std::string& model = "TF-Hub2") {
        tftest::BirdImage image;
        image.loader(0x20000000, loader)
            .firmware(kFirmwareAt, firmware)
            .serialOffsets(kSerialAt, 0)
            .descriptor("1234", "2.10.4", "00000000", model);
        const Bytes bytes = tftest::birdFile(image.image());
        return dir.write("fw.bird", std::string(bytes.begin(), bytes.end()));
    }

    // The firmware as the module must hold it: its serial number patched in.
    Bytes patched() const {
        Bytes expected = firmware;
        const size_t at = kSerialAt - kFirmwareAt;
        for (size_t i = 0; i < 4; i++)
            expected[at + i] = static_cast<uint8_t>(module.serial >> (8 * i));
        return expected;
    }

    UsbModule module;
    tftest::TempDir dir;
    tftest::RecordingDisplay display;
    Updater updater{kNoServer, (dir / "store").c_str(), display};
    const Bytes loader = tftest::randomBytes(100, 1);
    const Bytes firmware = tftest::randomBytes(3000, 2);
};

TEST_F(UpdateRoad, WritesThePatchedFirmwareAndRecordsTheTransfer) {
    ASSERT_NE(module.device, nullptr);
    const std::string path = writeBird();
    ASSERT_TRUE(updater.Update_Firmware(module.serial, 0, path, 0, 0, false))
        << (display.errors.empty() ? "" : display.errors.back());
    EXPECT_EQ(module.upgrade->image(kFirmwareAt), patched());
    const auto blocks = module.upgrade->blocks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.front().received, loader);
    const std::string settings =
        readAll(dir / (std::string("store/") + module.text + "/.settings"));
    EXPECT_NE(settings.find("LATEST_TRANSFER=" + path + "\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_TRANSFER_DATE="), std::string::npos) << settings;
}

// A module that answers LOAD and leaves the bus a moment later, coming back as itself or as a
// loader without an identity: the firmware goes to the loader, not to the module on its way
// out.
struct LoaderReturn {
    const char* name;
    bool asLoader;
    std::chrono::milliseconds lag;
};

void PrintTo(const LoaderReturn& c, std::ostream* os) {
    *os << c.name;
}

class UpdateRoadLoaderRestart : public UpdateRoad,
                                public testing::WithParamInterface<LoaderReturn> {};

TEST_P(UpdateRoadLoaderRestart, FirmwareGoesToTheReturnedLoader) {
    const LoaderReturn& c = GetParam();
    ASSERT_NE(module.device, nullptr);
    fakeusb_device_config config;
    fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, 0x0100, module.text);
    config.backing_port = module.sim.port();
    const std::string returning = c.asLoader ? "DEADDEAD" : module.text;
    fakeusb_device* device = module.device;
    module.upgrade->setLoad(tfsim::UpgradeEntity::Load::ReplyThenRestart,
                            std::chrono::milliseconds(800), c.lag);
    module.upgrade->onRestart([device] { fakeusb_unplug(device); },
                              [device, config, returning]() mutable {
                                  config.serial = returning.c_str();
                                  fakeusb_reconfigure(device, &config);
                                  fakeusb_plug(device);
                              });
    ASSERT_TRUE(updater.Update_Firmware(module.serial, 0, writeBird(), 0, 0, false))
        << (display.errors.empty() ? "" : display.errors.back());
    EXPECT_EQ(module.upgrade->image(kFirmwareAt), patched());
    EXPECT_EQ(module.upgrade->requests(tfsim::upgrade::kLoad), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Lags, UpdateRoadLoaderRestart,
    testing::Values(LoaderReturn{"AsItselfAtOnce", false, std::chrono::milliseconds(1)},
                    LoaderReturn{"AsItselfAfterAWhile", false, std::chrono::milliseconds(400)},
                    LoaderReturn{"AsTheLoaderAtOnce", true, std::chrono::milliseconds(1)},
                    LoaderReturn{"AsTheLoaderAfterAWhile", true, std::chrono::milliseconds(400)}),
    [](const testing::TestParamInfo<LoaderReturn>& p) { return std::string(p.param.name); });

// A loader with a block missing is never started, and the road ends.
TEST_F(UpdateRoad, FailedLoaderBlockIsNotStarted) {
    tfsim::Fault silent{.command = 0x5F, .option = tfsim::upgrade::kData, .silent = true};
    module.upgrade->addFault(silent);
    EXPECT_FALSE(updater.Update_Firmware(module.serial, 0, writeBird(), 0, 0, false));
    EXPECT_EQ(module.upgrade->requests(tfsim::upgrade::kLoad), 0u);
    EXPECT_EQ(module.upgrade->requests(tfsim::upgrade::kReboot), 0u);
    EXPECT_TRUE(module.upgrade->image(kFirmwareAt).empty());
}

struct FailureCase {
    const char* name;
    std::string model;
    bool override;
    const char* error; // the last error line shown
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateRoadFailures : public UpdateRoad, public testing::WithParamInterface<FailureCase> {};

TEST_P(UpdateRoadFailures, EndWithTheirLine) {
    const FailureCase& c = GetParam();
    const std::string path = writeBird(c.model);
    EXPECT_EQ(updater.Update_Firmware(module.serial, 0, path, 0, 0, c.override), c.override);
    if (c.error == nullptr) {
        EXPECT_TRUE(display.errors.empty());
    } else {
        ASSERT_FALSE(display.errors.empty());
        EXPECT_EQ(display.errors.back(), c.error);
        EXPECT_TRUE(module.upgrade->image(kFirmwareAt).empty()) << "nothing written";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, UpdateRoadFailures,
    testing::Values(FailureCase{"OtherModel", "TF-Pico", false, "Birdfile failed validation"},
                    FailureCase{"OverrideSkipsTheCheck", "TF-Pico", true, nullptr}),
    [](const testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

TEST_F(UpdateRoad, RefusesWithoutSerialOrBuild) {
    EXPECT_FALSE(updater.Update_Firmware(0, 0, "", 0, 0, false));
    EXPECT_EQ(display.errors.back(), "Update command must specify the specific device");
    EXPECT_FALSE(updater.Update_Firmware(module.serial, 0, "", 0, 0, false));
    EXPECT_EQ(display.errors.back(), "Could not find valid build for this device.");
    EXPECT_FALSE(updater.Update_Firmware(module.serial, 55, "", 0, 0, false));
    EXPECT_EQ(display.errors.back(), "Failed to load bird file");
}

TEST_F(UpdateRoad, ModuleNotOnAnyLink) {
    fakeusb_unplug(module.device);
    EXPECT_FALSE(updater.Update_Firmware(module.serial, 0, writeBird(), 0, 0, false));
    char line[64];
    std::snprintf(line, sizeof line, "Failed to connect to module [%s]", module.text);
    EXPECT_EQ(display.errors.back(), line);
}

} // namespace
