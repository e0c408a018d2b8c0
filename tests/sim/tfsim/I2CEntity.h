// A module's I2C bus entity (command 8): reads and writes at 8-bit bus addresses (bit 0
// the read flag) and the pull-up switch. Devices are present only where the test put
// them; reads return the data the test set, writes are recorded.
//
//     auto i2c = router.add(std::make_shared<tfsim::I2CEntity>());
//     i2c->addDevice(0x04);               // a module behind the router takes writes
//     i2c->addDevice(0x50, {0xAA, 0xBB}); // reads of 0x51 return AA BB ...
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "tfsim/Fault.h"
#include "tfsim/Handler.h"
#include "tfsim/Packet.h"

namespace tfsim {

inline constexpr uint8_t kI2CCommand = 8;

class I2CEntity final : public Handler {
  public:
    // The status of a transfer to an address nobody holds: a device error (bit 7), code 6.
    static constexpr uint8_t kAbsentStatus = 0x86;

    explicit I2CEntity(uint8_t index = 0) : index_(index) {}

    // A device at the bus address (bit 0 ignored); reads return `data` from its start,
    // padded with zeros.
    void addDevice(uint8_t address, Bytes data = {});
    void removeDevice(uint8_t address);

    struct Transfer {
        uint8_t address; // as sent, bit 0 set for a read
        uint8_t speed;
        Bytes bytes; // written bytes; for a read, the count asked in one byte
        bool present;
    };
    std::vector<Transfer> transfers() const;
    std::optional<bool> pullup() const; // empty until the host switched it

    void addFault(Fault fault) { faults_.add(std::move(fault)); }
    void clearFaults() { faults_.clear(); }

    bool handle(const Packet& request, Replies& replies) override;

  private:
    const uint8_t index_;
    mutable std::mutex mutex_;
    std::map<uint8_t, Bytes> devices_;
    std::vector<Transfer> transfers_;
    std::optional<bool> pullup_;
    Faults faults_;
};

} // namespace tfsim
