// The simulated module's shell: the link level, heartbeats, faults, and the dispatch of
// requests to the modules on its bus.
#include "tfsim/Module.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "tfsim/TcpEndpoint.h"

namespace tfsim {

namespace {

// The host's heartbeat answer and its route command both may start with a 0
// data byte; only the former is command 0.
bool isHeartbeatAnswer(const Packet& p) {
    return p.address != kRouteAddress && !p.data.empty() && p.data[0] == 0;
}

bool isModuleAddress(uint8_t address) {
    return address != 0 && (address & 1) == 0;
}

std::unique_ptr<Endpoint> makeTcp(const Config& config) {
    return std::make_unique<TcpEndpoint>(
        TcpEndpoint::Options{config.port, config.receiveBuffer, config.acceptDelay});
}

} // namespace

Module::Module(Config config) : Module(config, makeTcp(config)) {}

Module Module::serial(Config config, PtyEndpoint::Options options) {
    return Module(config, std::make_unique<PtyEndpoint>(options));
}

Module::Module(Config config, std::unique_ptr<Endpoint> endpoint)
    : config_(config), journal_(config.maxRecorded), endpoint_(std::move(endpoint)) {
    if (!isModuleAddress(config_.address))
        throw std::invalid_argument("a module address is even and not 0");
    self_ = &attach(config_.address);
    endpoint_->start(*this);
    if (config_.heartbeatPeriod.count() > 0)
        startHeartbeats(config_.heartbeatPeriod, config_.heartbeatCounter);
}

Module::~Module() {
    // Tasks and endpoint callbacks use this object: end both before the members go.
    scheduler_.stop();
    endpoint_->stop();
}

uint16_t Module::port() const {
    return endpoint_->describe().port;
}

std::string Module::slavePath() const {
    return endpoint_->describe().path;
}

BusModule& Module::attach(uint8_t address) {
    if (!isModuleAddress(address))
        throw std::invalid_argument("a module address is even and not 0");
    std::lock_guard lock(mutex_);
    auto [it, added] = bus_.try_emplace(address);
    if (!added)
        throw std::invalid_argument("address " + std::to_string(address) + " is taken on this bus");
    it->second = std::make_unique<BusModule>(*this, address);
    return *it->second;
}

BusModule& Module::at(uint8_t address) {
    std::lock_guard lock(mutex_);
    return *bus_.at(address);
}

void Module::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

void Module::setSyncAnswer(SyncAnswer answer) {
    std::lock_guard lock(mutex_);
    syncAnswer_ = answer;
    syncAnswers_ = 0;
}

bool Module::routeOn() const {
    std::lock_guard lock(mutex_);
    return routeOn_;
}

bool Module::send(const Packet& packet) {
    return sendRaw(packet.wire());
}

bool Module::sendRaw(Bytes bytes, std::vector<Pause> pauses) {
    return endpoint_->send(0, Write{std::move(bytes), std::move(pauses)});
}

bool Module::sendLine(Bytes bytes, std::vector<Pause> pauses) {
    return endpoint_->sendLine(0, Write{std::move(bytes), std::move(pauses)});
}

bool Module::sendHeartbeat(uint8_t counter, std::optional<uint8_t> address) {
    std::lock_guard lock(mutex_);
    return sendHeartbeatLocked(counter, address.value_or(config_.address));
}

bool Module::sendHeartbeatLocked(uint8_t counter, uint8_t address) {
    if (live_ == 0) return false;
    Heartbeat hb{live_, Clock::now(), address, counter};
    // Recorded before it leaves: the answer may come back before send() returns.
    outstanding_.push_back(hb);
    if (!endpoint_->send(live_, Write{Packet{address, {0x00, counter}}.wire(), {}})) {
        outstanding_.pop_back();
        return false;
    }
    journal_.addHeartbeat(hb);
    return true;
}

void Module::startHeartbeats(milliseconds period, uint8_t counter) {
    uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        generation = ++hbGeneration_;
        hbPeriod_ = period;
        hbCounter_ = counter;
    }
    if (period.count() > 0)
        scheduler_.after(period, [this, generation] { heartbeatTick(generation); });
}

void Module::stopHeartbeats() {
    std::lock_guard lock(mutex_);
    ++hbGeneration_;
}

void Module::heartbeatTick(uint64_t generation) {
    milliseconds period;
    {
        std::lock_guard lock(mutex_);
        if (generation != hbGeneration_) return;
        if (!silent_) (void)sendHeartbeatLocked(hbCounter_, config_.address);
        period = hbPeriod_;
    }
    scheduler_.after(period, [this, generation] { heartbeatTick(generation); });
}

size_t Module::outstandingHeartbeats() const {
    std::lock_guard lock(mutex_);
    return outstanding_.size();
}

void Module::stopReading() {
    endpoint_->setReading(false);
}
void Module::resumeReading() {
    endpoint_->setReading(true);
}

bool Module::reset(milliseconds wait) {
    return endpoint_->disconnect(Disconnect::Abort, wait);
}
bool Module::close(milliseconds wait) {
    return endpoint_->disconnect(Disconnect::Orderly, wait);
}

void Module::setAccepting(bool accepting) {
    accepting_ = accepting;
    endpoint_->setAccepting(accepting);
}

void Module::onConnected(ConnectionId connection) {
    {
        std::lock_guard lock(mutex_);
        live_ = connection;
        outstanding_.clear();
        syncAnswers_ = 0;
    }
    parser_.reset();
    pending_.clear();
    journal_.addLinkEvent(connection, LinkEventKind::Connected);
}

void Module::onDisconnected(ConnectionId connection, LinkEventKind why) {
    {
        std::lock_guard lock(mutex_);
        if (live_ == connection) live_ = 0;
        outstanding_.clear();
    }
    pending_.clear();
    journal_.addLinkEvent(connection, why);
}

void Module::onFramingFault(ConnectionId connection, FramingFault fault, uint8_t byte) {
    journal_.addFramingError(connection, fault, byte);
}

void Module::onBytes(ConnectionId connection, std::span<const uint8_t> bytes) {
    FrameParser::Sink sink{
        [&](const Packet& p) { handle(connection, p); },
        [&](FramingFault f, uint8_t b) { journal_.addFramingError(connection, f, b); },
    };
    parser_.feed(bytes, sink);
    flush(connection);
}

void Module::flush(ConnectionId connection) {
    if (pending_.empty()) return;
    endpoint_->send(connection, Write{std::move(pending_), {}});
    pending_.clear();
}

Bytes Module::syncAnswerLocked() {
    const uint8_t a = config_.address;
    const uint64_t n = syncAnswers_++;
    switch (syncAnswer_) {
    case SyncAnswer::Echo:
        return {a, 0x00};
    case SyncAnswer::Ignore:
        return {};
    case SyncAnswer::Alternate: {
        const uint8_t other = a == 0xFE ? 0x02 : static_cast<uint8_t>(a + 2);
        return {n % 2 == 0 ? a : other, 0x00};
    }
    case SyncAnswer::NonZeroLength:
        return {a, 0x01, 0x00};
    case SyncAnswer::OddAddress:
        return {static_cast<uint8_t>(a + 1), 0x00};
    case SyncAnswer::ZeroAddress:
        return {0x00, 0x00};
    }
    return {};
}

void Module::checkHeartbeatAnswer(ConnectionId connection, const Packet& packet) {
    HeartbeatAnswer answer{connection, Clock::now(), packet, std::nullopt, false};
    if (!outstanding_.empty()) {
        const Heartbeat hb = outstanding_.front();
        outstanding_.pop_front();
        const Packet expected{hb.address, {0x00, static_cast<uint8_t>(hb.counter + 2)}};
        answer.heartbeat = hb;
        answer.right = packet == expected;
    }
    journal_.addHeartbeatAnswer(std::move(answer));
}

void Module::handle(ConnectionId connection, const Packet& packet) {
    Replies replies;
    BusModule* by = answer(connection, packet, replies);
    if (!replies.empty()) deliver(connection, replies.take(), by);
}

// The shell's script first; then the link level; then the module the packet is addressed
// to, which is returned.
BusModule* Module::answer(ConnectionId connection, const Packet& packet, Replies& replies) {
    // The route state is taken in before the packet is recorded, so a test that saw the
    // command can ask about it; the heartbeat check after, so answers follow their packet.
    if (match::route()(packet)) {
        std::lock_guard lock(mutex_);
        routeOn_ = packet.data[0] != 0;
    }
    journal_.addPacket(connection, packet);
    const bool heartbeatAnswer = isHeartbeatAnswer(packet);
    {
        std::lock_guard lock(mutex_);
        if (heartbeatAnswer) checkHeartbeatAnswer(connection, packet);
        if (silent_) return nullptr;
    }
    if (script_.handle(packet, replies)) return nullptr;
    if (match::sync()(packet)) {
        std::lock_guard lock(mutex_);
        Bytes bytes = syncAnswerLocked();
        if (!bytes.empty()) replies.add(Reply{std::move(bytes)});
        return nullptr;
    }
    // Odd addresses are link-level: none is a module's to answer, and a heartbeat answer
    // is the shell's alone.
    if (!isModuleAddress(packet.address) || heartbeatAnswer) return nullptr;
    BusModule* by;
    {
        std::lock_guard lock(mutex_);
        auto it = bus_.find(packet.address);
        if (it == bus_.end()) return nullptr; // nobody on the bus has that address
        by = it->second.get();
    }
    by->handle(packet, replies);
    return by;
}

void Module::deliver(ConnectionId connection, std::vector<Reply> replies, BusModule* by) {
    for (Reply& reply : replies) {
        if (reply.delay.count() > 0) {
            scheduler_.after(reply.delay, [this, connection, by, reply = std::move(reply)] {
                {
                    std::lock_guard lock(mutex_);
                    if (silent_) return;
                }
                if (by && by->silent()) return;
                if (!reply.bytes.empty())
                    endpoint_->send(connection, Write{reply.bytes, reply.pauses});
                act(reply.then);
            });
        } else if (reply.pauses.empty() && reply.then == Action::None) {
            pending_.insert(pending_.end(), reply.bytes.begin(), reply.bytes.end());
        } else {
            flush(connection);
            if (!reply.bytes.empty())
                endpoint_->send(connection, Write{std::move(reply.bytes), std::move(reply.pauses)});
            act(reply.then);
        }
    }
}

void Module::act(Action action) {
    switch (action) {
    case Action::None:
        break;
    case Action::Reset:
        endpoint_->disconnect(Disconnect::Abort, milliseconds{0});
        break;
    case Action::Close:
        endpoint_->disconnect(Disconnect::Orderly, milliseconds{0});
        break;
    case Action::StopReading:
        endpoint_->setReading(false);
        break;
    case Action::Silence:
        setSilent(true);
        break;
    }
}

} // namespace tfsim
