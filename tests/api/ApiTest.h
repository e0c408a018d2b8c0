// Helpers for object-layer tests: specifiers for the simulated module, unshared settings,
// what the module received, and the module's side of a byte-buffer reply as the wire
// protocol lays it out (24 bytes and a sequence/continue trailer per packet).
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "Link.h"
#include "tfsim/Module.h"

namespace apitest {

using namespace std::chrono_literals;
using Keldoran::Tessaform::aWeaveConfig;
using Bytes = std::vector<uint8_t>;

// Serial numbers of this process only, so that links are never shared across tests by
// accident.
inline uint32_t nextSerial() {
    static std::atomic<uint32_t> serial{0x5A000000u |
                                        ((static_cast<uint32_t>(getpid()) & 0xFFFu) << 8)};
    return ++serial;
}

inline linkSpec tcpSpec(uint16_t port, uint32_t serial, uint8_t address = 0x06) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.moduleAddress = address;
    spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.t.ip.ipPort = port;
    return spec;
}

inline aWeaveConfig unshared() {
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    return config;
}

inline size_t countEvents(const tfsim::Module& sim, tfsim::LinkEventKind kind) {
    size_t n = 0;
    for (const auto& e : sim.journal().linkEvents())
        n += e.kind == kind ? 1 : 0;
    return n;
}

inline size_t connections(const tfsim::Module& sim) {
    return countEvents(sim, tfsim::LinkEventKind::Connected);
}

// Connections the host ended.
inline size_t hostClosed(const tfsim::Module& sim) {
    return countEvents(sim, tfsim::LinkEventKind::PeerClosed) +
           countEvents(sim, tfsim::LinkEventKind::PeerReset);
}

// Requests the module got at `address` since `since` (link-level packets have other
// addresses).
inline std::vector<Bytes> requestsTo(const tfsim::Module& sim, uint8_t address,
                                     uint64_t since = 0) {
    std::vector<Bytes> out;
    for (const auto& r : sim.received())
        if (r.seq >= since && r.packet.address == address) out.push_back(r.packet.data);
    return out;
}

// The module's multi-packet answer carrying `payload` for command, option and index.
inline std::vector<tfsim::Packet> bytesReply(uint8_t address, uint8_t command, uint8_t option,
                                             uint8_t index, const Bytes& payload) {
    std::vector<tfsim::Packet> packets;
    size_t offset = 0;
    unsigned sequence = 0;
    do {
        size_t taken = std::min<size_t>(24, payload.size() - offset);
        bool more = offset + taken < payload.size();
        Bytes data{command, option, index};
        data.insert(data.end(), payload.begin() + static_cast<long>(offset),
                    payload.begin() + static_cast<long>(offset + taken));
        data.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | (sequence & 0x7F)));
        packets.push_back({address, data});
        offset += taken;
        sequence++;
    } while (offset < payload.size());
    return packets;
}

// Joins the payloads of a byte-buffer request sequence, checking its trailers.
inline Bytes joinBytesRequests(const std::vector<Bytes>& packets) {
    Bytes joined;
    for (size_t i = 0; i < packets.size(); i++) {
        const Bytes& p = packets[i];
        EXPECT_GE(p.size(), 4u);
        if (p.size() < 4) break;
        const bool last = i + 1 == packets.size();
        EXPECT_EQ(p.back(), static_cast<uint8_t>((last ? 0 : 0x80) | (i & 0x7F))) << "packet " << i;
        joined.insert(joined.end(), p.begin() + 3, p.end() - 1);
    }
    return joined;
}

inline Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

} // namespace apitest
