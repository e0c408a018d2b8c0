// Runs every operation of a loaded firmware file and checks that its blocks stay inside its
// image; shared by the two firmware-file fuzz targets.
#pragma once

#include <stdexcept>

#include "BirdFile.h"
#include "FuzzSupport.h"

namespace tffuzz {

inline void checkBlocksInsideImage(const BirdFile& bird) {
    const uint8_t* image = bird.Image();
    check(bird.BlockCount() == bird.Blocks().size());
    for (const BirdBlock& block : bird.Blocks()) {
        check(block.data >= image && block.data <= image + bird.ImageSize());
        check(block.length <= static_cast<size_t>(image + bird.ImageSize() - block.data));
    }
}

inline void exercise(BirdFile& bird) {
    checkBlocksInsideImage(bird);
    size_t blocks = 0;
    for (unsigned type = 0; type < 32; type++)
        blocks += bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type)).size();
    check(blocks == bird.Blocks().size());
    bird.GetBuild();
    bird.GetVersion();
    bird.ValidateSerialNumber(0x40F5849A);
    bird.ValidateModel("TF-");
    bird.ValidateModel("");
    const uint8_t pattern[] = {0xFF, 0xFF, 0xFF};
    bird.ValidateData(pattern, sizeof pattern);
    const bool patched = bird.ReplaceSerialNumber(0x40F5849A);
    check(!patched || !bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty());
    bird.ReplaceVectorChecksum();
    BirdFile moved = std::move(bird);
    checkBlocksInsideImage(moved);
}

// Loads the file at path, as the updater does with a file named on its command line.
inline void loadAndExercise(const char* path) {
    BirdFile::VerifyFile(path);
    try {
        BirdFile bird(path);
        exercise(bird);
    } catch (const std::runtime_error&) {
    }
}

} // namespace tffuzz
