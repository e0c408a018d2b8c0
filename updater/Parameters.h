// The updater's command line: the commands asked for, the settings the options give, the
// option table and its reading.
#pragma once

#include <cstdint>
#include <string>

#include "CLI_Display.h"
#include "SimpleOpt.h"

// The command bits of one run.
enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,       // -D
    CMD_UPDATE = 0x2,         // -U (recover when the transport is RECOVER)
    CMD_BUILDS = 0x4,         // -B
    CMD_GET = 0x8,            // -G
    CMD_INFO = 0x10,          // -I
    CMD_CHECK = 0x20,         // -C
    CMD_FINGERPRINT = 0x40,   // -N
    CMD_Z = 0x80,             // -Z
    CMD_LOCAL_BUILDS = 0x200, // -L
    CMD_HELP = 0x80000000,    // -h, -H, --help
};

// Every command bit that makes a run do something rather than print its usage.
constexpr uint32_t CMD_ANY = CMD_DISCOVER | CMD_UPDATE | CMD_BUILDS | CMD_GET | CMD_INFO |
                             CMD_CHECK | CMD_FINGERPRINT | CMD_Z | CMD_LOCAL_BUILDS;

class CommandsClass {
  public:
    void Set(uint32_t bits) { set |= bits; }
    // True when any of the bits is set.
    bool IsSet(uint32_t bits) const { return (set & bits) != 0; }

  private:
    uint32_t set = 0;
};

// The transport values of -t.
constexpr int32_t TRANSPORT_USB = 1;
constexpr int32_t TRANSPORT_TCPIP = 2;
constexpr int32_t TRANSPORT_RECOVER = 0xFF;

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    int32_t transport = TRANSPORT_USB; // 0 after a bad -t
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string historyMessage;
    std::string build; // -b; -G leaves the build it fetched here for -U
    bool echo = false;
    std::string serverURL;
    bool nFlag = false;
    std::string storeDirectory;
    std::string applicationName;
    std::string homeDirectory;
    std::string logMode;
    std::string logFile;
    void* ownedBlock = nullptr; // freed by _release_params
    bool override = false;
    bool useUEIBytes = true;
    uint32_t logMask = 0;
    bool logMaskGiven = false;
    bool help = false;
};

// The option ids of the table.
enum OPTION_IDS { OPT_HELP = 0, OPT_COMMAND = 1, OPT_OPTION = 2, OPT_HTTPS = 3, OPT_HTTP = 4 };

extern const CSimpleOptTempl<char>::SOption g_rgOptions[];

// The update server's host, and the URLs that --http and --https name.
extern const char* const UPDATE_SERVER_HOST;
std::string _http_server_url();
std::string _https_server_url();

// 0 when the command line is usable, 1 when it is wrong (the errors are shown). Reorders argv.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* p);
int _validate_params(Parameters* p);
int _release_params(Parameters* p);

// The value of a text of hexadecimal (or decimal) digits only, nothing else; 0 for any other
// text, for a value wider than 32 bits, and when end is null. end is set as strtoul sets it.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
