// Sole owners of the core's heap records in tests: a packet or a stream is destroyed by its
// own destroy function when the holder goes, so a failed assertion leaks nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "aPacket.h"
#include "aStream.h"

namespace tftest {

struct PacketDestroyer {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDestroyer>;

struct StreamDestroyer {
    void operator()(aStream* stream) const { aStream_Destroy(&stream); }
};
using StreamPtr = std::unique_ptr<aStream, StreamDestroyer>;

// A complete packet with these data bytes (at most 28).
inline PacketPtr makePacket(uint8_t address, const std::vector<uint8_t>& data) {
    static const uint8_t none = 0; // an empty vector's data() may be NULL
    return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                            data.empty() ? &none : data.data()));
}

} // namespace tftest
