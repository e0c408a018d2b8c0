// Fingerprints and recovery through the updater program: the simulated LPC boot ROM on a pty,
// the i.MX boot ROM behind the preloaded fake hidapi or on a pty, the recovery loader on the
// program's fake libusb from the ROM's jump on, and the fixture update server.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "FixtureUpdateServer.h"
#include "RecoveryFixtures.h"
#include "UpdaterE2E.h"
#include "fakeusb_remote.h"

namespace {

using namespace tftest;

// The vendor id the USB transport looks for: the maker's own, as every module presents it.
constexpr uint16_t kTessaformVendor = 0x3A7F;

std::string fingerprintLine(const Words& id) {
    return "[ " + words(id) + " ]";
}

// The recovery's closing line carries its duration ("%.4f" seconds); the rest of the output
// is exact.
bool isUpdateTime(const std::string& line) {
    const std::string head = "Update time: ", tail = " sec";
    if (line.size() <= head.size() + tail.size() || line.rfind(head, 0) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string number = line.substr(head.size(), line.size() - head.size() - tail.size());
    const size_t point = number.find('.');
    return point != std::string::npos && point > 0 && number.size() - point == 5 &&
           number.find_first_not_of("0123456789.") == std::string::npos &&
           number.find('.', point + 1) == std::string::npos;
}

std::vector<std::string> timed(std::vector<std::string> lines) {
    for (std::string& line : lines)
        if (isUpdateTime(line)) line = "Update time: <t> sec";
    return lines;
}

// The fake libusb of one program run, driven from the test's thread and from the ROM's, which
// plugs the loader in at its jump.
class Bus {
  public:
    explicit Bus(const std::filesystem::path& directory) : remote_(directory) {}
    template <typename F> auto with(F f) {
        std::lock_guard lock(mutex_);
        return f(remote_);
    }

  private:
    std::mutex mutex_;
    fakeusb::Remote remote_;
};

// The i.MX chip for a program run: its ROM behind the program's fake hidapi, and its loader
// on the program's fake bus, unplugged until the ROM jumps to it.
class ImxChip : public ImxBootSim {
  public:
    ImxChip(ImxPort kind, const TempDir& dir, Bus& bus, const char* usbSerial, bool appears = true)
        : ImxBootSim(kind, dir), bus_(bus) {
        fakeusb_device_config usb = fakeusb::defaultConfig(kTessaformVendor, 0x0100, usbSerial);
        usb.backing_port = loader.port();
        bus_.with([&](fakeusb::Remote& remote) {
            device_ = remote.addDevice(usb);
            if (device_ == 0 || !remote.unplug(device_))
                ADD_FAILURE() << "fake bus: " << remote.error();
        });
        if (!appears) return;
        rom.onJump([this](uint32_t) {
            const bool plugged =
                bus_.with([this](fakeusb::Remote& remote) { return remote.plug(device_); });
            plugged_ = plugged;
        });
    }
    // "FAKEHID_DEVICES=..." for the program, when the ROM is on HID.
    std::vector<std::string> environment() const {
        if (!hid) return {};
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x:", kImxVendor, kImxProduct);
        return {"FAKEHID_DEVICES=" + std::string(ids) + hid->path()};
    }
    bool plugged() const { return plugged_; }

  private:
    Bus& bus_;
    fakeusb::RemoteDevice device_ = 0;
    std::atomic<bool> plugged_{false};
};

class RecoverE2E : public UpdaterE2E {
  protected:
    void serve(const std::vector<ServedBuild>& builds, const std::vector<ServedFix>& fixes = {},
               const std::string& fault = "") {
        server_ = std::make_unique<FixtureUpdateServer>(
            FixtureServerOptions{.fault = fault, .builds = serverBuilds(builds, fixes)});
    }
    std::string file(const std::string& name, const BirdImage& image) const {
        return files_.write(name, asText(birdFile(image.image())));
    }
    // The run with the store, the fixture server and the chip's environment.
    UpdaterResult runOn(std::vector<std::string> args, const std::vector<std::string>& chipEnv) {
        args.insert(args.end(), {"-u", server_->url()});
        extraEnvironment_ = chipEnv;
        extraEnvironment_.push_back(bus_.with([](fakeusb::Remote& r) { return r.environment(); }));
        return run(withStore(args));
    }
    std::string stored(uint32_t serial, const std::string& name) const {
        return (store_.path() / "updater" / deviceDirectory(serial) / name).string();
    }
    // The store keeps each device under its serial number in hex.
    static std::string deviceDirectory(uint32_t serial) {
        char name[9];
        std::snprintf(name, sizeof name, "%08X", serial);
        return name;
    }
    bool askedFor(const std::string& text) const {
        for (const std::string& r : server_->requests())
            if (r.find(text) != std::string::npos) return true;
        return false;
    }
    // The program released what it took of the fake libusb and misused none of it.
    void expectCleanBus() {
        std::string error;
        const std::optional<fakeusb::Snapshot> s = bus_.with([&](fakeusb::Remote& remote) {
            auto snapshot = remote.snapshot();
            error = remote.error();
            return snapshot;
        });
        ASSERT_TRUE(s) << error;
        EXPECT_EQ(s->misuse, 0u);
        EXPECT_EQ(s->openHandles, 0u);
    }

    TempDir files_;
    TempDir busDir_;
    Bus bus_{busDir_.path()};
    std::unique_ptr<FixtureUpdateServer> server_;
};

// What recovery shows while it fetches a build from the server for the chip.
std::vector<std::string> fetching(const std::string& build) {
    return {"Recovering firmware with build: " + build, "Downloading firmware build " + build,
            "Retrieving build " + build, "Validating build " + build + " with server",
            "Build " + build + " is valid"};
}
const std::vector<std::string> kLoadsBuild42 = fetching("42");

// ---- LPC ------------------------------------------------------------------------------------

class LpcFingerprint : public RecoverE2E, public testing::WithParamInterface<unsigned> {};

// -N reads the chip at the -o rate (115200 without it) and needs no server.
TEST_P(LpcFingerprint, PrintsTheSerialNumberWords) {
    serve({});
    lpcsim::LpcPty chip;
    std::vector<std::string> args = {"-N", "-s", chip.slavePath()};
    if (GetParam() != 115200) args.insert(args.end(), {"-o", std::to_string(GetParam())});
    const UpdaterResult r = runOn(args, {});
    EXPECT_EQ(r.outLines(), (std::vector<std::string>{VERSION_LINE, fingerprintLine(kLpcId)}));
    EXPECT_EQ(r.errLines(), std::vector<std::string>{});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(chip.withChip([](lpcsim::Chip& c) { return c.lockedRate(); }), GetParam());
    EXPECT_TRUE(server_->requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Rates, LpcFingerprint, testing::Values(115200u, 9600u));

struct LpcRecovery {
    const char* name;
    std::vector<std::string> options; // besides -U -t RECOVER -s <port>
    unsigned rate = 115200;           // as -o gives it
    bool fromFile = false;            // -f with the firmware; else the server names the module
    const char* build = "42";         // the build flashed: the server's, or -b's
};

void PrintTo(const LpcRecovery& c, std::ostream* os) {
    *os << c.name;
}

class LpcRecoveries : public RecoverE2E, public testing::WithParamInterface<LpcRecovery> {};

// The chip's flash holds the firmware at its addresses and the chip runs it.
TEST_P(LpcRecoveries, FlashTheFirmware) {
    const LpcRecovery& c = GetParam();
    const LpcFirmware latest;
    const LpcFirmware older{randomBytes(5000, 3), randomBytes(10000, 4)};
    serve({{kModuleSerial, "42", birdFile(latest.image().image())},
           {kModuleSerial, "41", birdFile(older.image().image())}},
          {{kLpcId, "000012AB", "42"}});
    const LpcFirmware& firmware = std::string(c.build) == "41" ? older : latest;
    lpcsim::LpcPty chip;
    std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", chip.slavePath()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::string given;
    if (c.fromFile) {
        given = file("given.bird", firmware.image());
        args.insert(args.end(), {"-f", given});
    }
    const UpdaterResult r = runOn(args, {});

    std::vector<std::string> expected = {VERSION_LINE};
    if (std::find(args.begin(), args.end(), "-N") != args.end())
        expected.push_back(fingerprintLine(kLpcId));
    if (c.fromFile) {
        expected.push_back("Recovering from Birdfile: " + given);
    } else {
        const std::vector<std::string> loads = fetching(c.build);
        expected.insert(expected.end(), loads.begin(), loads.end());
    }
    expected.insert(expected.end(), {"Transferring firmware block 1 of 2, 5000 bytes",
                                     "Transferring firmware block 2 of 2, 10000 bytes",
                                     "Transferred 2 blocks, 15000 total bytes", "Rebooting Device",
                                     "Update time: <t> sec"});
    EXPECT_EQ(timed(r.outLines()), expected);
    EXPECT_EQ(r.errLines(), std::vector<std::string>{});
    EXPECT_EQ(r.status, 0);

    EXPECT_EQ(flashAt(chip, 0x0000, firmware.first.size()), firmware.first);
    EXPECT_EQ(flashAt(chip, 0x8000, firmware.second.size()), firmware.second);
    chip.withChip([&](lpcsim::Chip& rom) {
        EXPECT_EQ(rom.lockedRate(), c.rate);
        EXPECT_EQ(rom.garbledBytes(), 0u);
        EXPECT_TRUE(rom.running());
        EXPECT_EQ(rom.startAddress(), 0u);
    });
    if (c.fromFile) {
        EXPECT_TRUE(server_->requests().empty());
    } else {
        EXPECT_TRUE(askedFor("op=fix"));
        EXPECT_TRUE(askedFor("sn=000012AB"));
        EXPECT_TRUE(std::filesystem::exists(stored(kModuleSerial, c.build + std::string(".bird"))));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lpc, LpcRecoveries,
    testing::Values(LpcRecovery{.name = "WhatTheServerNames"},
                    LpcRecovery{
                        .name = "AtTheGivenRate", .options = {"-o", "57600"}, .rate = 57600},
                    // The server still names the module; the build is the one asked for.
                    LpcRecovery{.name = "AGivenBuild", .options = {"-b", "41"}, .build = "41"},
                    LpcRecovery{.name = "FromAFile", .fromFile = true},
                    // -N leaves the chip in its boot ROM, synced, for the recovery that follows.
                    LpcRecovery{.name = "AfterItsFingerprint", .options = {"-N"}}),
    [](const testing::TestParamInfo<LpcRecovery>& p) { return p.param.name; });

// A recovery cut short after the chip's echo went off leaves the chip synced and silent about
// what it is sent; the user's next run must still get through.
TEST_F(RecoverE2E, LpcRecoveryCanBeRunAgainAfterAFailedOne) {
    const LpcFirmware firmware;
    serve({{kModuleSerial, "42", birdFile(firmware.image().image())}},
          {{kLpcId, "000012AB", "42"}});
    lpcsim::LpcPty chip(lpcsim::Faults{.returnCode = {{'C', 9}}});
    const std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", chip.slavePath()};
    UpdaterResult r = runOn(args, {});
    EXPECT_EQ(r.errLines(), std::vector<std::string>{
                                "Recovery Error: could not transfer to flash ==> [2, aErrParam]"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(chip.withChip([](lpcsim::Chip& c) { return c.echo(); }));

    chip.withChip([](lpcsim::Chip& c) { c.faults().returnCode.clear(); });
    r = runOn(args, {});
    EXPECT_EQ(r.errLines(), std::vector<std::string>{});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(flashAt(chip, 0x0000, firmware.first.size()), firmware.first);
    EXPECT_EQ(flashAt(chip, 0x8000, firmware.second.size()), firmware.second);
    EXPECT_TRUE(chip.withChip([](lpcsim::Chip& c) { return c.running(); }));
}

// ---- i.MX -----------------------------------------------------------------------------------

const char* portName(ImxPort port) {
    return port == ImxPort::Hid ? "Hid" : "Serial";
}

class ImxFingerprint : public RecoverE2E, public testing::WithParamInterface<ImxPort> {};

// With no loader stored, -N fetches 0xDEADDEAD's latest build without a word, boots it, reads
// the identity over USB, and reboots the loader.
TEST_P(ImxFingerprint, BootsTheLoaderAndPrintsItsIdentity) {
    serve({{kLoaderSerial, "3", birdFile(loaderImage().image())}});
    ImxChip chip(GetParam(), files_, bus_, "DEADDEAD");
    const UpdaterResult r = runOn({"-N", "-s", chip.port}, chip.environment());
    EXPECT_EQ(r.outLines(), (std::vector<std::string>{VERSION_LINE, fingerprintLine(kImxId)}));
    EXPECT_EQ(r.errLines(), std::vector<std::string>{});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(chip.rom.memory(kLoaderAddress, kLoaderCode.size()), kLoaderCode);
    EXPECT_EQ(chip.rom.jumps(), std::vector<uint32_t>{0x20000400});
    EXPECT_TRUE(chip.plugged());
    EXPECT_EQ(chip.system->resets(), 1u);
    EXPECT_TRUE(std::filesystem::exists(stored(kLoaderSerial, "3.bird")));
    expectCleanBus();
}

INSTANTIATE_TEST_SUITE_P(Imx, ImxFingerprint, testing::Values(ImxPort::Hid, ImxPort::Serial),
                         [](const testing::TestParamInfo<ImxPort>& p) {
                             return portName(p.param);
                         });

// The loader a first run fetched is in the store for the next: the server is not asked again.
TEST_F(RecoverE2E, AStoredLoaderIsNotFetchedAgain) {
    serve({{kLoaderSerial, "3", birdFile(loaderImage().image())}});
    std::vector<std::string> requests;
    for (int runs = 0; runs < 2; runs++) {
        // A chip and a fake bus for each run: the ROM is silent after its jump.
        TempDir busDirectory;
        Bus bus(busDirectory.path());
        ImxChip chip(ImxPort::Hid, files_, bus, "DEADDEAD");
        extraEnvironment_ = chip.environment();
        extraEnvironment_.push_back(bus.with([](fakeusb::Remote& r) { return r.environment(); }));
        const UpdaterResult r = run(withStore({"-N", "-s", "USB", "-u", server_->url()}));
        EXPECT_EQ(r.outLines(), (std::vector<std::string>{VERSION_LINE, fingerprintLine(kImxId)}));
        EXPECT_EQ(r.errLines(), std::vector<std::string>{});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(chip.rom.memory(kLoaderAddress, kLoaderCode.size()), kLoaderCode);
        if (runs == 0) requests = server_->requests();
    }
    EXPECT_FALSE(requests.empty());
    EXPECT_EQ(server_->requests(), requests);
}

struct ImxRecovery {
    const char* name;
    ImxPort port;
    const char* usbSerial; // how the loader answers on USB
    bool fromFile;         // -d 12AB -f with loader and firmware in one file; no server
    bool packets = false;  // -m 0: the firmware as data packets, not byte buffers
};

void PrintTo(const ImxRecovery& c, std::ostream* os) {
    *os << c.name;
}

class ImxRecoveries : public RecoverE2E, public testing::WithParamInterface<ImxRecovery> {};

// The loader takes the firmware through the upgrade protocol and keeps running for it.
TEST_P(ImxRecoveries, LoaderTakesTheFirmware) {
    const ImxRecovery& c = GetParam();
    serve({{kLoaderSerial, "3", birdFile(loaderImage().image())},
           {kModuleSerial, "42",
            birdFile(BirdImage().firmware(kFirmwareAddress, kFirmwareCode).image())}},
          {{kImxId, "000012AB", "42"}});
    ImxChip chip(c.port, files_, bus_, c.usbSerial);
    // The loader takes a piece as one byte buffer, which the updater uses unless -m says no.
    chip.system->setHasUei(tfsim::kUpgradeCommand, tfsim::upgrade::kDataOption, 0, 0x80, 0);
    std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", chip.port};
    std::string given;
    if (c.fromFile) {
        // With an entry block of its own, the loader starts where that block says.
        given = file("both.bird",
                     loaderImage().entry(0x20000800).firmware(kFirmwareAddress, kFirmwareCode));
        args.insert(args.end(), {"-d", "12AB", "-f", given});
    }
    if (c.packets) args.insert(args.end(), {"-m", "0"});
    const UpdaterResult r = runOn(args, chip.environment());
    EXPECT_EQ(chip.rom.jumps(), std::vector<uint32_t>{c.fromFile ? 0x20000800u : 0x20000400u});
    EXPECT_EQ(chip.upgrade->requests(tfsim::upgrade::kDataOption) == 0, c.packets);
    EXPECT_EQ(chip.upgrade->requests(tfsim::upgrade::kData) == 0, !c.packets);

    std::vector<std::string> expected = {VERSION_LINE};
    if (c.fromFile) {
        expected.push_back("Recovering from Birdfile: " + given);
    } else {
        expected.insert(expected.end(), kLoadsBuild42.begin(), kLoadsBuild42.end());
    }
    // The upgrade protocol counts a block with its 4 address bytes.
    expected.insert(expected.end(),
                    {"Transferring firmware block 1 of 1, 6004 bytes",
                     "Transferred 1 blocks, 6004 total bytes", "Update time: <t> sec"});
    EXPECT_EQ(timed(r.outLines()), expected);
    EXPECT_EQ(r.errLines(), std::vector<std::string>{});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(chip.upgrade->image(kFirmwareAddress), kFirmwareCode);
    EXPECT_EQ(chip.system->resets(), 0u);
    if (c.fromFile) {
        EXPECT_TRUE(server_->requests().empty());
    } else {
        EXPECT_TRUE(askedFor("op=fix"));
        EXPECT_TRUE(askedFor("sn=000012AB"));
    }
    expectCleanBus();
}

INSTANTIATE_TEST_SUITE_P(
    Imx, ImxRecoveries,
    testing::Values(ImxRecovery{"WhatTheServerNamesOverHid", ImxPort::Hid, "DEADDEAD", false},
                    ImxRecovery{"WhatTheServerNamesOverSerial", ImxPort::Serial, "DEADDEAD", false},
                    ImxRecovery{"FromAFileAsTheModuleOverHid", ImxPort::Hid, "000012AB", true},
                    ImxRecovery{"InDataPackets", ImxPort::Hid, "DEADDEAD", false, true}),
    [](const testing::TestParamInfo<ImxRecovery>& p) { return p.param.name; });

// ---- Faults ---------------------------------------------------------------------------------

// A chip that says nothing, or says no, or that the server does not know: one clear line on
// standard error and status 1, and the program ends on its own.
struct Fault {
    const char* name;
    bool imx = false; // the i.MX ROM over HID; else the LPC ROM on a pty
    const char* command = "-U";
    lpcsim::Faults lpc = {};
    sdpsim::RomFaults rom = {};
    bool loaderServed = false;         // 0xDEADDEAD's loader is on the server
    bool fingerprintKnown = false;     // the server names module and build of the chip's identity
    bool loaderAppears = true;         // the loader plugs in on USB at the ROM's jump
    bool loaderGiven = false;          // -f names a loader file
    uint8_t writeStatus = 0;           // the loader's answer to the firmware's writes
    const char* serverFault = "";      // a fault switch of the fixture server
    std::vector<std::string> out = {}; // after the version line
    std::vector<std::string> err = {};
};

void PrintTo(const Fault& c, std::ostream* os) {
    *os << c.name;
}

class Faults : public RecoverE2E, public testing::WithParamInterface<Fault> {};

TEST_P(Faults, EndWithAClearLineAndStatusOne) {
    const Fault& c = GetParam();
    const LpcFirmware firmware;
    std::vector<ServedBuild> builds = {{kModuleSerial, "42", birdFile(firmware.image().image())}};
    if (c.loaderServed) builds.push_back({kLoaderSerial, "3", birdFile(loaderImage().image())});
    std::vector<ServedFix> fixes;
    if (c.fingerprintKnown) fixes.push_back({c.imx ? kImxId : kLpcId, "000012AB", "42"});
    serve(builds, fixes, c.serverFault);

    std::unique_ptr<lpcsim::LpcPty> lpc;
    std::unique_ptr<ImxChip> imx;
    std::string port;
    std::vector<std::string> environment;
    if (c.imx) {
        imx = std::make_unique<ImxChip>(ImxPort::Hid, files_, bus_, "DEADDEAD", c.loaderAppears);
        imx->rom.setFaults(c.rom);
        imx->upgrade->setStatus(tfsim::upgrade::kWrite, c.writeStatus);
        port = imx->port;
        environment = imx->environment();
    } else {
        lpc = std::make_unique<lpcsim::LpcPty>(c.lpc);
        port = lpc->slavePath();
    }
    std::vector<std::string> args = {c.command, "-s", port};
    if (std::string(c.command) == "-U") args.insert(args.end(), {"-t", "RECOVER"});
    if (c.loaderGiven) args.insert(args.end(), {"-f", file("loader.bird", loaderImage())});
    const UpdaterResult r = runOn(args, environment);

    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(timed(r.outLines()), joined({VERSION_LINE}, c.out));
    EXPECT_EQ(r.errLines(), c.err);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(askedFor("sn=00000000")) << "module 0 is never asked for";
    if (lpc && !c.lpc.returnCode.count('E')) {
        const auto commands = lpc->withChip([](lpcsim::Chip& rom) { return rom.commands(); });
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "E 0 29"), 0)
            << "the flash is erased only on the way to writing it";
    }
    if (imx) {
        EXPECT_EQ(imx->upgrade->image(kFirmwareAddress), Bytes{});
    }
}

// The LPC firmware of build 42 through the upgrade protocol: its first block, 5000 bytes and
// the address, out of three.
std::vector<std::string> fiveTriesOfTheFirstBlock() {
    std::vector<std::string> lines = {"Transferring firmware block 1 of 3, 5004 bytes"};
    for (int t = 1; t < 5; t++)
        lines.insert(lines.end(), {"Transferring firmware block 1 of 3, 5004 bytes",
                                   "  Retry " + std::to_string(t)});
    return lines;
}

const char* const kNoResponse = "Got no response from chip";
const char* const kNoIdentifier = "Could not get Device Identifier";
const char* const kNoRecoveryInfo = "Failed to retrieve recovery information from Keldoran server";

INSTANTIATE_TEST_SUITE_P(
    Recovery, Faults,
    testing::Values(
        // A silent LPC port is then tried as an i.MX ROM on a serial line, which stays silent.
        Fault{.name = "SilentLpcFingerprint",
              .command = "-N",
              .lpc = {.silent = true},
              .loaderServed = true,
              .err = {kNoResponse}},
        Fault{.name = "SilentLpcRecovery",
              .lpc = {.silent = true},
              .loaderServed = true,
              .fingerprintKnown = true,
              .err = {kNoIdentifier}},
        Fault{.name = "LpcIdentityRefused",
              .command = "-N",
              .lpc = {.returnCode = {{'N', 1}}},
              .err = {kNoResponse}},
        // A refused command reads as a parameter error, whatever the chip's code.
        Fault{.name = "LpcEraseRefused",
              .lpc = {.returnCode = {{'E', 9}}},
              .fingerprintKnown = true,
              .out = joined(kLoadsBuild42, {"Update time: <t> sec"}),
              .err = {"Recovery Error: could not erase ==> [2, aErrParam]"}},
        Fault{.name = "LpcFingerprintUnknown", .err = {kNoRecoveryInfo}},
        // The server's error page is not taken for an answer, nor printed.
        Fault{.name = "ServerAnswersNotFound",
              .fingerprintKnown = true,
              .serverFault = "404",
              .err = {kNoRecoveryInfo}},
        Fault{.name = "SilentImxRom",
              .imx = true,
              .command = "-N",
              .rom = {.silent = true},
              .loaderServed = true,
              .err = {kNoResponse}},
        Fault{.name = "ImxLoaderRefused",
              .imx = true,
              .rom = {.completion = 0x12345678},
              .loaderServed = true,
              .fingerprintKnown = true,
              .err = {kNoIdentifier}},
        Fault{.name = "ImxFingerprintUnknown",
              .imx = true,
              .loaderServed = true,
              .err = {kNoRecoveryInfo}},
        // Each of the five tries of the first block is refused; nothing is rebooted.
        Fault{.name = "ImxLoaderRefusesTheWrite",
              .imx = true,
              .loaderServed = true,
              .fingerprintKnown = true,
              .writeStatus = 1,
              .out = joined(joined(kLoadsBuild42, fiveTriesOfTheFirstBlock()),
                            {"Transferred 0 blocks, 0 total bytes", "Update time: <t> sec"}),
              .err = joined(std::vector<std::string>(5, "NETWORK: Failed to transfer firmware"),
                            {"Failed to transfer firmware"})},
        // -N reads as 0xDEADDEAD, which a loader file of its own cannot serve.
        Fault{.name = "ImxFingerprintWithALoaderFile",
              .imx = true,
              .command = "-N",
              .loaderServed = true,
              .loaderGiven = true,
              .err = {"Add serial number or remove the bird filename to use a default "
                      "recovery image.",
                      kNoResponse}},
        // Sits through the fifteen attempts to reach the loader.
        Fault{.name = "ImxLoaderNeverAppears",
              .imx = true,
              .loaderServed = true,
              .fingerprintKnown = true,
              .loaderAppears = false,
              .err = {kNoIdentifier}}),
    [](const testing::TestParamInfo<Fault>& p) { return p.param.name; });

} // namespace
