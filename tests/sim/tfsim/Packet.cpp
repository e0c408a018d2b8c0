// Wire forms, printing, matchers and responders for simulated packets.
#include "tfsim/Packet.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <utility>

namespace tfsim {

Bytes Packet::wire() const {
    return tfsim::wire(address, static_cast<uint8_t>(data.size()), data);
}

Bytes wire(uint8_t address, uint8_t length, const Bytes& data) {
    Bytes out;
    out.reserve(2 + data.size());
    out.push_back(address);
    out.push_back(length);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes wire(const std::vector<Packet>& packets) {
    Bytes out;
    for (const Packet& p : packets) {
        Bytes w = p.wire();
        out.insert(out.end(), w.begin(), w.end());
    }
    return out;
}

std::string toString(const Packet& packet) {
    std::string s;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", packet.address);
    s += buf;
    std::snprintf(buf, sizeof buf, " [%zu]", packet.data.size());
    s += buf;
    for (uint8_t b : packet.data) {
        std::snprintf(buf, sizeof buf, " %02X", b);
        s += buf;
    }
    return s;
}

std::ostream& operator<<(std::ostream& os, const Packet& packet) {
    return os << toString(packet);
}

std::vector<Pause> splitEvery(size_t length, size_t step, std::chrono::milliseconds duration) {
    std::vector<Pause> pauses;
    if (step == 0) return pauses;
    for (size_t offset = step; offset < length; offset += step)
        pauses.push_back({offset, duration});
    return pauses;
}

namespace match {

Matcher any() {
    return [](const Packet&) { return true; };
}

Matcher prefix(uint8_t address, Bytes dataPrefix) {
    return [address, dataPrefix = std::move(dataPrefix)](const Packet& p) {
        return p.address == address && p.data.size() >= dataPrefix.size() &&
               std::equal(dataPrefix.begin(), dataPrefix.end(), p.data.begin());
    };
}

Matcher wire(Bytes bytes) {
    return [bytes = std::move(bytes)](const Packet& p) {
        Bytes w = p.wire();
        return w.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), w.begin());
    };
}

Matcher equal(Packet packet) {
    return [packet = std::move(packet)](const Packet& p) { return p == packet; };
}

Matcher sync() {
    return equal(Packet{kSyncAddress, {}});
}

Matcher route() {
    return [](const Packet& p) { return p.address == kRouteAddress && p.data.size() == 1; };
}

} // namespace match

Responder reply(Packet packet) {
    return replyRaw(packet.wire());
}

Responder reply(std::vector<Packet> packets) {
    return replyRaw(wire(packets));
}

Responder replyRaw(Bytes bytes) {
    return [bytes = std::move(bytes)](const Packet&) { return bytes; };
}

Responder ignore() {
    return [](const Packet&) { return Bytes{}; };
}

} // namespace tfsim
