// The updater program: reads the command line, settles the store directory and runs the
// commands in their fixed order (-N, then -G, then the first of -D, -U, -B, -L) on one Updater.
#include <stdexcept>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Listings.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "aDirectory.h"
#include "aError.h"
#include "path.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERR = UpdaterDisplayInterface::LEVEL_ERROR;

// The store directory: the -i value, else the home directory's ".keldoran"; "updater" below it.
// Empty when it cannot be had or made, the reason shown.
std::string storeDirectory(CLI_Display& display, const Parameters& p) {
    std::string base = p.storeDirectory;
    if (base.empty()) {
        char home[2048] = "";
        const aErr code = aDirectory_GetHomeDirectory(home, sizeof home);
        if (code != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", code);
            // Without a line the user could not tell why nothing happened.
            display.message(ERR,
                            "Could not find the home directory (%s); name the store directory "
                            "with -i",
                            aError_GetErrorText(code));
            return "";
        }
        base = BuildPath(home, ".keldoran", nullptr);
    }
    std::string directory = BuildPath(base.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(directory.c_str(), 0755) != aErrNone) {
        display.message(ERR, "Could not find updater directory at %s", directory.c_str());
        return "";
    }
    return directory;
}

// -N: the status it leaves, or 1 at once (returned through `stop`) without a serial port.
int readFingerprint(CLI_Display& display, Updater& updater, const Parameters& p, bool& stop) {
    if (p.serialPort.empty()) {
        display.message(ERR, "Must specify the serial port used for connecting");
        stop = true;
        return 1;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, p.serialPort, 0xDEADDEAD, p.birdFile, p.baudRate,
                                true)) {
        _display_fingerprint(display, fingerprint);
        return 0;
    }
    display.message(ERR, "Got no response from chip");
    return 1;
}

// -G: the status it leaves; the build it stored goes to p.build for a following -U.
int getBuild(CLI_Display& display, Updater& updater, Parameters& p, bool& stop) {
    if (p.serialNumber == 0) {
        display.message(ERR, "-G must specify a specific device via -d");
        display.message(ERR, "--help for usage information");
        stop = true;
        return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X", p.serialNumber);
    if (p.build.empty()) {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    } else {
        display.message(INFO, "Retrieving firmware build %s", p.build.c_str());
    }
    const unsigned fetched = updater.Download_Firmware(p.serialNumber, p.build, p.override, false);
    if (fetched == 0) return 1;
    p.build = std::to_string(fetched);
    return 0;
}

int discover(CLI_Display& display, Updater& updater, const Parameters& p) {
    const linkType type =
        (p.transportGiven && p.transport != TRANSPORT_RECOVER) ? linkType(p.transport) : 0;
    std::vector<DeviceInfo> list;
    if (p.routerSerialNumber != 0) {
        display.message(INFO, "Searching for Tessaform Network devices connected to %08X",
                        p.routerSerialNumber);
        list = updater.Discover_TFNetwork_Devices(p.routerSerialNumber, type);
        _display_device_list(display, list, type);
    } else {
        display.message(INFO, "Searching for Tessaform devices");
        // Without -t only USB is searched.
        const linkType searched = type == 0 ? 1 : type;
        list = updater.Discover_Devices(searched);
        _display_device_list(display, list, searched);
    }
    return 0;
}

// An empty or non-numeric build text asks for the latest build (0).
unsigned buildNumber(const std::string& build) {
    try {
        return static_cast<unsigned>(std::stoul(build, nullptr, 10));
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
}

int update(CLI_Display& display, Updater& updater, const Parameters& p) {
    const unsigned build = buildNumber(p.build);
    updater.Set_UEIBytes_Load(p.useUEIBytes);
    if (p.transport == TRANSPORT_RECOVER)
        return updater.Recover_Firmware(p.serialPort, build, p.baudRate, p.serialNumber, p.birdFile,
                                        p.override)
                   ? 0
                   : 1;
    if (p.serialNumber == 0) {
        display.message(ERR, "Must specify the specific device to be updated");
        return 1;
    }
    return updater.Update_Firmware(p.serialNumber, build, p.birdFile, p.moduleAddress,
                                   p.routerSerialNumber, p.override)
               ? 0
               : 1;
}

int listBuilds(CLI_Display& display, Updater& updater, const Parameters& p, bool local) {
    if (p.serialNumber == 0) {
        display.message(ERR, local ? "Error must supply a serial number for the List Local "
                                     "Builds command"
                                   : "Error must supply a serial number for the List Builds "
                                     "command");
        _display_usage(false, false);
        return 1;
    }
    std::map<std::string, std::string> builds =
        local ? updater.Get_BuildListLocal(p.serialNumber) : updater.Get_BuildList(p.serialNumber);
    _display_builds(display, builds, p.serialNumber);
    return 0;
}

int run(CLI_Display& display, Parameters& p, int argc, char** argv) {
    if (_get_params(display, argc, argv, &p) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        return 1;
    }
    _display_app_version(display);
    if (p.commands.IsSet(CMD_HELP) || !p.commands.IsSet(CMD_ANY)) {
        _display_copyright(display);
        _display_usage(p.logMaskGiven, p.help);
        return 0;
    }

    const std::string store = storeDirectory(display, p);
    if (store.empty()) return 1;
    Updater updater(p.serverURL.c_str(), store.c_str(), display);

    int status = 0;
    bool stop = false;
    if (p.commands.IsSet(CMD_FINGERPRINT)) {
        status = readFingerprint(display, updater, p, stop);
        if (stop) return status;
    }
    if (p.commands.IsSet(CMD_GET)) {
        status = getBuild(display, updater, p, stop);
        if (stop) return status;
    }
    if (p.commands.IsSet(CMD_DISCOVER)) return discover(display, updater, p);
    if (p.commands.IsSet(CMD_UPDATE)) return update(display, updater, p);
    if (p.commands.IsSet(CMD_BUILDS)) return listBuilds(display, updater, p, false);
    if (p.commands.IsSet(CMD_LOCAL_BUILDS)) return listBuilds(display, updater, p, true);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);
    const int status = run(display, params, argc, argv);
    _release_params(&params);
    return status;
}
