// The I2C entity's answers: a pull-up request has four data bytes, a read or write at
// least five, and bit 0 of the address byte tells a read from a write.
#include "tfsim/I2CEntity.h"

#include <algorithm>
#include <utility>

namespace tfsim {

namespace {
constexpr size_t kMaxTransfer = 23; // what fits behind the five-byte head
constexpr uint8_t kPullup = 1;
} // namespace

void I2CEntity::addDevice(uint8_t address, Bytes data) {
    std::lock_guard lock(mutex_);
    devices_[address & 0xFE] = std::move(data);
}

void I2CEntity::removeDevice(uint8_t address) {
    std::lock_guard lock(mutex_);
    devices_.erase(address & 0xFE);
}

std::vector<I2CEntity::Transfer> I2CEntity::transfers() const {
    std::lock_guard lock(mutex_);
    return transfers_;
}

std::optional<bool> I2CEntity::pullup() const {
    std::lock_guard lock(mutex_);
    return pullup_;
}

bool I2CEntity::handle(const Packet& request, Replies& replies) {
    const Bytes& d = request.data;
    if (d.size() < 4 || d[0] != kI2CCommand || d[1] != index_) return false;
    Bytes reply{kI2CCommand, index_, d[2]};
    if (d.size() == 4) {
        if (d[2] != kPullup) return false;
        {
            std::lock_guard lock(mutex_);
            pullup_ = d[3] != 0;
        }
        reply.push_back(d[3]);
        reply.push_back(0);
    } else {
        const uint8_t address = d[2];
        const bool read = address & 1;
        std::lock_guard lock(mutex_);
        auto device = devices_.find(address & 0xFE);
        const bool present = device != devices_.end();
        transfers_.push_back(
            {address, d[4], read ? Bytes{d[3]} : Bytes(d.begin() + 5, d.end()), present});
        reply.push_back(read ? d[3] : 0);
        reply.push_back(present ? 0 : kAbsentStatus);
        if (read && present) {
            Bytes data = device->second;
            data.resize(std::min<size_t>(d[3], kMaxTransfer));
            reply.insert(reply.end(), data.begin(), data.end());
        }
    }

    std::optional<Fault> fault = faults_.take(kI2CCommand, d[2]);
    if (fault && fault->error != Fault::Error::None) {
        // A device error lives in the status byte, not in the index byte.
        reply.resize(4);
        if (fault->error == Fault::Error::WithCode)
            reply.push_back(static_cast<uint8_t>(0x80 | fault->code));
        fault->error = Fault::Error::None;
    }
    answer(request.address, std::move(reply), fault, replies, {.option = 2, .index = 1});
    return true;
}

} // namespace tfsim
