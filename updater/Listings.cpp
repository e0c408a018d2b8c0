// The updater's listings: one message per line, at the information level.
#include "Listings.h"

#include <cstring>

#include "UpdateServerRequest.h"
#include "aDefs.h"

namespace {
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
} // namespace

void _display_app_version(CLI_Display& display) {
    display.message(INFO, "%s (%s)", "Updater", "Version: 2.12.5 Jul  6 2026");
}

void _display_copyright(CLI_Display& display) {
    display.message(INFO, "Copyright (c) 2026 Keldoran. All rights reserved.");
}

void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint) {
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.id[0], fingerprint.id[1],
                    fingerprint.id[2], fingerprint.id[3]);
}

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType type) {
    const char* typeText = type == 1 ? "USB" : type == 2 ? "TCPIP" : "Unknown";
    display.message(INFO, "Discovered Devices: (%s)", typeText);
    if (list.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (type == 1)
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version "
                              "(Build)    Device Name");
    else
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version "
                              "(Build)   [IP address]       Device Name");
    for (const DeviceInfo& device : list) {
        const linkSpec& spec = device.spec;
        const char* model = aDefs_GetModelName(spec.model);
        if (spec.type == 2) {
            unsigned char ip[4];
            std::memcpy(ip, &spec.t.ip.ipAddress, sizeof ip);
            char address[32];
            std::snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(
                INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                spec.serialNumber, spec.moduleAddress, spec.routerAddress, model, device.major,
                device.minor, static_cast<int>(device.patch), device.build, address,
                device.deviceName.c_str());
        } else if (device.error != 0) {
            display.message(INFO,
                            "    %08X  [Error (%d): Device in use. Close all other Keldoran "
                            "associated applications.]",
                            spec.serialNumber, device.error);
        } else {
            display.message(INFO,
                            "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                            spec.serialNumber, spec.moduleAddress, spec.routerAddress, model,
                            device.major, device.minor, static_cast<int>(device.patch),
                            device.build, device.deviceName.c_str());
        }
    }
}

void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds,
                     unsigned serial) {
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serial);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}
