// A BIRD firmware package: a "bird" header and a zlib stream whose image is a list of typed
// blocks (loader, firmware, serial-number offsets, descriptor, entry address).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One block of a loaded image; data points into the image of the BirdFile that scanned it.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;  // of the data, the 4 address bytes of loader and firmware included
    uint32_t address = 0; // load address of loader and firmware blocks, else 0
    const uint8_t* data = nullptr;
};

class BirdFile {
  public:
    enum BLOCK_TYPE : uint8_t {
        BIRD_BLOCK_LOADER = 0,
        BIRD_BLOCK_FIRMWARE = 1,
        BIRD_BLOCK_SERIAL_OFFSETS = 2,
        BIRD_BLOCK_DESCRIPTOR = 4,
        BIRD_BLOCK_ENTRY = 5,
    };

    static constexpr uint8_t BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
    // Firmware padded with erased flash compresses far better than any fixed ratio, so the
    // output buffer grows until the image fits, up to this size.
    static constexpr uint64_t MAX_IMAGE_SIZE = uint64_t{64} << 20;

    BirdFile() = default;
    // Loads the file; throws std::runtime_error "Failed to load bird data" when it cannot.
    explicit BirdFile(const char* path);
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile() = default;

    // The file opens, and its first six bytes are "bird" and two non-zero version bytes.
    static bool VerifyFile(const char* path);

    bool Load();
    bool DecompressData(const uint8_t* data, uint64_t length);
    // False when the blocks do not fill the image exactly or their count differs from the
    // announced one; an image whose blocks overrun it, or are too short for their type, leaves
    // no blocks at all.
    bool ScanBlocks(const uint8_t* image, uint32_t size);
    bool FindSerialNumberOffsets();
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

    // True only when the serial number was written somewhere.
    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    bool ValidateData(const uint8_t* pattern, uint32_t n) const;
    // A prefix match on the descriptor's model field.
    bool ValidateModel(const char* model) const;
    uint32_t GetSerialNumber() const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    bool DumpBlocks(BLOCK_TYPE type) const;

    const std::string& Path() const { return path_; }
    uint32_t Signature() const { return signature_; }
    uint32_t Version() const { return version_; }
    uint32_t FileChecksum() const { return fileChecksum_; }
    uint32_t BlockCount() const { return blockCount_; }
    const std::vector<BirdBlock>& Blocks() const { return blocks_; }
    bool HasSerialOffsets() const { return hasSerialOffsets_; }
    uint32_t SerialNumberOffset() const { return serialNumberOffset_; }
    uint32_t DescriptorOffset() const { return descriptorOffset_; }
    const uint8_t* Image() const { return image_.get(); }
    uint32_t ImageSize() const { return imageSize_; }

  private:
    enum class Scan { Whole, Mismatch, Invalid };
    Scan ScanImage(const uint8_t* image, uint32_t size);
    void Reset();
    const BirdBlock* FirstBlock(BLOCK_TYPE type) const;
    uint8_t* Writable(const BirdBlock& block);

    std::string path_;
    uint32_t signature_ = 0;
    uint32_t version_ = 0;
    uint32_t fileChecksum_ = 0;
    uint32_t blockCount_ = 0;
    std::vector<BirdBlock> blocks_;
    bool hasSerialOffsets_ = false;
    uint32_t serialNumberOffset_ = 0;
    uint32_t descriptorOffset_ = 0;
    std::unique_ptr<uint8_t[]> image_;
    uint32_t imageSize_ = 0;
};
