// The UEI entities of a simulated module as a table: (command, option, index, subindex) to
// a value of 0, 8, 16 or 32 bits or a byte buffer. Answers gets, sets and calls as a module
// does, byte buffers in packets of up to 24 bytes with a sequence-and-continue trailer, and
// error replies for what the table does not hold.
//
//     auto table = sim.add(std::make_shared<tfsim::EntityTable>());
//     table->define({.command = 3, .option = 8}, tfsim::Width::U8, 13);
//     table->defineBytes({.command = 3, .option = 32}, {'a', 'b'}, 32);
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

#include "tfsim/Fault.h"
#include "tfsim/Handler.h"
#include "tfsim/Packet.h"

namespace tfsim {

// Value widths in bytes; Buffer is a byte buffer of any length up to its capacity.
enum class Width : uint8_t { Void = 0, U8 = 1, U16 = 2, U32 = 4, Buffer = 5 };

enum class Access : uint8_t { Get = 1, Set = 2, GetSet = 3 };

// The codes a module puts in byte 3 of its error replies.
namespace uei_error {
inline constexpr uint8_t kMode = 7;    // a get of a set-only option, or a set of a read-only one
inline constexpr uint8_t kSize = 14;   // a value of the wrong width, a buffer over capacity
inline constexpr uint8_t kPacket = 24; // a byte-buffer set out of sequence
inline constexpr uint8_t kIndexRange = 26;    // an index or subindex the entity lacks
inline constexpr uint8_t kShortCommand = 27;  // fewer than command, option and index
inline constexpr uint8_t kInvalidEntity = 28; // a command the module has no entity of
inline constexpr uint8_t kInvalidOption = 29; // an option the entity lacks
} // namespace uei_error

// UEI flag bits.
inline constexpr uint8_t kGetFlag = 0x40;
inline constexpr uint8_t kSetFlag = 0x80;
inline constexpr uint8_t kSetReplyFlags = 0xC0;
inline constexpr uint8_t kRequestIndexFlag = 0x20;
inline constexpr uint8_t kErrorIndexFlag = 0x80;
inline constexpr size_t kBufferChunk = 24; // buffer bytes per packet

struct Key {
    uint8_t command = 0;
    uint8_t option = 0; // plain, 0 to 63
    uint8_t index = 0;  // plain, 0 to 31
    uint8_t subindex = 0;
    auto operator<=>(const Key&) const = default;
};

class EntityTable : public Handler {
  public:
    // Values are kept in their low `width` bytes; signed ones as their bits.
    void define(Key key, Width width, uint32_t value = 0, Access access = Access::GetSet);
    void defineCall(Key key); // an option that is set with no value (save, reset)
    void defineBytes(Key key, Bytes value, size_t capacity, Access access = Access::GetSet);
    void undefine(Key key);

    // What the entry holds now (the host's sets included); throws std::out_of_range.
    uint32_t value(Key key) const;
    Bytes bytes(Key key) const;
    void set(Key key, uint32_t value);
    void setBytes(Key key, Bytes value);
    // Sets and calls taken for the entry.
    unsigned writes(Key key) const;
    // Requests whose index byte lacked the request flag 0x20 (answered all the same).
    unsigned unflagged() const;

    // Byte-buffer answers in packets of this many buffer bytes (1 to 24; default 24).
    void setChunk(size_t bytes);

    void addFault(Fault fault) { faults_.add(std::move(fault)); }
    void clearFaults() { faults_.clear(); }

    // Whether the table has an entry for (command, option, index), any subindex, that
    // allows the access `flags` asks about (0x40 get, 0x80 set, 0 either): 0 or the error
    // code a request would get.
    uint8_t implements(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;
    // Distinct indexes of `command` in the table.
    uint8_t indexes(uint8_t command) const;

    bool handle(const Packet& request, Replies& replies) override;

  protected:
    // After a set or call was taken and its acknowledgement built, under no lock: a place
    // to act on it (a reset that drops the link, routing switched on).
    virtual void written(const Key& key, Action& then);
    Faults& faults() { return faults_; }

  private:
    struct Entry {
        Width width = Width::Void;
        Access access = Access::GetSet;
        uint32_t value = 0;
        Bytes bytes;
        size_t capacity = 0;
        unsigned writes = 0;
    };
    // A byte-buffer set in progress: the packets so far.
    struct Incoming {
        Bytes bytes;
        uint8_t next = 0; // the sequence number the next packet must carry
        std::optional<uint8_t> error;
        // One packet [command, option, index, payload..., trailer]; true when it was the last.
        bool take(const Bytes& packet);
    };

    bool handleUei(const Packet& request, Replies& replies);
    std::optional<uint8_t> lookUp(const Key& key, uint8_t flags, Entry*& entry);
    uint8_t indexesLocked(uint8_t command) const;

    mutable std::mutex mutex_;
    std::map<Key, Entry> entries_;
    std::map<std::tuple<uint8_t, uint8_t, uint8_t, uint8_t>, Incoming> incoming_; // by address
    size_t chunk_ = kBufferChunk;
    unsigned unflagged_ = 0;
    Faults faults_;
};

} // namespace tfsim
