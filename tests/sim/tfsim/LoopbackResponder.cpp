// The loopback discovery responder of a simulated packet server.
#include "tfsim/LoopbackResponder.h"
#include "tfsim/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tfsim {

namespace {

constexpr uint32_t kGroup = 0xE0000007u; // 224.0.0.7, host order

// -1 with errno set when the port is held by another socket or cannot be joined.
int exclusiveMember(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in at = ipv4(htonl(INADDR_ANY), port);
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(kGroup);
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace

LoopbackResponder::LoopbackResponder() {
    for (offset_ = 0; offset_ < kPorts; offset_++) {
        queryFd_ = exclusiveMember(static_cast<uint16_t>(kQueryPort + offset_));
        if (queryFd_ >= 0) break;
    }
    if (queryFd_ < 0) throw std::system_error(EADDRINUSE, std::generic_category(), "query ports");
    answerFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    if (answerFd_ < 0 ||
        setsockopt(answerFd_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) != 0 ||
        setsockopt(answerFd_, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one) != 0) {
        int saved = errno;
        closeFd(queryFd_);
        closeFd(answerFd_);
        throw std::system_error(saved, std::generic_category(), "answer socket");
    }
    thread_ = std::thread([this] { run(); });
}

LoopbackResponder::~LoopbackResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeFd(queryFd_);
    closeFd(answerFd_);
}

void LoopbackResponder::answer(std::vector<std::vector<uint8_t>> datagrams) {
    std::lock_guard lock(mutex_);
    answers_ = std::move(datagrams);
}

void LoopbackResponder::setDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

void LoopbackResponder::run() {
    const sockaddr_in to = ipv4(htonl(kGroup), static_cast<uint16_t>(kAnswerPort + offset_));
    while (!stop_) {
        pollfd p{queryFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        uint8_t query[64];
        ssize_t got = ::recv(queryFd_, query, sizeof query, 0);
        static const uint8_t kMagic[4] = {0xBA, 0xDC, 0xCD, 0xAB};
        if (got != 4 || std::memcmp(query, kMagic, 4) != 0) {
            if (got >= 0) ignored_++;
            continue;
        }
        // Counted before answering: a searcher that has its answer may look at once.
        queries_++;
        std::vector<std::vector<uint8_t>> answers;
        std::chrono::milliseconds delay{};
        {
            std::lock_guard lock(mutex_);
            answers = answers_;
            delay = delay_;
        }
        std::this_thread::sleep_for(delay);
        for (const auto& bytes : answers)
            ::sendto(answerFd_, bytes.data(), bytes.size(), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
}

} // namespace tfsim
