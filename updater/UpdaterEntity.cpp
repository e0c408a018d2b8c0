// UpdaterEntity: the exchanges of the upgrade command 0x5F, the piece transfer with its byte
// sum, and the reconnection after a loader start.
#include "UpdaterEntity.h"

#include <algorithm>

#include "Log.h"
#include "aError.h"
#include "aTime.h"
#include "autoGen_SystemClass_CPP.h"

using Keldoran::Tessaform::Module;

namespace {

constexpr uint32_t kMaxDataBytes = 26;
constexpr int kReconnectAttempts = 5;
constexpr unsigned kLoaderSerial = 0xDEADDEAD;
constexpr uint32_t kReconnectDelayMs = 500;
constexpr uint32_t kRebootRoundMs = 250;
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
// Shortest replies whose fields are read: status and block size; status and sum; the echo.
constexpr uint8_t kPrepareReplyLength = 5;
constexpr uint8_t kSumReplyLength = 7;
constexpr uint8_t kDataReplyLength = 3;
constexpr uint8_t kInitReplyLength = 6;

uint32_t bigEndian32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

uint32_t byteSum(const uint8_t* data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; i++)
        sum += data[i];
    return sum;
}

} // namespace

UpdaterEntity::UpdaterEntity()
    : module(nullptr), validateSum(true), noWaitOnReboot(false), ueiData(false) {}

UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* mod, uint8_t index, bool validate, bool noWait) {
    module = mod;
    validateSum = validate;
    noWaitOnReboot = noWait;
    ueiData = false;
    EntityClass::init(mod, cmdUPGRADE, index);
}

aErr UpdaterEntity::request(uint8_t subCommand, uint8_t awaited, const uint8_t* bytes,
                            uint8_t count) {
    if (module != nullptr && module->getLink() != nullptr) {
        const uint8_t pattern[2] = {cmdUPGRADE, awaited};
        module->getLink()->dropMatchingPackets(module->getModuleAddress(), pattern, 2);
    }
    uint8_t data[aPACKET_MAX_DATA] = {subCommand};
    std::copy(bytes, bytes + count, data + 1);
    return sendPacket(cmdUPGRADE, static_cast<uint8_t>(count + 1), data);
}

aErr UpdaterEntity::awaitReply(uint8_t awaited, uint8_t* reply, uint8_t& replyLength) {
    const uint8_t pattern[2] = {cmdUPGRADE, awaited};
    replyLength = sizeof pattern;
    return receivePacket(pattern, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr result = request(val_UPGRADE_INIT, val_UPGRADE_INIT, nullptr, 0);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", result);
        return result;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    result = awaitReply(val_UPGRADE_INIT, reply, length);
    if (result != aErrNone) return result;
    if (length < kInitReplyLength) return aErrPacket;
    const uint32_t base = bigEndian32(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags,
                                    uint16_t& blockSize) {
    if (block == nullptr || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n",
             static_cast<int>(length), flags, blockSize);
    const uint32_t address = bigEndian32(block);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(address));
    const uint8_t bytes[5] = {flags, block[0], block[1], block[2], block[3]};
    aErr result = request(val_UPGRADE_PREPARE, val_UPGRADE_STATUS, bytes, sizeof bytes);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", result);
        return result;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    result = awaitReply(val_UPGRADE_STATUS, reply, replyLength);
    if (result != aErrNone) return result;
    if (replyLength > 2 && reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    if (replyLength < kPrepareReplyLength) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Short reply to UPGRADE_PREPARE (%d bytes)\n",
                 replyLength);
        return aErrPacket;
    }
    blockSize = static_cast<uint16_t>((reply[3] << 8) | reply[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             blockSize);
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
    if (block == nullptr || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n",
             bigEndian32(block), static_cast<int>(length - 4));
    uint32_t count = 0;
    return _block_transfer(block + 4, length - 4, count);
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& count) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = length;
    uint32_t sum = 0;
    aErr result = aErrNone;
    if (ueiData) {
        result = _block_transfer_uei_helper(data, length, count, sum);
        if (result != aErrNone) return result;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
    } else {
        unsigned tries = 0;
        while (remaining > 0 && result == aErrNone) {
            const uint32_t n = std::min(remaining, kMaxDataBytes);
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                     static_cast<int>(n));
            if (tries == DATA_TRIES) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: No valid upgrade transfer response after %u tries.\n", tries);
                result = aErrPacket;
                break;
            }
            tries++;
            const uint8_t* piece = data + (length - remaining);
            result = request(val_UPGRADE_DATA, val_UPGRADE_DATA, piece, static_cast<uint8_t>(n));
            if (result != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n",
                         result);
                return result;
            }
            uint8_t reply[aPACKET_MAX_DATA];
            uint8_t replyLength = 0;
            if (awaitReply(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                result = aErrPacket;
                break;
            }
            // A reply without the echo confirms nothing: the same bytes go again.
            const int echoed = replyLength >= kDataReplyLength ? reply[2] : -1;
            if (echoed != static_cast<int>(n)) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", echoed,
                         static_cast<int>(n));
                continue;
            }
            tries = 0;
            sum += byteSum(piece, n);
            remaining -= n;
            count++;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(n), static_cast<int>(remaining), static_cast<int>(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n",
             static_cast<int>(length - remaining), static_cast<int>(length));
    if (result != aErrNone || !validateSum) return result;

    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    // A failed send shows as the missing reply.
    request(val_UPGRADE_SUM, val_UPGRADE_STATUS, nullptr, 0);
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (awaitReply(val_UPGRADE_STATUS, reply, replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = replyLength > 2 ? reply[2] : 0xFF;
    if (status == 0 && replyLength < kSumReplyLength) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): Short reply to UPGRADE_SUM (%d bytes).\n",
                 replyLength);
        return aErrPacket;
    }
    const uint32_t moduleSum = replyLength >= kSumReplyLength ? bigEndian32(reply + 3) : 0;
    if (status != 0 || moduleSum != sum) {
        Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
                 moduleSum);
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
             status, sum, moduleSum, static_cast<int>(count));
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length,
                                               uint32_t& count, uint32_t& sum) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
             static_cast<int>(length));
    // The acknowledgement of a set carries the option with both flag bits.
    drainUEI(val_UPGRADE_DATA_UEI | 0xC0);
    aErr result = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", result);
        return result;
    }
    sum += byteSum(data, length);
    count = 1;
    return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
    if (block == nullptr || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             bigEndian32(block), static_cast<int>(length - 4));
    // Pieces of 0 bytes would never move on.
    if (blockSize == 0) {
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
        return aErrInvalidOption;
    }
    uint32_t remaining = length - 4;
    const uint8_t* data = block + 4;
    uint32_t count = 0;
    aErr result = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && result == aErrNone) {
        const uint32_t piece = std::min<uint32_t>(remaining, blockSize);
        result = _block_transfer(data, piece, count);
        if (result != aErrNone) break;
        remaining -= piece;
        data += piece;
        count++;
        display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 static_cast<int>(piece), static_cast<int>(remaining), static_cast<int>(length));
        result = FirmwareWrite(piece);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             static_cast<int>(length - remaining), static_cast<int>(length));
    if (result != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return result;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(length));
    const uint8_t bytes[2] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    aErr result = request(val_UPGRADE_WRITE, val_UPGRADE_STATUS, bytes, sizeof bytes);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", result,
                 aError_GetErrorText(result));
        return result;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    uint8_t status = 0xFF;
    if (awaitReply(val_UPGRADE_STATUS, reply, replyLength) == aErrNone && replyLength > 2)
        status = reply[2];
    if (status != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr result = request(val_UPGRADE_LOAD, val_UPGRADE_LOAD, nullptr, 0);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", result);
        return result;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (awaitReply(val_UPGRADE_LOAD, reply, replyLength) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The module may already be restarting into the loader, its link gone.
    result = _reconnect(kReconnectDelayMs);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 result, aError_GetErrorText(result));
        return aErrTimeout;
    }
    // The started loader says so on the new link by itself.
    result = awaitReply(val_UPGRADE_LOAD, reply, replyLength);
    if (result == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", result,
             aError_GetErrorText(result));
    return aErrTimeout;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
    if (module == nullptr) return aErrConnection;
    module->disconnect();
    aErr result = aErrConnection;
    for (int attempt = 1; attempt <= kReconnectAttempts; attempt++) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
                 kReconnectAttempts);
        result = module->reconnect();
        if (result == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    // A loader without an identity of its own comes back under the loader's serial number.
    for (int attempt = 1; attempt <= kReconnectAttempts; attempt++) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                 attempt, kReconnectAttempts);
        result = module->connect(USB, kLoaderSerial);
        if (result == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    return result;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr result = sendPacket(cmdUPGRADE, 1, &val_UPGRADE_REBOOT);
    if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    unsigned rounds = 0;
    while (module != nullptr && module->isConnected()) {
        aTime_MSSleep(kRebootRoundMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (noWaitOnReboot) break;
        if (++rounds == REBOOT_WAIT_ROUNDS) {
            Log::log(0, "NETWORK: The link did not drop after the reboot request\n");
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "The device did not restart after the update");
            if (result == aErrNone) result = aErrTimeout;
            break;
        }
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (module == nullptr) return aErrConnection;
    aErr result = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", result);
    if (result == aErrNone) ueiData = true;
    return result;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (module == nullptr) return aErrConnection;
    Keldoran::Tessaform::SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    aErr result = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n",
             static_cast<int>(features), result);
    if (result != aErrNone) return result;
    if ((features & kPooledPacketsFeature) == 0) return aErrNone;
    if (module->getLink() == nullptr) return aErrConnection;
    return module->getLink()->enablePooledPackets(true);
}
