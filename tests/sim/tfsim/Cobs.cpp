// COBS, CRC-8 and the frame codec of the serial line, written from their published definitions.
#include "tfsim/Cobs.h"

#include <array>

namespace tfsim {

namespace {

constexpr std::array<uint8_t, 256> makeCrcTable() {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
        table[i] = static_cast<uint8_t>(crc);
    }
    return table;
}

constexpr auto kCrcTable = makeCrcTable();

} // namespace

uint8_t crc8(std::span<const uint8_t> bytes) {
    uint8_t crc = 0;
    for (uint8_t b : bytes)
        crc = kCrcTable[crc ^ b];
    return crc;
}

namespace cobs {

Bytes encode(std::span<const uint8_t> bytes) {
    Bytes out;
    out.reserve(bytes.size() + 2 + bytes.size() / 254);
    size_t code = 0;
    out.push_back(0);
    auto close = [&] {
        out[code] = static_cast<uint8_t>(out.size() - code);
        code = out.size();
        out.push_back(0);
    };
    for (uint8_t b : bytes) {
        if (b == 0) {
            close();
            continue;
        }
        out.push_back(b);
        if (out.size() - code == 255) close();
    }
    out[code] = static_cast<uint8_t>(out.size() - code);
    return out;
}

std::optional<Bytes> decode(std::span<const uint8_t> encoded) {
    Bytes out;
    for (size_t i = 0; i < encoded.size();) {
        const size_t n = encoded[i];
        if (n == 0 || i + n > encoded.size()) return std::nullopt;
        for (size_t k = 1; k < n; ++k) {
            if (encoded[i + k] == 0) return std::nullopt;
            out.push_back(encoded[i + k]);
        }
        i += n;
        if (n != 0xFF && i < encoded.size()) out.push_back(0);
    }
    return out;
}

Bytes frame(std::span<const uint8_t> wire, FrameOptions options) {
    Bytes content(wire.begin(), wire.end());
    uint8_t crc = crc8(content);
    content.push_back(options.badCrc ? static_cast<uint8_t>(~crc) : crc);
    Bytes out = encode(content);
    if (options.zeroCode) {
        size_t at = 0;
        for (size_t n = 0; n < *options.zeroCode && at < out.size(); ++n)
            at += out[at];
        if (at < out.size()) out[at] = 0;
    }
    out.resize(out.size() - std::min(options.truncate, out.size()));
    if (options.delimiter) out.push_back(kDelimiter);
    return out;
}

Bytes frame(const Packet& packet, FrameOptions options) {
    return frame(packet.wire(), options);
}

} // namespace cobs

void FrameDecoder::reset() {
    encoded_.clear();
    overlong_ = false;
}

void FrameDecoder::feed(std::span<const uint8_t> bytes, const Sink& sink) {
    for (uint8_t b : bytes) {
        if (b == cobs::kDelimiter) {
            finish(sink);
        } else if (encoded_.size() < cobs::kMaxEncoded) {
            encoded_.push_back(b);
        } else {
            overlong_ = true; // the rest up to the delimiter is dropped
        }
    }
}

void FrameDecoder::finish(const Sink& sink) {
    if (encoded_.empty() && !overlong_) return;
    const bool overlong = overlong_;
    const Bytes encoded = std::move(encoded_);
    reset();
    auto fault = [&](FramingFault f, uint8_t byte) {
        if (sink.fault) sink.fault(f, byte);
    };
    if (overlong) return fault(FramingFault::OverlongFrame, encoded[0]);
    auto content = cobs::decode(encoded);
    if (!content) return fault(FramingFault::BadCobs, encoded[0]);
    const size_t size = content->size();
    if (size < 3 || size != size_t{(*content)[1]} + 3u)
        return fault(FramingFault::FrameLength, static_cast<uint8_t>(size));
    const uint8_t crc = content->back();
    if (crc8(std::span(content->data(), size - 1)) != crc) return fault(FramingFault::BadCrc, crc);
    if (sink.packet) sink.packet(std::span(content->data(), size - 1));
}

void FrameEncoder::reset() {
    content_.clear();
    held_.clear();
}

Write FrameEncoder::encode(const Write& write) {
    Write out;
    size_t nextPause = 0;
    // A pause before content byte j sits before encoded byte j + 1 (each byte of
    // a short frame takes one place after the first code byte); before byte 0 it
    // sits before the frame.
    auto holdPausesAt = [&](size_t offset) {
        for (; nextPause < write.pauses.size() && write.pauses[nextPause].offset <= offset;
             ++nextPause)
            held_.push_back({content_.size(), write.pauses[nextPause].duration});
    };
    auto emit = [&] {
        const size_t base = out.bytes.size();
        Bytes f = cobs::frame(content_);
        for (const Pause& p : held_)
            out.pauses.push_back(
                {base + (p.offset == 0 ? 0 : std::min(p.offset + 1, f.size() - 1)), p.duration});
        out.bytes.insert(out.bytes.end(), f.begin(), f.end());
        reset();
    };
    for (size_t i = 0; i < write.bytes.size(); ++i) {
        holdPausesAt(i);
        content_.push_back(write.bytes[i]);
        if (content_.size() >= 2 && content_.size() == size_t{content_[1]} + 2u) emit();
    }
    holdPausesAt(write.bytes.size());
    // Pauses after the last complete frame belong at the end of this write.
    if (content_.empty()) {
        for (const Pause& p : held_)
            out.pauses.push_back({out.bytes.size(), p.duration});
        held_.clear();
    }
    return out;
}

} // namespace tfsim
