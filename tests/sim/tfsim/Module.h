// One simulated module on the far side of a byte stream: it answers the host's
// sync and address probes with its address, takes route commands, sends
// heartbeats and checks their answers, plays scripted replies, records all it
// receives, and misbehaves on request. Thread-safe; meant to be driven from tests.
//
//     tfsim::Module sim({.address = 0x06});
//     connectHostTo(sim.port());
//     sim.onRequest(tfsim::match::prefix(0x06, {0x49, 0xFF}),
//                   tfsim::reply(tfsim::Packet{0x06, {0x49, 0xFF, 0, 0, 0, 42}}));
//     sim.sendHeartbeat(0);
//     ASSERT_TRUE(sim.waitForHeartbeatAnswers(1, 1s));
//
// Over a serial line instead, the host opening sim.slavePath() as its port:
//     auto sim = tfsim::Module::serial({.address = 0x06});
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tfsim/Endpoint.h"
#include "tfsim/FrameParser.h"
#include "tfsim/Journal.h"
#include "tfsim/Packet.h"
#include "tfsim/PtyEndpoint.h"
#include "tfsim/Scheduler.h"

namespace tfsim {

class TcpEndpoint;

struct Config {
    uint8_t address = 0x06; // even and not 0
    uint16_t port = 0;      // TCP port on 127.0.0.1; 0 picks a free one
    // SO_RCVBUF of the TCP connection (0: the system's). Small, so that after
    // stopReading() the host's sends block within a few kilobytes; it costs no
    // throughput on loopback.
    int receiveBuffer = 4096;
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

// What a rule does after its reply has been handed to the endpoint.
enum class Action { None, Reset, Close, StopReading, Silence };

struct RuleOptions {
    milliseconds delay{0};         // a late reply: sent this long after the request
    std::optional<unsigned> times; // empty: every time; else the rule retires after this many
    std::vector<Pause> pauses;     // the reply written in pieces
    Action then = Action::None;
};

using RuleId = uint64_t;

class Module final : private Endpoint::Listener {
  public:
    // Listens on TCP (config.port, config.receiveBuffer); throws std::system_error.
    explicit Module(Config config = {});
    // Plays the module over another endpoint.
    Module(Config config, std::unique_ptr<Endpoint> endpoint);
    // On a pty (config.port and config.receiveBuffer unused); throws std::system_error.
    static Module serial(Config config = {}, PtyEndpoint::Options options = {});
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    uint8_t address() const { return config_.address; }
    uint16_t port() const; // 0 when the endpoint is not TCP
    // The pty slave the host opens; empty when the endpoint is not a pty. It
    // changes after a hang-up.
    std::string slavePath() const;
    PtyEndpoint* pty() { return pty_; } // null when the endpoint is not a pty
    Endpoint& endpoint() { return *endpoint_; }
    const Journal& journal() const { return journal_; }

    // Rules are tried in the order added; the first that matches answers, in
    // place of the built-in answer (so a rule may also change how syncs are
    // answered, or with ignore() suppress the answer). Matchers run with the
    // module locked; responders run unlocked on the endpoint's thread.
    RuleId onRequest(Matcher match, Responder respond, RuleOptions options = {});
    void removeRule(RuleId id);
    void clearRules();
    unsigned hits(RuleId id) const; // how often the rule has answered

    // A silent module still reads and records, but answers nothing: no sync
    // answers, no scripted or late replies, no periodic heartbeats.
    void setSilent(bool silent);
    void setSyncAnswer(SyncAnswer answer);

    // Output to the live connection; false when there is none. Nothing checks
    // the packets, so odd or zero addresses and bad lengths go out as given.
    bool send(const Packet& packet);
    bool sendRaw(Bytes bytes, std::vector<Pause> pauses = {});
    // Past the frame encoder of a serial line (raw bytes on a TCP one).
    bool sendLine(Bytes bytes, std::vector<Pause> pauses = {});
    // A, 0x02, 0x00, counter; the answer is checked against counter + 2.
    bool sendHeartbeat(uint8_t counter, std::optional<uint8_t> address = {});
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
    struct Rule {
        RuleId id;
        Matcher match;
        Responder respond;
        RuleOptions options;
        unsigned left; // meaningful when options.times is set
    };

    void onConnected(ConnectionId connection) override;
    void onBytes(ConnectionId connection, std::span<const uint8_t> bytes) override;
    void onDisconnected(ConnectionId connection, LinkEventKind why) override;
    void onFramingFault(ConnectionId connection, FramingFault fault, uint8_t byte) override;

    void handle(ConnectionId connection, const Packet& packet);
    void checkHeartbeatAnswer(ConnectionId connection, const Packet& packet);
    Bytes syncAnswerLocked();
    void flush(ConnectionId connection);
    void act(Action action);
    void heartbeatTick(uint64_t generation);
    bool sendHeartbeatLocked(uint8_t counter, uint8_t address);

    const Config config_;
    Journal journal_;
    std::unique_ptr<Endpoint> endpoint_;
    TcpEndpoint* tcp_ = nullptr;
    PtyEndpoint* pty_ = nullptr;
    FrameParser parser_; // endpoint thread only
    Bytes pending_;      // endpoint thread only: immediate replies of one read, sent together

    mutable std::mutex mutex_;
    ConnectionId live_ = 0;
    bool silent_ = false;
    SyncAnswer syncAnswer_ = SyncAnswer::Echo;
    uint64_t syncAnswers_ = 0;
    std::vector<Rule> rules_;
    std::map<RuleId, unsigned> hits_;
    RuleId nextRule_ = 1;
    std::deque<Heartbeat> outstanding_;
    uint64_t hbGeneration_ = 0;
    milliseconds hbPeriod_{0};
    uint8_t hbCounter_ = 0;

    // Last: its thread runs tasks that use everything above.
    Scheduler scheduler_;
};

} // namespace tfsim
