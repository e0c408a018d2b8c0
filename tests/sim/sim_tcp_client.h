// The host's end of a TCP link to the simulator, as bare as a socket gets, for the
// simulator's own tests.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "tfsim/Module.h"
#include "sim_test_support.h"

namespace simtest {

class Client {
  public:
    explicit Client(uint16_t port, int sendBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sendBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        connectErrno_ = connected_ ? 0 : errno;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    int connectErrno() const { return connectErrno_; }
    int fd() const { return fd_; }

    void write(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << "send: " << std::strerror(errno);
            done += static_cast<size_t>(n);
        }
    }
    void write(const Packet& p) { write(p.wire()); }

    // Up to n bytes: fewer when time runs out or the stream ends.
    Bytes read(size_t n, milliseconds timeout) {
        Bytes out;
        const auto deadline = Clock::now() + timeout;
        while (out.size() < n) {
            auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            uint8_t buf[256];
            size_t want = std::min(sizeof buf, n - out.size());
            ssize_t r = ::recv(fd_, buf, want, MSG_DONTWAIT);
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
            else if (r == 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
        return out;
    }

    std::optional<Packet> readPacket(milliseconds timeout = kWait) {
        const auto deadline = Clock::now() + timeout;
        Bytes head = read(2, timeout);
        if (head.size() != 2) return std::nullopt;
        auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        Bytes data = read(head[1], std::max(left, 1ms));
        if (data.size() != head[1]) return std::nullopt;
        return Packet{head[0], data};
    }

    enum class End { Open, Fin, Reset };
    // Reads and discards until the stream ends.
    End waitForEnd(milliseconds timeout = kWait) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return End::Open;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            uint8_t buf[256];
            ssize_t r = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (r == 0) return End::Fin;
            if (r < 0 && errno == ECONNRESET) return End::Reset;
        }
    }

    void resetHere() {
        linger lg{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(fd_);
        fd_ = -1;
    }
    void closeHere() {
        ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    int connectErrno_ = 0;
};

inline const Packet kSync{0xAD, {}};

// Waits until the simulator has taken the connection, so sends have somewhere to go.
inline void connectAndWait(const tfsim::Module& sim, const Client& client,
                           tfsim::ConnectionId n = 1) {
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(sim.waitForConnection(n, kWait));
}

} // namespace simtest
