// Reading the updater's command line into Parameters: the option table and what each row does.
#include "Parameters.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "aDirectory.h"

const char* const UPDATE_SERVER_HOST = "update.keldoran.com";

std::string _http_server_url() {
    return std::string("http://") + UPDATE_SERVER_HOST + "/cgi/u";
}
std::string _https_server_url() {
    return std::string("https://") + UPDATE_SERVER_HOST + "/cgi/u";
}

const CSimpleOptTempl<char>::SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", SO_NONE},        {OPT_COMMAND, "-L", SO_NONE},
    {OPT_COMMAND, "-D", SO_NONE},        {OPT_COMMAND, "-G", SO_NONE},
    {OPT_COMMAND, "-I", SO_NONE},        {OPT_COMMAND, "-U", SO_NONE},
    {OPT_COMMAND, "-OVERRIDE", SO_NONE}, {OPT_COMMAND, "-N", SO_NONE},
    {OPT_COMMAND, "-Y", SO_NONE},        {OPT_COMMAND, "-C", SO_NONE},
    {OPT_HELP, "-h", SO_NONE},           {OPT_HELP, "-H", SO_NONE},
    {OPT_OPTION, "-n", SO_NONE},         {OPT_OPTION, "-X", SO_REQ_SEP},
    {OPT_OPTION, "-Z", SO_REQ_SEP},      {OPT_OPTION, "-m", SO_REQ_SEP},
    {OPT_OPTION, "-i", SO_REQ_SEP},      {OPT_OPTION, "-b", SO_REQ_SEP},
    {OPT_OPTION, "-d", SO_REQ_SEP},      {OPT_OPTION, "-t", SO_REQ_SEP},
    {OPT_OPTION, "-f", SO_REQ_SEP},      {OPT_OPTION, "-r", SO_REQ_SEP},
    {OPT_OPTION, "-s", SO_REQ_SEP},      {OPT_OPTION, "-o", SO_REQ_SEP},
    {OPT_OPTION, "-e", SO_NONE},         {OPT_OPTION, "-l", SO_REQ_SEP},
    {OPT_OPTION, "-k", SO_REQ_SEP},      {OPT_OPTION, "-u", SO_REQ_SEP},
    {OPT_HELP, "--help", SO_NONE},       {OPT_HTTP, "--http", SO_NONE},
    {OPT_HTTPS, "--https", SO_NONE},     {-1, nullptr, SO_NONE},
};

namespace {

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// strtoul reads 64 bits here: a wider digit text must not silently name another number (a
// 9-digit serial number another device, an 11-digit build another build).
bool widerThan32Bits(const char* digits, int base) {
    errno = 0;
    const unsigned long long value = std::strtoull(digits, nullptr, base);
    return errno == ERANGE || value > UINT32_MAX;
}

uint32_t digitsArg(const char* text, char** end, const char* digits, int base) {
    if (end == nullptr || text == nullptr) return 0;
    if (text[std::strspn(text, digits)] != '\0') return 0;
    if (widerThan32Bits(text, base)) return 0;
    return static_cast<uint32_t>(std::strtoul(text, end, base));
}

// -d and -r: an optional "0x" then hexadecimal digits, neither 0 nor wider than 32 bits.
bool serialArg(CLI_Display& display, const char* argument, uint32_t& out, const char* trace,
               const char* what) {
    if (startsWith(argument, "0x") || startsWith(argument, "0X")) {
        Log::log(DEBUG_Updater, "%s", trace);
        argument += 2;
    }
    char* end = nullptr;
    out = _get_hex_arg(argument, &end);
    if (out != 0) return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid %s obtained from argument [%s]",
                    what, argument);
    return false;
}

// -b and -o: decimal digits; other text gives 0 as before, a number wider than 32 bits is
// refused.
bool decimalArg(CLI_Display& display, const char* argument, uint32_t& out, const char* what) {
    char* end = nullptr;
    out = _get_int_arg(argument, &end);
    if (argument[std::strspn(argument, "0123456789")] == '\0' && argument[0] != '\0' &&
        widerThan32Bits(argument, 10)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid %s obtained from argument [%s]", what, argument);
        return false;
    }
    return true;
}

void logMaskArg(CLI_Display& display, const char* argument, Parameters* p) {
    p->logMaskGiven = true;
    const int base = (startsWith(argument, "0x") || startsWith(argument, "0X")) ? 16 : 10;
    char* rest = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(argument, &rest, base);
    p->logMask = static_cast<uint32_t>(value);
    if (*rest != '\0') {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X",
                        rest);
        return;
    }
    if (errno == ERANGE || value > UINT32_MAX) {
        // Cut to 32 bits it would switch on packages nobody named.
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X",
                        argument);
        return;
    }
    Log::ActivatePackage(p->logMask);
}

int32_t transportArg(const char* argument) {
    if (startsWith(argument, "USB")) return TRANSPORT_USB;
    if (startsWith(argument, "TCP")) return TRANSPORT_TCPIP;
    if (startsWith(argument, "RECOVER")) return TRANSPORT_RECOVER;
    return 0;
}

std::string applicationName(const char* word) {
    if (word == nullptr) return "";
    const char* name = word;
    for (const char* c = word; *c != '\0'; ++c)
        if (*c == '/' || *c == '\\') name = c + 1;
    return name;
}

void setDefaults(Parameters* p, const char* programWord) {
    char home[2048] = "";
    (void)aDirectory_GetHomeDirectory(home, sizeof home);
    p->homeDirectory = home;
    p->serialNumber = 0;
    p->routerSerialNumber = 0;
    p->transport = TRANSPORT_USB;
    p->transportGiven = false;
    p->serialPort.clear();
    p->baudRate = 115200;
    p->moduleAddress = 0;
    p->birdFile.clear();
    p->historyMessage.clear();
    p->build.clear();
    p->echo = false;
    p->serverURL = _http_server_url();
    p->nFlag = false;
    p->applicationName = applicationName(programWord);
    p->logMode = "a+";
    p->logFile = "Updater.log";
    p->override = false;
    p->useUEIBytes = true;
    p->logMask = 0;
    p->logMaskGiven = false;
    p->help = false;
}

} // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
    return digitsArg(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end) {
    return digitsArg(text, end, "0123456789", 10);
}

int _validate_params(Parameters*) {
    return 0;
}

int _release_params(Parameters* p) {
    if (p->ownedBlock != nullptr) {
        std::free(p->ownedBlock);
        p->ownedBlock = nullptr;
    }
    return 0;
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* p) {
    setDefaults(p, (argc > 0 && argv != nullptr) ? argv[0] : nullptr);
    if (argc < 0 || argv == nullptr) argc = 0;

    CSimpleOptTempl<char> options(argc, argv, g_rgOptions, 0);
    bool failed = false;
    int serverURLs = 0;
    while (options.Next()) {
        if (options.LastError() != SO_SUCCESS) continue;
        const int id = options.OptionId();
        if (id == OPT_HELP) {
            p->commands.Set(CMD_HELP);
            p->help = true;
            return 0;
        }
        if (id == OPT_HTTPS || id == OPT_HTTP) {
            p->serverURL = id == OPT_HTTPS ? _https_server_url() : _http_server_url();
            ++serverURLs;
            continue;
        }
        const char* argument = options.OptionArg();
        switch (options.OptionText()[1]) {
        case 'B':
            p->commands.Set(CMD_BUILDS);
            break;
        case 'L':
            p->commands.Set(CMD_LOCAL_BUILDS);
            break;
        case 'D':
            p->commands.Set(CMD_DISCOVER);
            break;
        case 'G':
            p->commands.Set(CMD_GET);
            break;
        case 'I':
            p->commands.Set(CMD_INFO);
            break;
        case 'U':
            p->commands.Set(CMD_UPDATE);
            break;
        case 'O':
            p->override = true;
            break;
        case 'N':
            p->commands.Set(CMD_FINGERPRINT);
            break;
        case 'C':
            p->commands.Set(CMD_CHECK);
            break;
        case 'Y':
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", "-Y");
            failed = true;
            break;
        case 'n':
            p->nFlag = true;
            break;
        case 'X':
            logMaskArg(display, argument, p);
            break;
        case 'Z':
            p->commands.Set(CMD_Z);
            break;
        case 'm':
            p->useUEIBytes = startsWith(argument, "1") || startsWith(argument, "true");
            break;
        case 'i':
            p->storeDirectory = argument;
            break;
        case 'b': {
            uint32_t build = 0;
            if (!decimalArg(display, argument, build, "build number")) failed = true;
            p->build = std::to_string(build);
            break;
        }
        case 'd':
            if (!serialArg(display, argument, p->serialNumber,
                           "Discarding '0x' serial number prefix\n", "serial number"))
                failed = true;
            break;
        case 't':
            p->transportGiven = true;
            p->transport = transportArg(argument);
            if (p->transport == 0) {
                display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, "
                                "TCPIP, RECOVER",
                                argument);
                failed = true;
            }
            break;
        case 'f':
            p->birdFile = argument;
            break;
        case 'r':
            if (!serialArg(display, argument, p->routerSerialNumber,
                           "Discarding '0x' router serial number prefix\n", "router serial number"))
                failed = true;
            break;
        case 's':
            p->serialPort = argument;
            break;
        case 'o':
            if (!decimalArg(display, argument, p->baudRate, "baud rate")) failed = true;
            break;
        case 'e':
            p->echo = true;
            break;
        case 'l':
            p->historyMessage = argument;
            break;
        case 'k':
            p->logFile = argument;
            break;
        case 'u':
            p->serverURL = argument;
            ++serverURLs;
            break;
        default:
            break;
        }
    }
    if (serverURLs > 1) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Multiple update server URLs specified. Choose one of: --https, --http, "
                        "or -U <host:port>.");
        failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p->applicationName.c_str());
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
    return failed ? 1 : _validate_params(p);
}
