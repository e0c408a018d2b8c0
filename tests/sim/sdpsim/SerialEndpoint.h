// The boot ROM on a UART: a pty master whose slave the host opens as its serial port.
// Commands are 16 raw bytes, file data follows as it is, and the ROM's words go back
// without report ids.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "BootRom.h"
#include "IoLoop.h"

namespace sdpsim {

struct SerialOptions {
    // A pause this long inside a command drops the bytes taken so far (0: never), as a UART
    // receiver that times out a frame does; stray bytes from a host that probed the port for
    // another protocol then do not shift every later command.
    std::chrono::milliseconds commandTimeout{0};
};

class SerialEndpoint {
  public:
    // Opens the pty; throws std::system_error. The slave keeps the default terminal settings
    // (echo, canonical input, CR/LF translation) until the host sets its own.
    explicit SerialEndpoint(BootRom& rom, SerialOptions options = {});
    ~SerialEndpoint();
    SerialEndpoint(const SerialEndpoint&) = delete;
    SerialEndpoint& operator=(const SerialEndpoint&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    // Every byte the host has sent, in order.
    std::vector<uint8_t> received() const;

  private:
    std::vector<int> watched();
    void receive();
    void send(const std::vector<Reply>& replies);

    BootRom& rom_;
    int masterFd_ = -1;
    // Held open so that the master never reports a hang-up while no host has the slave.
    int slaveFd_ = -1;
    std::string slavePath_;
    const SerialOptions options_;
    std::vector<uint8_t> command_; // loop thread only
    std::chrono::steady_clock::time_point lastByte_{};
    mutable std::mutex mutex_;
    std::vector<uint8_t> received_;
    IoLoop loop_;
};

} // namespace sdpsim
