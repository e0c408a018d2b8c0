// TCP/IP discovery responder and the relays that put loopback modules on its address.
#include "tfsim/DiscoveryResponder.h"
#include "tfsim/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "tfsim/Module.h"

namespace tfsim {

namespace {

constexpr const char* kGroup = "232.2.2.2";

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int udpSocket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return fd;
}

} // namespace

DiscoveryResponder::DiscoveryResponder(const std::string& localAddress) {
    in_addr local{};
    if (inet_pton(AF_INET, localAddress.c_str(), &local) != 1) {
        errno = EINVAL;
        fail("local address");
    }
    address_ = local.s_addr;
    in_addr group{};
    inet_pton(AF_INET, kGroup, &group);
    try {
        // Bound to the group so that nothing else sent to port 9888 reaches it.
        queryFd_ = udpSocket();
        sockaddr_in bindTo = ipv4(group.s_addr, kQueryPort);
        if (::bind(queryFd_, reinterpret_cast<sockaddr*>(&bindTo), sizeof bindTo) != 0)
            fail("bind query socket");
        ip_mreq membership{};
        membership.imr_multiaddr = group;
        membership.imr_interface = local;
        if (setsockopt(queryFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) !=
            0)
            fail("join 232.2.2.2");
        // Bound to the local address: the host takes an answer's source for the module's.
        answerFd_ = udpSocket();
        sockaddr_in from = ipv4(address_, 0);
        if (::bind(answerFd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
            fail("bind answer socket");
    } catch (...) {
        closeFd(queryFd_);
        closeFd(answerFd_);
        throw;
    }
    thread_ = std::thread([this] { run(); });
}

DiscoveryResponder::~DiscoveryResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    scheduler_.stop();
    for (auto& relay : relays_) {
        dropPair(*relay);
        closeFd(relay->listenFd);
    }
    closeFd(queryFd_);
    closeFd(answerFd_);
}

void DiscoveryResponder::add(const DiscoveryAnswer& answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

void DiscoveryResponder::clear() {
    std::lock_guard lock(mutex_);
    answers_.clear();
}

std::vector<uint8_t> DiscoveryResponder::encode(const DiscoveryAnswer& answer) {
    std::vector<uint8_t> bytes(16, 0);
    bytes[0] = 0x02;
    bytes[1] = answer.address;
    bytes[2] = static_cast<uint8_t>(answer.port);
    bytes[3] = static_cast<uint8_t>(answer.port >> 8);
    for (int i = 0; i < 4; i++)
        bytes[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(answer.serial >> (8 * i));
    bytes[12] = answer.model;
    return bytes;
}

namespace {

// A listener on address:port (port 0: a free one); -1 with errno set when it cannot be had.
int relayListener(uint32_t address, uint16_t port, uint16_t& bound) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at = ipv4(address, port);
    socklen_t length = sizeof at;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    bound = ntohs(at.sin_port);
    return fd;
}

} // namespace

uint16_t DiscoveryResponder::serve(const Module& module) {
    auto relay = std::make_unique<Relay>();
    relay->module = &module;
    relay->target = module.port();
    relay->listenFd = relayListener(address_, 0, relay->port);
    if (relay->listenFd < 0) fail("relay listener");
    uint16_t port = relay->port;
    std::lock_guard lock(mutex_);
    relays_.push_back(std::move(relay));
    return port;
}

DiscoveryAnswer DiscoveryResponder::answerFor(const Module& module, uint32_t serial,
                                              uint8_t model) {
    DiscoveryAnswer answer;
    answer.address = module.address();
    answer.port = serve(module);
    answer.serial = serial;
    answer.model = model;
    return answer;
}

bool DiscoveryResponder::waitForQueries(unsigned count, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (queries_.load() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void DiscoveryResponder::onQuery(uint32_t querier) {
    std::vector<DiscoveryAnswer> answers;
    {
        std::lock_guard lock(mutex_);
        answers = answers_;
    }
    for (const auto& answer : answers) {
        auto bytes = encode(answer);
        bytes.resize(std::min(answer.length, bytes.size()));
        for (unsigned i = 0; i < answer.copies; i++) {
            scheduler_.after(answer.delay + i * answer.interval, [this, bytes, querier] {
                sockaddr_in to = ipv4(querier, kAnswerPort);
                ::sendto(answerFd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
            });
        }
    }
}

bool DiscoveryResponder::forward(int from, int to) {
    uint8_t buffer[4096];
    ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    size_t done = 0;
    while (done < static_cast<size_t>(got)) {
        ssize_t put = ::send(to, buffer + done, static_cast<size_t>(got) - done, MSG_NOSIGNAL);
        if (put < 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

void DiscoveryResponder::dropPair(Relay& relay) {
    closeFd(relay.hostFd);
    closeFd(relay.moduleFd);
}

// A relay that kept listening while its module is away would take the host's reconnects, and
// the host could not tell that the module went.
void DiscoveryResponder::followModule(Relay& relay) {
    const bool accepting = relay.module == nullptr || relay.module->accepting();
    if (!accepting && relay.listenFd >= 0) {
        closeFd(relay.listenFd);
    } else if (accepting && relay.listenFd < 0) {
        uint16_t bound = 0;
        relay.listenFd = relayListener(address_, relay.port, bound);
    }
}

void DiscoveryResponder::acceptOn(Relay& relay) {
    int host = ::accept4(relay.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (host < 0) return;
    dropPair(relay);
    int module = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = ipv4(htonl(INADDR_LOOPBACK), relay.target);
    if (module < 0 || ::connect(module, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (module >= 0) ::close(module);
        ::close(host);
        return;
    }
    relay.hostFd = host;
    relay.moduleFd = module;
}

void DiscoveryResponder::run() {
    while (!stop_) {
        std::vector<pollfd> fds{{queryFd_, POLLIN, 0}};
        {
            std::lock_guard lock(mutex_);
            for (const auto& relay : relays_) {
                followModule(*relay);
                fds.push_back({relay->listenFd, POLLIN, 0});
                fds.push_back({relay->hostFd, POLLIN, 0}); // -1 is skipped by poll
                fds.push_back({relay->moduleFd, POLLIN, 0});
            }
        }
        // Short, so that a new relay and the stop request are seen soon.
        if (::poll(fds.data(), fds.size(), 20) <= 0) continue;

        if (fds[0].revents & POLLIN) {
            uint8_t query[64];
            sockaddr_in source{};
            socklen_t length = sizeof source;
            ssize_t got = ::recvfrom(queryFd_, query, sizeof query, 0,
                                     reinterpret_cast<sockaddr*>(&source), &length);
            if (got == 16 && query[0] == 0x01) {
                onQuery(source.sin_addr.s_addr);
                queries_++;
            } else if (got >= 0) {
                ignored_++;
            }
        }
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < relays_.size() && 1 + 3 * i + 2 < fds.size(); i++) {
            Relay& relay = *relays_[i];
            const pollfd* p = &fds[1 + 3 * i];
            if (p[1].fd >= 0 && p[1].fd == relay.hostFd && p[1].revents &&
                !forward(relay.hostFd, relay.moduleFd))
                dropPair(relay);
            if (p[2].fd >= 0 && p[2].fd == relay.moduleFd && p[2].revents &&
                !forward(relay.moduleFd, relay.hostFd)) {
                // A module that ends the connection as it restarts refuses connects first.
                followModule(relay);
                dropPair(relay);
            }
            if (p[0].fd >= 0 && p[0].fd == relay.listenFd && (p[0].revents & POLLIN))
                acceptOn(relay);
        }
    }
}

} // namespace tfsim
