// The simulated boot ROM on a pseudo-terminal: the host opens slavePath() as its serial port;
// a thread feeds the chip what arrives and writes back what it says.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "lpcsim/LpcChip.h"

namespace lpcsim {

class LpcPty {
  public:
    explicit LpcPty(Faults faults = {}, Identity identity = {});
    ~LpcPty();
    LpcPty(const LpcPty&) = delete;
    LpcPty& operator=(const LpcPty&) = delete;

    const std::string& slavePath() const { return slavePath_; }

    // Runs f on the chip under the simulator's lock (to read its state or change faults).
    template <typename F> auto withChip(F f) {
        std::lock_guard lock(mutex_);
        return f(chip_);
    }

  private:
    void run();
    unsigned hostRate() const;
    void writeAll(const std::string& bytes);

    int master_ = -1;
    int slave_ = -1; // held open so that the line never hangs up between host opens
    std::string slavePath_;
    std::mutex mutex_;
    Chip chip_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace lpcsim
