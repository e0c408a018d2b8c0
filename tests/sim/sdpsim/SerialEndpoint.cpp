// The boot ROM's UART side.
#include "SerialEndpoint.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace sdpsim {

SerialEndpoint::SerialEndpoint(BootRom& rom, SerialOptions options)
    : rom_(rom), options_(options),
      loop_([this] { return watched(); }, [this](int) { receive(); }) {
    masterFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (masterFd_ < 0 || grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0 ||
        ptsname_r(masterFd_, name, sizeof name) != 0) {
        int error = errno;
        if (masterFd_ >= 0) close(masterFd_);
        throw std::system_error(error, std::generic_category(), "pty");
    }
    slavePath_ = name;
    slaveFd_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveFd_ < 0) {
        int error = errno;
        close(masterFd_);
        throw std::system_error(error, std::generic_category(), slavePath_);
    }
    loop_.start();
}

SerialEndpoint::~SerialEndpoint() {
    loop_.stop();
    close(slaveFd_);
    close(masterFd_);
}

std::vector<int> SerialEndpoint::watched() {
    if (!rom_.reading()) return {};
    return {masterFd_};
}

void SerialEndpoint::receive() {
    uint8_t buffer[4096];
    ssize_t n = read(masterFd_, buffer, sizeof buffer);
    if (n <= 0) return;
    {
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), buffer, buffer + n);
    }
    const auto now = std::chrono::steady_clock::now();
    if (!command_.empty() && options_.commandTimeout.count() > 0 &&
        now - lastByte_ >= options_.commandTimeout)
        command_.clear();
    lastByte_ = now;
    std::span<const uint8_t> rest(buffer, static_cast<size_t>(n));
    while (!rest.empty()) {
        if (uint32_t awaited = rom_.awaitedData()) {
            size_t take = std::min<size_t>(awaited, rest.size());
            send(rom_.onData(rest.first(take)));
            rest = rest.subspan(take);
            continue;
        }
        size_t take = std::min(kCommandBytes - command_.size(), rest.size());
        command_.insert(command_.end(), rest.begin(), rest.begin() + static_cast<long>(take));
        rest = rest.subspan(take);
        if (command_.size() == kCommandBytes) {
            send(rom_.onCommand(command_));
            command_.clear();
        }
    }
}

void SerialEndpoint::send(const std::vector<Reply>& replies) {
    for (const Reply& r : replies)
        // A host that does not read loses bytes, as a UART without flow control would.
        if (write(masterFd_, r.bytes.data(), r.bytes.size()) < 0) return;
}

std::vector<uint8_t> SerialEndpoint::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

} // namespace sdpsim
