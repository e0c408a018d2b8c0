// The store slots' answers. Sub-commands 1 to 4 name a store and a slot, 6 to 8 a handle;
// an error reply sets bit 7 of the sub-command and puts its code after the echoed fields.
#include "tfsim/StoreSlotEntity.h"

#include <algorithm>

namespace tfsim {

namespace {
enum : uint8_t { kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4 };
enum : uint8_t { kRead = 6, kWrite = 7, kClose = 8 };

void putShort(Bytes& out, size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}
} // namespace

void StoreSlotEntity::defineSlot(uint8_t store, uint8_t slot, uint16_t capacity, Bytes content) {
    std::lock_guard lock(mutex_);
    slots_[{store, slot}] = Slot{capacity, std::move(content)};
}

Bytes StoreSlotEntity::content(uint8_t store, uint8_t slot) const {
    std::lock_guard lock(mutex_);
    auto it = slots_.find({store, slot});
    return it == slots_.end() ? Bytes{} : it->second.content;
}

size_t StoreSlotEntity::openHandles() const {
    std::lock_guard lock(mutex_);
    return open_.size();
}

void StoreSlotEntity::closeAll() {
    std::lock_guard lock(mutex_);
    open_.clear();
}

Bytes StoreSlotEntity::apply(const Bytes& d, uint8_t& error) {
    std::lock_guard lock(mutex_);
    const uint8_t sub = d[1];
    Bytes reply(d.begin(), d.begin() + (sub <= kOpenWrite ? 4 : 3));
    if (sub <= kOpenWrite) {
        auto slot = slots_.find({d[2], d[3]});
        if (slot == slots_.end()) {
            error = kNoSuchSlot;
            return reply;
        }
        if (sub == kCapacity || sub == kSize) {
            putShort(reply, sub == kCapacity ? slot->second.capacity : slot->second.content.size());
            return reply;
        }
        uint8_t handle = 1;
        while (open_.count(handle))
            handle++;
        if (open_.size() >= kHandles) {
            error = kNoHandle;
            return reply;
        }
        // An open for writing replaces the image.
        if (sub == kOpenWrite) slot->second.content.clear();
        open_[handle] = Open{slot->first, sub == kOpenWrite};
        reply.push_back(handle);
        return reply;
    }
    auto open = open_.find(d[2]);
    if (open == open_.end()) {
        error = kNoSuchSlot;
        return reply;
    }
    Slot& slot = slots_[open->second.slot];
    if (sub == kClose) {
        open_.erase(open);
        reply.push_back(0);
    } else if ((sub == kWrite) != open->second.writing) {
        error = kWrongMode;
    } else if (sub == kRead) {
        const size_t at = std::min(open->second.cursor, slot.content.size());
        const size_t n = std::min<size_t>(kMaxBytes, slot.content.size() - at);
        reply.insert(reply.end(), slot.content.begin() + static_cast<std::ptrdiff_t>(at),
                     slot.content.begin() + static_cast<std::ptrdiff_t>(at + n));
        open->second.cursor = at + n;
    } else {
        const size_t n = d.size() - 3;
        if (slot.content.size() + n > slot.capacity) {
            error = kFull;
            return reply;
        }
        uint8_t sum = 0;
        for (size_t i = 3; i < d.size(); i++)
            sum = static_cast<uint8_t>(sum + d[i]);
        slot.content.insert(slot.content.end(), d.begin() + 3, d.end());
        reply.push_back(sum);
    }
    return reply;
}

bool StoreSlotEntity::handle(const Packet& request, Replies& replies) {
    const Bytes& d = request.data;
    if (d.size() < 2 || d[0] != kStoreSlotCommand) return false;
    const uint8_t sub = d[1];
    const bool slotRequest = sub >= kCapacity && sub <= kOpenWrite;
    if (!slotRequest && sub != kRead && sub != kWrite && sub != kClose) return false;
    const size_t head = slotRequest ? 4 : 3;

    std::optional<Fault> fault = faults_.take(kStoreSlotCommand, sub);
    if (fault && fault->silent) return true;
    uint8_t error = 0;
    Bytes reply;
    if (d.size() < head || (sub == kWrite && d.size() == head)) {
        reply.assign(d.begin(), d.end());
        reply.resize(head);
        error = kShort;
    } else if (fault && fault->error != Fault::Error::None) {
        reply.assign(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(head));
        error = fault->error == Fault::Error::WithCode ? fault->code : 0;
    } else {
        reply = apply(d, error);
    }
    if (error != 0 || (fault && fault->error != Fault::Error::None)) {
        reply[1] |= 0x80;
        if (!(fault && fault->error == Fault::Error::WithoutCode)) reply.push_back(error);
    }
    if (fault) fault->error = Fault::Error::None;
    answer(request.address, std::move(reply), fault, replies);
    return true;
}

} // namespace tfsim
