// Recovery and fingerprints against the simulated boot ROMs: an LPC chip on a pty, and an i.MX
// chip over the fake hidapi or on a pty whose recovery loader then appears on the fake libusb;
// the fixture update server names the module and build of a fingerprint.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FixtureUpdateServer.h"
#include "LogCapture.h"
#include "RecordingDisplay.h"
#include "RecoveryFixtures.h"
#include "Tessaform-C.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "fakehid.h"
#include "fakeusb.h"

namespace {

using namespace tftest;

Words idOf(const Fingerprint& f) {
    return {f.id[0], f.id[1], f.id[2], f.id[3]};
}

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

// An updater over a store of its own and a fixture server that holds `builds`.
class RecoveryTest : public testing::Test {
  protected:
    void SetUp() override {
        fakeusb_reset();
        fakehid_reset();
    }
    void TearDown() override {
        updater.reset();
        fakeusb_reset();
        fakehid_reset();
    }
    void serve(const std::vector<ServedBuild>& builds, const std::vector<ServedFix>& fixes = {}) {
        server = std::make_unique<tftest::FixtureUpdateServer>(
            tftest::FixtureServerOptions{.builds = serverBuilds(builds, fixes)});
        updater = std::make_unique<Updater>(server->url().c_str(), store.c_str(), display);
    }
    std::string file(const std::string& name, const BirdImage& image) {
        return dir.write(name, tftest::asText(tftest::birdFile(image.image())));
    }
    // Recovery loads its firmware through the update road's loader; without it the flashing
    // cases have nothing to test.
    bool updateRoadBuilt() {
        const std::string probe = file("probe.bird", BirdImage().firmware(0, {1, 2, 3, 4}));
        try {
            return updater->load_bird("probe", probe, 1, 0, false).BlockCount() > 0;
        } catch (const std::runtime_error&) {
            return false;
        }
    }
    bool askedFor(const std::string& text) const { return contains(server->requests(), text); }

    tftest::TempDir dir;
    std::string store = dir / "store";
    tftest::RecordingDisplay display;
    std::unique_ptr<tftest::FixtureUpdateServer> server;
    std::unique_ptr<Updater> updater;
};

// ---- LPC ------------------------------------------------------------------------------------

class LpcRates : public RecoveryTest, public testing::WithParamInterface<unsigned> {};

TEST_P(LpcRates, FingerprintIsTheSerialNumberInReadingOrder) {
    serve({});
    lpcsim::LpcPty chip;
    Fingerprint out;
    ASSERT_TRUE(
        updater->Get_Fingerprint(out, chip.slavePath(), kLoaderSerial, "", GetParam(), true));
    EXPECT_EQ(idOf(out), kLpcId);
    EXPECT_EQ(updater->ChipFamily(), 2);
    EXPECT_EQ(chip.withChip([](lpcsim::Chip& c) { return c.lockedRate(); }), GetParam());
    EXPECT_TRUE(server->requests().empty()) << "an LPC fingerprint needs no server";
}

// The server names the module and build of the fingerprint; the chip is flashed at the rate
// it was synced at, whatever that rate is.
TEST_P(LpcRates, RecoversWhatTheServerNames) {
    const LpcFirmware firmware;
    serve({{kModuleSerial, "42", tftest::birdFile(firmware.image().image())}},
          {{kLpcId, "000012AB", "42"}});
    if (!updateRoadBuilt()) GTEST_SKIP() << "the update road is not in this build";
    lpcsim::LpcPty chip;
    ASSERT_TRUE(updater->Recover_Firmware(chip.slavePath(), 0, GetParam(), 0, "", false))
        << testing::PrintToString(display.errors);
    EXPECT_EQ(flashAt(chip, 0x0000, firmware.first.size()), firmware.first);
    EXPECT_EQ(flashAt(chip, 0x8000, firmware.second.size()), firmware.second);
    chip.withChip([&](lpcsim::Chip& c) {
        EXPECT_EQ(c.lockedRate(), GetParam());
        EXPECT_EQ(c.garbledBytes(), 0u);
        EXPECT_TRUE(c.running());
        EXPECT_EQ(c.startAddress(), 0u);
        EXPECT_EQ(c.syncCount(), 1) << "one handshake per reset";
    });
    EXPECT_TRUE(askedFor("op=fix"));
    EXPECT_TRUE(askedFor("sn=000012AB"));
    EXPECT_TRUE(contains(display.infos, "Update time: "));
    EXPECT_TRUE(display.errors.empty()) << display.errors.front();
}

INSTANTIATE_TEST_SUITE_P(Rates, LpcRates, testing::Values(115200u, 57600u, 9600u));

TEST_F(RecoveryTest, LpcRecoveryFromAFileAsksTheServerNothing) {
    serve({});
    if (!updateRoadBuilt()) GTEST_SKIP() << "the update road is not in this build";
    const LpcFirmware firmware;
    lpcsim::LpcPty chip;
    ASSERT_TRUE(updater->Recover_Firmware(chip.slavePath(), 0, 115200, 0,
                                          file("given.bird", firmware.image()), false));
    EXPECT_EQ(flashAt(chip, 0x8000, firmware.second.size()), firmware.second);
    EXPECT_TRUE(server->requests().empty());
}

// Every way recovery can fail on the LPC road ends with its error line, nothing written where
// it says so, and no hang.
struct LpcFailure {
    const char* name;
    std::vector<ServedFix> fixes;
    bool withFile;       // -f with a file of serial-number offsets
    const char* missing; // -f naming a file that does not exist
    char refused;        // a command the chip answers with an error
    const char* error;
    bool flashTouched;
    bool pastTheLoad; // the file was loaded before the failure
};

void PrintTo(const LpcFailure& c, std::ostream* os) {
    *os << c.name;
}

class LpcFailures : public RecoveryTest, public testing::WithParamInterface<LpcFailure> {};

TEST_P(LpcFailures, EndWithAnErrorLine) {
    const LpcFailure& c = GetParam();
    const LpcFirmware firmware;
    serve({{kModuleSerial, "42", tftest::birdFile(firmware.image().image())}}, c.fixes);
    if (c.pastTheLoad && !updateRoadBuilt()) GTEST_SKIP() << "the update road is not in this build";
    lpcsim::Faults faults;
    if (c.refused) faults.returnCode[c.refused] = 9;
    lpcsim::LpcPty chip(faults);
    std::string given;
    if (c.withFile) given = file("offsets.bird", firmware.image().serialOffsets(16, 20));
    if (c.missing) given = c.missing;

    EXPECT_FALSE(updater->Recover_Firmware(chip.slavePath(), 0, 115200, 0, given, false));
    EXPECT_TRUE(contains(display.errors, c.error)) << testing::PrintToString(display.errors);
    const auto commands = chip.withChip([](lpcsim::Chip& rom) { return rom.commands(); });
    EXPECT_EQ(contains(commands, "E 0 29"), c.flashTouched);
    EXPECT_FALSE(askedFor("sn=00000000")) << "the server is never asked for module 0";
}

INSTANTIATE_TEST_SUITE_P(
    Lpc, LpcFailures,
    testing::Values(LpcFailure{"UnknownFingerprint",
                               {},
                               false,
                               nullptr,
                               0,
                               "Failed to retrieve recovery information from Keldoran server",
                               false,
                               false},
                    LpcFailure{"ServerNamesModuleZero",
                               {{kLpcId, "00000000", "42"}},
                               false,
                               nullptr,
                               0,
                               "Failed to retrieve recovery information from Keldoran server",
                               false,
                               false},
                    LpcFailure{"FileWithSerialOffsets",
                               {},
                               true,
                               nullptr,
                               0,
                               "Updater does not support offline recovery",
                               false,
                               true},
                    LpcFailure{"MissingFile",
                               {},
                               false,
                               "/nonexistent/x.bird",
                               0,
                               "Failed to load bird file",
                               false,
                               false},
                    LpcFailure{"EraseRefused",
                               {{kLpcId, "000012AB", "42"}},
                               false,
                               nullptr,
                               'E',
                               "could not erase",
                               true,
                               true}),
    [](const testing::TestParamInfo<LpcFailure>& p) { return p.param.name; });

// ---- i.MX -----------------------------------------------------------------------------------

// The boot ROM and its loader, with the loader on this process's fake libusb (as 0xDEADDEAD,
// or as the module it was built for) from the ROM's jump on, and the ROM behind its fake hidapi.
struct ImxChip : ImxBootSim {
    explicit ImxChip(ImxPort kind, const TempDir& dir, const char* usbSerial = "DEADDEAD")
        : ImxBootSim(kind, dir) {
        if (hid) fakehid_add_device(kImxVendor, kImxProduct, hid->path().c_str());
        fakeusb_device_config config;
        fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, 0x0100, usbSerial);
        config.backing_port = loader.port();
        usb = fakeusb_add_device(&config);
        fakeusb_unplug(usb);
        rom.onJump([this](uint32_t) { fakeusb_plug(usb); });
    }
    fakeusb_device* usb = nullptr;
};

// How the loader reaches the store, where it starts, and over which port.
struct ImxRead {
    const char* name;
    ImxPort port;
    bool stored;    // in the store as 0xDEADDEAD's LATEST_DOWNLOAD; else downloaded
    uint32_t entry; // 0: the file has no entry block
    uint32_t jump;
};

void PrintTo(const ImxRead& c, std::ostream* os) {
    *os << c.name;
}

class ImxReads : public RecoveryTest, public testing::WithParamInterface<ImxRead> {};

TEST_P(ImxReads, BootTheLoaderAndReadItsIdentity) {
    const ImxRead& c = GetParam();
    BirdImage image = loaderImage();
    if (c.entry) image.entry(c.entry);
    const Bytes bird = tftest::birdFile(image.image());
    serve(c.stored ? std::vector<ServedBuild>{}
                   : std::vector<ServedBuild>{{kLoaderSerial, "3", bird}});
    if (c.stored) {
        UpdaterStore opened(store.c_str());
        UpdaterStoreItem item = opened.AddDevice(kLoaderSerial);
        ASSERT_EQ(item.WriteFile("3.bird", bird.data(), bird.size()), aErrNone);
        item.Attributes().Add("LATEST_DOWNLOAD", "3.bird");
        ASSERT_TRUE(item.SaveAttributes());
    }
    ImxChip chip(c.port, dir);

    Fingerprint out;
    ASSERT_TRUE(updater->Get_Fingerprint(out, chip.port, kLoaderSerial, "", 115200, true));
    EXPECT_EQ(idOf(out), kImxId);
    EXPECT_EQ(updater->ChipFamily(), 1);
    EXPECT_EQ(chip.rom.memory(kLoaderAddress, kLoaderCode.size()), kLoaderCode);
    EXPECT_EQ(chip.rom.jumps(), std::vector<uint32_t>{c.jump});
    EXPECT_EQ(chip.system->resets(), 1u) << "-N reboots the loader";
    // The download runs muted, and the display speaks again afterwards.
    EXPECT_TRUE(display.infos.empty()) << display.infos.front();
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "after");
    EXPECT_EQ(display.infos, std::vector<std::string>{"after"});
}

INSTANTIATE_TEST_SUITE_P(
    Imx, ImxReads,
    testing::Values(ImxRead{"StoredOverHid", ImxPort::Hid, true, 0, 0x20000400},
                    ImxRead{"DownloadedOverHid", ImxPort::Hid, false, 0x20000800, 0x20000800},
                    ImxRead{"StoredOverSerial", ImxPort::Serial, true, 0x20000100, 0x20000100}),
    [](const testing::TestParamInfo<ImxRead>& p) { return p.param.name; });

class ImxPorts : public RecoveryTest, public testing::WithParamInterface<ImxPort> {};

// The server names the module and build of the loader's identity; the firmware goes to the
// loader through the upgrade protocol.
TEST_P(ImxPorts, RecoversWhatTheServerNames) {
    const Bytes loaderBird = tftest::birdFile(loaderImage().image());
    const Bytes firmwareBird =
        tftest::birdFile(BirdImage().firmware(kFirmwareAddress, kFirmwareCode).image());
    serve({{kLoaderSerial, "3", loaderBird}, {kModuleSerial, "42", firmwareBird}},
          {{kImxId, "000012AB", "42"}});
    if (!updateRoadBuilt()) GTEST_SKIP() << "the update road is not in this build";
    ImxChip chip(GetParam(), dir);
    ASSERT_TRUE(updater->Recover_Firmware(chip.port, 0, 115200, 0, "", false))
        << testing::PrintToString(display.errors);
    EXPECT_EQ(chip.upgrade->image(kFirmwareAddress), kFirmwareCode);
    EXPECT_EQ(chip.system->resets(), 0u) << "recovery keeps the loader running for the firmware";
    EXPECT_TRUE(askedFor("op=fix"));
    EXPECT_TRUE(askedFor("sn=000012AB"));
    EXPECT_TRUE(contains(display.infos, "Update time: "));
}

INSTANTIATE_TEST_SUITE_P(Imx, ImxPorts, testing::Values(ImxPort::Hid, ImxPort::Serial),
                         [](const testing::TestParamInfo<ImxPort>& p) {
                             return p.param == ImxPort::Hid ? "Hid" : "Serial";
                         });

// With a file and a serial number, the file is both the loader and the firmware, and the
// server is not asked.
TEST_F(RecoveryTest, ImxRecoveryFromAFileAsksTheServerNothing) {
    serve({});
    if (!updateRoadBuilt()) GTEST_SKIP() << "the update road is not in this build";
    ImxChip chip(ImxPort::Hid, dir, "00004321");
    const std::string given =
        file("both.bird", loaderImage().firmware(kFirmwareAddress, kFirmwareCode));
    ASSERT_TRUE(updater->Recover_Firmware(chip.port, 0, 115200, 0x4321, given, false))
        << testing::PrintToString(display.errors);
    EXPECT_EQ(chip.upgrade->image(kFirmwareAddress), kFirmwareCode);
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(RecoveryTest, ImxFingerprintWithAFileNeedsASerialNumber) {
    serve({});
    ImxChip chip(ImxPort::Hid, dir);
    Fingerprint out;
    EXPECT_FALSE(updater->Get_Fingerprint(out, "USB", kLoaderSerial, file("l.bird", loaderImage()),
                                          115200, true));
    EXPECT_EQ(display.errors,
              std::vector<std::string>{"Add serial number or remove the bird "
                                       "filename to use a default recovery image."});
    EXPECT_TRUE(chip.rom.commands().empty());
}

// A loader that cannot be had fails the read with nothing booted; the display is never left
// muted, and a name with format directives is logged as it is.
TEST_F(RecoveryTest, ImxLoaderThatCannotBeLoaded) {
    serve({});
    ImxChip chip(ImxPort::Hid, dir);
    {
        tftest::LogCapture log(DEBUG_APP);
        EXPECT_FALSE(updater->Recover_Firmware("USB", 0, 115200, 0, "", false));
        EXPECT_NE(log.text().find("Existing loader device not found. Downloading."),
                  std::string::npos);
    }
    EXPECT_EQ(display.errors, std::vector<std::string>{"Could not get Device Identifier"})
        << "the error after the muted download must be shown";
    EXPECT_FALSE(askedFor("sn=00000000"));

    UpdaterStore opened(store.c_str());
    UpdaterStoreItem item = opened.AddDevice(kLoaderSerial);
    item.Attributes().Add("LATEST_DOWNLOAD", "100%n%s%s.bird");
    ASSERT_TRUE(item.SaveAttributes());
    tftest::LogCapture log(DEBUG_APP);
    Fingerprint out;
    EXPECT_FALSE(updater->Get_Fingerprint(out, "USB", 0, "", 115200, true));
    EXPECT_NE(log.text().find("100%n%s%s.bird"), std::string::npos) << log.text();
    EXPECT_TRUE(chip.rom.commands().empty());
}

} // namespace
