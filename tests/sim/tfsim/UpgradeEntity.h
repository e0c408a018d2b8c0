// A module's firmware-upgrade entity (command 0x5F): loader session, blocks announced at a load
// address, pieces as data packets or one byte-buffer set (option 10), byte sums, writes, loader
// start and reboot, with what each does to the link. It keeps every piece so that a test can
// compare the image byte for byte with what the host sent.
//
//     auto upgrade = sim.add(std::make_shared<tfsim::UpgradeEntity>());
//     upgrade->addFault({.command = 0x5F, .option = tfsim::upgrade::kSum, .delay = 1500ms});
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "tfsim/EntityTable.h"

namespace tfsim {

class Module;

inline constexpr uint8_t kUpgradeCommand = 0x5F;

// Sub-commands (data byte 1) and the byte-buffer option.
namespace upgrade {
inline constexpr uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5,
                         kReboot = 6, kStatus = 7, kDataOption = 10;
} // namespace upgrade

// One PREPARE and what followed it until the next.
struct UpgradeBlock {
    uint8_t flags = 0;
    uint32_t address = 0;
    Bytes received; // every data byte taken, written or not
    Bytes written;  // the pieces committed by WRITE, in order
    unsigned sums = 0;
};

class UpgradeEntity : public EntityTable {
  public:
    // What LOAD does to the link. Faults (silent, delay, length) shape the reply of Reply.
    enum class Load {
        Reply,  // 5F 02, the link stays
        Silent, // nothing, the link stays
        Drop,   // nothing, the connection ends
        // nothing, the connection ends, connects are refused for the absence set with
        // setLoad; the loader then greets the next connection with 5F 02 by itself. Needs
        // setLink; without it, as Drop.
        Restart,
        // 5F 02, then after the lag set with setLoad the module restarts as with Restart,
        // and its loader says nothing on the next connection. Needs setLink; without it, as
        // Reply.
        ReplyThenRestart,
    };

    struct Settings {
        uint32_t loadBase = 0x10000000;
        uint16_t blockSize = 2048;
        size_t pieceCapacity = 65535; // of the byte-buffer option
    };
    UpgradeEntity() : UpgradeEntity(Settings{}) {}
    explicit UpgradeEntity(Settings settings);
    ~UpgradeEntity() override;

    // The module whose TCP connection this entity's loader start and reboot end: its own, or
    // its router's. With it a restarting module refuses connects while it is away (a reboot:
    // for good); without it the host's stream may reconnect at once.
    void setLink(Module* link);
    void setLoad(Load load, std::chrono::milliseconds absence = {},
                 std::chrono::milliseconds lag = {});
    // What else a Restart does to the device: `away` as the connection drops (on the endpoint's
    // thread), `back` once the absence is over. Over the fake libusb: unplug, then plug in
    // again, as itself or as the loader.
    void onRestart(std::function<void()> away, std::function<void()> back);
    // A reboot ends the connection (true, the default) or leaves it up: a module behind a
    // router, or one that never restarts.
    void setRebootDrops(bool drops);
    void setBlockSize(uint16_t size);
    // The status byte of PREPARE, SUM or WRITE replies (0: accepted).
    void setStatus(uint8_t subCommand, uint8_t status);
    // Added to the sum reported, so that it disagrees with the bytes received.
    void setSumOffset(uint32_t offset);
    // After this many more data packets taken, the next one is not answered and the
    // connection ends.
    void closeAfterData(unsigned packets);

    std::vector<UpgradeBlock> blocks() const;
    // The bytes written into the last block prepared at `address`; empty when none was.
    Bytes image(uint32_t address) const;
    // Requests taken of a sub-command (kDataOption: byte-buffer sets).
    unsigned requests(uint8_t subCommand) const;

    bool handle(const Packet& request, Replies& replies) override;

  protected:
    void written(const Key& key, Action& then) override;

  private:
    void answerRaw(const Packet& request, Replies& replies);
    struct Restarting {
        std::chrono::milliseconds lag{0}; // the connection ends this long after the reply
        std::chrono::milliseconds absence{0};
        bool greets = true; // the loader says 5F 02 on the next connection
    };
    void restartLater(Restarting how, Module* link, uint8_t address, std::function<void()> away,
                      std::function<void()> back);

    const Settings settings_;
    mutable std::mutex mutex_;
    Load load_ = Load::Reply;
    std::chrono::milliseconds absence_{0};
    std::chrono::milliseconds lag_{0};
    Module* link_ = nullptr;
    std::function<void()> away_, back_;
    bool rebootDrops_ = true;
    uint16_t blockSize_;
    uint8_t status_[8] = {};
    uint32_t sumOffset_ = 0;
    std::optional<unsigned> closeAfter_;
    std::vector<UpgradeBlock> blocks_;
    Bytes piece_; // since the last PREPARE or WRITE
    unsigned requests_[16] = {};

    // The restarting loader's thread.
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::thread restart_;
};

} // namespace tfsim
