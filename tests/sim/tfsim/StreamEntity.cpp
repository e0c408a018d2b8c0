// The stream entity's answers and its samples. Requests: [0x5D, 0x81 enable or 0x82
// disable, index, module, command, option, index of the key], answered [0x5D, 0xC1 or 0xC2,
// 0]; [0x5D, 0x41, index] asks whether any stream is enabled, answered [0x5D, 0x01, 0, 0|1].
#include "tfsim/StreamEntity.h"

#include <algorithm>

namespace tfsim {

namespace {

constexpr uint8_t kWildcard = 0xFF;
constexpr uint8_t kSampleIndexFlag = 0x40;
constexpr uint8_t kReplyFlags = 0xC0;
constexpr uint8_t kGetFlag = 0x40;
constexpr size_t kKeyRequestLength = 7;

bool covers(uint8_t wanted, uint8_t actual) {
    return wanted == kWildcard || wanted == actual;
}

void putBigEndian(Bytes& out, uint64_t value, unsigned bytes) {
    for (unsigned i = bytes; i-- > 0;)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

unsigned valueBytes(StreamKind kind) {
    switch (kind) {
    case StreamKind::U8:
    case StreamKind::SubindexU8:
        return 1;
    case StreamKind::U16:
    case StreamKind::SubindexU16:
        return 2;
    default:
        return 4;
    }
}

bool withSubindex(StreamKind kind) {
    return kind >= StreamKind::SubindexU8;
}

// The option byte a reply carries: a get's plain option, a set's with both flags.
uint8_t replyOption(uint8_t option) {
    return option == StreamEntity::kIsStreaming ? static_cast<uint8_t>(option & ~kGetFlag)
                                                : static_cast<uint8_t>(option | kReplyFlags);
}

} // namespace

StreamEntity::StreamEntity(uint8_t address) : address_(address) {}

Packet StreamEntity::sample(uint8_t address, const StreamSource& source, uint64_t timestamp,
                            uint32_t value, std::optional<size_t> length) {
    Bytes d{source.command, source.option, static_cast<uint8_t>(source.index | kSampleIndexFlag),
            static_cast<uint8_t>(source.kind)};
    if (withSubindex(source.kind)) d.push_back(source.subindex);
    putBigEndian(d, timestamp, 8);
    putBigEndian(d, value, valueBytes(source.kind));
    d.push_back(0);
    if (length) d.resize(*length);
    return Packet{address, std::move(d)};
}

Packet StreamEntity::bytesPiece(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                const Bytes& payload, uint8_t sequence, bool more) {
    Bytes d{command, option, static_cast<uint8_t>(index | kSampleIndexFlag)};
    d.insert(d.end(), payload.begin(), payload.end());
    d.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | (sequence & 0x7F)));
    return Packet{address, std::move(d)};
}

size_t StreamEntity::addSource(StreamSource source) {
    std::lock_guard lock(mutex_);
    sources_.push_back(Source{source});
    return sources_.size() - 1;
}

std::vector<StreamEntity::Key> StreamEntity::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

bool StreamEntity::enabledLocked(const Source& source) const {
    const StreamSource& s = source.spec;
    return std::any_of(enabled_.begin(), enabled_.end(), [&](const Key& k) {
        return covers(k[0], address_) && covers(k[1], s.command) && covers(k[2], s.option) &&
               covers(k[3], s.index);
    });
}

bool StreamEntity::isEnabled(size_t source) const {
    std::lock_guard lock(mutex_);
    return source < sources_.size() && enabledLocked(sources_[source]);
}

uint64_t StreamEntity::sent(size_t source) const {
    std::lock_guard lock(mutex_);
    return source < sources_.size() ? sources_[source].sent : 0;
}

uint32_t StreamEntity::lastValue(size_t source) const {
    std::lock_guard lock(mutex_);
    return source < sources_.size() ? sources_[source].last : 0;
}

uint64_t StreamEntity::totalSent() const {
    std::lock_guard lock(mutex_);
    return total_;
}

bool StreamEntity::waitForSent(uint64_t total, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return sentChanged_.wait_for(lock, timeout, [&] { return total_ >= total; });
}

std::vector<Bytes> StreamEntity::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::optional<StreamSample> StreamEntity::next() {
    std::lock_guard lock(mutex_);
    for (size_t tried = 0; tried < sources_.size(); tried++) {
        const size_t i = (turn_ + tried) % sources_.size();
        const Source& s = sources_[i];
        if (!enabledLocked(s)) continue;
        turn_ = i + 1;
        return StreamSample{i, sample(address_, s.spec, s.spec.timestamp + s.sent,
                                      static_cast<uint32_t>(s.spec.first + s.sent))};
    }
    return std::nullopt;
}

void StreamEntity::markSent(size_t source) {
    {
        std::lock_guard lock(mutex_);
        if (source >= sources_.size()) return;
        Source& s = sources_[source];
        const unsigned bits = 8 * valueBytes(s.spec.kind);
        const uint64_t value = s.spec.first + s.sent;
        s.last = static_cast<uint32_t>(bits == 32 ? value : value & ((1ull << bits) - 1));
        s.sent++;
        total_++;
    }
    sentChanged_.notify_all();
}

Bytes StreamEntity::apply(const Bytes& d, uint8_t& error) {
    const uint8_t option = d[1];
    if (option == kIsStreaming) {
        std::lock_guard lock(mutex_);
        return {kStreamCommand, replyOption(option), 0,
                static_cast<uint8_t>(enabled_.empty() ? 0 : 1)};
    }
    Bytes reply{kStreamCommand, replyOption(option), 0};
    if (option != kEnable && option != kDisable) {
        error = kUnknownOption;
        return reply;
    }
    if (d.size() != kKeyRequestLength) {
        error = kWrongLength;
        return reply;
    }
    const Key key{d[3], d[4], d[5], d[6]};
    std::lock_guard lock(mutex_);
    requests_.push_back(d);
    if (option == kEnable) {
        if (std::find(enabled_.begin(), enabled_.end(), key) == enabled_.end())
            enabled_.push_back(key);
    } else {
        std::erase_if(enabled_, [&](const Key& k) {
            return covers(key[0], k[0]) && covers(key[1], k[1]) && covers(key[2], k[2]) &&
                   covers(key[3], k[3]);
        });
    }
    return reply;
}

bool StreamEntity::handle(const Packet& request, Replies& replies) {
    const Bytes& d = request.data;
    if (d.size() < 3 || d[0] != kStreamCommand) return false;
    std::optional<Fault> fault = faults_.take(kStreamCommand, d[1]);
    if (fault && fault->silent) return true;
    uint8_t error = 0;
    Bytes reply;
    if (fault && fault->error != Fault::Error::None) {
        reply = {kStreamCommand, replyOption(d[1]), 0};
    } else {
        reply = apply(d, error);
        if (error != 0) {
            reply.resize(3);
            reply[2] = 0x80;
            reply.push_back(error);
        }
    }
    answer(request.address, std::move(reply), fault, replies);
    return true;
}

} // namespace tfsim
