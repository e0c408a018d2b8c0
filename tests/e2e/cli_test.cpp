// The updater's command line end to end: usage and help, wrong command lines, arguments out of
// range, commands that lack what they need, and the store directory, each with its exact output
// and exit status.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <pwd.h>

#include "UpdaterE2E.h"

namespace {

using namespace tftest;

const std::vector<std::string> VERSION_AND_COPYRIGHT = {VERSION_LINE, COPYRIGHT_LINE};

// Lines of the three usage blocks after the head.
constexpr size_t HEAD_LINES = 10;
constexpr size_t PARAMETER_LINES = 35;
constexpr size_t EXTENDED_LINES = 42;
constexpr size_t SAMPLE_LINES = 38;

// Test names from the cases' own names.
template <class T> std::string caseName(const ::testing::TestParamInfo<T>& param) {
    return param.param.name;
}

struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> out;
    std::vector<std::string> err;
    int status;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class CommandLine : public UpdaterE2E, public ::testing::WithParamInterface<Case> {};

// Wrong command lines: their errors, then the version, copyright and the usage head; status 1.
const Case WRONG[] = {
    {"SerialNotHex",
     {"-d", "12g", "-G"},
     {},
     {"Invalid serial number obtained from argument [12g]"},
     1},
    {"SerialZero", {"-d", "0", "-D"}, {}, {"Invalid serial number obtained from argument [0]"}, 1},
    {"SerialWithSign",
     {"-d", "+12AB", "-D"},
     {},
     {"Invalid serial number obtained from argument [+12AB]"},
     1},
    // Cut to 32 bits these would name device 40F5849A.
    {"SerialWiderThan32Bits",
     {"-d", "140F5849A", "-D"},
     {},
     {"Invalid serial number obtained from argument [140F5849A]"},
     1},
    {"PrefixedSerialWiderThan32Bits",
     {"-d", "0x140F5849A", "-U"},
     {},
     {"Invalid serial number obtained from argument [140F5849A]"},
     1},
    {"SerialBeyond64Bits",
     {"-d", "1FFFFFFFFFFFFFFFFFFFF", "-L"},
     {},
     {"Invalid serial number obtained from argument [1FFFFFFFFFFFFFFFFFFFF]"},
     1},
    {"RouterPrefixOnly",
     {"-r", "0x", "-D"},
     {},
     {"Invalid router serial number obtained from argument []"},
     1},
    {"RouterWiderThan32Bits",
     {"-r", "1D272031D", "-D"},
     {},
     {"Invalid router serial number obtained from argument [1D272031D]"},
     1},
    {"TransportCaseMatters",
     {"-t", "tcpip", "-D"},
     {},
     {"Invalid transport type:[tcpip]", "Must be one of the following: USB, TCPIP, RECOVER"},
     1},
    {"TwoServerSchemes",
     {"--http", "--https", "-D"},
     {},
     {"Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."},
     1},
    {"ServerUrlAndScheme",
     {"-u", "http://127.0.0.1:1/cgi/u", "--https", "-L", "-d", "12AB"},
     {},
     {"Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."},
     1},
    {"UnhandledCommand", {"-Y"}, {}, {"Unhandled command: [-Y]"}, 1},
    // Cut to 32 bits 4294967297 would install build 1.
    {"BuildWiderThan32Bits",
     {"-b", "4294967297", "-U", "-d", "12AB"},
     {},
     {"Invalid build number obtained from argument [4294967297]"},
     1},
    {"BaudWiderThan32Bits",
     {"-o", "99999999999", "-N", "-s", "/dev/null"},
     {},
     {"Invalid baud rate obtained from argument [99999999999]"},
     1},
    {"EveryErrorIsShown",
     {"-d", "12g", "-t", "X", "-D"},
     {},
     {"Invalid serial number obtained from argument [12g]", "Invalid transport type:[X]",
      "Must be one of the following: USB, TCPIP, RECOVER"},
     1},
};

class WrongCommandLine : public CommandLine {};

TEST_P(WrongCommandLine, ShowsItsErrorsThenTheUsageHeadAndFails) {
    const Case& c = GetParam();
    const UpdaterResult r = run(withStore(c.args));
    EXPECT_EQ(r.outLines(), VERSION_AND_COPYRIGHT);
    EXPECT_EQ(r.errLines(), joined(c.err, usageHead()));
    EXPECT_EQ(r.status, c.status);
    // Nothing ran, so not even the store was made.
    EXPECT_FALSE(std::filesystem::exists(store_.path() / "updater"));
}

INSTANTIATE_TEST_SUITE_P(Cases, WrongCommandLine, ::testing::ValuesIn(WRONG), caseName<Case>);

// Runs that print the usage and succeed: help asked for, or no command.
struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> errorsFirst; // the parse's errors before the usage
    bool full;
    bool extended;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

const UsageCase USAGE[] = {
    {"NoArguments", {}, {}, false, false},
    {"OverrideAloneIsNoCommand", {"-O"}, {}, false, false},
    {"OptionsWithoutCommand", {"-d", "12AB", "-n", "-e", "-b", "5"}, {}, false, false},
    {"LowerH", {"-h"}, {}, true, false},
    {"UpperH", {"-H"}, {}, true, false},
    {"LongHelp", {"--help"}, {}, true, false},
    {"AbbreviatedLongHelp", {"--he"}, {}, true, false},
    {"HelpWithCommands", {"-D", "-U", "-h"}, {}, true, false},
    {"MaskBeforeHelpAddsExtended", {"-X", "0", "-h"}, {}, true, true},
    {"MaskAfterHelpIsNotRead", {"-h", "-X", "0"}, {}, true, false},
    {"HelpAfterAnError", {"-Y", "-h"}, {"Unhandled command: [-Y]"}, true, false},
    {"HelpAfterABadSerial",
     {"-d", "12g", "--help"},
     {"Invalid serial number obtained from argument [12g]"},
     true,
     false},
};

class Usage : public UpdaterE2E, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, PrintsTheVersionCopyrightAndUsageAndSucceeds) {
    const UsageCase& c = GetParam();
    const UpdaterResult r = run(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.outLines(), VERSION_AND_COPYRIGHT);
    std::vector<std::string> err = r.errLines();
    ASSERT_GE(err.size(), c.errorsFirst.size());
    EXPECT_EQ(std::vector<std::string>(err.begin(), err.begin() + long(c.errorsFirst.size())),
              c.errorsFirst);
    err.erase(err.begin(), err.begin() + long(c.errorsFirst.size()));
    ASSERT_GE(err.size(), HEAD_LINES);
    EXPECT_EQ(std::vector<std::string>(err.begin(), err.begin() + HEAD_LINES), usageHead());
    if (!c.full) {
        EXPECT_EQ(err.size(), HEAD_LINES);
        return;
    }
    const size_t samples = HEAD_LINES + PARAMETER_LINES + (c.extended ? EXTENDED_LINES : 0);
    ASSERT_EQ(err.size(), samples + SAMPLE_LINES);
    EXPECT_EQ(err[HEAD_LINES], "  Parameters to commands:");
    EXPECT_EQ(err[HEAD_LINES + 32],
              "     --http                   - Use HTTP for the update server "
              "(http://update.keldoran.com/cgi/u).");
    EXPECT_EQ(err[HEAD_LINES + 33], "     --https                  - Use HTTPS for the update "
                                    "server (https://update.keldoran.com/cgi/u).");
    if (c.extended) {
        EXPECT_EQ(err[HEAD_LINES + PARAMETER_LINES], "  Extended Parameters:");
        EXPECT_EQ(err[HEAD_LINES + PARAMETER_LINES + 8],
                  "                                Default: update.keldoran.com:port");
        EXPECT_EQ(err[HEAD_LINES + PARAMETER_LINES + 38],
                  "                                DEBUG_iMXSerial     0x10000000");
    }
    EXPECT_EQ(err[samples], " Sample usage:");
    EXPECT_EQ(err[samples + 8], "-D -t USB -d 0F5849A           Discover settings of the specific "
                                "device (serial number 0x40F5849A)");
    EXPECT_EQ(err[samples + 34], "-G -U -d 2181F0EE -r D272031D");
    EXPECT_EQ(err.back(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, Usage, ::testing::ValuesIn(USAGE), caseName<UsageCase>);

// Commands that lack what they need, and commands that do nothing; each with the store option.
const Case COMMANDS[] = {
    {"InfoAloneRunsNothing", {"-I"}, {VERSION_LINE}, {}, 0},
    {"CheckAloneRunsNothing", {"-C"}, {VERSION_LINE}, {}, 0},
    {"ZAloneRunsNothing", {"-Z", "x"}, {VERSION_LINE}, {}, 0},
    // An unknown option, an argument where none belongs and a missing argument are skipped.
    {"BadOptionsAreSkipped", {"-Q", "-D=1", "--nothing", "-I", "-d"}, {VERSION_LINE}, {}, 0},
    {"GetWithoutDevice",
     {"-G"},
     {VERSION_LINE},
     {"-G must specify a specific device via -d", "--help for usage information"},
     1},
    {"UpdateWithoutDevice",
     {"-U", "-t", "USB"},
     {VERSION_LINE},
     {"Must specify the specific device to be updated"},
     1},
    {"BuildsWithoutDevice",
     {"-B"},
     {VERSION_LINE},
     joined({"Error must supply a serial number for the List Builds command"}, usageHead()),
     1},
    {"LocalBuildsWithoutDevice",
     {"-L"},
     {VERSION_LINE},
     joined({"Error must supply a serial number for the List Local Builds command"}, usageHead()),
     1},
    {"ServerListWinsOverLocal",
     {"-L", "-B"},
     {VERSION_LINE},
     joined({"Error must supply a serial number for the List Builds command"}, usageHead()),
     1},
    {"FingerprintWithoutPort",
     {"-N"},
     {VERSION_LINE},
     {"Must specify the serial port used for connecting"},
     1},
    // No later command runs after it.
    {"FingerprintWithoutPortStopsTheRun",
     {"-N", "-G", "-U", "-d", "12AB"},
     {VERSION_LINE},
     {"Must specify the serial port used for connecting"},
     1},
    {"UnprocessedMaskCharacters",
     {"-X", "12abc", "-I"},
     {VERSION_LINE},
     {"Invalid format for \"-X\" parameter, unprocessed characters [abc]"},
     0},
    {"MaskWiderThan32Bits",
     {"-X", "0x100010000", "-I"},
     {VERSION_LINE},
     {"Invalid format for \"-X\" parameter, unprocessed characters [0x100010000]"},
     0},
};

class Command : public CommandLine {};

TEST_P(Command, EndsWithItsLinesAndStatus) {
    const Case& c = GetParam();
    const UpdaterResult r = run(withStore(c.args));
    EXPECT_EQ(r.outLines(), c.out);
    EXPECT_EQ(r.errLines(), c.err);
    EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Cases, Command, ::testing::ValuesIn(COMMANDS), caseName<Case>);

TEST_F(UpdaterE2E, InfoMakesTheStoreDirectoryAndNothingElse) {
    const UpdaterResult r = run(withStore({"-I"}));
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(std::filesystem::is_directory(store_.path() / "updater"));
    struct stat info {};
    ASSERT_EQ(::stat((store_.path() / "updater").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_TRUE(std::filesystem::is_empty(store_.path() / "updater"));
}

TEST_F(UpdaterE2E, StoreThatCannotBeMadeFails) {
    const std::string file = store_.write("plain", "not a directory");
    const UpdaterResult r = run({"-I", "-i", file});
    EXPECT_EQ(r.outLines(), std::vector<std::string>{VERSION_LINE});
    EXPECT_EQ(r.errLines(),
              std::vector<std::string>{"Could not find updater directory at " + file + "/updater"});
    EXPECT_EQ(r.status, 1);
}

TEST_F(UpdaterE2E, ParameterTraceListsTheWordsOptionsFirst) {
    const std::vector<std::string> args =
        withStore({"stray", "-X", "0x10000", "-I", "loose", "-d", "12AB"});
    const UpdaterResult r = run(args);
    ASSERT_EQ(r.status, 0);
    const std::string s = store_.path().string();
    EXPECT_EQ(r.err, std::string("\nApplication parameters:[updater]\n") + "\t[" + UPDATER_PROGRAM +
                         "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[-d]\n\t[12AB]\n\t[-i]\n\t[" + s +
                         "]\n\t[stray]\n\t[loose]\n");
}

// The recovery commands against a port where no boot ROM answers end with a clear line.
TEST_F(UpdaterE2E, RecoveryCommandsWithoutAChipFailWithAClearLine) {
    UpdaterResult r = run(withStore({"-U", "-t", "RECOVER", "-s", "/dev/null"}));
    EXPECT_EQ(r.outLines(), std::vector<std::string>{VERSION_LINE});
    EXPECT_EQ(r.errLines(), std::vector<std::string>{"Could not get Device Identifier"});
    EXPECT_EQ(r.status, 1);

    r = run(withStore({"-N", "-s", "/dev/null"}));
    EXPECT_EQ(r.outLines(), std::vector<std::string>{VERSION_LINE});
    EXPECT_EQ(r.errLines(), std::vector<std::string>{"Got no response from chip"});
    EXPECT_EQ(r.status, 1);
}

TEST_F(UpdaterE2E, RunsWithoutAProgramWord) {
    UpdaterRunOptions options;
    options.nullArgv0 = true;
    const UpdaterResult r = run({}, options);
    EXPECT_EQ(r.outLines(), VERSION_AND_COPYRIGHT);
    EXPECT_EQ(r.errLines(), usageHead());
    EXPECT_EQ(r.status, 0);
}

// A user id that the password database does not know, without HOME: no home directory.
constexpr uid_t HOMELESS = 43219;

bool becomeHomeless() {
    return ::setgid(HOMELESS) == 0 && ::setuid(HOMELESS) == 0;
}

TEST_F(UpdaterE2E, MissingHomeDirectoryIsReported) {
    TF_REQUIRE_ROOT();
    if (::getpwuid(HOMELESS) != nullptr) GTEST_SKIP() << "user id " << HOMELESS << " exists here";
    UpdaterRunOptions options;
    options.unset = {"HOME"};
    options.beforeExec = becomeHomeless;
    const std::vector<std::string> args = {"-I"};
    const UpdaterResult r = runProgram(UPDATER_PROGRAM, args, [&] {
        options.environment.push_back(UPDATER_PRELOAD);
        return options;
    }());
    if (r.status == 127 && r.out.empty())
        GTEST_SKIP() << "the build tree cannot be reached by an unprivileged user";
    EXPECT_EQ(r.outLines(), std::vector<std::string>{VERSION_LINE});
    EXPECT_EQ(r.errLines(), std::vector<std::string>{"Could not find the home directory "
                                                     "(aErrNotFound); name the store directory "
                                                     "with -i"});
    EXPECT_EQ(r.status, 1);
}

} // namespace
