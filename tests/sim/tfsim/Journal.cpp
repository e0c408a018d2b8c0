// The simulator's record of traffic and link events, and the waits on it.
#include "tfsim/Journal.h"

namespace tfsim {

Journal::Journal(size_t maxPackets) : maxPackets_(maxPackets == 0 ? 1 : maxPackets) {}

void Journal::addPacket(ConnectionId connection, Packet packet) {
    std::lock_guard lock(mutex_);
    if (match::sync()(packet)) ++syncs_;
    if (match::route()(packet)) routes_.push_back(packet.data[0]);
    packets_.push_back(Received{nextSeq_++, connection, Clock::now(), std::move(packet)});
    if (packets_.size() > maxPackets_) packets_.pop_front();
    changed_.notify_all();
}

void Journal::addHeartbeat(const Heartbeat& heartbeat) {
    std::lock_guard lock(mutex_);
    heartbeats_.push_back(heartbeat);
    changed_.notify_all();
}

void Journal::addHeartbeatAnswer(HeartbeatAnswer answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(std::move(answer));
    changed_.notify_all();
}

void Journal::addLinkEvent(ConnectionId connection, LinkEventKind kind) {
    std::lock_guard lock(mutex_);
    events_.push_back(LinkEvent{connection, kind, Clock::now()});
    changed_.notify_all();
}

void Journal::addFramingError(ConnectionId connection, FramingFault fault, uint8_t byte) {
    std::lock_guard lock(mutex_);
    framing_.push_back(FramingError{connection, Clock::now(), fault, byte});
    changed_.notify_all();
}

std::vector<Received> Journal::packets() const {
    std::lock_guard lock(mutex_);
    return {packets_.begin(), packets_.end()};
}

uint64_t Journal::mark() const {
    std::lock_guard lock(mutex_);
    return nextSeq_;
}

std::optional<Received> Journal::waitForPacket(const Matcher& match, milliseconds timeout,
                                               uint64_t since) const {
    std::unique_lock lock(mutex_);
    uint64_t cursor = since;
    std::optional<Received> found;
    changed_.wait_for(lock, timeout, [&] {
        // Packets forgotten meanwhile cannot be matched any more.
        uint64_t first = packets_.empty() ? nextSeq_ : packets_.front().seq;
        if (cursor < first) cursor = first;
        for (; cursor < nextSeq_; ++cursor) {
            const Received& r = packets_[static_cast<size_t>(cursor - first)];
            if (match(r.packet)) {
                found = r;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool Journal::waitForPackets(size_t count, milliseconds timeout, const Matcher& match,
                             uint64_t since) const {
    std::unique_lock lock(mutex_);
    uint64_t cursor = since;
    size_t seen = 0;
    return changed_.wait_for(lock, timeout, [&] {
        uint64_t first = packets_.empty() ? nextSeq_ : packets_.front().seq;
        if (cursor < first) cursor = first;
        for (; cursor < nextSeq_ && seen < count; ++cursor)
            if (match(packets_[static_cast<size_t>(cursor - first)].packet)) ++seen;
        return seen >= count;
    });
}

uint64_t Journal::syncsReceived() const {
    std::lock_guard lock(mutex_);
    return syncs_;
}

std::vector<uint8_t> Journal::routeCommands() const {
    std::lock_guard lock(mutex_);
    return routes_;
}

std::vector<Heartbeat> Journal::heartbeats() const {
    std::lock_guard lock(mutex_);
    return heartbeats_;
}

bool Journal::waitForHeartbeats(size_t count, milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return heartbeats_.size() >= count; });
}

std::vector<HeartbeatAnswer> Journal::heartbeatAnswers() const {
    std::lock_guard lock(mutex_);
    return answers_;
}

bool Journal::waitForHeartbeatAnswers(size_t count, milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return answers_.size() >= count; });
}

std::vector<LinkEvent> Journal::linkEvents() const {
    std::lock_guard lock(mutex_);
    return events_;
}

bool Journal::waitForConnection(ConnectionId connection, milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const LinkEvent& e : events_)
            if (e.kind == LinkEventKind::Connected && e.connection >= connection) return true;
        return false;
    });
}

std::optional<LinkEvent> Journal::waitForLinkEvent(LinkEventKind kind, milliseconds timeout,
                                                   size_t since) const {
    std::unique_lock lock(mutex_);
    std::optional<LinkEvent> found;
    changed_.wait_for(lock, timeout, [&] {
        for (size_t i = since; i < events_.size(); ++i)
            if (events_[i].kind == kind) {
                found = events_[i];
                return true;
            }
        return false;
    });
    return found;
}

std::vector<FramingError> Journal::framingErrors() const {
    std::lock_guard lock(mutex_);
    return framing_;
}

} // namespace tfsim
