// Builds BIRD firmware files for the tests and the fuzz seeds from the format alone: typed
// blocks in an image, then the "bird" header and the image compressed with zlib.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace tftest {

using Bytes = std::vector<uint8_t>;

inline void putBig(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

inline uint32_t getBig(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
           uint32_t{bytes[3]};
}

inline Bytes randomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes out(count);
    for (auto& byte : out)
        byte = static_cast<uint8_t>(generator());
    return out;
}

// The block types of the format.
enum BirdType : uint8_t { Loader = 0, Firmware = 1, SerialOffsets = 2, Descriptor = 4, Entry = 5 };

class BirdImage {
  public:
    BirdImage& block(uint8_t type, const Bytes& data, uint8_t flags = 0) {
        body_.push_back(static_cast<uint8_t>(type | flags << 5));
        putBig(body_, static_cast<uint32_t>(data.size()));
        body_.insert(body_.end(), data.begin(), data.end());
        blocks_++;
        return *this;
    }
    // A block head that claims length bytes of data, followed by the data given.
    BirdImage& head(uint8_t type, uint32_t length, const Bytes& data = {}) {
        body_.push_back(type);
        putBig(body_, length);
        body_.insert(body_.end(), data.begin(), data.end());
        blocks_++;
        return *this;
    }
    BirdImage& loader(uint32_t address, const Bytes& payload, uint8_t flags = 0) {
        return block(Loader, addressed(address, payload), flags);
    }
    BirdImage& firmware(uint32_t address, const Bytes& payload, uint8_t flags = 0) {
        return block(Firmware, addressed(address, payload), flags);
    }
    BirdImage& serialOffsets(uint32_t serial, uint32_t descriptor) {
        Bytes data;
        putBig(data, serial);
        putBig(data, descriptor);
        return block(SerialOffsets, data);
    }
    // Four text fields, each cut or padded with spaces to 16 characters.
    BirdImage& descriptor(const std::string& build, const std::string& version,
                          const std::string& serial, const std::string& model) {
        Bytes data;
        for (const std::string* field : {&build, &version, &serial, &model}) {
            std::string text = field->substr(0, 16);
            text.resize(16, ' ');
            data.insert(data.end(), text.begin(), text.end());
        }
        return block(Descriptor, data);
    }
    BirdImage& entry(uint32_t address) { return block(Entry, addressed(address, {})); }
    // Bytes after the blocks that no block head announces.
    BirdImage& raw(const Bytes& bytes) {
        body_.insert(body_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    BirdImage& announce(uint32_t count) {
        announced_ = count;
        announcedSet_ = true;
        return *this;
    }
    BirdImage& checksum(uint32_t value) {
        checksum_ = value;
        return *this;
    }
    BirdImage& withoutChecksum() {
        withChecksum_ = false;
        return *this;
    }

    Bytes image() const {
        Bytes out;
        putBig(out, announcedSet_ ? announced_ : blocks_);
        out.insert(out.end(), body_.begin(), body_.end());
        if (withChecksum_) putBig(out, checksum_);
        return out;
    }

  private:
    static Bytes addressed(uint32_t address, const Bytes& payload) {
        Bytes data;
        putBig(data, address);
        data.insert(data.end(), payload.begin(), payload.end());
        return data;
    }

    Bytes body_;
    uint32_t blocks_ = 0;
    uint32_t announced_ = 0;
    bool announcedSet_ = false;
    uint32_t checksum_ = 0xC0DE5EED;
    bool withChecksum_ = true;
};

inline Bytes compressed(const Bytes& data, int level = Z_BEST_COMPRESSION) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

// The header ("bird" and two version bytes) and the compressed image.
inline Bytes birdFile(const Bytes& image, uint8_t major = 1, uint8_t minor = 1,
                      int level = Z_BEST_COMPRESSION) {
    Bytes out = {'b', 'i', 'r', 'd', major, minor};
    Bytes packed = compressed(image, level);
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

inline std::string asText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

} // namespace tftest
