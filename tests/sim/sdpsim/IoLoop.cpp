// The endpoints' I/O thread.
#include "IoLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace sdpsim {

namespace {
// Descriptors the endpoint leaves out (a ROM that stopped reading) are looked at again this
// often.
constexpr int kRecheckMs = 20;
} // namespace

IoLoop::IoLoop(std::function<std::vector<int>()> watched, std::function<void(int)> ready)
    : watched_(std::move(watched)), ready_(std::move(ready)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

IoLoop::~IoLoop() {
    stop();
    close(wakeFd_);
}

void IoLoop::start() {
    thread_ = std::thread([this] { run(); });
}

void IoLoop::stop() {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // The counter cannot overflow with one write; the join below still ends the thread.
    }
    thread_.join();
}

void IoLoop::run() {
    for (;;) {
        std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
        for (int fd : watched_())
            fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), kRecheckMs) < 0 && errno != EINTR) return;
        if (fds[0].revents) return;
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents) ready_(fds[i].fd);
    }
}

} // namespace sdpsim
