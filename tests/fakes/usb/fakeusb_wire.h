// The protocol of the fake's control directory, shared by the fake (fakeusb_channel.cpp)
// and the client that drives it from another process (fakeusb_remote.h).
//
// The directory, named by FAKEUSB_CONTROL in the child's environment, holds
//   lock          flock()ed by either side around every look at the files below
//   setup         commands written before the child's first libusb call, one a line;
//                 that call applies them before it returns
//   control.sock  the child's Unix-domain socket from that call on: one command per
//                 connection, the reply up to the end of the stream
//   final         the snapshot the child leaves when it exits (the socket is gone then)
// Commands (devices are numbered by the client; 0 is no device):
//   add ID CONFIG    reconfigure ID CONFIG    remove ID    unplug ID    plug ID
//   fail ID OP ERROR TIMES    script ID OP ERROR PARTIAL TIMES    stall ID ENDPOINT
//   clear-transfers ID    reset    snapshot
// Replies: "ok", followed by the snapshot for snapshot, or "error TEXT".
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fakeusb.h"

namespace fakeusb::wire {

inline constexpr char kEnvironment[] = "FAKEUSB_CONTROL";
inline constexpr char kLockFile[] = "lock";
inline constexpr char kSetupFile[] = "setup";
inline constexpr char kSocketFile[] = "control.sock";
inline constexpr char kFinalFile[] = "final";

std::vector<std::string> words(std::string_view line);
// A decimal or 0x-prefixed hexadecimal integer, possibly negative.
std::optional<long> integer(std::string_view word);
const char* opName(fakeusb_op op);
std::optional<fakeusb_op> opByName(std::string_view name);

// fakeusb_config_init's defaults, here for processes that do not link the fake.
fakeusb_device_config defaultConfig(uint16_t vendorId, uint16_t productId, const char* serial);

// A configuration as key=value words; its strings travel in hex, so any byte fits.
std::string encodeConfig(const fakeusb_device_config& config);
// A decoded configuration whose strings point into the record itself.
struct DecodedConfig {
    fakeusb_device_config config{};
    std::optional<std::string> serial, host;
    DecodedConfig() = default;
    DecodedConfig(const DecodedConfig&) = delete;
    DecodedConfig& operator=(const DecodedConfig&) = delete;
};
// Decodes words[first...]; false on an unknown key or a malformed value.
bool decodeConfig(const std::vector<std::string>& words, size_t first, DecodedConfig& out);

// What a test reads back from the child: its counts, and per device its calls and
// transfers.
struct Snapshot {
    unsigned inits = 0, exits = 0, liveContexts = 0, openHandles = 0, liveDeviceLists = 0,
             liveConfigDescriptors = 0, misuse = 0;
    struct Device {
        unsigned calls[FAKEUSB_OP_COUNT] = {};
        std::vector<fakeusb_transfer> transfers;
    };
    std::map<int, Device> devices; // the devices on the bus, by the client's numbers

    unsigned calls(int device, fakeusb_op op) const;
    std::vector<fakeusb_transfer> transfers(int device) const;
};
std::string encodeSnapshot(const Snapshot& snapshot);
bool decodeSnapshot(std::string_view text, Snapshot& out);

// The directory's lock file, held while the object lives (flock: a process that dies
// lets go of it).
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::string& directory);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

std::string path(const std::string& directory, const char* file);
bool exists(const std::string& path);
std::optional<std::string> readFile(const std::string& path);
// Writes through a temporary name and renames, so a reader sees all or nothing.
bool replaceFile(const std::string& path, std::string_view content);

using Clock = std::chrono::steady_clock;
// Blocking socket I/O with a deadline; false on an error or when the deadline passed.
bool sendAll(int fd, std::string_view data, Clock::time_point deadline);
// Reads until the peer ends the stream.
bool receiveAll(int fd, std::string& out, Clock::time_point deadline);

} // namespace fakeusb::wire
