// The command line's reading and the listings in process: the digit arguments, what each
// option sets, and the device and build lines byte for byte.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Listings.h"
#include "Parameters.h"
#include "TempDir.h"

namespace {

struct DigitsCase {
    const char* text;
    bool hex;
    uint32_t value;
    bool endMoved; // end was set (to the end of the text)
};

TEST(DigitArguments, TakeOnlyPlainDigitsThatFit32Bits) {
    const DigitsCase cases[] = {
        {"12AB", true, 0x12AB, true},
        {"12ab", true, 0x12AB, true},
        {"FFFFFFFF", true, 0xFFFFFFFF, true},
        {"", true, 0, true},
        {"0x12", true, 0, false},
        {" 12", true, 0, false},
        {"+12", true, 0, false},
        {"12g", true, 0, false},
        {"100000000", true, 0, false},
        {"FFFFFFFFFFFFFFFFFFFF", true, 0, false},
        {"4294967295", false, 4294967295u, true},
        {"007", false, 7, true},
        {"4294967296", false, 0, false},
        {"12a", false, 0, false},
        {"-1", false, 0, false},
    };
    for (const DigitsCase& c : cases) {
        char sentinel = 0;
        char* end = &sentinel;
        const uint32_t value = c.hex ? _get_hex_arg(c.text, &end) : _get_int_arg(c.text, &end);
        EXPECT_EQ(value, c.value) << c.text;
        if (c.endMoved)
            EXPECT_EQ(end, c.text + std::strlen(c.text)) << c.text;
        else
            EXPECT_EQ(end, &sentinel) << c.text;
    }
    EXPECT_EQ(_get_hex_arg("12AB", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

// The words after the program name, parsed into a fresh record.
struct Parsed {
    int result;
    Parameters p;
};

Parsed parse(std::vector<std::string> words) {
    static CLI_Display display;
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    Parsed out;
    // Errors go to standard error; these cases are about the record.
    out.result = _get_params(display, int(words.size()), argv.data(), &out.p);
    return out;
}

TEST(GetParams, SetsTheDefaultsBeforeTheWalk) {
    const Parsed r = parse({"/usr/local/bin/updater"});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.p.applicationName, "updater");
    EXPECT_EQ(r.p.transport, TRANSPORT_USB);
    EXPECT_FALSE(r.p.transportGiven);
    EXPECT_EQ(r.p.baudRate, 115200u);
    EXPECT_EQ(r.p.serverURL, "http://update.keldoran.com/cgi/u");
    EXPECT_EQ(r.p.logMode, "a+");
    EXPECT_EQ(r.p.logFile, "Updater.log");
    EXPECT_TRUE(r.p.useUEIBytes);
    EXPECT_TRUE(r.p.build.empty());
    EXPECT_FALSE(r.p.commands.IsSet(CMD_ANY | CMD_HELP));
}

TEST(GetParams, EachOptionSetsItsField) {
    struct Case {
        std::vector<std::string> words;
        std::function<bool(const Parameters&)> holds;
        const char* what;
    };
    const Case cases[] = {
        {{"-m", "1"}, [](auto& p) { return p.useUEIBytes; }, "-m 1"},
        {{"-m", "trueish"}, [](auto& p) { return p.useUEIBytes; }, "-m trueish"},
        {{"-m", "0"}, [](auto& p) { return !p.useUEIBytes; }, "-m 0"},
        {{"-m", "yes"}, [](auto& p) { return !p.useUEIBytes; }, "-m yes"},
        {{"-t", "TCPX"}, [](auto& p) { return p.transport == 2 && p.transportGiven; }, "TCPX"},
        {{"-t", "TCPIP"}, [](auto& p) { return p.transport == 2; }, "TCPIP"},
        {{"-t", "USBfoo"}, [](auto& p) { return p.transport == 1 && p.transportGiven; }, "USB"},
        {{"-t", "RECOVERY"}, [](auto& p) { return p.transport == 0xFF; }, "RECOVER"},
        {{"-b", "abc"}, [](auto& p) { return p.build == "0"; }, "-b abc"},
        {{"-b", "0077"}, [](auto& p) { return p.build == "77"; }, "-b 0077"},
        {{"-o", "fast"}, [](auto& p) { return p.baudRate == 0; }, "-o fast"},
        {{"-o=9600"}, [](auto& p) { return p.baudRate == 9600; }, "-o=9600"},
        {{"-d", "0X40f5849a"}, [](auto& p) { return p.serialNumber == 0x40F5849A; }, "0X"},
        {{"-r", "D272031D"}, [](auto& p) { return p.routerSerialNumber == 0xD272031D; }, "-r"},
        {{"--https"},
         [](auto& p) { return p.serverURL == "https://update.keldoran.com/cgi/u"; },
         "--https"},
        {{"-u", "http://h:1/cgi/u"},
         [](auto& p) { return p.serverURL == "http://h:1/cgi/u"; },
         "-u"},
        {{"-O"}, [](auto& p) { return p.override && !p.commands.IsSet(CMD_ANY); }, "-O"},
        {{"-OVERRIDE"}, [](auto& p) { return p.override; }, "-OVERRIDE"},
        {{"-L", "-N"},
         [](auto& p) {
             return p.commands.IsSet(CMD_LOCAL_BUILDS) && p.commands.IsSet(CMD_FINGERPRINT) &&
                    !p.commands.IsSet(CMD_UPDATE);
         },
         "-L -N"},
        {{"-s", "/dev/ttyS0", "-f", "a.bird", "-i", "/tmp/s"},
         [](auto& p) {
             return p.serialPort == "/dev/ttyS0" && p.birdFile == "a.bird" &&
                    p.storeDirectory == "/tmp/s";
         },
         "strings"},
        {{"-n", "-e", "-l", "msg", "-k", "f.log"},
         [](auto& p) {
             return p.nFlag && p.echo && p.historyMessage == "msg" && p.logFile == "f.log";
         },
         "unread"},
        {{"-X", "0x0"}, [](auto& p) { return p.logMaskGiven && p.logMask == 0; }, "-X"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"updater"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        const Parsed r = parse(words);
        EXPECT_EQ(r.result, 0) << c.what;
        EXPECT_TRUE(c.holds(r.p)) << c.what;
    }
}

TEST(GetParams, ApplicationNameIsTheWordAfterItsLastSeparator) {
    EXPECT_EQ(parse({"C:\\tools\\updater.exe"}).p.applicationName, "updater.exe");
    EXPECT_EQ(parse({"a/b\\c/upd"}).p.applicationName, "upd");
    EXPECT_EQ(parse({"plain"}).p.applicationName, "plain");
}

TEST(GetParams, ReadsAnEmptyArgumentArray) {
    CLI_Display display;
    char* argv[] = {nullptr};
    Parameters p;
    EXPECT_EQ(_get_params(display, 0, argv, &p), 0);
    EXPECT_EQ(p.applicationName, "");
    EXPECT_FALSE(p.commands.IsSet(CMD_ANY | CMD_HELP));
}

TEST(GetParams, ReleaseFreesTheOwnedBlockOnce) {
    Parameters p;
    p.ownedBlock = std::malloc(16);
    EXPECT_EQ(_release_params(&p), 0);
    EXPECT_EQ(p.ownedBlock, nullptr);
    EXPECT_EQ(_release_params(&p), 0);
}

// What fn printed on standard output.
std::string stdoutOf(const std::function<void()>& fn) {
    tftest::TempDir dir;
    const std::string path = dir / "out";
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int saved = ::dup(1);
    std::fflush(stdout);
    ::dup2(file, 1);
    fn();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(file);
    return tftest::readFile(path);
}

DeviceInfo device(linkType type, uint32_t serial, uint32_t model, int32_t error = 0) {
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serialNumber = serial;
    d.spec.moduleAddress = 6;
    d.spec.routerAddress = 0x10;
    d.spec.model = model;
    d.major = 2;
    d.minor = 12;
    d.patch = 5;
    d.build = 1234;
    d.deviceName = "bench";
    d.error = error;
    return d;
}

TEST(DeviceList, LinesFollowEachRecordAndTheHeaderTheType) {
    CLI_Display display;
    std::vector<DeviceInfo> list = {device(1, 0x40F5849A, 16), device(1, 0xAB, 4, 5),
                                    device(2, 0x2181F0EE, 5)};
    list[2].spec.t.ip.ipAddress = inet_addr("10.77.0.2");
    const std::string usbLine = "    40F5849A  06       10      TF-Mega        2.12.5 (      "
                                "1234)         bench\n";
    const std::string busyLine = "    000000AB  [Error (5): Device in use. Close all other "
                                 "Keldoran associated applications.]\n";
    const std::string tcpLine = "    2181F0EE  06       10      TF-Router      2.12.5 (      "
                                "1234)        [10.77.0.2]        bench\n";
    EXPECT_EQ(stdoutOf([&] { _display_device_list(display, list, 1); }),
              "Discovered Devices: (USB)\n"
              "    Device    Module   Router  Model          Firmware Version (Build)    Device "
              "Name\n" +
                  usbLine + busyLine + tcpLine);
    // A routed list without -t: the header with the IP column.
    EXPECT_EQ(stdoutOf([&] { _display_device_list(display, list, 0); }),
              "Discovered Devices: (Unknown)\n"
              "    Device    Module   Router  Model          Firmware Version (Build)   [IP "
              "address]       Device Name\n" +
                  usbLine + busyLine + tcpLine);
    std::vector<DeviceInfo> none;
    EXPECT_EQ(stdoutOf([&] { _display_device_list(display, none, 2); }),
              "Discovered Devices: (TCPIP)\n    No devices found.\n");
}

TEST(BuildList, NewestFirstWithColumnsCutAndPadded) {
    CLI_Display display;
    std::map<std::string, std::string> builds = {
        {"76", "2.9.0"}, {"77", "2.12.5"}, {"12345678901234567", "1.0.0"}};
    EXPECT_EQ(stdoutOf([&] { _display_builds(display, builds, 0x12AB); }),
              "Build List for device [000012AB]:\n\n"
              "Build          \tVersion        \n"
              "77             \t2.12.5         \n"
              "76             \t2.9.0          \n"
              "123456789012345\t1.0.0          \n");
    std::map<std::string, std::string> none;
    EXPECT_EQ(stdoutOf([&] { _display_builds(display, none, 0xAB); }),
              "No builds found for device [000000AB]\n");
}

TEST(Fingerprint, FourWordsInOrder) {
    CLI_Display display;
    Fingerprint f;
    f.id[0] = 1;
    f.id[1] = 0xDEADBEEF;
    f.id[2] = 0x10;
    f.id[3] = 0xFFFFFFFF;
    EXPECT_EQ(stdoutOf([&] { _display_fingerprint(display, f); }),
              "[ 00000001 DEADBEEF 00000010 FFFFFFFF ]\n");
}

} // namespace
