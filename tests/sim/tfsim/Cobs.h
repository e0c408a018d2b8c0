// Serial-line framing as the module speaks it: each packet [address][length][data]
// plus a CRC-8 of those bytes, COBS-encoded and ended by 0x00. Besides the codec
// there are builders of broken frames, so tests can put faults on the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "tfsim/Endpoint.h"
#include "tfsim/FrameParser.h"
#include "tfsim/Packet.h"

namespace tfsim {

// CRC-8/MAXIM-DOW: reflected polynomial 0x8C, initial 0, no final xor.
uint8_t crc8(std::span<const uint8_t> bytes);

namespace cobs {

inline constexpr uint8_t kDelimiter = 0x00;
// A packet of 28 data bytes encodes to 32 bytes; a receiver holds no more.
inline constexpr size_t kMaxEncoded = 32;

// Without the delimiter. Empty input encodes as 01.
Bytes encode(std::span<const uint8_t> bytes);
// Empty when a block runs past the end or a code byte is 0.
std::optional<Bytes> decode(std::span<const uint8_t> encoded);

struct FrameOptions {
    bool badCrc = false; // the CRC inverted
    size_t truncate = 0; // encoded bytes dropped before the delimiter
    // The n-th code byte (0: the first) made 0x00, which the line reads as a
    // delimiter: the frame arrives as two broken pieces.
    std::optional<size_t> zeroCode;
    bool delimiter = true;
};

// A frame of `wire` ([address][length][data], taken as given: a length byte
// that disagrees, or more than 28 data bytes for an overlong frame).
Bytes frame(std::span<const uint8_t> wire, FrameOptions options = {});
Bytes frame(const Packet& packet, FrameOptions options = {});

} // namespace cobs

// Cuts the host's byte stream at delimiters and checks each frame; good frames
// come out as their packet's wire bytes, bad ones as a fault. Lone delimiters
// are no fault: a sender may end frames with extra zeros to resynchronise.
class FrameDecoder {
  public:
    struct Sink {
        std::function<void(std::span<const uint8_t> wire)> packet;
        std::function<void(FramingFault, uint8_t byte)> fault;
    };
    void feed(std::span<const uint8_t> bytes, const Sink& sink);
    void reset();

  private:
    void finish(const Sink& sink);

    Bytes encoded_;
    bool overlong_ = false;
};

// Turns the module's output (packets in wire form, cut anywhere) into frames,
// one per packet. A packet left unfinished waits for the next write, as a
// packet split across writes still travels as one frame. Pauses stay before
// the byte they were before.
class FrameEncoder {
  public:
    Write encode(const Write& write);
    void reset();

  private:
    Bytes content_;           // the packet being collected
    std::vector<Pause> held_; // offsets into content_
};

} // namespace tfsim
