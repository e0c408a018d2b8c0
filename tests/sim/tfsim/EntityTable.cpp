// The entity table's answers: a request's flags and length say whether it gets or sets and
// whether a subindex rides before the value; the entry says the width of the value.
#include "tfsim/EntityTable.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace tfsim {

namespace {

size_t bytesOf(Width width) {
    return width == Width::Buffer ? 0 : static_cast<size_t>(width);
}

uint32_t masked(Width width, uint32_t value) {
    switch (width) {
    case Width::U8:
        return value & 0xFF;
    case Width::U16:
        return value & 0xFFFF;
    case Width::U32:
        return value;
    default:
        return 0;
    }
}

void putBigEndian(Bytes& out, uint32_t value, size_t bytes) {
    for (size_t i = bytes; i-- > 0;)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t getBigEndian(const uint8_t* in, size_t bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value = value << 8 | in[i];
    return value;
}

Bytes errorData(uint8_t command, uint8_t option, uint8_t index, uint8_t code) {
    return {command, option, static_cast<uint8_t>(index | kErrorIndexFlag), code};
}

// A byte-buffer answer: each packet the head, up to `chunk` bytes and the trailer; an empty
// buffer is one packet with the trailer alone.
std::vector<Bytes> bufferAnswer(const Bytes& head, const Bytes& buffer, size_t chunk) {
    std::vector<Bytes> packets;
    size_t offset = 0;
    uint8_t seq = 0;
    do {
        const size_t take = std::min(chunk, buffer.size() - offset);
        Bytes packet = head;
        const auto from = buffer.begin() + static_cast<std::ptrdiff_t>(offset);
        packet.insert(packet.end(), from, from + static_cast<std::ptrdiff_t>(take));
        offset += take;
        packet.push_back(static_cast<uint8_t>(seq | (offset < buffer.size() ? 0x80 : 0)));
        seq = static_cast<uint8_t>((seq + 1) & 0x7F);
        packets.push_back(std::move(packet));
    } while (offset < buffer.size());
    return packets;
}

} // namespace

void EntityTable::define(Key key, Width width, uint32_t value, Access access) {
    std::lock_guard lock(mutex_);
    entries_[key] = Entry{.width = width, .access = access, .value = masked(width, value)};
}

void EntityTable::defineCall(Key key) {
    define(key, Width::Void, 0, Access::Set);
}

void EntityTable::defineBytes(Key key, Bytes value, size_t capacity, Access access) {
    std::lock_guard lock(mutex_);
    entries_[key] = Entry{
        .width = Width::Buffer, .access = access, .bytes = std::move(value), .capacity = capacity};
}

void EntityTable::undefine(Key key) {
    std::lock_guard lock(mutex_);
    entries_.erase(key);
}

uint32_t EntityTable::value(Key key) const {
    std::lock_guard lock(mutex_);
    return entries_.at(key).value;
}

Bytes EntityTable::bytes(Key key) const {
    std::lock_guard lock(mutex_);
    return entries_.at(key).bytes;
}

void EntityTable::set(Key key, uint32_t value) {
    std::lock_guard lock(mutex_);
    Entry& e = entries_.at(key);
    e.value = masked(e.width, value);
}

void EntityTable::setBytes(Key key, Bytes value) {
    std::lock_guard lock(mutex_);
    entries_.at(key).bytes = std::move(value);
}

unsigned EntityTable::writes(Key key) const {
    std::lock_guard lock(mutex_);
    return entries_.at(key).writes;
}

unsigned EntityTable::unflagged() const {
    std::lock_guard lock(mutex_);
    return unflagged_;
}

void EntityTable::setChunk(size_t bytes) {
    std::lock_guard lock(mutex_);
    chunk_ = std::clamp<size_t>(bytes, 1, kBufferChunk);
}

uint8_t EntityTable::implements(uint8_t command, uint8_t option, uint8_t index,
                                uint8_t flags) const {
    std::lock_guard lock(mutex_);
    bool entity = false, withOption = false;
    for (auto it = entries_.lower_bound(Key{command, 0, 0, 0});
         it != entries_.end() && it->first.command == command; ++it) {
        if (it->first.index != index) continue;
        entity = true;
        if (it->first.option != option) continue;
        withOption = true;
        const auto access = static_cast<uint8_t>(it->second.access);
        if ((flags & kGetFlag) && !(access & static_cast<uint8_t>(Access::Get))) continue;
        if ((flags & kSetFlag) && !(access & static_cast<uint8_t>(Access::Set))) continue;
        return 0;
    }
    if (!indexesLocked(command)) return uei_error::kInvalidEntity;
    if (!entity) return uei_error::kIndexRange;
    return withOption ? uei_error::kMode : uei_error::kInvalidOption;
}

uint8_t EntityTable::indexes(uint8_t command) const {
    std::lock_guard lock(mutex_);
    return indexesLocked(command);
}

uint8_t EntityTable::indexesLocked(uint8_t command) const {
    uint32_t seen = 0;
    for (auto it = entries_.lower_bound(Key{command, 0, 0, 0});
         it != entries_.end() && it->first.command == command; ++it)
        seen |= 1u << (it->first.index & 0x1F);
    return static_cast<uint8_t>(__builtin_popcount(seen));
}

void EntityTable::written(const Key&, Action&) {}

bool EntityTable::Incoming::take(const Bytes& packet) {
    const uint8_t trailer = packet.back();
    if ((trailer & 0x7F) != next && !error) error = uei_error::kPacket;
    bytes.insert(bytes.end(), packet.begin() + 3, packet.end() - 1);
    next = static_cast<uint8_t>((next + 1) & 0x7F);
    return !(trailer & 0x80);
}

bool EntityTable::handle(const Packet& request, Replies& replies) {
    if (request.data.empty()) return false;
    {
        std::lock_guard lock(mutex_);
        if (!indexesLocked(request.data[0])) return false;
    }
    return handleUei(request, replies);
}

// The entry of a request, or the error code the request earns.
std::optional<uint8_t> EntityTable::lookUp(const Key& key, uint8_t flags, Entry*& entry) {
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        bool entity = false, option = false;
        for (auto i = entries_.lower_bound(Key{key.command, 0, 0, 0});
             i != entries_.end() && i->first.command == key.command; ++i) {
            if (i->first.index != key.index) continue;
            entity = true;
            option = option || i->first.option == key.option;
        }
        // An option held at other subindexes lacks this one.
        return option || !entity ? uei_error::kIndexRange : uei_error::kInvalidOption;
    }
    const auto access = static_cast<uint8_t>(it->second.access);
    const auto wanted = static_cast<uint8_t>((flags & kGetFlag) ? Access::Get : Access::Set);
    if (!(access & wanted)) return uei_error::kMode;
    entry = &it->second;
    return std::nullopt;
}

bool EntityTable::handleUei(const Packet& request, Replies& replies) {
    const Bytes& d = request.data;
    const uint8_t command = d[0];
    if (d.size() < 3) {
        answer(request.address,
               errorData(command, d.size() > 1 ? d[1] : 0, 0, uei_error::kShortCommand),
               std::nullopt, replies);
        return true;
    }
    const uint8_t flags = d[1] & 0xC0;
    if (flags != kGetFlag && flags != kSetFlag) return false; // a reply or a stream sample
    const uint8_t option = d[1] & 0x3F;
    const uint8_t index = d[2] & 0x1F;
    const bool get = flags == kGetFlag;
    const uint8_t replyOption = get ? option : static_cast<uint8_t>(option | kSetReplyFlags);

    Bytes data{command, replyOption, index};
    std::vector<Bytes> sequence;
    std::optional<Key> wrote;
    {
        std::lock_guard lock(mutex_);
        if (!(d[2] & kRequestIndexFlag)) ++unflagged_;
        const auto transfer = std::make_tuple(request.address, command, option, index);
        auto incoming = incoming_.find(transfer);

        // The entry that says the width: any subindex of (command, option, index).
        auto first = entries_.lower_bound(Key{command, option, index, 0});
        const bool known = first != entries_.end() && first->first.command == command &&
                           first->first.option == option && first->first.index == index;
        const size_t n = d.size() - 3;
        Key key{command, option, index, 0};
        std::optional<uint8_t> error;
        if (get) {
            if (n > 1)
                error = uei_error::kSize;
            else if (n == 1)
                key.subindex = d[3];
        } else if (known && (first->second.width == Width::Buffer || incoming != incoming_.end())) {
            if (n == 0) {
                error = uei_error::kShortCommand;
            } else {
                Incoming& in = incoming == incoming_.end() ? incoming_[transfer] : incoming->second;
                if (!in.take(d)) return true; // more to come; one reply at the end
                Incoming done = std::move(in);
                incoming_.erase(transfer);
                Entry* entry = nullptr;
                error = done.error ? done.error : lookUp(key, flags, entry);
                if (!error && done.bytes.size() > entry->capacity) error = uei_error::kSize;
                if (!error) {
                    entry->bytes = std::move(done.bytes);
                    ++entry->writes;
                    wrote = key;
                }
            }
        } else if (known) {
            const size_t width = bytesOf(first->second.width);
            if (n == width + 1)
                key.subindex = d[3];
            else if (n != width)
                error = uei_error::kSize;
        }

        Entry* entry = nullptr;
        if (!error && !wrote) error = lookUp(key, flags, entry);
        if (error) {
            data = errorData(command, replyOption, index, *error);
        } else if (wrote) {
            // acknowledged below
        } else if (get && entry->width == Width::Buffer) {
            sequence = bufferAnswer(data, entry->bytes, chunk_);
        } else if (get) {
            putBigEndian(data, entry->value, bytesOf(entry->width));
        } else {
            const size_t width = bytesOf(entry->width);
            entry->value = masked(entry->width, getBigEndian(d.data() + d.size() - width, width));
            ++entry->writes;
            wrote = key;
        }
    }

    Action then = Action::None;
    if (wrote) written(*wrote, then);
    const std::optional<Fault> fault = faults_.take(command, option);
    if (!sequence.empty())
        answerSequence(request.address, std::move(sequence), fault, replies);
    else
        answer(request.address, std::move(data), fault, replies, {}, then);
    return true;
}

} // namespace tfsim
