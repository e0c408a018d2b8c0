// Faults of the entity handlers: which request they hit and the reply they make of it.
#include "tfsim/Fault.h"

#include <algorithm>
#include <utility>

namespace tfsim {

void Faults::add(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void Faults::clear() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::optional<Fault> Faults::take(uint8_t command, uint8_t option) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->command && *it->command != command) continue;
        if (it->option && *it->option != option) continue;
        Fault hit = *it;
        if (it->times && --*it->times == 0) faults_.erase(it);
        return hit;
    }
    return std::nullopt;
}

namespace {

void reshape(Bytes& data, const Fault& fault, EchoAt echo) {
    if (fault.error != Fault::Error::None) {
        data.resize(3);
        data[2] |= 0x80;
        if (fault.error == Fault::Error::WithCode) data.push_back(fault.code);
    }
    if (fault.echoOption && data.size() > echo.option) data[echo.option] = *fault.echoOption;
    if (fault.echoIndex && data.size() > echo.index) data[echo.index] = *fault.echoIndex;
}

void add(Bytes wire, const std::optional<Fault>& fault, Replies& replies, Action then) {
    Reply reply{std::move(wire)};
    if (fault) reply.delay = fault->delay;
    reply.then = then;
    replies.add(std::move(reply));
}

} // namespace

void answer(uint8_t address, Bytes data, const std::optional<Fault>& fault, Replies& replies,
            EchoAt echo, Action then) {
    if (fault && fault->silent) return;
    if (fault) {
        reshape(data, *fault, echo);
        if (fault->length) data.resize(*fault->length);
    }
    add(Packet{address, std::move(data)}.wire(), fault, replies, then);
}

void answerSequence(uint8_t address, std::vector<Bytes> packets, const std::optional<Fault>& fault,
                    Replies& replies) {
    if (fault && fault->silent) return;
    if (fault && fault->error != Fault::Error::None) {
        // A device error ends the transfer at its first packet.
        answer(address, std::move(packets.front()), fault, replies);
        return;
    }
    if (fault && fault->at < packets.size()) {
        if (fault->sequence == Fault::Sequence::Swapped && fault->at + 1 < packets.size())
            std::swap(packets[fault->at], packets[fault->at + 1]);
        else if (fault->sequence == Fault::Sequence::Duplicated)
            packets.insert(packets.begin() + static_cast<std::ptrdiff_t>(fault->at),
                           packets[fault->at]);
    }
    Bytes wire;
    for (Bytes& data : packets) {
        if (fault)
            reshape(data, Fault{.echoOption = fault->echoOption, .echoIndex = fault->echoIndex},
                    {});
        Bytes w = Packet{address, std::move(data)}.wire();
        wire.insert(wire.end(), w.begin(), w.end());
    }
    add(std::move(wire), fault, replies, Action::None);
}

} // namespace tfsim
