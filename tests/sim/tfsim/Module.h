// The shell of a simulated module on one byte stream: the link-level part that every
// module has (framing, sync and address-probe answers, route commands, heartbeats and
// their checks, the journal, link faults) and the modules that answer requests, by
// address: its own, and on a routing module those behind it on its bus. What a module
// answers is its handlers' affair (tfsim/Handler.h); a script of rules on the shell comes
// before them all. Thread-safe; meant to be driven from tests.
//
//     tfsim::Module sim({.address = 0x06});
//     connectHostTo(sim.port());
//     sim.onRequest(tfsim::match::prefix(0x06, {0x49, 0xFF}),
//                   tfsim::reply(tfsim::Packet{0x06, {0x49, 0xFF, 0, 0, 0, 42}}));
//     ASSERT_TRUE(sim.sendHeartbeat(0));
//     ASSERT_TRUE(sim.waitForHeartbeatAnswers(1, 1s));
//
// A routing module at 0x02 with a module at 0x04 behind it:
//     tfsim::Module router({.address = 0x02});
//     router.attach(0x04).add(std::make_shared<MyEntity>());
//
// Over a serial line instead, the host opening sim.slavePath() as its port:
//     auto sim = tfsim::Module::serial({.address = 0x06});
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tfsim/BusModule.h"
#include "tfsim/Endpoint.h"
#include "tfsim/FrameParser.h"
#include "tfsim/Handler.h"
#include "tfsim/Journal.h"
#include "tfsim/Packet.h"
#include "tfsim/PtyEndpoint.h"
#include "tfsim/Scheduler.h"
#include "tfsim/Script.h"

namespace tfsim {

struct Config {
    uint8_t address = 0x06; // even and not 0
    uint16_t port = 0;      // TCP port on 127.0.0.1; 0 picks a free one
    // SO_RCVBUF of the TCP connection (0: the system's). Small, so that after
    // stopReading() the host's sends block within a few kilobytes; it costs no
    // throughput on loopback.
    int receiveBuffer = 4096;
    // TCP: each connection taken this long after the host's connect completed.
    milliseconds acceptDelay{0};
    // Periodic heartbeats from the start (0: none).
    milliseconds heartbeatPeriod{0};
    uint8_t heartbeatCounter = 0; // 0 up, 1 down
    size_t maxRecorded = 1'000'000;
};

// How the module answers a sync / address probe (0xAD, length 0).
enum class SyncAnswer {
    Echo,          // A, 0x00
    Ignore,        // no answer
    Alternate,     // A, 0x00 and A+2, 0x00 by turns: no two answers in a row agree
    NonZeroLength, // A, 0x01, 0x00
    OddAddress,    // A+1, 0x00
    ZeroAddress,   // 0x00, 0x00
};

class Module final : private Endpoint::Listener {
  public:
    // Listens on TCP (config.port, config.receiveBuffer, config.acceptDelay); throws
    // std::system_error.
    explicit Module(Config config = {});
    // Plays the module over another endpoint.
    Module(Config config, std::unique_ptr<Endpoint> endpoint);
    // On a pty (the TCP settings unused); throws std::system_error.
    static Module serial(Config config = {}, PtyEndpoint::Options options = {});
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    uint8_t address() const { return config_.address; }
    uint16_t port() const; // 0 when the endpoint is not TCP
    // The pty slave the host opens; empty when the endpoint is not a pty. It
    // changes after a hang-up.
    std::string slavePath() const;
    Endpoint& endpoint() { return *endpoint_; }
    const Journal& journal() const { return journal_; }

    // The module at the module's own address, and a shortcut to its handlers.
    BusModule& self() { return *self_; }
    template <class H> std::shared_ptr<H> add(std::shared_ptr<H> handler) {
        return self_->add(std::move(handler));
    }
    // A module behind this one on its bus: requests to `address` go to it, and this one
    // becomes a routing module (its own address still answers the syncs and probes).
    // Throws std::invalid_argument for an address odd, 0, or already on the bus.
    BusModule& attach(uint8_t address);
    // The module at `address`; throws std::out_of_range when none is.
    BusModule& at(uint8_t address);

    // The shell's rules are tried first, for every packet the host sends, in place of
    // any other answer (so a rule may also change how syncs are answered, or with
    // ignore() suppress the answer).
    RuleId onRequest(Matcher match, Responder respond, RuleOptions options = {}) {
        return script_.onRequest(std::move(match), std::move(respond), std::move(options));
    }
    void removeRule(RuleId id) { script_.removeRule(id); }
    void clearRules() { script_.clear(); }
    unsigned hits(RuleId id) const { return script_.hits(id); }

    // A silent module still reads and records, but answers nothing: no sync
    // answers, no scripted or late replies, no periodic heartbeats.
    void setSilent(bool silent);
    void setSyncAnswer(SyncAnswer answer);
    // Whether the last route command the host sent switched routing on.
    bool routeOn() const;

    // Output to the live connection; false when there is none. Nothing checks
    // the packets, so odd or zero addresses and bad lengths go out as given.
    [[nodiscard]] bool send(const Packet& packet);
    [[nodiscard]] bool sendRaw(Bytes bytes, std::vector<Pause> pauses = {});
    // Past the frame encoder of a serial line (raw bytes on a TCP one).
    [[nodiscard]] bool sendLine(Bytes bytes, std::vector<Pause> pauses = {});
    // A, 0x02, 0x00, counter; the answer is checked against counter + 2.
    [[nodiscard]] bool sendHeartbeat(uint8_t counter, std::optional<uint8_t> address = {});
    void startHeartbeats(milliseconds period, uint8_t counter = 0);
    void stopHeartbeats();
    size_t outstandingHeartbeats() const;

    // Link faults. stopReading() leaves the host's bytes in the socket, so its
    // sends block once the buffers are full. reset() aborts the connection (the
    // host sees a reset); close() writes what is queued, then ends the stream.
    // Both return once done; false when there was no connection. A later
    // connection is accepted unless setAccepting(false) refuses connects.
    void stopReading();
    void resumeReading();
    bool reset(milliseconds wait = milliseconds{5000});
    bool close(milliseconds wait = milliseconds{5000});
    void setAccepting(bool accepting);
    bool accepting() const { return accepting_.load(); }

    // Shortcuts to the journal.
    std::vector<Received> received() const { return journal_.packets(); }
    uint64_t mark() const { return journal_.mark(); }
    std::optional<Received> waitForPacket(const Matcher& match, milliseconds timeout,
                                          uint64_t since = 0) const {
        return journal_.waitForPacket(match, timeout, since);
    }
    bool waitForPackets(size_t count, milliseconds timeout, const Matcher& match = match::any(),
                        uint64_t since = 0) const {
        return journal_.waitForPackets(count, timeout, match, since);
    }
    std::vector<HeartbeatAnswer> heartbeatAnswers() const { return journal_.heartbeatAnswers(); }
    bool waitForHeartbeatAnswers(size_t count, milliseconds timeout) const {
        return journal_.waitForHeartbeatAnswers(count, timeout);
    }
    bool waitForConnection(ConnectionId connection, milliseconds timeout) const {
        return journal_.waitForConnection(connection, timeout);
    }

  private:
    void onConnected(ConnectionId connection) override;
    void onBytes(ConnectionId connection, std::span<const uint8_t> bytes) override;
    void onDisconnected(ConnectionId connection, LinkEventKind why) override;
    void onFramingFault(ConnectionId connection, FramingFault fault, uint8_t byte) override;

    void handle(ConnectionId connection, const Packet& packet);
    BusModule* answer(ConnectionId connection, const Packet& packet, Replies& replies);
    void deliver(ConnectionId connection, std::vector<Reply> replies, BusModule* by);
    void checkHeartbeatAnswer(ConnectionId connection, const Packet& packet);
    Bytes syncAnswerLocked();
    void flush(ConnectionId connection);
    void act(Action action);
    void heartbeatTick(uint64_t generation);
    bool sendHeartbeatLocked(uint8_t counter, uint8_t address);

    const Config config_;
    Journal journal_;
    std::unique_ptr<Endpoint> endpoint_;
    FrameParser parser_; // endpoint thread only
    Bytes pending_;      // endpoint thread only: plain replies of one read, sent together
    Script script_;

    mutable std::mutex mutex_;
    // Never removed while the module lives, so references stay good.
    std::map<uint8_t, std::unique_ptr<BusModule>> bus_;
    BusModule* self_ = nullptr;
    ConnectionId live_ = 0;
    bool silent_ = false;
    std::atomic<bool> accepting_{true}; // as last set; read by relays on other threads
    bool routeOn_ = false;
    SyncAnswer syncAnswer_ = SyncAnswer::Echo;
    uint64_t syncAnswers_ = 0;
    std::deque<Heartbeat> outstanding_;
    uint64_t hbGeneration_ = 0;
    milliseconds hbPeriod_{0};
    uint8_t hbCounter_ = 0;

    // Last: its thread runs tasks that use everything above.
    Scheduler scheduler_;
};

} // namespace tfsim
