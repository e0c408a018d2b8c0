// The i.MX RT boot ROM's side of the Serial Download Protocol, independent of how bytes
// travel: 16-byte commands in, file bytes in, HAB-mode and status words out, over a model
// of the chip's RAM and fuses. The endpoints (HID, serial) frame it for their wire.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sdpsim {

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr size_t kCommandBytes = 16;

constexpr uint32_t kHabOpen = 0x56787856;
constexpr uint32_t kFileComplete = 0x88888888;
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
// What this ROM answers for a file it could not store (outside RAM, or a bad command).
constexpr uint32_t kWriteRejected = 0x33333333;

constexpr uint32_t kFuseCfg0 = 0x401F4410;
constexpr uint32_t kFuseCfg1 = 0x401F4420;

// One thing the ROM sends: the HAB-mode word or a status (a word, or register bytes).
struct Reply {
    enum class Kind { HabMode, Status };
    Kind kind;
    std::vector<uint8_t> bytes;
};

struct Command {
    uint16_t type;
    uint32_t address;
    uint8_t format;
    uint32_t count;
};

struct RomConfig {
    uint32_t habMode = kHabOpen;
    uint32_t errorStatus = kStatusOk;
    uint32_t cfg0 = 0x0C0FFEE0;
    uint32_t cfg1 = 0x0BADF00D;
    // Where a jump is announced for a test in another process: the address, "0x%08X\n".
    std::string jumpFile;
};

struct RomFaults {
    bool silent = false;                // answers nothing at all
    std::optional<uint32_t> completion; // sent after a file in place of the real word
    std::optional<size_t> statusBytes;  // status cut to this many bytes
    bool replyBeforeFileData = false;   // answers WRITE_FILE at once, not after its data
    bool flood = false;                 // status reports after each reply while the host reads
    bool stopReadingOnFile = false;     // the endpoint stops reading at WRITE_FILE
    std::optional<uint16_t> silentOn;   // one command type (not WRITE_FILE) left unanswered
};

class BootRom {
  public:
    // RAM the ROM takes files into: the tightly coupled data memory and the on-chip RAM.
    static constexpr uint32_t kDtcmBase = 0x20000000;
    static constexpr uint32_t kOcramBase = 0x20200000;
    static constexpr uint32_t kRamBytes = 0x80000;

    explicit BootRom(RomConfig config = {});

    // A command (16 bytes; fewer is a broken command, answered with a rejection).
    std::vector<Reply> onCommand(std::span<const uint8_t> bytes);
    // File bytes; those beyond what WRITE_FILE announced are padding and dropped.
    std::vector<Reply> onData(std::span<const uint8_t> bytes);
    // File bytes still awaited: while non-zero, what arrives is data, not a command.
    uint32_t awaitedData() const;
    // Whether the endpoint should go on reading (a fault stops it).
    bool reading() const;
    // While flooding, one more status report to send after a reply.
    std::optional<Reply> floodReply() const;

    void setFaults(const RomFaults& faults);
    // Called on the endpoint's thread with the entry address; the ROM then falls silent, as
    // a chip running the code it jumped to.
    void onJump(std::function<void(uint32_t)> callback);

    std::vector<uint8_t> memory(uint32_t address, size_t length) const;
    std::vector<Command> commands() const;
    std::vector<uint32_t> jumps() const;
    // Data bytes taken in, padding excluded.
    size_t dataBytes() const;

  private:
    struct Region {
        uint32_t base;
        std::vector<uint8_t> bytes;
    };
    uint8_t* at(uint32_t address);
    const uint8_t* at(uint32_t address) const;
    std::vector<Reply> answer(uint32_t status) const;
    std::vector<Reply> fileDone();
    uint32_t registerWord(uint32_t address) const;

    mutable std::mutex mutex_;
    RomConfig config_;
    RomFaults faults_;
    std::vector<Region> ram_;
    std::vector<Command> commands_;
    std::vector<uint32_t> jumps_;
    std::function<void(uint32_t)> jumpCallback_;
    bool jumped_ = false;
    bool reading_ = true;
    // The file being taken in.
    uint32_t fileAddress_ = 0;
    uint32_t fileRemaining_ = 0;
    bool fileInRam_ = true;
    bool fileAnswered_ = false;
    size_t dataBytes_ = 0;
};

} // namespace sdpsim
