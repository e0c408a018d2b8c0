// Packets as the module sees them on a byte stream, their wire form, and the
// matchers and responders that scripts are written with.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <string>
#include <vector>

namespace tfsim {

using Bytes = std::vector<uint8_t>;

// The most data bytes a well-formed packet carries.
inline constexpr size_t kMaxData = 28;

// Link-level addresses the host uses: sync / address probe and route command.
inline constexpr uint8_t kSyncAddress = 0xAD;
inline constexpr uint8_t kRouteAddress = 0xAF;

struct Packet {
    uint8_t address = 0;
    Bytes data;

    // [address][length][data]; the length byte is data.size() cut to 8 bits,
    // so an over-long packet is representable as a fault.
    Bytes wire() const;
    bool operator==(const Packet&) const = default;
};

std::string toString(const Packet& packet);
std::ostream& operator<<(std::ostream& os, const Packet& packet);

// Wire form with a length byte that need not agree with the data, for framing faults.
Bytes wire(uint8_t address, uint8_t length, const Bytes& data);

// Concatenated wire forms.
Bytes wire(const std::vector<Packet>& packets);

// A pause before the byte at `offset` of a write: the bytes before it leave first.
struct Pause {
    size_t offset = 0;
    std::chrono::milliseconds duration{0};
};

// Pauses that cut `length` bytes into pieces of `step` bytes.
std::vector<Pause> splitEvery(size_t length, size_t step, std::chrono::milliseconds duration);

using Matcher = std::function<bool(const Packet&)>;

namespace match {
Matcher any();
// Address equal and data beginning with `dataPrefix`.
Matcher prefix(uint8_t address, Bytes dataPrefix = {});
// Wire form beginning with `bytes` (address, length, data...).
Matcher wire(Bytes bytes);
Matcher equal(Packet packet);
Matcher sync();
Matcher route();
} // namespace match

// Produces the bytes written in answer to a request; empty bytes mean "say nothing".
using Responder = std::function<Bytes(const Packet& request)>;

Responder reply(Packet packet);
Responder reply(std::vector<Packet> packets);
Responder replyRaw(Bytes bytes);
Responder ignore();

} // namespace tfsim
