// What the Updater's operations, split over several sources, share: the constants and the
// functions every road uses. Not part of the library's interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"

namespace updater_detail {

// Attempts to reach a module again after a loader has been started or booted.
constexpr unsigned CONNECT_ATTEMPTS = 15;
// Tries per firmware block.
constexpr unsigned BLOCK_RETRIES = 5;
// System-entity option that yields a chip's unique-id words.
constexpr uint8_t systemUniqueIdentifier = 39;
// The serial number of a module that runs a loader without an identity of its own.
constexpr uint32_t DEFAULT_SERIAL_NUMBER = 0xDEADDEAD;

// Empty, with an error line naming `label`, when the store cannot be opened.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& path, const char* label);
// No local packet server and no fallback for the module's links; before its first connect.
aErr _disableEther(Keldoran::Tessaform::Module& module, UpdaterDisplayInterface& display);

// The firmware blocks through the upgrade protocol, then the reboot (update and recovery).
aErr _transfer_firmware(UpdaterDisplayInterface& display, Keldoran::Tessaform::Module& module,
                        BirdFile& file, bool noWaitOnReboot, bool ueiBytes);

// Up to CONNECT_ATTEMPTS rounds of `attempt`, a second apart, until `module` is connected;
// with `refreshUsb` libusb's context is made anew every third round, since a module that has
// just re-enumerated can stay unseen by the old one.
bool _connect_again(Keldoran::Tessaform::Module& module, bool refreshUsb,
                    const std::function<void()>& attempt);

} // namespace updater_detail
