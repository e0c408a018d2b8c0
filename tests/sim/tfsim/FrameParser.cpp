// Byte-at-a-time reassembly of packets, with the module's recovery from bad framing.
#include "tfsim/FrameParser.h"

namespace tfsim {

const char* toString(FramingFault fault) {
    switch (fault) {
    case FramingFault::ZeroAddress:
        return "zero address";
    case FramingFault::BadLength:
        return "bad length";
    case FramingFault::BadCobs:
        return "bad COBS";
    case FramingFault::FrameLength:
        return "frame length";
    case FramingFault::BadCrc:
        return "bad CRC";
    case FramingFault::OverlongFrame:
        return "overlong frame";
    }
    return "?";
}

void FrameParser::reset() {
    state_ = State::Address;
    current_ = Packet{};
    length_ = 0;
}

void FrameParser::feed(std::span<const uint8_t> bytes, const Sink& sink) {
    for (uint8_t b : bytes) {
        switch (state_) {
        case State::Address:
            if (b == 0) {
                if (sink.fault) sink.fault(FramingFault::ZeroAddress, b);
                break;
            }
            current_ = Packet{b, {}};
            state_ = State::Length;
            break;
        case State::Length:
            if (b > kMaxData) {
                if (sink.fault) sink.fault(FramingFault::BadLength, b);
                reset();
                break;
            }
            length_ = b;
            current_.data.reserve(length_);
            state_ = State::Data;
            break;
        case State::Data:
            current_.data.push_back(b);
            break;
        }
        if (state_ == State::Data && current_.data.size() == length_) {
            Packet done = std::move(current_);
            reset();
            if (sink.packet) sink.packet(done);
        }
    }
}

} // namespace tfsim
