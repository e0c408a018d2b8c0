// Writes the firmware-file fuzz targets' seed corpora: files from the test suite's fixture
// builder (so no opaque blobs are kept), as whole files and as bare images.
//   make_bird_seeds <directory>   makes <directory>/bird_file and <directory>/bird_image
#include <filesystem>
#include <fstream>
#include <iostream>

#include "BirdBuilder.h"

using tftest::BirdImage;
using tftest::Bytes;
using tftest::randomBytes;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_bird_seeds <directory>\n";
        return 1;
    }
    const std::filesystem::path root = argv[1];
    const std::vector<BirdImage> images = {
        BirdImage()
            .loader(0x10000000, randomBytes(64, 1), 3)
            .firmware(0x0, randomBytes(96, 2), 1)
            .serialOffsets(0x20, 0x40)
            .descriptor("12345", "2.10.4", "40F5849A", "TF-Nano")
            .entry(0x10000100),
        BirdImage().firmware(0x0, Bytes(512, 0xFF)).serialOffsets(0x1C, 0).block(3, {1, 2, 3}, 7),
        BirdImage().firmware(0xFFFFFFF0, Bytes(32, 0)).serialOffsets(0xFFFFFFF8, 0xFFFFFFF0),
        BirdImage().descriptor("1", "1.0.0", "00000001", "ABC").announce(2),
        BirdImage().block(31, {}).block(6, randomBytes(8, 3), 2).withoutChecksum(),
    };
    std::filesystem::create_directories(root / "bird_file");
    std::filesystem::create_directories(root / "bird_image");
    auto save = [](const std::filesystem::path& path, const Bytes& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    for (size_t i = 0; i < images.size(); i++) {
        const std::string name = "seed" + std::to_string(i);
        save(root / "bird_image" / name, images[i].image());
        save(root / "bird_file" / name, tftest::birdFile(images[i].image()));
    }
    return 0;
}
