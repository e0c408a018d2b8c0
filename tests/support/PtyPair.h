// A pseudo-terminal for serial stream tests: the test holds the master and plays the far
// side of the line; the stream under test opens the slave by its name.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tftest {

using Bytes = std::vector<uint8_t>;

class PtyPair {
  public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof(name)) != 0)
            throw std::runtime_error("no pseudo-terminal");
        slave_ = name;
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slave() const { return slave_; }
    int master() const { return master_; }

    // Closing the master hangs the slave up, as unplugging a serial adapter does.
    void closeMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    // The slave's attributes: a pty master reads and sets those of its slave.
    termios attributes() const {
        termios t{};
        if (tcgetattr(master_, &t) != 0) throw std::runtime_error("tcgetattr on master");
        return t;
    }
    void setAttributes(const termios& t) const {
        if (tcsetattr(master_, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr on master");
    }

    void send(const Bytes& bytes) const {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
            if (n <= 0) throw std::runtime_error("write to master");
            sent += static_cast<size_t>(n);
        }
    }

    // Reads until count bytes arrived or timeout passed; returns what came.
    Bytes receive(size_t count, std::chrono::milliseconds timeout) const {
        Bytes got;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd wait{master_, POLLIN, 0};
            if (poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
            uint8_t chunk[4096];
            size_t want = std::min(sizeof(chunk), count - got.size());
            ssize_t n = ::read(master_, chunk, want);
            if (n <= 0) break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

  private:
    int master_ = -1;
    std::string slave_;
};

// Descriptors open in this process: a constructor that fails, or a destroy, must leave
// none behind.
inline size_t openDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        count++;
    return count;
}

} // namespace tftest
