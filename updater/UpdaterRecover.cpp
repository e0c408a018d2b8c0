// Recovery through a chip's boot ROM, and the chip's fingerprint: LPC chips are read and
// flashed over In-System Programming, i.MX chips boot a recovery loader over Serial Download
// and then take their identity and firmware over the module protocol.
#include <stdexcept>
#include <vector>

#include "HID_SDPLoader.h"
#include "Log.h"
#include "NXPSerialClass.h"
#include "NXPSerialFlash.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader_unix.h"
#include "Tessaform-C.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterInternal.h"
#include "aError.h"
#include "aTime.h"
#include "autoGen_SystemClass_CPP.h"

using Keldoran::Tessaform::Module;
using Keldoran::Tessaform::SystemClass;
using namespace updater_detail;

namespace {

uint32_t bigEndianAt(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
           uint32_t{bytes[3]};
}

// Messages come back on whichever way the download ends, a throw included.
class MutedMessages {
  public:
    explicit MutedMessages(UpdaterDisplayInterface& display) : display_(display) {
        display_.mute_messages(true);
    }
    ~MutedMessages() { display_.mute_messages(false); }
    MutedMessages(const MutedMessages&) = delete;
    MutedMessages& operator=(const MutedMessages&) = delete;

  private:
    UpdaterDisplayInterface& display_;
};

} // namespace

static bool _get_fingerprint_lpc(std::string port, unsigned baud, Fingerprint& out) {
    NXPSerialClass chip;
    int err = chip.Connect(port.c_str(), baud);
    if (err != 0) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    if ((err = chip.Sync()) != 0) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n",
                 err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (chip.GetDeviceID() != 0) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; i++)
        out.id[i] = chip.deviceId[i];
    return true;
}

static aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& loader,
                                      std::string port) {
    SDPLoader engine;
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader_Interface* transport = nullptr;
    if (port == "USB")
        transport = new HID_SDPLoader(IMX1050::VID, IMX1050::PID);
    else
        transport = new Serial_SDPLoader(port.c_str());
    engine.setLoader(transport);
    if (engine.init() != 0) return aErrNotReady;

    uint32_t address = 0;
    uint8_t index = 0;
    int err = 0;
    for (const BirdBlock& block : loader.FindBlocks(BirdFile::BIRD_BLOCK_LOADER)) {
        // A block too short for its address has nothing to write and nowhere to write it.
        if (block.length < 4) continue;
        address = bigEndianAt(block.data);
        std::vector<unsigned char> bytes(block.data + 4, block.data + block.length);
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", index, bytes.size(),
                 static_cast<int>(address));
        index++;
        if ((err = engine.writeLoader(std::move(bytes), address)) != 0) break;
    }
    if (err != 0) return aErrConnection;

    uint32_t entry = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
    const std::vector<BirdBlock> entries = loader.FindBlocks(BirdFile::BIRD_BLOCK_ENTRY);
    if (!entries.empty() && entries.front().length > 3) entry = bigEndianAt(entries.front().data);
    engine.startLoader(entry);
    return aErrNone;
}

static bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater,
                                 std::string port, unsigned serial, std::string birdFile,
                                 Fingerprint& out, bool reset) {
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, updater.StorePath(), "_get_fingerprint_imx");
    if (!store) return false;
    if (serial == 0) serial = DEFAULT_SERIAL_NUMBER;
    UpdaterStoreItem item;
    store->FindDevice(serial, &item);

    std::string loaderName;
    if (!birdFile.empty()) {
        if (serial == DEFAULT_SERIAL_NUMBER) {
            display.message(
                UpdaterDisplayInterface::LEVEL_ERROR,
                "Add serial number or remove the bird filename to use a default recovery image.");
            return false;
        }
    } else if (item.IsValid()) {
        loaderName = item.Attributes().GetString("LATEST_DOWNLOAD", "");
    } else {
        MutedMessages muted(display);
        Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        const unsigned build = updater.Download_Firmware(serial, "", false, false);
        if (build != 0) {
            loaderName = std::to_string(build) + ".bird";
            store->FindDevice(serial, &item);
        }
    }

    BirdFile loader;
    try {
        loader =
            birdFile.empty() ? item.ReadBirdFile(loaderName.c_str()) : BirdFile(birdFile.c_str());
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }

    if (_transfer_recovery_loader(display, loader, port) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    Module module(0, static_cast<unsigned char>(0));
    if (_disableEther(module, display) != aErrNone) return false;
    if (!_connect_again(module, true, [&] { module.discoverAndConnect(USB, serial); })) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }

    SystemClass system;
    system.init(&module, 0);
    for (unsigned char j = 0; j < 4; j++) {
        if (system.getUEI32(systemUniqueIdentifier, j, &out.id[3 - j]) != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", j);
            return false;
        }
    }
    if (reset) system.reset();
    return true;
}

// chip family 2. The chip is connected at the rate its fingerprint was read at: a boot ROM
// keeps the rate of its first sync until it is reset.
static bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file,
                                  std::string& port, unsigned baud, Fingerprint&) {
    NXPSerialClass chip;
    if (int err = chip.Connect(port.c_str(), baud)) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Recovery Error: could not connect to %s ==> [%d, %s]", port.c_str(), err,
                        aError_GetErrorText(static_cast<aErr>(err)));
        return false;
    }
    // The chip is in command mode since the fingerprint read, echoing unless an earlier
    // flashing that failed left its echo off: a sync learns which. A chip that answers it
    // with nothing this client reads as a code is taken as the fingerprint left it.
    if (int err = chip.Sync())
        Log::log(DEBUG_Network, "No second sync with %s [%d, %s]; echo taken as on\n", port.c_str(),
                 err, aError_GetErrorText(static_cast<aErr>(err)));
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.Path().c_str());
    std::vector<NXPFirmwareBlock> blocks;
    for (const BirdBlock& block : file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)) {
        const size_t size = block.length < 4 ? 0 : block.length - 4;
        blocks.push_back({block.address, block.data + (size ? 4 : 0), size});
    }
    return NXPSerialFlash(chip, blocks, display);
}

// chip family 1: the recovery loader runs and answers over USB.
static bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file, unsigned serial,
                                  bool ueiBytes) {
    Module module(0, static_cast<unsigned char>(0));
    aErr err = _disableEther(module, display);
    if (err == aErrNone) {
        const bool connected = _connect_again(module, false, [&] {
            module.discoverAndConnect(USB, DEFAULT_SERIAL_NUMBER);
            // Serial number 0 would take whichever module comes first and flash it.
            if (!module.isConnected() && serial != 0 && serial != DEFAULT_SERIAL_NUMBER)
                module.discoverAndConnect(USB, serial);
        });
        if (!connected) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not connect to device");
            return false;
        }
        err = _transfer_firmware(display, module, file, false, ueiBytes);
    }
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

bool Updater::Get_Fingerprint(Fingerprint& out, std::string port, unsigned serial,
                              std::string birdFile, unsigned baud, bool reset) {
    if (_get_fingerprint_lpc(port, baud, out)) {
        chipFamily = 2;
        return true;
    }
    chipFamily = 1;
    return _get_fingerprint_imx(*display, *this, port, serial, birdFile, out, reset);
}

bool Updater::Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                               std::string birdFile, bool) {
    const uint64_t start = aTime_GetMSTicks();
    Fingerprint fingerprint;
    // At the flashing rate: an LPC boot ROM locks the rate of its first sync until reset.
    if (!Get_Fingerprint(fingerprint, port, serial, birdFile, baud, false)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not get Device Identifier");
        return false;
    }

    unsigned recoveryBuild = 0;
    if (birdFile.empty()) {
        unsigned named = 0;
        // A server that names no module, or module 0, leaves nothing to ask it for.
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.id, &named, &recoveryBuild,
                                                  serverURL.c_str()) ||
            named == 0) {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                             "Failed to retrieve recovery information from Keldoran server");
            return false;
        }
        serial = named;
        if (build != 0) recoveryBuild = build;
    }

    BirdFile file;
    try {
        file = load_bird("Recovering", birdFile, serial, recoveryBuild, true);
    } catch (const std::runtime_error&) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }
    if (file.HasSerialOffsets()) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Updater does not support offline recovery");
        return false;
    }

    bool result = false;
    if (chipFamily == 1)
        result = _recover_firmware_imx(*display, file, serial, ueiBytesLoad);
    else if (chipFamily == 2)
        result = _recover_firmware_lpc(*display, file, port, baud, fingerprint);
    display->message(UpdaterDisplayInterface::LEVEL_INFO, "Update time: %.4f sec",
                     static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    return result;
}
