// The Serial Download Protocol over a POSIX serial port.
#include "Serial_SDPLoader_unix.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "Log.h"

struct PrivateSerial_SDPLoader {
    int fd = -1; // -1 while closed: 0 is a descriptor like any other
    std::string path;
    struct termios settings {};
};

namespace {

constexpr size_t HAB_MODE_BYTES = 4;
// The status words a reply may hold after the HAB-mode word.
constexpr u32 STATUS_WORDS = 16;
// A port that takes no byte for this long is not going to: at 115200 baud the kernel's
// buffer drains in well under a second.
constexpr auto WRITE_STALL_LIMIT = std::chrono::seconds(1);
constexpr auto WRITE_RETRY_PAUSE = std::chrono::milliseconds(1);

void closePort(PrivateSerial_SDPLoader& port) {
    if (port.fd < 0) return;
    tcflush(port.fd, TCIOFLUSH);
    close(port.fd);
    port.fd = -1;
}

} // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* path) : d_(new PrivateSerial_SDPLoader) {
    if (path) d_->path = path;
}

Serial_SDPLoader::~Serial_SDPLoader() {
    closePort(*d_);
    delete d_;
}

bool Serial_SDPLoader::init() {
    if (d_->fd >= 0) return true;
    d_->fd = open(d_->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d_->fd < 0) {
        Log::log(DEBUG_iMXSerial, "Could not open %s\n", d_->path.c_str());
        return false;
    }
    if (!isatty(d_->fd) || tcgetattr(d_->fd, &d_->settings) != 0) {
        Log::log(DEBUG_iMXSerial, "%s is not a serial port\n", d_->path.c_str());
        close(d_->fd);
        d_->fd = -1;
        return false;
    }
    // Raw: no echo, no line editing, no CR/LF translation, no XON/XOFF, so every byte of a
    // file passes as it is; reads never wait (the read sleeps its time-out itself).
    cfmakeraw(&d_->settings);
    d_->settings.c_cflag = CLOCAL | CREAD | CS8;
    d_->settings.c_cc[VMIN] = 0;
    d_->settings.c_cc[VTIME] = 0;
    cfsetispeed(&d_->settings, B115200);
    cfsetospeed(&d_->settings, B115200);
    if (tcsetattr(d_->fd, TCSAFLUSH, &d_->settings) != 0) {
        Log::log(DEBUG_iMXSerial, "Could not set up %s\n", d_->path.c_str());
        close(d_->fd);
        d_->fd = -1;
        return false;
    }
    // The boot ROM's UART settles after the line changes; what came before is noise.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    tcflush(d_->fd, TCIOFLUSH);
    return true;
}

long Serial_SDPLoader::writeData(const std::vector<unsigned char>& report) {
    if (d_->fd < 0) return -1;
    if (report.size() <= 1) return 0;
    size_t sent = 1;
    auto lastProgress = std::chrono::steady_clock::now();
    while (sent < report.size()) {
        ssize_t n = write(d_->fd, report.data() + sent, report.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        if (std::chrono::steady_clock::now() - lastProgress >= WRITE_STALL_LIMIT) break;
        std::this_thread::sleep_for(WRITE_RETRY_PAUSE);
    }
    if (sent < report.size())
        Log::log(DEBUG_iMXSerial, "Serial write stopped after %zu of %zu bytes\n", sent - 1,
                 report.size() - 1);
    return static_cast<long>(sent - 1);
}

long Serial_SDPLoader::readData(std::vector<unsigned char>& reply, u32 timeoutMs) {
    if (d_->fd < 0) return 0;
    if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    long total = 0;
    unsigned char buffer[MAX_READ_BYTES];
    while (total < static_cast<long>(MAX_REPLY_BYTES)) {
        size_t room = std::min(sizeof buffer,
                               static_cast<size_t>(MAX_REPLY_BYTES) - static_cast<size_t>(total));
        ssize_t n = read(d_->fd, buffer, room);
        // An empty port and a failed read end the reply alike.
        if (n <= 0) break;
        reply.insert(reply.end(), buffer, buffer + n);
        total += n;
    }
    return total;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, u32 index,
                                         u32& word) {
    if (index >= STATUS_WORDS) return false;
    const size_t at = HAB_MODE_BYTES + 4 * static_cast<size_t>(index);
    if (reply.size() < at + 4) return false;
    word |= littleEndianWordAt(reply, at);
    return true;
}
