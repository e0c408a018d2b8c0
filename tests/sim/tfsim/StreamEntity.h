// A module's streams (command 0x5D): the host enables and disables them by a key of module,
// command, option and index (0xFF: any), asks whether the module streams, and the module
// then sends samples of its sources on its own (tfsim/StreamEmitter.h sends them at a rate).
//
//     auto streams = sim.add(std::make_shared<tfsim::StreamEntity>(0x06));
//     streams->addSource({.command = 3, .option = 7, .index = 0, .kind = 3});
//     tfsim::StreamEmitter emitter(sim, *streams); // after sim, so it stops first
//     emitter.setRate(2000);                        // samples per second
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "tfsim/Fault.h"
#include "tfsim/Handler.h"
#include "tfsim/Packet.h"

namespace tfsim {

inline constexpr uint8_t kStreamCommand = 0x5D;

// What a stream packet carries, by the number in its data byte 3.
enum class StreamKind : uint8_t {
    U8 = 1,
    U16 = 2,
    U32 = 3,
    ByteBuffer = 4,
    SubindexU8 = 5,
    SubindexU16 = 6,
    SubindexU32 = 7,
};

// One value the module can stream. Sample n carries value first + n (cut to the kind's
// width) and timestamp timestamp + n, so a test can tell every sample from the others.
struct StreamSource {
    uint8_t command = 0;
    uint8_t option = 0; // below 64
    uint8_t index = 0;  // below 32
    StreamKind kind = StreamKind::U32;
    uint8_t subindex = 0; // sent by the subindex kinds only
    uint32_t first = 1;
    uint64_t timestamp = 0x0000000100000000ull;
};

struct StreamSample {
    size_t source = 0;
    Packet packet;
};

class StreamEntity final : public Handler {
  public:
    static constexpr uint8_t kEnable = 0x81;
    static constexpr uint8_t kDisable = 0x82;
    static constexpr uint8_t kIsStreaming = 0x41;
    static constexpr uint8_t kUnknownOption = 29;
    static constexpr uint8_t kWrongLength = 14;
    using Key = std::array<uint8_t, 4>; // module, command, option, index

    explicit StreamEntity(uint8_t address);

    // A sample as the module sends it: [command, option, index | 0x40, kind, (subindex),
    // timestamp high, low, value, trailer 0], big-endian. `length` cuts or pads it with
    // zeros, for a sample of the wrong length.
    static Packet sample(uint8_t address, const StreamSource& source, uint64_t timestamp,
                         uint32_t value, std::optional<size_t> length = {});
    // A piece of a streamed byte buffer: [command, option, index | 0x40, payload, trailer]
    // with the sequence number and the continue bit in the trailer.
    static Packet bytesPiece(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                             const Bytes& payload, uint8_t sequence, bool more);

    // Returns the source's number.
    size_t addSource(StreamSource source);
    // The enables in force, oldest first.
    std::vector<Key> enabled() const;
    bool isEnabled(size_t source) const;
    // Samples of the source sent so far, and the value of the last (0 before the first).
    uint64_t sent(size_t source) const;
    uint32_t lastValue(size_t source) const;
    uint64_t totalSent() const;
    bool waitForSent(uint64_t total, std::chrono::milliseconds timeout) const;
    // Enable and disable requests received, in order.
    std::vector<Bytes> requests() const;

    // The next sample of the next enabled source, taking turns; none when none is enabled.
    // The sample counts once `markSent` says it went out.
    std::optional<StreamSample> next();
    void markSent(size_t source);

    // Faults hit by command 0x5D and the option byte as sent (0x81, 0x82 or 0x41). An error
    // fault refuses: nothing is enabled or disabled.
    void addFault(Fault fault) { faults_.add(std::move(fault)); }

    bool handle(const Packet& request, Replies& replies) override;

  private:
    struct Source {
        StreamSource spec;
        uint64_t sent = 0;
        uint32_t last = 0;
    };
    bool enabledLocked(const Source& source) const;
    // The reply data for a request that goes right; an error code otherwise.
    Bytes apply(const Bytes& d, uint8_t& error);

    const uint8_t address_;
    mutable std::mutex mutex_;
    mutable std::condition_variable sentChanged_;
    std::vector<Source> sources_;
    std::vector<Key> enabled_;
    std::vector<Bytes> requests_;
    uint64_t total_ = 0;
    size_t turn_ = 0;
    Faults faults_;
};

} // namespace tfsim
