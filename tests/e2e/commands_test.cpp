// The commands that reach modules, the store and the update server, end to end: the updater
// binary against simulated modules on its preloaded fake USB bus (driven from here over the
// bus's control directory), behind a routing module, on the test namespace's veth pair, and
// against the fixture update server.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "FixtureUpdateServer.h"
#include "TestNetwork.h"
#include "UpdaterE2E.h"
#include "fakeusb_remote.h"
#include "tfsim/DiscoveryResponder.h"
#include "tfsim/I2CEntity.h"
#include "tfsim/Module.h"
#include "tfsim/SystemEntity.h"
#include "tfsim/UpgradeEntity.h"

namespace {

using namespace tftest;

constexpr uint16_t MODULE_VENDOR = 0x3A7F; // the modules' USB vendor id
// A port nothing listens on: runs that must not reach a server still name a loopback one,
// never the default host.
constexpr const char* NO_SERVER = "http://127.0.0.1:9/cgi/u";

std::string hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

template <class T> std::string caseName(const ::testing::TestParamInfo<T>& param) {
    return param.param.name;
}

// One simulated module: its system entity (identity, routing) and its upgrade entity, whose
// image a test compares with the file it gave.
struct SimModule {
    explicit SimModule(const tfsim::Identity& identity)
        : sim(tfsim::Config{.address = identity.module}), serial(identity.serial) {
        system = sim.add(std::make_shared<tfsim::SystemEntity>(identity));
        upgrade = sim.add(std::make_shared<tfsim::UpgradeEntity>());
        upgrade->setLink(&sim);
    }
    tfsim::Module sim;
    uint32_t serial;
    std::shared_ptr<tfsim::SystemEntity> system;
    std::shared_ptr<tfsim::UpgradeEntity> upgrade;
};

// The fake USB bus of one updater run.
class Bus {
  public:
    // The product id's low byte is the model that discovery reports.
    fakeusb::RemoteDevice plug(const tfsim::Module& sim, uint32_t serial, uint16_t product) {
        const std::string text = hex8(serial);
        fakeusb_device_config config = fakeusb::defaultConfig(MODULE_VENDOR, product, text.c_str());
        config.backing_port = sim.port();
        return remote_.addDevice(config);
    }
    fakeusb::Remote& remote() { return remote_; }
    std::string environment() const { return remote_.environment(); }
    // After the run: every device it opened was closed, and libusb was used as documented.
    void expectAllLetGo() {
        const auto snapshot = remote_.snapshot();
        ASSERT_TRUE(snapshot.has_value()) << remote_.error();
        EXPECT_EQ(snapshot->openHandles, 0u) << "every module is let go";
        EXPECT_EQ(snapshot->misuse, 0u);
    }

  private:
    TempDir dir_;
    fakeusb::Remote remote_{dir_.path()};
};

class Commands : public UpdaterE2E {
  protected:
    // A run with the store and, unless the arguments name one, the server nobody answers on.
    UpdaterResult runWithStore(std::vector<std::string> args) {
        if (std::find(args.begin(), args.end(), "-u") == args.end())
            args.insert(args.end(), {"-u", NO_SERVER});
        return run(withStore(args));
    }
    UpdaterResult runAgainst(const FixtureUpdateServer& server, std::vector<std::string> args) {
        args.insert(args.end(), {"-u", server.url()});
        return runWithStore(args);
    }
    UpdaterResult runOn(Bus& bus, const std::vector<std::string>& args) {
        extraEnvironment_ = {bus.environment()};
        return runWithStore(args);
    }
    std::string deviceDirectory(uint32_t serial) const {
        return store_ / ("updater/" + hex8(serial));
    }
    std::string stored(uint32_t serial, const std::string& name) const {
        return readFile(deviceDirectory(serial) + "/" + name);
    }
    bool isStored(uint32_t serial, const std::string& name) const {
        return std::filesystem::exists(deviceDirectory(serial) + "/" + name);
    }
};

// The version line, then the given lines.
std::vector<std::string> afterVersion(const std::vector<std::string>& lines) {
    return joined({VERSION_LINE}, lines);
}

// A listing: exactly these lines after the version, nothing on standard error, status 0.
void expectListing(const UpdaterResult& r, const std::vector<std::string>& lines) {
    EXPECT_EQ(r.outLines(), afterVersion(lines));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// ---- -D over USB ----------------------------------------------------------------------------

const std::string USB_HEADER =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const std::string IP_HEADER = "    Device    Module   Router  Model          Firmware Version "
                              "(Build)   [IP address]       Device Name";

struct UsbListingCase {
    const char* name;
    std::vector<std::string> args;
    bool modules; // the two modules below are on the bus
    std::vector<std::string> out;
};

void PrintTo(const UsbListingCase& c, std::ostream* os) {
    *os << c.name;
}

class DiscoverOverUsb : public Commands, public ::testing::WithParamInterface<UsbListingCase> {};

// Names are read from 2.10.4 on (the first module) and not before (the second).
const std::vector<std::string> TWO_MODULES = {
    "Searching for Tessaform devices",
    "Discovered Devices: (USB)",
    USB_HEADER,
    "    0000A101  06       06      TF-Pico        2.10.4 (       258)         bench",
    "    0000A102  04       04      TF-Hub2        2.10.3 (         7)         ",
};

const UsbListingCase USB_LISTINGS[] = {
    {"EmptyBus",
     {"-D"},
     false,
     {"Searching for Tessaform devices", "Discovered Devices: (USB)", "    No devices found."}},
    {"TwoModules", {"-D"}, true, TWO_MODULES},
    {"TransportUsb", {"-D", "-t", "USB"}, true, TWO_MODULES},
    {"RecoverTransportSearchesUsb", {"-D", "-t", "RECOVER"}, true, TWO_MODULES},
    // Only the first of -D and -U runs: the module is listed, not updated.
    {"DiscoverBeforeUpdate", {"-U", "-D", "-d", "A101", "-b", "5"}, true, TWO_MODULES},
};

TEST_P(DiscoverOverUsb, ListsEachModuleWithBuildVersionAndName) {
    const UsbListingCase& c = GetParam();
    SimModule first(
        {.module = 0x06, .version = 0x2A000004, .serial = 0xA101, .name = "bench", .build = 258});
    SimModule second(
        {.module = 0x04, .version = 0x2A000003, .serial = 0xA102, .name = "old", .build = 7});
    Bus bus;
    if (c.modules) {
        ASSERT_NE(bus.plug(first.sim, first.serial, 0x010D), 0) << bus.remote().error();
        ASSERT_NE(bus.plug(second.sim, second.serial, 0x0104), 0) << bus.remote().error();
    }
    expectListing(runOn(bus, c.args), c.out);
    EXPECT_EQ(first.upgrade->requests(tfsim::upgrade::kInit), 0u);
    bus.expectAllLetGo();
}

INSTANTIATE_TEST_SUITE_P(Listings, DiscoverOverUsb, ::testing::ValuesIn(USB_LISTINGS),
                         caseName<UsbListingCase>);

// A module that never answers is still listed, as one another program holds, and the run
// still succeeds.
TEST_F(Commands, DiscoverListsAModuleThatDoesNotAnswerAsInUse) {
    SimModule silent({.module = 0x06, .serial = 0xA103});
    silent.sim.setSilent(true);
    Bus bus;
    ASSERT_NE(bus.plug(silent.sim, silent.serial, 0x010D), 0) << bus.remote().error();
    // A link that never runs fails its connect with aErrConnection.
    expectListing(runOn(bus, {"-D"}),
                  {"Searching for Tessaform devices", "Discovered Devices: (USB)", USB_HEADER,
                   "    0000A103  [Error (25): Device in use. Close all other Keldoran associated "
                   "applications.]"});
    bus.expectAllLetGo();
}

// ---- -D -r behind a routing module ----------------------------------------------------------

struct RoutedSetUp {
    RoutedSetUp() {
        routerSystem = router.add(std::make_shared<tfsim::SystemEntity>(
            tfsim::Identity{.module = 0x02, .model = 5, .serial = ROUTER}));
        bus = router.add(std::make_shared<tfsim::I2CEntity>());
        behind = &router.attach(0x08);
        system =
            behind->add(std::make_shared<tfsim::SystemEntity>(tfsim::Identity{.module = 0x08,
                                                                              .router = 0x02,
                                                                              .version = 0x2A000004,
                                                                              .model = 13,
                                                                              .serial = BEHIND,
                                                                              .build = 77}));
        upgrade = behind->add(std::make_shared<tfsim::UpgradeEntity>());
        upgrade->setLink(&router);
        // Behind a router the module's reboot leaves the router's link up.
        upgrade->setRebootDrops(false);
        bus->addDevice(0x08);
        bus->addDevice(0x0A); // takes the probe but is no module
    }
    static constexpr uint32_t ROUTER = 0xD272031D;
    static constexpr uint32_t BEHIND = 0x2181F0EE;
    tfsim::Module router{tfsim::Config{.address = 0x02}};
    std::shared_ptr<tfsim::SystemEntity> routerSystem;
    std::shared_ptr<tfsim::I2CEntity> bus;
    tfsim::BusModule* behind = nullptr;
    std::shared_ptr<tfsim::SystemEntity> system;
    std::shared_ptr<tfsim::UpgradeEntity> upgrade;
};

struct RoutedListingCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> out;
};

void PrintTo(const RoutedListingCase& c, std::ostream* os) {
    *os << c.name;
}

class DiscoverBehindARouter : public Commands,
                              public ::testing::WithParamInterface<RoutedListingCase> {};

// The header follows the type searched, the line the module's own (USB, the router's): without
// -t the type is unknown and the header carries the IP column the line lacks.
const RoutedListingCase ROUTED_LISTINGS[] = {
    {"WithoutTransport",
     {"-D", "-r", "D272031D"},
     {"Searching for Tessaform Network devices connected to D272031D",
      "Discovered Devices: (Unknown)", IP_HEADER,
      "    2181F0EE  08       02      TF-Pico        2.10.4 (        77)         "}},
    {"OverUsb",
     {"-D", "-r", "0xD272031D", "-t", "USB"},
     {"Searching for Tessaform Network devices connected to D272031D", "Discovered Devices: (USB)",
      USB_HEADER, "    2181F0EE  08       02      TF-Pico        2.10.4 (        77)         "}},
};

TEST_P(DiscoverBehindARouter, ListsTheModulesOnItsBus) {
    const RoutedListingCase& c = GetParam();
    RoutedSetUp routed;
    Bus bus;
    ASSERT_NE(bus.plug(routed.router, RoutedSetUp::ROUTER, 0x0105), 0) << bus.remote().error();
    expectListing(runOn(bus, c.args), c.out);
    EXPECT_FALSE(routed.router.routeOn()) << "routing is switched off again";
    bus.expectAllLetGo();
}

INSTANTIATE_TEST_SUITE_P(Listings, DiscoverBehindARouter, ::testing::ValuesIn(ROUTED_LISTINGS),
                         caseName<RoutedListingCase>);

TEST_F(Commands, DiscoverBehindARouterThatIsNotThere) {
    Bus bus;
    const UpdaterResult r = runOn(bus, {"-D", "-r", "D272031D", "-t", "USB"});
    EXPECT_EQ(r.outLines(),
              afterVersion({"Searching for Tessaform Network devices connected to D272031D",
                            "Discovered Devices: (USB)", "    No devices found."}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// ---- -D -t TCP on the test namespace's veth pair --------------------------------------------

TEST_F(Commands, DiscoverOverTcpIp) {
    REQUIRE_TEST_NAMESPACE();
    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    sim.add(std::make_shared<tfsim::SystemEntity>(tfsim::Identity{.module = 0x06,
                                                                  .version = 0x2A000004,
                                                                  .model = 21,
                                                                  .serial = 0xA201,
                                                                  .name = "lab",
                                                                  .build = 99}));
    tfsim::DiscoveryResponder responder("10.77.0.2");
    responder.add(responder.answerFor(sim, 0xA201, 21));
    const UpdaterResult r = runWithStore({"-D", "-t", "TCPIP"});
    // The query goes out through both ends of the pair and the module answers each; answers
    // are not merged, so it is listed once per query, each time reached and read.
    const std::string line = "    0000A201  06       06      TF-Temp        2.10.4 (        99)    "
                             "    [10.77.0.2]        lab";
    EXPECT_EQ(responder.queries(), 2u);
    expectListing(r, {"Searching for Tessaform devices", "Discovered Devices: (TCPIP)", IP_HEADER,
                      line, line});
}

// ---- -G against the fixture server ----------------------------------------------------------

struct GetCase {
    const char* name;
    std::string fault; // of the fixture server
    std::vector<std::string> args;
    std::vector<std::string> out; // after the version line
    std::vector<std::string> err;
    int status;
    std::string storedBuild; // the build file that lands in the store; empty for none
};

void PrintTo(const GetCase& c, std::ostream* os) {
    *os << c.name;
}

class GetStoresTheBuild : public Commands, public ::testing::WithParamInterface<GetCase> {};

const std::vector<std::string> RETRIEVING_LATEST = {
    "Retrieving firmware for device with serial number 000012AB", "No build specified",
    "Using Latest build"};

const GetCase GETS[] = {
    {"Latest",
     "",
     {"-G", "-d", "12AB"},
     joined(RETRIEVING_LATEST,
            {"Retrieving build 77", "Validating build 77 with server", "Build 77 is valid"}),
     {},
     0,
     "77"},
    {"NamedBuild",
     "",
     {"-G", "-d", "0x12ab", "-b", "76"},
     {"Retrieving firmware for device with serial number 000012AB", "Retrieving firmware build 76",
      "Retrieving build 76", "Validating build 76 with server", "Build 76 is valid"},
     {},
     0,
     "76"},
    {"BuildTheServerDoesNotList",
     "",
     {"-G", "-d", "12AB", "-b", "99"},
     {"Retrieving firmware for device with serial number 000012AB", "Retrieving firmware build 99",
      "Retrieving build 99", "Validating build 99 with server"},
     {"No valid build 99"},
     1,
     ""},
    // The override asks anyway, and the server refuses.
    {"OverriddenBuildTheServerRefuses",
     "",
     {"-G", "-d", "12AB", "-b", "99", "-OVERRIDE"},
     {"Retrieving firmware for device with serial number 000012AB", "Retrieving firmware build 99",
      "Retrieving build 99", "Override specified, skipping validation of build 99"},
     {"Download failed", "Failed to retrieve a valid BIRD file"},
     1,
     ""},
    {"UnknownDevice",
     "",
     {"-G", "-d", "5555"},
     {"Retrieving firmware for device with serial number 00005555", "No build specified",
      "Using Latest build"},
     {"No build information for device"},
     1,
     ""},
    // The latest build's line keeps the carriage return of its CR LF end.
    {"ServerWithCrLfLineEnds",
     "crlf",
     {"-G", "-d", "12AB"},
     joined(RETRIEVING_LATEST,
            {"Retrieving build 77", "Validating build 77 with server", "Build 77 is valid"}),
     {},
     0,
     "77"},
    {"ServerAnswers404",
     "404",
     {"-G", "-d", "12AB"},
     RETRIEVING_LATEST,
     {"Server request failed for {url}"},
     1,
     ""},
    {"ServerAnswersNotOk",
     "first-line=busy",
     {"-G", "-d", "12AB"},
     RETRIEVING_LATEST,
     {"Server request failed for {url}"},
     1,
     ""},
};

// The lines with a placeholder ("{url}", say) replaced by a text known only at run time.
std::vector<std::string> replaced(std::vector<std::string> lines, const std::string& placeholder,
                                  const std::string& text) {
    for (std::string& line : lines)
        if (size_t at = line.find(placeholder); at != std::string::npos)
            line.replace(at, placeholder.size(), text);
    return lines;
}

TEST_P(GetStoresTheBuild, WithItsLinesAndStatus) {
    const GetCase& c = GetParam();
    FixtureUpdateServer server({.fault = c.fault});
    const UpdaterResult r = runAgainst(server, c.args);
    EXPECT_EQ(r.outLines(), afterVersion(c.out));
    EXPECT_EQ(r.errLines(), replaced(c.err, "{url}", server.url()));
    EXPECT_EQ(r.status, c.status);
    for (const char* build : {"76", "77", "99"})
        EXPECT_EQ(isStored(FIXTURE_SERIAL, std::string(build) + ".bird"), c.storedBuild == build)
            << build;
    if (c.storedBuild.empty()) return;
    const std::string settings = stored(FIXTURE_SERIAL, ".settings");
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=" + c.storedBuild + ".bird\n"), std::string::npos)
        << settings;
    EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE="), std::string::npos) << settings;
    if (c.storedBuild == "77")
        EXPECT_EQ(stored(FIXTURE_SERIAL, "77.bird"), fixturePayload()) << "stored as it came";
    else
        EXPECT_EQ(stored(FIXTURE_SERIAL, "76.bird"), std::string(1, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Downloads, GetStoresTheBuild, ::testing::ValuesIn(GETS),
                         caseName<GetCase>);

// ---- -B and -L ------------------------------------------------------------------------------

std::string buildLine(const std::string& build, const std::string& version) {
    char line[64];
    std::snprintf(line, sizeof line, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
    return line;
}

// A BIRD file whose descriptor names the version.
std::string birdWithVersion(const std::string& build, const std::string& version) {
    BirdImage image;
    image.firmware(0x10000, randomBytes(64, 3)).descriptor(build, version, "00000000", "TF-Pico");
    return asText(birdFile(image.image()));
}

TEST_F(Commands, ListsTheServersBuildsNewestVersionFirst) {
    FixtureUpdateServer server;
    const UpdaterResult r = runAgainst(server, {"-B", "-d", "12AB"});
    EXPECT_EQ(
        r.outLines(),
        afterVersion({"Build List for device [000012AB]:", "", "Build          \tVersion        ",
                      "100            \t2.12.10        ", "77             \t2.12.5         ",
                      "76             \t2.9.0          "}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // -B and -L together: only the server's list.
    const UpdaterResult both = runAgainst(server, {"-L", "-B", "-d", "12AB"});
    EXPECT_EQ(both.outLines(), r.outLines());
}

struct NoBuildsCase {
    const char* name;
    std::string fault;
    std::vector<std::string> args;
    std::vector<std::string> err;
};

void PrintTo(const NoBuildsCase& c, std::ostream* os) {
    *os << c.name;
}

class ListsNoBuilds : public Commands, public ::testing::WithParamInterface<NoBuildsCase> {};

// Whatever the list, the listing succeeds.
const NoBuildsCase NO_BUILDS[] = {
    {"ServerDoesNotKnowTheDevice",
     "",
     {"-B", "-d", "12AB0000"},
     {"Failed to retrieve builds for 12AB0000"}},
    {"ServerFails", "404", {"-B", "-d", "12AB0000"}, {"Server request failed for {url}"}},
    {"NothingStored", "", {"-L", "-d", "12AB0000"}, {}},
};

TEST_P(ListsNoBuilds, SaysSoAndSucceeds) {
    const NoBuildsCase& c = GetParam();
    FixtureUpdateServer server({.fault = c.fault});
    const UpdaterResult r = runAgainst(server, c.args);
    EXPECT_EQ(r.outLines(), afterVersion({"No builds found for device [12AB0000]"}));
    EXPECT_EQ(r.errLines(), replaced(c.err, "{url}", server.url()));
    EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Lists, ListsNoBuilds, ::testing::ValuesIn(NO_BUILDS),
                         caseName<NoBuildsCase>);

// The store's builds: each BIRD file with its descriptor's version, newest first, anything else
// under its whole name without one; the server is never asked.
TEST_F(Commands, ListsTheStoredBuilds) {
    const std::string device = store_ / "updater/0000A301";
    std::filesystem::create_directories(device);
    const auto put = [&](const std::string& name, const std::string& content) {
        std::ofstream(device + "/" + name, std::ios::binary) << content;
    };
    put("100.bird", birdWithVersion("100", "2.12.10"));
    put("20.bird", birdWithVersion("20", "2.9.0"));
    put("7.bird", birdWithVersion("7", "2.12.5"));
    put("notes.txt", "not firmware");
    put("9.bird", "bird\x01\x01 and no image"); // looks like one, does not load
    const UpdaterResult r = runWithStore({"-L", "-d", "A301"});
    EXPECT_EQ(
        r.outLines(),
        afterVersion({"Build List for device [0000A301]:", "", buildLine("Build", "Version"),
                      buildLine("100", "2.12.10"), buildLine("7", "2.12.5"),
                      buildLine("20", "2.9.0"), buildLine("9", ""), buildLine("notes.txt", "")}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// What -G fetched, -L lists: the fixture's payload is no BIRD file, so without a version.
TEST_F(Commands, ListsWhatGetStored) {
    FixtureUpdateServer server;
    ASSERT_EQ(runAgainst(server, {"-G", "-d", "12AB"}).status, 0);
    const UpdaterResult r = runAgainst(server, {"-L", "-d", "12AB"});
    EXPECT_EQ(r.outLines(), afterVersion({"Build List for device [000012AB]:", "",
                                          buildLine("Build", "Version"), buildLine("77", "")}));
    EXPECT_EQ(r.status, 0);
}

// The fixture server's answers for device 000012AB: `latest` and the builds given as
// "build;version;hex payload" texts.
std::string serverBuilds(const std::string& latest, const std::vector<std::string>& builds) {
    std::string list;
    for (const std::string& b : builds) {
        const size_t first = b.find(';'), second = b.find(';', first + 1);
        if (!list.empty()) list += ", ";
        list += R"({"build": ")" + b.substr(0, first) + R"(", "version": ")" +
                b.substr(first + 1, second - first - 1) + R"(", "payload": ")" +
                b.substr(second + 1) + R"("})";
    }
    return R"({"devices": {"000012AB": {"latest": ")" + latest +
           R"(", "firmware": "F", "builds": [)" + list + "]}}}";
}

std::string hexOf(const Bytes& bytes) {
    std::string hex;
    for (const uint8_t byte : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return hex;
}

// ---- -U -------------------------------------------------------------------------------------

constexpr uint32_t FIRMWARE_AT = 0x00010000;
constexpr uint32_t SERIAL_AT = 0x00010100;

// A loader, one firmware block holding the serial number's place, and a descriptor naming the
// model.
struct Firmware {
    Bytes loader = randomBytes(100, 1);
    Bytes firmware = randomBytes(3000, 2);

    Bytes birdBytes(const std::string& model, const std::string& build = "1234") const {
        BirdImage image;
        image.loader(0x20000000, loader)
            .firmware(FIRMWARE_AT, firmware)
            .serialOffsets(SERIAL_AT, 0)
            .descriptor(build, "2.10.4", "00000000", model);
        return birdFile(image.image());
    }
    std::string bird(const std::string& model) const { return asText(birdBytes(model)); }
    // The firmware as the module must hold it: the serial number patched in, little-endian.
    Bytes patched(uint32_t serial) const {
        Bytes expected = firmware;
        for (size_t i = 0; i < 4; i++)
            expected[SERIAL_AT - FIRMWARE_AT + i] = static_cast<uint8_t>(serial >> (8 * i));
        return expected;
    }
};

// The lines of a transfer of Firmware's file, after the line that names the file.
const std::vector<std::string> TRANSFER_LINES = {
    "Transferring loader to device",
    "Transferring loader block 1 of 1, 104 bytes",
    "Transferred 1 blocks, 104 total bytes",
    "Starting Load on Device",
    "Transferring firmware block 1 of 1, 3004 bytes",
    "Transferred 1 blocks, 3004 total bytes",
};

// All a successful run of -U -f prints before the update time.
std::vector<std::string> fileTransferLines(const std::string& path) {
    return joined({VERSION_LINE, "Updating from Birdfile: " + path}, TRANSFER_LINES);
}

// The output without its last line, which must be the update time.
std::vector<std::string> withoutUpdateTime(const UpdaterResult& r) {
    std::vector<std::string> lines = r.outLines();
    if (lines.empty() || lines.back().rfind("Update time: ", 0) != 0 ||
        lines.back().find(" sec") == std::string::npos) {
        ADD_FAILURE() << "no update time at the end of:\n" << r.out;
        return lines;
    }
    lines.pop_back();
    return lines;
}

struct FileUpdateCase {
    const char* name;
    std::string model; // the file's
    bool override;
    std::vector<std::string> err; // empty: the update succeeds
    uint32_t answers = 0xA401;    // the serial number the module gives when asked
};

void PrintTo(const FileUpdateCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateFromFile : public Commands, public ::testing::WithParamInterface<FileUpdateCase> {};

const FileUpdateCase FILE_UPDATES[] = {
    {"MatchingModel", "TF-Hub2", false, {}},
    {"OtherModel",
     "TF-Pico",
     false,
     {"Connected device model and Bird file model do not match [TF-Hub2] (0)",
      "Birdfile failed validation"}},
    {"OtherModelOverridden", "TF-Pico", true, {}},
    // On the bus as 0000A401, another module when asked: only logged, then refused.
    {"ModuleGivesAnotherSerialNumber", "TF-Hub2", false, {"Birdfile failed validation"}, 0xA4FF},
};

TEST_P(UpdateFromFile, WritesThePatchedImageOrRefuses) {
    const FileUpdateCase& c = GetParam();
    SimModule module({.module = 0x06, .model = 4, .serial = c.answers});
    Bus bus;
    ASSERT_NE(bus.plug(module.sim, 0xA401, 0x0104), 0) << bus.remote().error();
    const Firmware firmware;
    TempDir files;
    const std::string path = files.write("fw.bird", firmware.bird(c.model));
    std::vector<std::string> args = {"-U", "-d", "A401", "-f", path};
    if (c.override) args.push_back("-OVERRIDE");
    const UpdaterResult r = runOn(bus, args);
    EXPECT_EQ(r.errLines(), c.err);
    if (!c.err.empty()) {
        EXPECT_EQ(r.outLines(), afterVersion({"Updating from Birdfile: " + path}));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(module.upgrade->requests(tfsim::upgrade::kInit), 0u) << "no loader session";
        EXPECT_FALSE(isStored(0xA401, ".settings"));
        return;
    }
    EXPECT_EQ(withoutUpdateTime(r), fileTransferLines(path));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(module.upgrade->image(FIRMWARE_AT), firmware.patched(module.serial));
    const auto blocks = module.upgrade->blocks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.front().received, firmware.loader);
    EXPECT_EQ(module.upgrade->requests(tfsim::upgrade::kReboot), 1u);
    const std::string settings = stored(module.serial, ".settings");
    EXPECT_NE(settings.find("LATEST_TRANSFER=" + path + "\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_TRANSFER_DATE="), std::string::npos) << settings;

    // The path recorded names no build, so an update without a file has none to install.
    Bus again;
    const UpdaterResult next = runOn(again, {"-U", "-d", "A401"});
    EXPECT_EQ(next.errLines(),
              std::vector<std::string>{"Could not find valid build for this device."});
    EXPECT_EQ(next.status, 1);
}

INSTANTIATE_TEST_SUITE_P(Files, UpdateFromFile, ::testing::ValuesIn(FILE_UPDATES),
                         caseName<FileUpdateCase>);

// A module that takes its firmware but never restarts: the update is not reported as done, and
// no transfer is recorded.
TEST_F(Commands, UpdateOfAModuleThatDoesNotRestart) {
    SimModule module({.module = 0x06, .model = 4, .serial = 0xA402});
    module.upgrade->setRebootDrops(false);
    Bus bus;
    ASSERT_NE(bus.plug(module.sim, module.serial, 0x0104), 0) << bus.remote().error();
    const Firmware firmware;
    TempDir files;
    const std::string path = files.write("fw.bird", firmware.bird("TF-Hub2"));
    const UpdaterResult r = runOn(bus, {"-U", "-d", "A402", "-f", path});
    EXPECT_EQ(r.outLines(), fileTransferLines(path));
    EXPECT_EQ(r.errLines(),
              (std::vector<std::string>{"NETWORK: The link did not drop after the reboot request",
                                        "The device did not restart after the update"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(module.upgrade->image(FIRMWARE_AT), firmware.patched(module.serial));
    EXPECT_EQ(stored(module.serial, ".settings").find("LATEST_TRANSFER="), std::string::npos);
}

// -G -U: the build just fetched is installed from the store.
TEST_F(Commands, GetThenUpdateInstallsTheFetchedBuild) {
    SimModule module({.module = 0x06, .model = 4, .serial = FIXTURE_SERIAL});
    Bus bus;
    ASSERT_NE(bus.plug(module.sim, module.serial, 0x0104), 0) << bus.remote().error();
    const Firmware firmware;
    FixtureUpdateServer server(
        {.builds = serverBuilds(
             "81", {"81;2.10.4;" + hexOf(firmware.birdBytes("TF-Hub2", "81")), "80;2.10.3;00"})});
    const UpdaterResult r = runOn(bus, {"-G", "-U", "-d", "12AB", "-u", server.url()});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutUpdateTime(r),
              afterVersion(joined(joined(RETRIEVING_LATEST,
                                         {"Retrieving build 81", "Validating build 81 with server",
                                          "Build 81 is valid", "Updating firmware with build: 81"}),
                                  TRANSFER_LINES)));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(module.upgrade->image(FIRMWARE_AT), firmware.patched(FIXTURE_SERIAL));
    const std::string settings = stored(FIXTURE_SERIAL, ".settings");
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=81.bird\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LATEST_TRANSFER=81.bird\n"), std::string::npos) << settings;
}

struct UpdateFailureCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> out; // after the version line
    std::vector<std::string> err;
};

void PrintTo(const UpdateFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateFails : public Commands, public ::testing::WithParamInterface<UpdateFailureCase> {};

// An update that cannot begin touches nothing on the module and fails.
const UpdateFailureCase UPDATE_FAILURES[] = {
    {"NothingStoredAndNoServer",
     {"-U", "-d", "A401"},
     {},
     {"Could not find valid build for this device."}},
    // The update road never downloads.
    {"NamedBuildNotStored",
     {"-U", "-d", "A401", "-b", "55"},
     {"Updating firmware with build: 55"},
     {"Failed to load bird file"}},
    {"FileThatIsNoBirdFile",
     {"-U", "-d", "A401", "-f", "{files}/notes.txt"},
     {"Updating from Birdfile: {files}/notes.txt"},
     {"Failed to load bird file"}},
    // The failed download leaves the build to choose: nothing stored gives none.
    {"GetFailsThenNothingToInstall",
     {"-G", "-U", "-d", "A401"},
     {"Retrieving firmware for device with serial number 0000A401", "No build specified",
      "Using Latest build"},
     {"Server request failed for " + std::string(NO_SERVER),
      "Could not find valid build for this device."}},
};

TEST_P(UpdateFails, BeforeTouchingTheModule) {
    const UpdateFailureCase& c = GetParam();
    SimModule module({.module = 0x06, .model = 4, .serial = 0xA401});
    Bus bus;
    ASSERT_NE(bus.plug(module.sim, module.serial, 0x0104), 0) << bus.remote().error();
    TempDir files;
    files.write("notes.txt", "not firmware");
    const auto expand = [&](const std::vector<std::string>& lines) {
        return replaced(lines, "{files}", files.path().string());
    };
    const UpdaterResult r = runOn(bus, expand(c.args));
    EXPECT_EQ(r.outLines(), afterVersion(expand(c.out)));
    EXPECT_EQ(r.errLines(), c.err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(module.upgrade->requests(tfsim::upgrade::kInit), 0u);
}

INSTANTIATE_TEST_SUITE_P(Updates, UpdateFails, ::testing::ValuesIn(UPDATE_FAILURES),
                         caseName<UpdateFailureCase>);

// -U -r: the module found on the router's bus by its serial number and updated through it.
TEST_F(Commands, UpdateBehindARouter) {
    RoutedSetUp routed;
    Bus bus;
    ASSERT_NE(bus.plug(routed.router, RoutedSetUp::ROUTER, 0x0105), 0) << bus.remote().error();
    const Firmware firmware;
    TempDir files;
    const std::string path = files.write("fw.bird", firmware.bird("TF-Pico"));
    const UpdaterResult r = runOn(bus, {"-U", "-d", "2181F0EE", "-r", "D272031D", "-f", path});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutUpdateTime(r), fileTransferLines(path));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(routed.upgrade->image(FIRMWARE_AT), firmware.patched(RoutedSetUp::BEHIND));
    EXPECT_EQ(routed.upgrade->requests(tfsim::upgrade::kReboot), 1u);
}

struct RestartCase {
    const char* name;
    std::string returnsAs; // the serial-number string the loader shows on the bus
};

void PrintTo(const RestartCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateAcrossTheLoaderStart : public Commands,
                                   public ::testing::WithParamInterface<RestartCase> {};

// The module leaves the bus as its loader starts and comes back as the loader a few seconds
// later, a new device that must be found and opened anew.
TEST_P(UpdateAcrossTheLoaderStart, ReachesTheLoaderWhereItComesBack) {
    const RestartCase& c = GetParam();
    SimModule module({.module = 0x06, .model = 4, .serial = 0xA601});
    Bus bus;
    fakeusb_device_config config = fakeusb::defaultConfig(MODULE_VENDOR, 0x0104, "0000A601");
    config.backing_port = module.sim.port();
    const fakeusb::RemoteDevice device = bus.remote().addDevice(config);
    ASSERT_NE(device, 0) << bus.remote().error();
    module.upgrade->setLoad(tfsim::UpgradeEntity::Load::Restart, std::chrono::milliseconds(2500));
    fakeusb::Remote& remote = bus.remote();
    module.upgrade->onRestart([&remote, device] { remote.unplug(device); },
                              [&remote, device, config, serial = c.returnsAs]() mutable {
                                  config.serial = serial.c_str();
                                  remote.reconfigure(device, config);
                                  remote.plug(device);
                              });
    const Firmware firmware;
    TempDir files;
    const std::string path = files.write("fw.bird", firmware.bird("TF-Hub2"));
    const UpdaterResult r = runOn(bus, {"-U", "-d", "A601", "-f", path});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutUpdateTime(r), fileTransferLines(path));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(module.upgrade->image(FIRMWARE_AT), firmware.patched(module.serial));
    bus.expectAllLetGo();
}

INSTANTIATE_TEST_SUITE_P(Restarts, UpdateAcrossTheLoaderStart,
                         ::testing::Values(RestartCase{"AsItself", "0000A601"},
                                           RestartCase{"AsABareLoader", "DEADDEAD"}),
                         caseName<RestartCase>);

// A module that is not on the USB bus is looked for over TCP/IP and updated there.
TEST_F(Commands, UpdateOverTcpIp) {
    REQUIRE_TEST_NAMESPACE();
    SimModule module({.module = 0x06, .model = 4, .serial = 0xA701});
    tfsim::DiscoveryResponder responder("10.77.0.2");
    responder.add(responder.answerFor(module.sim, module.serial, 4));
    const Firmware firmware;
    TempDir files;
    const std::string path = files.write("fw.bird", firmware.bird("TF-Hub2"));
    const UpdaterResult r = runWithStore({"-U", "-d", "A701", "-f", path});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutUpdateTime(r), fileTransferLines(path));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(module.upgrade->image(FIRMWARE_AT), firmware.patched(module.serial));
}

TEST_F(Commands, UpdateOfAModuleOnNoLink) {
    REQUIRE_TEST_NAMESPACE();
    const Firmware firmware;
    TempDir files;
    const std::string path = files.write("fw.bird", firmware.bird("TF-Hub2"));
    const UpdaterResult r = runWithStore({"-U", "-d", "A702", "-f", path});
    EXPECT_EQ(r.outLines(), afterVersion({"Updating from Birdfile: " + path}));
    EXPECT_EQ(r.errLines(), std::vector<std::string>{"Failed to connect to module [0000A702]"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(isStored(0xA702, ".settings"));
}

// ---- the build an update chooses from the store ---------------------------------------------

struct ChoiceCase {
    const char* name;
    std::string latest;                // the server's latest build when -U runs; empty: no server
    std::vector<std::string> messages; // shown before the file is loaded
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateChoosesTheBuild : public Commands, public ::testing::WithParamInterface<ChoiceCase> {};

// Build 81 was fetched by an earlier run; the update installs it, saying why when it is not
// the server's latest.
const ChoiceCase CHOICES[] = {
    {"ServersLatestIsStored", "81", {}},
    {"ServersLatestIsNotStored",
     "82",
     {"New firmware is available.  Updater will proceed if valid firmware is found locally.",
      "Updating with the Latest Download"}},
    {"NoServer", "", {"Updating with the Latest Download"}},
};

TEST_P(UpdateChoosesTheBuild, FromTheStore) {
    const ChoiceCase& c = GetParam();
    const Firmware firmware;
    const std::string bird = hexOf(firmware.birdBytes("TF-Hub2", "81"));
    {
        FixtureUpdateServer fetch({.builds = serverBuilds("81", {"81;2.10.4;" + bird})});
        ASSERT_EQ(runAgainst(fetch, {"-G", "-d", "12AB"}).status, 0);
    }
    SimModule module({.module = 0x06, .model = 4, .serial = FIXTURE_SERIAL});
    Bus bus;
    ASSERT_NE(bus.plug(module.sim, module.serial, 0x0104), 0) << bus.remote().error();
    std::unique_ptr<FixtureUpdateServer> server;
    std::vector<std::string> args = {"-U", "-d", "12AB"};
    if (!c.latest.empty()) {
        server = std::make_unique<FixtureUpdateServer>(FixtureServerOptions{
            .builds = serverBuilds(c.latest, {"81;2.10.4;" + bird, "82;2.10.5;00"})});
        args.insert(args.end(), {"-u", server->url()});
    }
    const UpdaterResult r = runOn(bus, args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutUpdateTime(r),
              afterVersion(joined(joined(c.messages, {"Updating firmware with build: 81"}),
                                  TRANSFER_LINES)));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(module.upgrade->image(FIRMWARE_AT), firmware.patched(FIXTURE_SERIAL));
    EXPECT_NE(stored(FIXTURE_SERIAL, ".settings").find("LATEST_TRANSFER=81.bird\n"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Store, UpdateChoosesTheBuild, ::testing::ValuesIn(CHOICES),
                         caseName<ChoiceCase>);

// ---- a routing module that does not help ----------------------------------------------------

struct RoutedFailureCase {
    const char* name;
    bool routerRefuses;            // answers its routing request with an error
    std::vector<std::string> args; // "{file}" stands for a BIRD file of the module's model
    std::vector<std::string> out;  // after the version line
    std::vector<std::string> err;
    int status;
};

void PrintTo(const RoutedFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class RoutedFailures : public Commands, public ::testing::WithParamInterface<RoutedFailureCase> {};

const RoutedFailureCase ROUTED_FAILURES[] = {
    {"ListingWhenRoutingIsRefused",
     true,
     {"-D", "-r", "D272031D", "-t", "USB"},
     {"Searching for Tessaform Network devices connected to D272031D", "Discovered Devices: (USB)",
      "    No devices found."},
     {"Error 12 on route to me"},
     0},
    {"UpdateWhenRoutingIsRefused",
     true,
     {"-U", "-d", "2181F0EE", "-r", "D272031D", "-f", "{file}"},
     {"Updating from Birdfile: {file}"},
     {"Error 12 on route to me", "Unable to find modules on Network"},
     1},
    {"UpdateOfASerialNumberNotOnTheBus",
     false,
     {"-U", "-d", "2181F0EF", "-r", "D272031D", "-f", "{file}"},
     {"Updating from Birdfile: {file}"},
     {"Module address required for indirect firmware update, could not find serial number "
      "[0x2181F0EF] on network"},
     1},
};

TEST_P(RoutedFailures, EndWithTheirLines) {
    const RoutedFailureCase& c = GetParam();
    RoutedSetUp routed;
    if (c.routerRefuses)
        routed.routerSystem->addFault({.command = tfsim::kSystemCommand,
                                       .option = tfsim::system_option::kRouteToMe,
                                       .error = tfsim::Fault::Error::WithCode,
                                       .code = 12});
    Bus bus;
    ASSERT_NE(bus.plug(routed.router, RoutedSetUp::ROUTER, 0x0105), 0) << bus.remote().error();
    TempDir files;
    const std::string path = files.write("fw.bird", Firmware().bird("TF-Pico"));
    const auto expand = [&](const std::vector<std::string>& lines) {
        return replaced(lines, "{file}", path);
    };
    const UpdaterResult r = runOn(bus, expand(c.args));
    EXPECT_EQ(r.outLines(), afterVersion(expand(c.out)));
    EXPECT_EQ(r.errLines(), c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(routed.upgrade->requests(tfsim::upgrade::kInit), 0u);
    bus.expectAllLetGo();
}

INSTANTIATE_TEST_SUITE_P(Routers, RoutedFailures, ::testing::ValuesIn(ROUTED_FAILURES),
                         caseName<RoutedFailureCase>);

} // namespace
