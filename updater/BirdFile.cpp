// Loading, scanning and patching BIRD firmware packages. Every length comes from the file, so
// each one is checked against the image before anything is read through it.
#include "BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Log.h"
#include "aFile.h"

namespace {

struct FileCloser {
    void operator()(aFile* file) const { aFile_Close(&file); }
};
using FileHandle = std::unique_ptr<aFile, FileCloser>;

// The descriptor's four text fields, each this wide.
constexpr uint32_t FIELD = 16;
constexpr uint32_t BUILD_FIELD = 0;
constexpr uint32_t VERSION_FIELD = 16;
constexpr uint32_t SERIAL_FIELD = 32;
constexpr uint32_t MODEL_FIELD = 48;
constexpr uint32_t DESCRIPTOR_SIZE = 4 * FIELD;
// A head byte and a length.
constexpr uint32_t BLOCK_HEAD = 5;
constexpr uint32_t ADDRESS_SIZE = 4;
constexpr uint32_t VECTOR_TABLE = 32;
// A compressed part too small for eight times itself still gets a useful first buffer.
constexpr uint64_t FIRST_CAPACITY = 4096;

uint32_t GetInt(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
           uint32_t{bytes[3]};
}

uint16_t GetShort(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

// Values patched into a firmware image are in the module's byte order.
uint32_t GetLittle(const uint8_t* bytes) {
    return uint32_t{bytes[3]} << 24 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[1]} << 8 |
           uint32_t{bytes[0]};
}

void PutLittle(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; i++)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The least data a block of each type needs for what is read from it.
uint32_t MinimumLength(uint8_t type) {
    switch (type) {
    case BirdFile::BIRD_BLOCK_LOADER:
    case BirdFile::BIRD_BLOCK_FIRMWARE:
    case BirdFile::BIRD_BLOCK_ENTRY:
        return ADDRESS_SIZE;
    case BirdFile::BIRD_BLOCK_SERIAL_OFFSETS:
        return 2 * ADDRESS_SIZE;
    case BirdFile::BIRD_BLOCK_DESCRIPTOR:
        return DESCRIPTOR_SIZE;
    default:
        return 0;
    }
}

// The first chars of a descriptor field as text.
std::string FieldText(const BirdBlock& descriptor, uint32_t field, size_t chars) {
    const char* text = reinterpret_cast<const char*>(descriptor.data + field);
    return std::string(text, strnlen(text, chars));
}

} // namespace

BirdFile::BirdFile(const char* path) : path_(path ? path : "") {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) return *this;
    path_ = std::move(other.path_);
    signature_ = other.signature_;
    version_ = other.version_;
    fileChecksum_ = other.fileChecksum_;
    blockCount_ = other.blockCount_;
    blocks_ = std::move(other.blocks_);
    hasSerialOffsets_ = other.hasSerialOffsets_;
    serialNumberOffset_ = other.serialNumberOffset_;
    descriptorOffset_ = other.descriptorOffset_;
    image_ = std::move(other.image_);
    imageSize_ = other.imageSize_;
    other.path_.clear();
    other.Reset();
    return *this;
}

void BirdFile::Reset() {
    signature_ = version_ = fileChecksum_ = blockCount_ = 0;
    blocks_.clear();
    hasSerialOffsets_ = false;
    serialNumberOffset_ = descriptorOffset_ = 0;
    image_.reset();
    imageSize_ = 0;
}

bool BirdFile::VerifyFile(const char* path) {
    FileHandle file(aFile_Open(path, aFileModeReadOnly));
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 path ? path : "");
        return false;
    }
    uint8_t head[6];
    size_t got = 0;
    if (aFile_Read(file.get(), head, sizeof head, &got) != aErrNone || got != sizeof head)
        return false;
    return memcmp(head, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) == 0 && head[4] != 0 &&
           head[5] != 0;
}

bool BirdFile::Load() {
    Reset();
    const char* path = path_.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    if (!aFile_Exists(path)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        return false;
    }
    FileHandle file(aFile_Open(path, aFileModeReadOnly));
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file.get(), &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(err), path);
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size ? size : 1]);
    size_t got = 0;
    // An empty file is a read of nothing.
    err = !buffer ? aErrMemory : size ? aFile_Read(file.get(), buffer.get(), size, &got) : aErrEOF;
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err), path);
        return false;
    }
    if (got < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path, got, size);
        return false;
    }
    size_t header = std::min<size_t>(size, 6);
    if (size > 6) {
        signature_ = GetInt(buffer.get());
        version_ = GetShort(buffer.get() + 4);
    }
    if (!DecompressData(buffer.get() + header, size - header)) return false;
    if (ScanImage(image_.get(), imageSize_) == Scan::Invalid) {
        Reset();
        return false;
    }
    FindSerialNumberOffsets();
    hasSerialOffsets_ = FirstBlock(BIRD_BLOCK_SERIAL_OFFSETS) != nullptr;
    return true;
}

bool BirdFile::DecompressData(const uint8_t* data, uint64_t length) {
    image_.reset();
    imageSize_ = 0;
    uint64_t capacity = length > MAX_IMAGE_SIZE / 8 ? MAX_IMAGE_SIZE : length * 8;
    capacity = std::clamp(capacity, FIRST_CAPACITY, MAX_IMAGE_SIZE);
    std::unique_ptr<uint8_t[]> out;
    uLongf produced = 0;
    int rc;
    // zlib says Z_BUF_ERROR both for a full output buffer and for a stream cut short that filled
    // it exactly; the larger retry then tells them apart.
    for (;;) {
        out.reset();
        out.reset(new (std::nothrow) uint8_t[capacity]);
        if (!out) {
            rc = Z_MEM_ERROR;
            break;
        }
        produced = static_cast<uLongf>(capacity);
        rc = uncompress(out.get(), &produced, data, static_cast<uLong>(length));
        if (rc != Z_BUF_ERROR || capacity >= MAX_IMAGE_SIZE) break;
        capacity = std::min(capacity * 2, MAX_IMAGE_SIZE);
    }
    if (rc != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        return false;
    }
    // Trimmed to what was produced, so a read past the image is a read past its allocation.
    if (produced < capacity) {
        std::unique_ptr<uint8_t[]> exact(new (std::nothrow) uint8_t[produced ? produced : 1]);
        if (!exact) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n",
                     Z_MEM_ERROR);
            return false;
        }
        memcpy(exact.get(), out.get(), produced);
        out = std::move(exact);
    }
    image_ = std::move(out);
    imageSize_ = static_cast<uint32_t>(produced);
    return true;
}

bool BirdFile::ScanBlocks(const uint8_t* image, uint32_t size) {
    return ScanImage(image, size) == Scan::Whole;
}

BirdFile::Scan BirdFile::ScanImage(const uint8_t* image, uint32_t size) {
    blocks_.clear();
    blockCount_ = 0;
    fileChecksum_ = 0;
    if (!image || size < 8) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Error - an image of %u bytes cannot hold a block count and a "
                 "checksum\n",
                 size);
        return Scan::Invalid;
    }
    const uint32_t announced = GetInt(image);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(announced));
    const uint8_t* cursor = image + 4;
    uint32_t remaining = size - 4;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    while (remaining > 4) {
        BirdBlock block;
        block.type = cursor[0] & BIRD_FILE_TYPE_MASK;
        block.flags = static_cast<uint8_t>((cursor[0] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = GetInt(cursor + 1);
        cursor += BLOCK_HEAD;
        remaining -= BLOCK_HEAD;
        const auto index = static_cast<unsigned>(blocks_.size());
        if (block.length > remaining) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error - block %u claims %u bytes, %u remain\n",
                     index, block.length, remaining);
            blocks_.clear();
            return Scan::Invalid;
        }
        if (block.length < MinimumLength(block.type)) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Error - block %u of type %02X holds %u bytes, fewer than %u\n",
                     index, block.type, block.length, MinimumLength(block.type));
            blocks_.clear();
            return Scan::Invalid;
        }
        block.data = cursor;
        if (block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE)
            block.address = GetInt(cursor);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(block.length));
        if (block.type == BIRD_BLOCK_DESCRIPTOR)
            for (uint32_t field = 0; field < DESCRIPTOR_SIZE; field += FIELD)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(cursor + field));
        cursor += block.length;
        remaining -= block.length;
        blocks_.push_back(block);
    }
    blockCount_ = static_cast<uint32_t>(blocks_.size());

    Scan verdict = Scan::Whole;
    if (remaining == 4) {
        fileChecksum_ = GetInt(cursor);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum_);
    } else {
        // The blocks ran into the checksum's place.
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining) - 4);
        verdict = Scan::Mismatch;
    }
    if (blockCount_ != announced) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount_), static_cast<int>(announced));
        verdict = Scan::Mismatch;
    }
    return verdict;
}

const BirdBlock* BirdFile::FirstBlock(BLOCK_TYPE type) const {
    auto found = std::find_if(blocks_.begin(), blocks_.end(),
                              [type](const BirdBlock& block) { return block.type == type; });
    return found == blocks_.end() ? nullptr : &*found;
}

// A block's data as writable bytes of this file's own image; null for a block scanned from
// memory the file does not own.
uint8_t* BirdFile::Writable(const BirdBlock& block) {
    if (!image_ || !block.data) return nullptr;
    const auto base = reinterpret_cast<uintptr_t>(image_.get());
    const auto at = reinterpret_cast<uintptr_t>(block.data);
    if (at < base || at - base > imageSize_ || block.length > imageSize_ - (at - base))
        return nullptr;
    return image_.get() + (at - base);
}

bool BirdFile::FindSerialNumberOffsets() {
    const BirdBlock* offsets = blockCount_ ? FirstBlock(BIRD_BLOCK_SERIAL_OFFSETS) : nullptr;
    if (!offsets || !offsets->data || offsets->length < 2 * ADDRESS_SIZE) return false;
    serialNumberOffset_ = GetInt(offsets->data);
    descriptorOffset_ = GetInt(offsets->data + ADDRESS_SIZE);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serialNumberOffset_), static_cast<int>(descriptorOffset_));
    return true;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    std::copy_if(blocks_.begin(), blocks_.end(), std::back_inserter(found),
                 [type](const BirdBlock& block) { return block.type == type; });
    return found;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    // 64-bit, so that an offset near the top of the address space cannot wrap into a block.
    const uint64_t serialAt = serialNumberOffset_;
    const uint64_t descriptorAt = descriptorOffset_;
    bool written = false;
    for (const BirdBlock& block : blocks_) {
        if (block.type != BIRD_BLOCK_FIRMWARE) continue;
        uint8_t* data = Writable(block);
        if (!data || block.length < ADDRESS_SIZE) continue;
        const uint64_t start = block.address;
        const uint64_t end = start + block.length - ADDRESS_SIZE;
        if (serialAt != 0 && start <= serialAt && serialAt + 4 <= end) {
            uint8_t* place = data + ADDRESS_SIZE + (serialAt - start);
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                     GetLittle(place), serial);
            PutLittle(place, serial);
            written = true;
        }
        if (descriptorAt != 0 && start <= descriptorAt && descriptorAt + FIELD <= end) {
            // The descriptor holds 16-bit characters; only their low bytes are written.
            uint8_t* place = data + ADDRESS_SIZE + (descriptorAt - start);
            for (size_t k = 0; k < 8; k++)
                place[2 * k] = static_cast<uint8_t>(text[k]);
            written = true;
        }
    }
    return written;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const BirdBlock& block : blocks_) {
        if (block.type != BIRD_BLOCK_FIRMWARE || block.address != 0) continue;
        uint8_t* data = Writable(block);
        if (!data || block.length < ADDRESS_SIZE + VECTOR_TABLE) continue;
        uint8_t* table = data + ADDRESS_SIZE;
        uint32_t word[8];
        for (size_t i = 0; i < 8; i++)
            word[i] = GetLittle(table + 4 * i);
        const uint32_t sum = word[0] + word[1] + word[2] + word[3] + word[4] + word[6];
        const uint32_t check = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", word[7],
                 check);
        PutLittle(table + 28, check);
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t n) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path_.c_str());
    bool found = false;
    for (const BirdBlock& block : blocks_) {
        if (block.type != BIRD_BLOCK_FIRMWARE || (!pattern && n != 0)) continue;
        // The last possible start is not tried.
        const int64_t starts = int64_t{block.length} - int64_t{n};
        for (int64_t p = 0; p < starts; p++) {
            if (memcmp(block.data + p, pattern, n) != 0) continue;
            Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(p));
            found = true;
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::ValidateModel(const char* model) const {
    const BirdBlock* descriptor = FirstBlock(BIRD_BLOCK_DESCRIPTOR);
    if (!descriptor || !model) return false;
    char field[FIELD + 1];
    memcpy(field, descriptor->data + MODEL_FIELD, FIELD);
    field[FIELD] = '\0';
    for (int i = FIELD - 1; i >= 0 && field[i] == ' '; i--)
        field[i] = '\0';
    if (strncmp(field, model, strlen(model)) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, model);
    return true;
}

uint32_t BirdFile::GetSerialNumber() const {
    const BirdBlock* descriptor = FirstBlock(BIRD_BLOCK_DESCRIPTOR);
    if (!descriptor) return 0;
    return static_cast<uint32_t>(
        strtoul(FieldText(*descriptor, SERIAL_FIELD, 8).c_str(), nullptr, 16));
}

uint32_t BirdFile::GetBuild() const {
    const BirdBlock* descriptor = FirstBlock(BIRD_BLOCK_DESCRIPTOR);
    if (!descriptor) return 0;
    return static_cast<uint32_t>(
        strtoul(FieldText(*descriptor, BUILD_FIELD, 15).c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    const BirdBlock* descriptor = FirstBlock(BIRD_BLOCK_DESCRIPTOR);
    if (!descriptor) return "";
    std::string version = FieldText(*descriptor, VERSION_FIELD, 15);
    return version.substr(0, version.find(' '));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
    return serial == GetSerialNumber();
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path_.c_str());
    for (const BirdBlock& block : blocks_) {
        if (block.type != type) continue;
        std::string text;
        for (uint32_t i = 0; i < block.length; i++) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", text.c_str(), static_cast<int>(i));
                text.clear();
            }
            const uint8_t byte = block.data[i];
            printf("%02X ", byte);
            text += isprint(byte) ? static_cast<char>(byte) : ' ';
        }
        printf(" %s\n", text.c_str());
    }
    printf("\n");
    return true;
}
