// What the simulated module saw and did, with steady-clock times, and waits on it.
// Waits sleep on a condition variable until the record changes or time runs out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "tfsim/Endpoint.h"
#include "tfsim/FrameParser.h"
#include "tfsim/Packet.h"

namespace tfsim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Received {
    uint64_t seq = 0; // 0, 1, 2... over the simulator's life, across connections
    ConnectionId connection = 0;
    Clock::time_point at;
    Packet packet;
};

struct Heartbeat {
    ConnectionId connection = 0;
    Clock::time_point at;
    uint8_t address = 0;
    uint8_t counter = 0;
};

struct HeartbeatAnswer {
    ConnectionId connection = 0;
    Clock::time_point at;
    Packet answer;
    std::optional<Heartbeat> heartbeat; // the one answered; none was outstanding when empty
    bool right = false;                 // address, 0x02, 0x00, counter + 2
};

struct LinkEvent {
    ConnectionId connection = 0;
    LinkEventKind kind = LinkEventKind::Connected;
    Clock::time_point at;
};

struct FramingError {
    ConnectionId connection = 0;
    Clock::time_point at;
    FramingFault fault = FramingFault::ZeroAddress;
    uint8_t byte = 0;
};

class Journal {
  public:
    // Beyond `maxPackets` the oldest packets are forgotten (a host that syncs
    // against a silent module sends sync packets without end); counts and
    // sequence numbers go on.
    explicit Journal(size_t maxPackets = 1'000'000);

    // Recording, by the module.
    void addPacket(ConnectionId connection, Packet packet);
    void addHeartbeat(const Heartbeat& heartbeat);
    void addHeartbeatAnswer(HeartbeatAnswer answer);
    void addLinkEvent(ConnectionId connection, LinkEventKind kind);
    void addFramingError(ConnectionId connection, FramingFault fault, uint8_t byte);

    // Matchers run with the journal locked: they must not call into the simulator.
    std::vector<Received> packets() const;
    uint64_t mark() const; // the sequence number the next packet will get
    std::optional<Received> waitForPacket(const Matcher& match, milliseconds timeout,
                                          uint64_t since = 0) const;
    // True once `count` packets that match have arrived at or after `since`.
    bool waitForPackets(size_t count, milliseconds timeout, const Matcher& match = match::any(),
                        uint64_t since = 0) const;

    uint64_t syncsReceived() const;
    std::vector<uint8_t> routeCommands() const; // the on/off byte of each

    std::vector<Heartbeat> heartbeats() const; // sent
    bool waitForHeartbeats(size_t count, milliseconds timeout) const;
    std::vector<HeartbeatAnswer> heartbeatAnswers() const;
    bool waitForHeartbeatAnswers(size_t count, milliseconds timeout) const;

    std::vector<LinkEvent> linkEvents() const;
    // True once the `connection`-th connection has been accepted.
    bool waitForConnection(ConnectionId connection, milliseconds timeout) const;
    // The first event of `kind` at index `since` or later of linkEvents().
    std::optional<LinkEvent> waitForLinkEvent(LinkEventKind kind, milliseconds timeout,
                                              size_t since = 0) const;

    std::vector<FramingError> framingErrors() const;

  private:
    const size_t maxPackets_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Received> packets_;
    uint64_t nextSeq_ = 0;
    uint64_t syncs_ = 0;
    std::vector<uint8_t> routes_;
    std::vector<Heartbeat> heartbeats_;
    std::vector<HeartbeatAnswer> answers_;
    std::vector<LinkEvent> events_;
    std::vector<FramingError> framing_;
};

} // namespace tfsim
