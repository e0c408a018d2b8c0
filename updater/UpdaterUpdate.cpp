// The update road: the build chosen and loaded, the module connected and checked against the
// file, the loader sent and started, the module reached again in its loader, the firmware
// written, the reboot, and the transfer recorded in the store.
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "Tessaform-C.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterInternal.h"
#include "aDefs.h"
#include "aError.h"
#include "aTime.h"
#include "autoGen_SystemClass_CPP.h"

using Keldoran::Tessaform::Module;
using Keldoran::Tessaform::SystemClass;
using updater_detail::_connect_again;
using updater_detail::_createUpdaterStore;
using updater_detail::_disableEther;
using updater_detail::_transfer_firmware;
using updater_detail::BLOCK_RETRIES;
using updater_detail::DEFAULT_SERIAL_NUMBER;

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
// How long a module that answered LOAD has to drop its link, and how often that is looked at.
constexpr unsigned LOADER_RESTART_WAIT_MS = 1500;
constexpr unsigned LOADER_RESTART_POLL_MS = 10;

std::string _bird_name(unsigned build) {
    return std::to_string(build) + ".bird";
}

// stoul in base 10, keeping the low 32 bits; 0, logged, for a text that is no number. A number
// beyond the range of unsigned long is no build either.
unsigned _convert_build(const std::string& text) {
    try {
        return static_cast<unsigned>(std::stoul(text, nullptr, 10));
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
}

std::string _now_text() {
    const time_t now = time(nullptr);
    char text[64] = "";
    if (const char* c = ctime(&now)) std::snprintf(text, sizeof text, "%s", c);
    text[strcspn(text, "\n")] = '\0';
    return text;
}

// The server's latest build when its file is in the store, else the latest download, else
// the latest transfer; 0 when none.
unsigned _choose_build(UpdaterDisplayInterface& display, UpdaterStoreItem& item, unsigned serial,
                       unsigned build, const std::string& serverURL) {
    if (build == 0) {
        std::string latest, firmware;
        UpdateServerRequest::QueryBuild(serial, latest, firmware, serverURL.c_str());
        build = _convert_build(latest);
        if (build != 0) {
            // An item the store does not hold names no directory: the path built from it
            // would lead outside the store.
            bool stored = false;
            if (item.IsValid()) {
                try {
                    item.ReadBirdFile(_bird_name(build).c_str());
                    stored = true;
                } catch (const std::runtime_error&) {
                }
            }
            if (!stored) {
                build = 0;
                display.message(INFO, "New firmware is available.  Updater will proceed if valid "
                                      "firmware is found locally.");
            }
        }
    }
    if (build == 0) {
        build = static_cast<unsigned>(item.Attributes().GetInt("LATEST_DOWNLOAD", 0));
        if (build != 0) display.message(INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = static_cast<unsigned>(item.Attributes().GetInt("LATEST_TRANSFER", 0));
        if (build != 0) display.message(INFO, "Updating with the Latest Transfer");
    }
    return build;
}

// A failed USB search is followed by one over TCP/IP only when no module of that serial number
// answered; `used` is left at the type that was tried last.
aErr _connect_direct(Module& module, unsigned serial, linkType& used) {
    used = USB;
    aErr code = module.connect(USB, serial);
    if (code == aErrNotFound) {
        used = TCPIP;
        code = module.connect(TCPIP, serial);
    }
    return code;
}

// The device through a routing module found over `routerType` (searched for when `search`);
// the router's Module goes, its link stays in the device's use. `routerFailed` tells a router
// that could not be reached from a device that could not be reached behind it.
aErr _connect_routed(UpdaterDisplayInterface& display, Module& device, unsigned routerSerial,
                     linkType& routerType, bool search, bool& routerFailed) {
    routerFailed = false;
    Module router(0, static_cast<unsigned char>(0));
    aErr code = _disableEther(router, display);
    if (code != aErrNone) return code;
    code = search ? _connect_direct(router, routerSerial, routerType)
                  : router.connect(routerType, routerSerial);
    if (code != aErrNone) {
        display.message(ERROR, "Failed to connect to link module [%08X]", routerSerial);
        routerFailed = true;
        return code;
    }
    return device.connectThroughLinkModule(&router);
}

// The module, once its loader runs, over the way it was reached before.
bool _reach_again(UpdaterDisplayInterface& display, Module& device, unsigned serial,
                  unsigned routerSerial, linkType used) {
    device.disconnect();
    return _connect_again(device, used == USB, [&] {
        if (routerSerial != 0) {
            // One message for the whole search, once it has failed.
            bool routerFailed = false;
            display.mute_messages(true);
            _connect_routed(display, device, routerSerial, used, false, routerFailed);
            display.mute_messages(false);
        } else {
            device.discoverAndConnect(used, serial);
            // The started loader may come back without the module's identity.
            if (!device.isConnected() && used == USB)
                device.discoverAndConnect(USB, DEFAULT_SERIAL_NUMBER);
        }
    });
}

// A module that answers LOAD restarts into its loader a moment later: its link is still up
// when the answer arrives, and the firmware must not go to a module on its way out. One that
// runs the loader in place keeps the link, and costs this wait.
void _await_loader_restart(Module& device) {
    for (unsigned waited = 0; waited < LOADER_RESTART_WAIT_MS && device.isConnected();
         waited += LOADER_RESTART_POLL_MS)
        aTime_MSSleep(LOADER_RESTART_POLL_MS);
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module,
                        unsigned serial) {
    if (file.BlockCount() == 0) return false;
    // A file with serial-number offsets has just been given this module's number.
    if (!file.HasSerialOffsets() && !file.ValidateSerialNumber(serial)) return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t number = 0;
    aErr code = system.getSerialNumber(&number);
    if (number != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 code);
        return false;
    }
    uint8_t model = 0;
    code = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    // An unread model would be checked as model 0, whose name a file may well carry.
    if (code != aErrNone || !file.ValidateModel(name)) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                        name, code);
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr code = entity.LoaderInit();
    if (code != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", code,
                 aError_GetErrorText(code));
        return code;
    }
    display.message(INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    const int n = static_cast<int>(blocks.size());
    display.display_progress(true);
    int k = 1;
    int total = 0;
    for (const BirdBlock& block : blocks) {
        const int length = static_cast<int>(block.length);
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", k, n, length);
        uint16_t blockSize = 0;
        code = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        // Some loaders take a block without answering its announcement.
        if (code != aErrNone && code != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", code,
                     aError_GetErrorText(code));
            break;
        }
        code = entity.LoaderTransfer(block.data, block.length);
        // A loader with a block missing must never be started.
        if (code != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", code,
                     aError_GetErrorText(code));
            break;
        }
        total += length;
        k++;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", k - 1, total);
    display.display_progress(false);
    if (code != aErrNone) return code;

    display.message(INFO, "Starting Load on Device");
    code = entity.LoaderStart();
    if (code == aErrTimeout) {
        Log::log(DEBUG_Updater,
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        code = aErrNone;
    } else if (code != aErrNone) {
        display.message(ERROR, "Error starting loader [%d, %s]", code, aError_GetErrorText(code));
    }
    return code;
}

} // namespace

namespace updater_detail {

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file,
                        bool noWaitOnReboot, bool ueiBytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, noWaitOnReboot);
    // A refusal only means that pieces go as data packets.
    if (ueiBytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.Path().c_str());
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    const unsigned n = static_cast<unsigned>(blocks.size());
    unsigned k = 1;
    int total = 0;
    aErr code = aErrNone;
    for (const BirdBlock& block : blocks) {
        const int length = static_cast<int>(block.length);
        for (unsigned t = 0; t < BLOCK_RETRIES; t++) {
            display.message(INFO, "Transferring firmware block %u of %u, %d bytes", k, n, length);
            if (t > 0) display.message(INFO, "  Retry %d", static_cast<int>(t));
            uint16_t blockSize = 0;
            code = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (code != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", code,
                         aError_GetErrorText(code));
                break;
            }
            code = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (code == aErrNone) break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", code,
                     aError_GetErrorText(code));
        }
        if (code != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += length;
        k++;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", static_cast<int>(k - 1), total);
    if (code != aErrNone) return code;
    // The reboot still goes, back into the firmware the module had, but nothing was written.
    const bool nothing = blocks.empty();
    if (nothing) display.message(ERROR, "No firmware blocks in %s", file.Path().c_str());
    code = entity.LoaderReboot(display);
    return code == aErrNone && nothing ? aErrNotFound : code;
}

} // namespace updater_detail

BirdFile Updater::load_bird(const char* label, std::string birdFile, unsigned serial,
                            unsigned build, bool download) {
    // An empty file in place of a build would go to the module as an update without firmware.
    auto store = _createUpdaterStore(*display, storePath, "load_bird");
    if (!store) throw std::runtime_error("Error opening the store");
    if (!birdFile.empty()) {
        display->message(INFO, "%s from Birdfile: %s", label, birdFile.c_str());
        return BirdFile(birdFile.c_str());
    }
    UpdaterStoreItem item = store->AddDevice(serial);
    display->message(INFO, "%s firmware with build: %u", label, build);
    std::string name = _bird_name(build);
    try {
        return item.ReadBirdFile(name.c_str());
    } catch (const std::runtime_error&) {
        if (!download) throw std::runtime_error("Error reading birdfile");
    }
    display->message(INFO, "Downloading firmware build %u", build);
    // Build 0 fetches the server's latest, stored under its own number.
    const unsigned fetched = Download_Firmware(serial, std::to_string(build), false, false);
    if (fetched != 0) name = _bird_name(fetched);
    return item.ReadBirdFile(name.c_str());
}

bool Updater::Update_Firmware(unsigned serial, unsigned build, std::string birdFile,
                              unsigned char moduleAddress, unsigned routerSerial, bool override) {
    if (serial == 0) {
        display->message(ERROR, "Update command must specify the specific device");
        return false;
    }
    auto store = _createUpdaterStore(*display, storePath, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem item;
    store->FindDevice(serial, &item);
    const uint64_t start = aTime_GetMSTicks();

    if (birdFile.empty()) {
        build = _choose_build(*display, item, serial, build, serverURL);
        if (build == 0) {
            display->message(ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile file;
    try {
        file = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::runtime_error&) {
        display->message(ERROR, "Failed to load bird file");
        return false;
    }
    if (file.HasSerialOffsets()) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!file.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module device(moduleAddress, static_cast<unsigned char>(0));
    linkType used = USB;
    aErr code = _disableEther(device, *display);
    if (code == aErrNone && routerSerial != 0) {
        if (moduleAddress == 0) {
            const std::vector<DeviceInfo> devices =
                Discover_TFNetwork_Devices(routerSerial, static_cast<linkType>(0));
            if (devices.empty()) {
                display->message(ERROR, "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const DeviceInfo& info : devices)
                if (info.spec.serialNumber == serial) address = info.networkAddress;
            if (address == 0) {
                display->message(ERROR,
                                 "Module address required for indirect firmware update, could "
                                 "not find serial number [0x%08X] on network",
                                 serial);
                return false;
            }
            device.setModuleAddress(static_cast<unsigned char>(address & 0xFF));
        }
        bool routerFailed = false;
        code = _connect_routed(*display, device, routerSerial, used, true, routerFailed);
        if (routerFailed) return false;
        if (code != aErrNone) display->message(ERROR, "Failed to connect to module [%08X]", serial);
    } else if (code == aErrNone) {
        code = _connect_direct(device, serial, used);
        if (code != aErrNone) display->message(ERROR, "Failed to connect to module [%08X]", serial);
    }

    if (code == aErrNone && !override && !_validate_birdfile(*display, file, device, serial)) {
        display->message(ERROR, "Birdfile failed validation");
        return false;
    }
    if (code == aErrNone) code = _transfer_loader(*display, device, file);
    if (code == aErrNone) _await_loader_restart(device);
    if (code == aErrNone && !device.isConnected() &&
        !_reach_again(*display, device, serial, routerSerial, used)) {
        display->message(ERROR, "Module [%08X] did not come back after its loader started", serial);
        code = aErrConnection;
    }
    if (code == aErrNone)
        code = _transfer_firmware(*display, device, file, routerSerial != 0, ueiBytesLoad);
    if (code != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", code);
        return false;
    }

    if (birdFile.empty()) birdFile = _bird_name(build);
    // A device the store did not hold has an item without an attribute file; a save through
    // it would write ".settings" wherever the program happens to run.
    if (!item.IsValid()) {
        try {
            item = store->AddDevice(serial);
        } catch (const std::runtime_error& e) {
            Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", e.what());
        }
    }
    item.Attributes().Add("LATEST_TRANSFER", birdFile);
    item.Attributes().Add("LAST_TRANSFER_DATE", _now_text());
    if (!item.SaveAttributes()) Log::log(DEBUG_Updater, "Could not record the transfer.\n");
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display->message(INFO, "Update time: %.4f sec",
                     static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
