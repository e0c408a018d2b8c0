// Fuzzes loading a firmware file from its raw bytes: header, zlib stream and image.
#include "FuzzBird.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tffuzz::MemoryFile file("bird_file");
    static bool traced = (tffuzz::traceInto(DEBUG_BirdFile), true);
    (void)traced;
    tffuzz::loadAndExercise(file.write(data, size));
    return 0;
}
