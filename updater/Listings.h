// What the updater prints for its commands: the version and copyright lines, the usage text,
// and the fingerprint, device and build listings.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Updater.h"

void _display_app_version(CLI_Display& display);
void _display_copyright(CLI_Display& display);
// Straight to standard error: the head always; with full the parameters, commands and
// samples, and with extended as well the extended block.
void _display_usage(bool extended, bool full);
void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint);
void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType type);
void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds,
                     unsigned serial);
