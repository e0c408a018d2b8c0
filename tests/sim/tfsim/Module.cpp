// The simulated module's behaviour: answers, heartbeats, scripts and faults.
#include "tfsim/Module.h"

#include <stdexcept>
#include <utility>

#include "tfsim/TcpEndpoint.h"

namespace tfsim {

namespace {

// The host's heartbeat answer and its route command both may start with a 0
// data byte; only the former is command 0.
bool isHeartbeatAnswer(const Packet& p) {
    return p.address != kRouteAddress && !p.data.empty() && p.data[0] == 0;
}

std::unique_ptr<Endpoint> makeTcp(const Config& config) {
    return std::make_unique<TcpEndpoint>(TcpEndpoint::Options{config.port, config.receiveBuffer});
}

} // namespace

Module::Module(Config config) : Module(config, makeTcp(config)) {}

Module Module::serial(Config config, PtyEndpoint::Options options) {
    return Module(config, std::make_unique<PtyEndpoint>(options));
}

Module::Module(Config config, std::unique_ptr<Endpoint> endpoint)
    : config_(config), journal_(config.maxRecorded), endpoint_(std::move(endpoint)) {
    if (config_.address == 0 || (config_.address & 1) != 0)
        throw std::invalid_argument("a module address is even and not 0");
    tcp_ = dynamic_cast<TcpEndpoint*>(endpoint_.get());
    pty_ = dynamic_cast<PtyEndpoint*>(endpoint_.get());
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
    return tcp_ ? tcp_->port() : 0;
}

std::string Module::slavePath() const {
    return pty_ ? pty_->slavePath() : std::string{};
}

RuleId Module::onRequest(Matcher match, Responder respond, RuleOptions options) {
    std::lock_guard lock(mutex_);
    RuleId id = nextRule_++;
    unsigned left = options.times.value_or(0);
    if (options.times && left == 0) return id; // a rule for no times never answers
    rules_.push_back(Rule{id, std::move(match), std::move(respond), std::move(options), left});
    hits_[id] = 0;
    return id;
}

void Module::removeRule(RuleId id) {
    std::lock_guard lock(mutex_);
    std::erase_if(rules_, [id](const Rule& r) { return r.id == id; });
}

void Module::clearRules() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

unsigned Module::hits(RuleId id) const {
    std::lock_guard lock(mutex_);
    auto it = hits_.find(id);
    return it == hits_.end() ? 0 : it->second;
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

bool Module::send(const Packet& packet) {
    return sendRaw(packet.wire());
}

bool Module::sendRaw(Bytes bytes, std::vector<Pause> pauses) {
    return endpoint_->send(0, Write{std::move(bytes), std::move(pauses)});
}

bool Module::sendLine(Bytes bytes, std::vector<Pause> pauses) {
    Write write{std::move(bytes), std::move(pauses)};
    return pty_ ? pty_->sendLine(0, std::move(write)) : endpoint_->send(0, std::move(write));
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
        if (!silent_) sendHeartbeatLocked(hbCounter_, config_.address);
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
    journal_.addPacket(connection, packet);

    Responder respond;
    RuleOptions options;
    Bytes builtIn;
    {
        std::lock_guard lock(mutex_);
        if (isHeartbeatAnswer(packet)) checkHeartbeatAnswer(connection, packet);
        if (silent_) return;
        for (auto it = rules_.begin(); it != rules_.end(); ++it) {
            if (!it->match(packet)) continue;
            respond = it->respond;
            options = it->options;
            ++hits_[it->id];
            if (it->options.times && --it->left == 0) rules_.erase(it);
            break;
        }
        if (!respond && packet == Packet{kSyncAddress, {}}) builtIn = syncAnswerLocked();
    }
    if (!respond) {
        pending_.insert(pending_.end(), builtIn.begin(), builtIn.end());
        return;
    }

    Bytes bytes = respond(packet);
    if (options.delay.count() > 0) {
        scheduler_.after(options.delay, [this, connection, bytes = std::move(bytes),
                                         pauses = std::move(options.pauses), then = options.then] {
            {
                std::lock_guard lock(mutex_);
                if (silent_) return;
            }
            if (!bytes.empty()) endpoint_->send(connection, Write{bytes, pauses});
            act(then);
        });
        return;
    }
    if (options.pauses.empty() && options.then == Action::None) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        return;
    }
    flush(connection);
    if (!bytes.empty()) endpoint_->send(connection, Write{std::move(bytes), options.pauses});
    act(options.then);
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
