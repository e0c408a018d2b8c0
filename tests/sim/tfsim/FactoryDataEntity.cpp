// The factory data's answers. Byte 1 of a request: the kind in bits 0 to 3, 0x10 write,
// 0x20 finish, 0x40 the first packet of a transfer; a reply sets 0x80 for an error.
#include "tfsim/FactoryDataEntity.h"

#include <algorithm>

namespace tfsim {

namespace {
constexpr uint8_t kKindBits = 0x0F;
constexpr uint8_t kWriteFlag = 0x10;
constexpr uint8_t kFinishFlag = 0x20;
constexpr uint8_t kFirstFlag = 0x40;
constexpr uint8_t kErrorFlag = 0x80;
} // namespace

void FactoryDataEntity::define(uint8_t kind, size_t capacity, Bytes data) {
    std::lock_guard lock(mutex_);
    kinds_[kind & kKindBits] = Kind{capacity, std::move(data)};
}

Bytes FactoryDataEntity::data(uint8_t kind) const {
    std::lock_guard lock(mutex_);
    auto it = kinds_.find(kind & kKindBits);
    return it == kinds_.end() ? Bytes{} : it->second.data;
}

std::vector<uint16_t> FactoryDataEntity::finishes() const {
    std::lock_guard lock(mutex_);
    return finishes_;
}

Bytes FactoryDataEntity::apply(const Bytes& d, uint8_t& error) {
    std::lock_guard lock(mutex_);
    const uint8_t kind = d[1] & kKindBits;
    if (d[1] & kFinishFlag) {
        const auto total = static_cast<uint16_t>(d.size() >= 4 ? (d[2] << 8) | d[3] : 0);
        finishes_.push_back(total);
        // A finish names no kind: it ends the transfer under way, if any.
        if (current_ && writing_) {
            if (written_.size() != total)
                error = kMismatch;
            else
                kinds_[*current_].data = written_;
        }
        current_.reset();
        return {kFactoryCommand, 0, 0};
    }
    auto it = kinds_.find(kind);
    if (it == kinds_.end()) {
        error = kNoSuchKind;
        return {kFactoryCommand, kind};
    }
    const bool write = d[1] & kWriteFlag;
    if ((d[1] & kFirstFlag) || !current_ || *current_ != kind || writing_ != write) {
        current_ = kind;
        writing_ = write;
        cursor_ = 0;
        written_.clear();
    }
    Bytes reply{kFactoryCommand, kind};
    if (write) {
        if (written_.size() + d.size() - 2 > it->second.capacity) {
            error = kFull;
            return reply;
        }
        written_.insert(written_.end(), d.begin() + 2, d.end());
        return reply;
    }
    const Bytes& data = it->second.data;
    const size_t n = std::min(kChunk, data.size() - std::min(cursor_, data.size()));
    reply.insert(reply.end(), data.begin() + static_cast<std::ptrdiff_t>(cursor_),
                 data.begin() + static_cast<std::ptrdiff_t>(cursor_ + n));
    cursor_ += n;
    return reply;
}

bool FactoryDataEntity::handle(const Packet& request, Replies& replies) {
    const Bytes& d = request.data;
    if (d.size() < 2 || d[0] != kFactoryCommand || (d[1] & kErrorFlag)) return false;
    const uint8_t option = d[1] & static_cast<uint8_t>(~kFirstFlag);
    const uint8_t kindBits = (d[1] & kFinishFlag) ? 0 : (d[1] & kKindBits);
    std::optional<Fault> fault = faults_.take(kFactoryCommand, option);
    if (fault && fault->silent) return true;
    uint8_t error = 0;
    Bytes reply;
    if (fault && fault->error != Fault::Error::None)
        error = fault->code;
    else
        reply = apply(d, error);
    if (error != 0 || (fault && fault->error != Fault::Error::None)) {
        reply = {kFactoryCommand, static_cast<uint8_t>(kindBits | kErrorFlag)};
        if (!(fault && fault->error == Fault::Error::WithoutCode)) reply.push_back(error);
    }
    if (fault) fault->error = Fault::Error::None;
    answer(request.address, std::move(reply), fault, replies, {.option = 1, .index = 1});
    return true;
}

} // namespace tfsim
