// Fuzzes the block scan and the patching: each input is an image, compressed into a valid file
// here so that the fuzzer's mutations reach the blocks and not only the zlib stream.
#include <zlib.h>

#include <memory>
#include <vector>

#include "FuzzBird.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tffuzz::MemoryFile file("bird_image");
    static bool traced = (tffuzz::traceInto(DEBUG_BirdFile), true);
    (void)traced;

    // The scan alone, over an allocation of exactly the input's size.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    std::copy(data, data + size, copy.get());
    BirdFile scanned;
    scanned.ScanBlocks(copy.get(), static_cast<uint32_t>(size));
    scanned.FindSerialNumberOffsets();
    tffuzz::check(!scanned.ReplaceSerialNumber(1)); // it owns no image to write into

    uLongf packed = compressBound(static_cast<uLong>(size));
    std::vector<uint8_t> bird(6 + packed);
    const uint8_t header[6] = {'b', 'i', 'r', 'd', 1, 1};
    std::copy(header, header + 6, bird.begin());
    if (compress2(bird.data() + 6, &packed, data, static_cast<uLong>(size), Z_BEST_SPEED) != Z_OK)
        return 0;
    bird.resize(6 + packed);
    tffuzz::loadAndExercise(file.write(bird.data(), bird.size()));
    return 0;
}
