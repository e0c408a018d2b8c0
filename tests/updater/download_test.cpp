// Downloads from the fixture update server into a store of the test's own, and the build lists
// of the server and the store: every request sent, the stored file and its attributes, the
// spinner, and the exact lines of every failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "FixtureUpdateServer.h"
#include "KeyValueStore.h"
#include "LogCapture.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "Updater.h"
#include "UpdaterStore.h"

namespace {

namespace fs = std::filesystem;
using tftest::BirdImage;
using tftest::FIXTURE_SERIAL;
using tftest::FixtureUpdateServer;
using Strings = std::vector<std::string>;
using BuildMap = std::map<std::string, std::string>;

const std::string PING = "/cgi/u?op=hi&rv=2&";
const std::string QUERY = "/cgi/u?op=qu&sn=000012AB&";
const std::string LIST = "/cgi/u?op=builds&sn=000012AB&";
std::string birdRequest(const std::string& build) {
    return "/cgi/u?bld=" + build + "&fw=F&no_cal=false&op=bird&sn=000012AB&";
}
constexpr unsigned UNKNOWN_SERIAL = 0x5555;
const char* const CTIME_PATTERN =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";

tftest::Bytes birdBytes(const std::string& version) {
    return tftest::birdFile(BirdImage()
                                .firmware(0x1000, tftest::randomBytes(300, 5))
                                .descriptor("1", version, "000012AB", "MODEL")
                                .image());
}

class Download : public testing::Test {
  protected:
    void start(FixtureUpdateServer::Options options = {}) {
        server = std::make_unique<FixtureUpdateServer>(options);
        makeUpdater(store);
    }
    void makeUpdater(const std::string& path) {
        updater = std::make_unique<Updater>(server ? server->url().c_str() : "http://127.0.0.1:9",
                                            path.c_str(), display);
    }
    std::string device(unsigned serial = FIXTURE_SERIAL) const {
        return store + "/" + UpdaterStore::DeviceName(serial);
    }
    // What the device's attribute file holds now; nothing when it has none.
    std::map<std::string, std::string> attributes(unsigned serial = FIXTURE_SERIAL) const {
        const std::string path = device(serial) + "/" + KeyValueStore::DEFAULT_FILENAME;
        if (!fs::exists(path)) return {};
        return KeyValueStore(path.c_str()).Entries();
    }
    // A device directory whose attributes already name an earlier download.
    void seedEarlierDownload() {
        UpdaterStore(store.c_str()).AddDevice(FIXTURE_SERIAL);
        KeyValueStore earlier((device() + "/" + KeyValueStore::DEFAULT_FILENAME).c_str());
        earlier.Add("LATEST_DOWNLOAD", "76.bird");
        earlier.Add("LAST_DOWNLOAD_DATE", "Mon Jan  1 00:00:00 2024");
        earlier.Save(nullptr);
    }
    void clearDisplay() {
        display.infos.clear();
        display.errors.clear();
        display.spins = 0;
        display.spinnerStops = 0;
    }
    std::string storedFile(const std::string& name) const {
        return tftest::readFile(device() + "/" + name);
    }

    tftest::TempDir home;
    const std::string store = home / "updater";
    tftest::RecordingDisplay display;
    std::unique_ptr<FixtureUpdateServer> server;
    std::unique_ptr<Updater> updater;
};

TEST_F(Download, StoresTheBuildAskedForOrTheLatestWithItsAttributes) {
    struct Case {
        const char* text;
        unsigned build;
        std::string payload;
    };
    const Case cases[] = {
        {"", 77, tftest::fixturePayload()},
        {"0", 77, tftest::fixturePayload()},
        {"76", 76, std::string(1, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("build text '") + c.text + "'");
        fs::remove_all(store);
        clearDisplay();
        start();
        const std::string build = std::to_string(c.build);

        EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, c.text, false, false), c.build);
        EXPECT_EQ(server->requests(), (Strings{PING, QUERY, LIST, birdRequest(build)}));
        EXPECT_EQ(storedFile(build + ".bird"), c.payload);
        auto stored = attributes();
        EXPECT_EQ(stored["LATEST_DOWNLOAD"], build + ".bird");
        EXPECT_TRUE(std::regex_match(stored["LAST_DOWNLOAD_DATE"], std::regex(CTIME_PATTERN)))
            << stored["LAST_DOWNLOAD_DATE"];
        EXPECT_EQ(display.infos, (Strings{"Retrieving build " + build,
                                          "Validating build " + build + " with server",
                                          "Build " + build + " is valid"}));
        EXPECT_EQ(display.errors, Strings{});
        EXPECT_GE(display.spins, 1);
        EXPECT_EQ(display.spinnerStops, 1);
    }
}

TEST_F(Download, ReplacesAnEarlierFileOfTheSameBuild) {
    start();
    seedEarlierDownload();
    tftest::TempDir scratch;
    fs::copy_file(scratch.write("old", "an older 77"), device() + "/77.bird");
    EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, "77", false, false), 77u);
    EXPECT_EQ(storedFile("77.bird"), tftest::fixturePayload());
    EXPECT_EQ(attributes()["LATEST_DOWNLOAD"], "77.bird");
    for (const auto& entry : fs::directory_iterator(device()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos)
            << "no temporary file is left: " << entry.path();
}

// A slow answer keeps the spinner turning while the main thread waits.
TEST_F(Download, SpinnerTurnsUntilTheAnswerArrives) {
    start({.fault = "slow-bird=0.8"});
    EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, "77", false, false), 77u);
    EXPECT_GT(display.spins, 1);
    EXPECT_EQ(display.spinnerStops, 1);
}

TEST_F(Download, OverrideRequestsABuildTheServerDoesNotList) {
    start();
    EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, "99", true, false), 0u);
    EXPECT_EQ(server->requests(), (Strings{PING, QUERY, birdRequest("99")}))
        << "the list is never asked for";
    EXPECT_EQ(display.infos, (Strings{"Retrieving build 99",
                                      "Override specified, skipping validation of build 99"}));
    EXPECT_EQ(display.errors, (Strings{"Download failed", "Failed to retrieve a valid BIRD file"}));
    EXPECT_EQ(display.spinnerStops, 1);
    EXPECT_FALSE(fs::exists(device() + "/99.bird"));

    clearDisplay();
    EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, "100", true, false), 100u)
        << "a listed build with override";
    EXPECT_EQ(storedFile("100.bird"), std::string(1, '\1'));
}

TEST_F(Download, RefusesBeforeAnyRequest) {
    struct Case {
        unsigned serial;
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {FIXTURE_SERIAL, "12x", "Build number '12x' must be an number"},
        {FIXTURE_SERIAL, "x12", "Build number 'x12' must be an number"},
        {FIXTURE_SERIAL, "99999999999999999999999",
         "Build number '99999999999999999999999' must be an number"},
        {0, "", "Serial Number must be non-zero"},
        {0, "77", "Serial Number must be non-zero"},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        clearDisplay();
        EXPECT_EQ(updater->Download_Firmware(c.serial, c.text, true, false), 0u);
        EXPECT_EQ(display.errors, Strings{c.error});
        EXPECT_EQ(display.infos, Strings{});
    }
    EXPECT_EQ(server->requests(), Strings{});
    EXPECT_FALSE(fs::exists(store)) << "not even the store is opened";
}

// Each failure ends with its own line, and what the store held before stays as it was.
TEST_F(Download, FailuresLeaveTheStoreAsItWas) {
    struct Case {
        const char* name;
        std::string fault;
        unsigned serial;
        std::string text;
        Strings requests;
        Strings errors;
    };
    const Case cases[] = {
        {"server refuses the ping",
         "404",
         FIXTURE_SERIAL,
         "77",
         {PING},
         {"Server request failed for %URL%"}},
        {"unknown device",
         "",
         UNKNOWN_SERIAL,
         "",
         {PING, "/cgi/u?op=qu&sn=00005555&"},
         {"No build information for device"}},
        {"build not listed", "", FIXTURE_SERIAL, "99", {PING, QUERY, LIST}, {"No valid build 99"}},
        {"payload is no Base64",
         "bad-length",
         FIXTURE_SERIAL,
         "77",
         {PING, QUERY, LIST, birdRequest("77")},
         {"Failed to retrieve a valid BIRD file"}},
        {"answer cut short",
         "reset",
         FIXTURE_SERIAL,
         "77",
         {PING},
         {"Server request failed for %URL%"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(store);
        clearDisplay();
        start({.fault = c.fault});
        seedEarlierDownload();
        const auto before = attributes();
        Strings errors;
        for (std::string e : c.errors) {
            if (auto at = e.find("%URL%"); at != std::string::npos) e.replace(at, 5, server->url());
            errors.push_back(e);
        }

        EXPECT_EQ(updater->Download_Firmware(c.serial, c.text, false, false), 0u);
        EXPECT_EQ(display.errors, errors);
        EXPECT_EQ(server->requests(), c.requests);
        EXPECT_EQ(attributes(), before);
        EXPECT_FALSE(fs::exists(device() + "/" + c.text + ".bird"));
    }
}

// A file that cannot be written is a failed download: the attributes must not name it.
TEST_F(Download, FailedWriteIsAFailureAndRecordsNothing) {
    start();
    seedEarlierDownload();
    fs::create_directory(device() + "/77.bird"); // nothing can be renamed over it
    const auto before = attributes();
    EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, "77", false, false), 0u);
    EXPECT_EQ(display.errors, Strings{"Failed to write file with 6"});
    EXPECT_EQ(attributes(), before);
    EXPECT_TRUE(fs::is_directory(device() + "/77.bird"));
}

TEST_F(Download, StoreThatCannotBeOpenedOrGrown) {
    start();
    // The device's directory name taken by a file.
    UpdaterStore made(store.c_str());
    home.write("updater/000012AB", "not a directory");
    EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, "77", false, false), 0u);
    EXPECT_EQ(display.errors, Strings{"Could not create directory for storing BIRD file"});
    EXPECT_EQ(server->requests(), Strings{PING}) << "before the server is asked for the build";

    // The store's own directory taken by a file.
    clearDisplay();
    makeUpdater(home.write("plain", "a file"));
    EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, "77", false, false), 0u);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0].rfind("Failed to Create UpdaterStore in: Download_Firmware - "
                                      "Exception: ",
                                      0),
              0u)
        << display.errors[0];
}

TEST_F(Download, UnknownDeviceGetsItsDirectory) {
    start();
    tftest::LogCapture log(DEBUG_APP);
    EXPECT_EQ(updater->Download_Firmware(UNKNOWN_SERIAL, "", false, false), 0u);
    EXPECT_TRUE(fs::is_directory(device(UNKNOWN_SERIAL)));
    EXPECT_NE(log.text().find("Could not find device in our update history.\n"), std::string::npos);
}

// Texts of the server that are no build numbers, too long ones among them, are logged and
// name no build.
TEST_F(Download, ServerTextsThatAreNoBuildNumbers) {
    const std::string builds = R"({"devices": {"000012AB": {"latest": "LATEST", "firmware": "F",
      "builds": [{"build": "abc", "version": "1.0.0", "payload": "00"},
                 {"build": "99999999999999999999999", "version": "1.0.1", "payload": "00"},
                 {"build": "5", "version": "1.0.2", "payload": "0506"}]}}})";
    struct Case {
        const char* latest;
        const char* text;
        unsigned result;
        const char* shown;
        const char* logged;
    };
    const Case cases[] = {
        {"abc", "", 0, "No valid build 0", "Error: Could not convert abc to int.\n"},
        {"99999999999999999999999", "", 0, "No valid build 0",
         "Error: Could not convert 99999999999999999999999 to int.\n"},
        {"5", "6", 0, "No valid build 6", "Error: Could not convert abc to int.\n"},
        {"5", "", 5, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.latest + std::string(" / ") + c.text);
        std::string json = builds;
        json.replace(json.find("LATEST"), 6, c.latest);
        clearDisplay();
        start({.builds = json});
        tftest::LogCapture log(DEBUG_Updater);
        EXPECT_EQ(updater->Download_Firmware(FIXTURE_SERIAL, c.text, false, false), c.result);
        EXPECT_EQ(display.errors, c.shown ? Strings{c.shown} : Strings{});
        if (c.logged) {
            EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
        }
    }
    EXPECT_EQ(storedFile("5.bird"), "\x05\x06");
}

TEST_F(Download, ByFingerprintAsksWhichModuleAndBuild) {
    struct Case {
        Fingerprint fingerprint;
        const char* text;
        unsigned result;
        Strings errors;
    };
    const Case cases[] = {
        {{{1, 2, 3, 4}}, "", 77, {}},
        {{{1, 2, 3, 4}}, "76", 76, {}},
        {{{1, 2, 3, 5}},
         "",
         0,
         {"Failed to retrieve recovery information from Keldoran update server"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        clearDisplay();
        start();
        EXPECT_EQ(updater->Download_Firmware(c.fingerprint, c.text, false), c.result);
        EXPECT_EQ(display.errors, c.errors);
        const Strings requests = server->requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests[0].find("/cgi/u?brief=true&fp="), 0u) << requests[0];
        if (c.result != 0) {
            EXPECT_EQ(requests.back(), birdRequest(std::to_string(c.result)));
            EXPECT_EQ(attributes()["LATEST_DOWNLOAD"], std::to_string(c.result) + ".bird");
        } else {
            EXPECT_EQ(requests.size(), 1u);
        }
    }
}

TEST_F(Download, ServerBuildList) {
    start();
    EXPECT_EQ(updater->Get_BuildList(FIXTURE_SERIAL),
              (BuildMap{{"100", "2.12.10"}, {"76", "2.9.0"}, {"77", "2.12.5"}}));
    EXPECT_EQ(server->requests(), (Strings{PING, LIST}));
    EXPECT_EQ(display.errors, Strings{});

    EXPECT_EQ(updater->Get_BuildList(UNKNOWN_SERIAL), BuildMap{});
    EXPECT_EQ(display.errors, Strings{"Failed to retrieve builds for 00005555"});

    clearDisplay();
    start({.fault = "404"});
    EXPECT_EQ(updater->Get_BuildList(FIXTURE_SERIAL), BuildMap{});
    EXPECT_EQ(display.errors, Strings{"Server request failed for " + server->url()});
    EXPECT_EQ(server->requests(), Strings{PING});
}

TEST_F(Download, StoredBuildListWithEachFilesVersion) {
    start();
    EXPECT_EQ(updater->Get_BuildListLocal(FIXTURE_SERIAL), BuildMap{}) << "no device directory";
    EXPECT_FALSE(fs::exists(device())) << "a listing creates nothing";

    UpdaterStore(store.c_str()).AddDevice(FIXTURE_SERIAL);
    const std::string dir = device() + "/";
    const auto put = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir + name, std::ios::binary) << bytes;
    };
    put("100.bird", tftest::asText(birdBytes("2.12.10")));
    put("20.bird", tftest::asText(birdBytes("2.9.1")));
    put("notes.txt", "not a firmware file");
    put("30.bird", "plain text under a build's name");
    put("40.bird", std::string("bird\x01\x01", 6) + "no zlib stream follows"); // fails to load
    put("50.bird.bak", tftest::asText(birdBytes("1.0.0")));
    put(".60.bird.tmp.1", tftest::asText(birdBytes("1.0.1")));

    EXPECT_EQ(updater->Get_BuildListLocal(FIXTURE_SERIAL), (BuildMap{{"100", "2.12.10"},
                                                                     {"20", "2.9.1"},
                                                                     {"30", ""},
                                                                     {"40", ""},
                                                                     {"50", "1.0.0"},
                                                                     {"notes.txt", ""}}));
    EXPECT_EQ(display.errors, Strings{});
    EXPECT_EQ(server->requests(), Strings{}) << "the server is not asked";

    makeUpdater(home.write("plain", "a file"));
    EXPECT_EQ(updater->Get_BuildListLocal(FIXTURE_SERIAL), BuildMap{});
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0].rfind(
                  "Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0),
              0u)
        << display.errors[0];
}

} // namespace
