// Reassembles packets from a continuous byte stream: [address][length 0..28][data].
// Read boundaries mean nothing; a packet may arrive a byte at a time or many per read.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "tfsim/Packet.h"

namespace tfsim {

enum class FramingFault {
    ZeroAddress, // an address byte of 0: dropped, the next byte is taken as an address
    BadLength,   // a length above 28: address and length dropped, parsing restarts
    // Serial frames, dropped whole; the byte is the one named.
    BadCobs,       // a block runs past the frame's end (the first code byte)
    FrameLength,   // decoded length not the length byte + 3 (the decoded length)
    BadCrc,        // (the CRC received)
    OverlongFrame, // more than 32 encoded bytes before the delimiter (the first)
};

const char* toString(FramingFault fault);

class FrameParser {
  public:
    struct Sink {
        std::function<void(const Packet&)> packet;
        std::function<void(FramingFault, uint8_t byte)> fault;
    };

    // Odd addresses are accepted: the host's own link-level packets (sync, route) use them.
    void feed(std::span<const uint8_t> bytes, const Sink& sink);

    // Forget a partial packet (a new connection starts clean).
    void reset();

    bool midPacket() const { return state_ != State::Address; }

  private:
    enum class State { Address, Length, Data };
    State state_ = State::Address;
    Packet current_;
    size_t length_ = 0;
};

} // namespace tfsim
