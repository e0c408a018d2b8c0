// A module's factory data (command 0x5E): a small block of bytes per kind (0 to 15), read
// and written in chunks of up to 26 bytes; a finish packet with the total ends a transfer.
//
//     auto factory = sim.add(std::make_shared<tfsim::FactoryDataEntity>());
//     factory->define(3, 512, {0xCA, 0xFE}); // kind 3 holds at most 512 bytes
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

inline constexpr uint8_t kFactoryCommand = 0x5E;

class FactoryDataEntity final : public Handler {
  public:
    static constexpr uint8_t kNoSuchKind = 26;
    static constexpr uint8_t kFull = 14;     // a write past the kind's capacity
    static constexpr uint8_t kMismatch = 24; // a finish whose total is not what was written
    static constexpr size_t kChunk = 26;

    void define(uint8_t kind, size_t capacity, Bytes data = {});
    Bytes data(uint8_t kind) const;
    // The totals of the finish packets received, in order.
    std::vector<uint16_t> finishes() const;

    // Faults hit by command 0x5E and byte 1 without the first-packet flag as option:
    // the kind for a read chunk, 0x10 | kind for a write chunk, 0x20 for the finish.
    // An error fault answers [0x5E, kind | 0x80, code] and changes nothing.
    void addFault(Fault fault) { faults_.add(std::move(fault)); }

    bool handle(const Packet& request, Replies& replies) override;

  private:
    struct Kind {
        size_t capacity = 0;
        Bytes data;
    };
    // The reply data for a request that goes right; an error code otherwise.
    Bytes apply(const Bytes& d, uint8_t& error);

    mutable std::mutex mutex_;
    std::map<uint8_t, Kind> kinds_;
    std::vector<uint16_t> finishes_;
    // The transfer under way: its kind, where a read stands, what a write collected.
    std::optional<uint8_t> current_;
    bool writing_ = false;
    size_t cursor_ = 0;
    Bytes written_;
    Faults faults_;
};

} // namespace tfsim
