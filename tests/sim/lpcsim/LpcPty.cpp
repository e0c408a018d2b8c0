// The pseudo-terminal side of the simulated boot ROM.
#include "lpcsim/LpcPty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace lpcsim {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

unsigned bitsPerSecond(speed_t speed) {
    switch (speed) {
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 0;
    }
}

} // namespace

LpcPty::LpcPty(Faults faults, Identity identity) : chip_(std::move(faults), identity) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0)
        fail("pty");
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (slave_ < 0 || tcgetattr(master_, &t) != 0) fail("pty slave");
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    if (tcsetattr(master_, TCSANOW, &t) != 0) fail("tcsetattr");
    thread_ = std::thread([this] { run(); });
}

LpcPty::~LpcPty() {
    stop_ = true;
    thread_.join();
    ::close(slave_);
    ::close(master_);
}

// A pty master reads its slave's attributes, so this is the rate the host configured.
unsigned LpcPty::hostRate() const {
    termios t{};
    if (tcgetattr(master_, &t) != 0) return 0;
    return bitsPerSecond(cfgetospeed(&t));
}

void LpcPty::writeAll(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size() && !stop_) {
        ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

void LpcPty::run() {
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
        uint8_t buf[4096];
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) continue;
        Output out;
        {
            std::lock_guard lock(mutex_);
            chip_.receive(buf, static_cast<size_t>(n), hostRate(), out);
        }
        for (const Chunk& c : out) {
            if (c.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
            writeAll(c.bytes);
        }
    }
}

} // namespace lpcsim
