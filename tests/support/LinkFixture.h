// Helpers for link tests: a link over TCP to a simulated module, waits that poll a
// condition with a generous limit, and packet shorthands.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <memory>
#include <vector>

#include "Eventually.h"
#include "Holders.h"
#include "aLink.h"
#include "tfsim/Module.h"

namespace linktest {

using namespace std::chrono_literals;
using tftest::eventually;
using tftest::makePacket;
using tftest::PacketPtr;

inline std::vector<uint8_t> dataOf(const aPacket* packet) {
    return std::vector<uint8_t>(packet->data, packet->data + packet->length);
}

// A module-side responder that answers a request with its own data.
inline tfsim::Responder echo() {
    return [](const tfsim::Packet& request) {
        return tfsim::Packet{request.address, request.data}.wire();
    };
}

// True when an echo request goes through the link and its answer comes back.
inline bool exchanges(uint32_t id, uint8_t address, uint8_t tag, uint64_t waitMs = 500) {
    auto request = makePacket(address, {0x17, tag});
    if (aLink_PutPacket(id, request.get()) != aErrNone) return false;
    for (;;) {
        PacketPtr reply(aLink_AwaitPacket(id, waitMs));
        if (!reply) return false;
        if (reply->length == 2 && reply->data[0] == 0x17 && reply->data[1] == tag) return true;
    }
}

inline bool anyPacket(const aPacket*, const void*) {
    return true;
}

inline uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

// One simulated module and a TCP/IP link to it; each test uses a serial number of its own
// so that links are never shared across tests by accident.
class SimLink : public testing::Test {
  protected:
    static uint32_t nextSerial() {
        static uint32_t serial = 0x51000000;
        return ++serial;
    }

    // Returns once the module has taken the connection too: the host's connect completes
    // in the kernel before the module accepts it, and until then the module's sends fail.
    void connect(tfsim::Config config = {}) {
        sim = std::make_unique<tfsim::Module>(config);
        serial = nextSerial();
        id = aLink_CreateTCPIP(serial, loopback(), sim->port());
        ASSERT_NE(id, 0u);
        // The host's connect ends in the listen backlog; faults the simulator injects next
        // (close, reset, raw bytes) need the connection it has accepted.
        ASSERT_TRUE(sim->waitForConnection(1, 5s)) << "the module never took the connection";
    }

    void TearDown() override {
        if (id) aLink_Destroy(&id);
    }

    std::unique_ptr<tfsim::Module> sim;
    uint32_t serial = 0;
    uint32_t id = 0;
};

} // namespace linktest
