// The beacon responder of a simulated packet server, on raw UDP broadcast sockets.
#include "tfsim/BeaconResponder.h"
#include "tfsim/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace tfsim {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kText[] = "Tessaform2-Discovery";
constexpr size_t kTextLength = sizeof kText - 1;
constexpr auto kInterval = 100ms;
constexpr auto kWindow = 2000ms;

uint32_t parse(const std::string& text) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        throw std::system_error(EINVAL, std::generic_category(), text);
    return a.s_addr;
}

} // namespace

BeaconResponder::BeaconResponder(const std::string& localAddress,
                                 const std::string& broadcastAddress) {
    uint32_t local = parse(localAddress);
    broadcast_ = parse(broadcastAddress);
    int one = 1;
    // Shares the port with the requesters' beacons on this host, as every beacon does.
    listenFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sendFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = ipv4(htonl(INADDR_ANY), kPort);
    sockaddr_in from = ipv4(local, 0);
    if (listenFd_ < 0 || sendFd_ < 0 ||
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        setsockopt(sendFd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
        ::bind(sendFd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        int saved = errno;
        closeFd(listenFd_);
        closeFd(sendFd_);
        throw std::system_error(saved, std::generic_category(), "beacon sockets");
    }
    thread_ = std::thread([this] { run(); });
}

BeaconResponder::~BeaconResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeFd(listenFd_);
    closeFd(sendFd_);
}

void BeaconResponder::publish(std::vector<std::vector<uint8_t>> contents) {
    std::lock_guard lock(mutex_);
    contents_ = std::move(contents);
}

void BeaconResponder::run() {
    const sockaddr_in to = ipv4(broadcast_, kPort);
    bool publishing = false;
    Clock::time_point windowStart{}, nextTick{};
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            uint8_t beacon[256];
            ssize_t got = ::recv(listenFd_, beacon, sizeof beacon, 0);
            if (got >= static_cast<ssize_t>(kTextLength) &&
                std::memcmp(beacon, kText, kTextLength) == 0) {
                heard_++;
                if (!publishing) {
                    publishing = true;
                    windowStart = nextTick = Clock::now();
                }
            }
        }
        if (!publishing || Clock::now() < nextTick) continue;
        if (Clock::now() - windowStart > kWindow) {
            publishing = false;
            continue;
        }
        std::vector<std::vector<uint8_t>> contents;
        {
            std::lock_guard lock(mutex_);
            contents = contents_;
        }
        for (const auto& bytes : contents)
            if (::sendto(sendFd_, bytes.data(), bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0)
                published_++;
        nextTick += kInterval;
    }
}

} // namespace tfsim
