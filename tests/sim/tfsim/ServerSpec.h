// What a packet server says about itself in network discovery: 128 bytes, little-endian
// integers at fixed offsets, the IPv4 address in network byte order, everything else zero.
#pragma once

#include <cstdint>
#include <vector>

namespace tfsim {

struct ServerSpec {
    uint32_t type = 6; // 5 USB, 6 TCP/IP, 7 serial device link behind the server
    uint32_t serial = 0;
    uint32_t moduleAddress = 0x06;
    uint32_t model = 0;
    uint32_t ipAddress = 0x0100007F; // network byte order (127.0.0.1)
    uint16_t port = 0;

    std::vector<uint8_t> encode() const {
        std::vector<uint8_t> bytes(128, 0);
        auto put = [&bytes](size_t at, uint32_t value) {
            for (size_t i = 0; i < 4; i++)
                bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
        };
        put(0, type);
        put(4, serial);
        put(8, moduleAddress);
        put(20, model);
        for (size_t i = 0; i < 4; i++) // already in wire order
            bytes[24 + i] = reinterpret_cast<const uint8_t*>(&ipAddress)[i];
        put(28, port);
        return bytes;
    }
};

} // namespace tfsim
