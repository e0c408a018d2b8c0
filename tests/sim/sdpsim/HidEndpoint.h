// The boot ROM behind the fake hidapi: a Unix SOCK_SEQPACKET listener at a path, one
// message per HID report. Output reports 1 (command) and 2 (data) go to the ROM; its words
// come back as input reports 3 (HAB mode) and 4 (status, 64 bytes).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "BootRom.h"
#include "IoLoop.h"

namespace sdpsim {

struct HidOptions {
    // The HAB-mode report padded to 65 bytes, as a hidraw device with one input report size
    // hands it out.
    bool padHabReport = false;
};

class HidEndpoint {
  public:
    // Listens at socketPath (replacing a stale socket); throws std::system_error.
    HidEndpoint(BootRom& rom, std::string socketPath, HidOptions options = {});
    ~HidEndpoint();
    HidEndpoint(const HidEndpoint&) = delete;
    HidEndpoint& operator=(const HidEndpoint&) = delete;

    const std::string& path() const { return path_; }
    // The host's output reports as they came, report id first.
    std::vector<std::vector<uint8_t>> reports() const;
    // Connections the host has made (an hid_open each).
    unsigned connections() const;

  private:
    std::vector<int> watched();
    void ready(int fd);
    void receive();
    void send(const std::vector<Reply>& replies);
    std::vector<uint8_t> inputReport(const Reply& reply) const;

    BootRom& rom_;
    const std::string path_;
    const HidOptions options_;
    int listenFd_ = -1;
    int connFd_ = -1; // loop thread only
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> reports_;
    unsigned connections_ = 0;
    IoLoop loop_;
};

} // namespace sdpsim
