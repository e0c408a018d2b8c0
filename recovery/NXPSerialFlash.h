// Writes firmware into an LPC chip's flash through its boot ROM, showing each failure to the
// user as an error line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "NXPSerialClass.h"
#include "UpdaterDisplayInterface.h"

// One piece of firmware: its bytes and the flash address they belong at.
struct NXPFirmwareBlock {
    uint32_t address;
    const uint8_t* data;
    size_t size;
};

// chip must be connected and synced at the rate the flashing runs at: a boot ROM locks its
// rate at the sync. Erases sectors 0 to 29, writes the blocks in order up to the first one of
// 4 bytes (the end marker of the firmware file), and starts the new firmware at 0. False,
// with an error line shown, on any failure; nothing is erased when there is nothing to write.
bool NXPSerialFlash(NXPSerialClass& chip, const std::vector<NXPFirmwareBlock>& blocks,
                    UpdaterDisplayInterface& display);
