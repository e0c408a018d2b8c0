// A module's store slots (command 4): numbered stores of numbered slots, each a byte image
// with a capacity, written and read through one-byte handles that an open gives.
//
//     auto slots = sim.add(std::make_shared<tfsim::StoreSlotEntity>());
//     slots->defineSlot(0, 1, 4096);          // store 0, slot 1, empty
//     slots->defineSlot(1, 0, 64, {1, 2, 3}); // with content
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "tfsim/Fault.h"
#include "tfsim/Handler.h"
#include "tfsim/Packet.h"

namespace tfsim {

inline constexpr uint8_t kStoreSlotCommand = 4;

class StoreSlotEntity final : public Handler {
  public:
    // Error codes of the module's error replies.
    static constexpr uint8_t kNoSuchSlot = 26; // unknown store, slot or handle
    static constexpr uint8_t kFull = 14;       // a write past the slot's capacity
    static constexpr uint8_t kWrongMode = 7;   // a read on a write handle or the reverse
    static constexpr uint8_t kNoHandle = 30;   // every handle is in use
    static constexpr uint8_t kShort = 27;      // a request too short for its sub-command
    static constexpr uint8_t kMaxBytes = 25;   // slot bytes in one read reply

    void defineSlot(uint8_t store, uint8_t slot, uint16_t capacity, Bytes content = {});
    Bytes content(uint8_t store, uint8_t slot) const;
    size_t openHandles() const;
    // Lets every handle go, as a module reset would.
    void closeAll();

    // Faults hit by command 4 and the sub-command as option. An error fault answers
    // [4, sub | 0x80, echoed store and slot or handle, code] and changes nothing; echoOption
    // and echoIndex replace bytes 1 and 2.
    void addFault(Fault fault) { faults_.add(std::move(fault)); }
    void clearFaults() { faults_.clear(); }

    bool handle(const Packet& request, Replies& replies) override;

  private:
    struct Slot {
        uint16_t capacity = 0;
        Bytes content;
    };
    struct Open {
        std::pair<uint8_t, uint8_t> slot;
        bool writing = false;
        size_t cursor = 0;
    };
    static constexpr size_t kHandles = 4;

    // The reply data for a request that goes right; an error code otherwise.
    Bytes apply(const Bytes& d, uint8_t& error);

    mutable std::mutex mutex_;
    std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
    std::map<uint8_t, Open> open_;
    Faults faults_;
};

} // namespace tfsim
