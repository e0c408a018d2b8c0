// The LPC flashing road: erase everything, then each block through the chip's RAM in pieces
// that the copy command accepts.
#include "NXPSerialFlash.h"

#include <algorithm>

#include "Log.h"
#include "aError.h"

namespace {

constexpr uint32_t kPiece = 4096;
constexpr uint32_t kLastSector = 29;

bool failed(UpdaterDisplayInterface& display, const char* what, int code) {
    Log::log(DEBUG_Network, "Could not %s\n", what);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Recovery Error: could not %s ==> [%d, %s]", what, code,
                    aError_GetErrorText(static_cast<aErr>(code)));
    return false;
}

// The blocks before the end marker.
size_t writableBlocks(const std::vector<NXPFirmwareBlock>& blocks) {
    size_t n = 0;
    while (n < blocks.size() && blocks[n].size != 4)
        n++;
    return n;
}

} // namespace

bool NXPSerialFlash(NXPSerialClass& chip, const std::vector<NXPFirmwareBlock>& blocks,
                    UpdaterDisplayInterface& display) {
    const size_t count = writableBlocks(blocks);
    size_t bytes = 0;
    for (size_t i = 0; i < count; i++)
        bytes += blocks[i].size;
    if (bytes == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Recovery Error: the firmware holds nothing to write");
        return false;
    }

    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (int err = chip.Unlock()) return failed(display, "unlock", err);
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (int err = chip.Prepare(0, kLastSector)) return failed(display, "prepare", err);
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (int err = chip.Erase(0, kLastSector)) return failed(display, "erase", err);
    // Without the echo the data lines cost half the time; a chip that refuses stays echoing
    // and the client keeps consuming the echo.
    chip.SetEcho(false);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");

    const int shown = static_cast<int>(blocks.size()) - 1;
    std::vector<uint8_t> piece;
    for (size_t k = 0; k < count; k++) {
        const NXPFirmwareBlock& block = blocks[k];
        uint32_t address = block.address;
        const auto size = static_cast<uint32_t>(block.size);
        if (size == 0) continue;
        display.message(UpdaterDisplayInterface::LEVEL_INFO,
                        "Transferring firmware block %d of %d, %d bytes", static_cast<int>(k + 1),
                        shown, static_cast<int>(size));
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
                 static_cast<int>(size), address);
        for (uint32_t offset = 0; offset < size;) {
            const uint32_t p = std::min(kPiece, size - offset);
            // The copy moves whole pages; the pad is what erased flash holds anyway.
            const uint32_t copy = NXPSerialClass::CopyLength(p);
            piece.assign(copy, 0xFF);
            std::copy_n(block.data + offset, p, piece.begin());
            Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(copy),
                     NXPSerialClass::WRITE_ADDRESS);
            if (int err = chip.Write(NXPSerialClass::WRITE_ADDRESS, copy, piece.data())) {
                display.display_progress(false);
                return failed(display, "write to RAM", err);
            }
            const uint32_t first = NXPSerialClass::SectorFromAddress(address);
            const uint32_t last = NXPSerialClass::SectorFromAddress(address + copy - 1);
            Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n",
                     static_cast<int>(first), static_cast<int>(last));
            if (int err = chip.Prepare(first, last)) {
                display.display_progress(false);
                return failed(display, "prepare for the copy", err);
            }
            Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy),
                     NXPSerialClass::WRITE_ADDRESS, address);
            if (int err = chip.CopyToFlash(address, NXPSerialClass::WRITE_ADDRESS, copy)) {
                display.display_progress(false);
                return failed(display, "transfer to flash", err);
            }
            address += p;
            offset += p;
            display.update_progress(static_cast<double>(offset) / size, nullptr);
        }
        display.display_progress(false);
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes",
                    shown, static_cast<int>(bytes));

    if (int err = chip.SetEcho(true)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Recovery Error transfering data to device ==> [%d, %s]", err,
                        aError_GetErrorText(static_cast<aErr>(err)));
        return false;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Rebooting Device");
    chip.ExecuteFrom(0);
    return true;
}
