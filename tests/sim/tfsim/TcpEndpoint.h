// The module's side of a TCP/IP link: a listener on 127.0.0.1 that takes one
// host connection at a time (a newer one replaces the older) and one I/O thread
// that polls the sockets, so an idle endpoint sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "tfsim/PollingEndpoint.h"

namespace tfsim {

class TcpEndpoint final : public PollingEndpoint {
  public:
    struct Options {
        uint16_t port = 0; // 0: an ephemeral port
        // SO_RCVBUF of accepted connections, in bytes (0: the system's). A small
        // buffer makes the host's sends block soon after reading stops.
        int receiveBuffer = 0;
        // A slow module: each connection is taken this long after the host's
        // connect has completed (the kernel finishes the handshake at once), so
        // the host can send before the module knows of it.
        std::chrono::milliseconds acceptDelay{0};
    };

    // Binds and listens at once, so port() is known; throws std::system_error.
    explicit TcpEndpoint(Options options);
    ~TcpEndpoint() override;
    TcpEndpoint(const TcpEndpoint&) = delete;
    TcpEndpoint& operator=(const TcpEndpoint&) = delete;

    uint16_t port() const { return port_; }
    Description describe() const override { return {port_, {}}; }

    // setAccepting(false) closes the listening socket, so the host's connects
    // are refused; accepting again binds the same port anew. Returns once done.

  private:
    int connectionFd() const override { return connFd_; }
    // While an accept waits out its delay the listener is not polled.
    int watchFd() const override { return acceptAt_ ? -1 : listenFd_; }
    void onWatchReady() override;
    std::optional<std::chrono::steady_clock::time_point> timer() const override {
        return acceptAt_;
    }
    void onTimer() override;
    ssize_t writeSome(const uint8_t* bytes, size_t size) override;
    void peerGone(LinkEventKind why) override { drop(why, false); }
    void peerHungUp() override;
    void closeOrderly(const std::shared_ptr<Ticket>& ticket) override;
    void abortConnection() override { drop(LinkEventKind::ResetHere, true); }
    void applyAccepting(bool accepting) override;
    void applyAcceptingBeforeStart(bool accepting) override;

    void openListener();
    void acceptOne();
    void drop(LinkEventKind why, bool linger0);

    const Options options_;
    std::atomic<uint16_t> port_{0};
    int listenFd_ = -1;                                             // I/O thread only once started
    int connFd_ = -1;                                               // I/O thread only
    std::optional<std::chrono::steady_clock::time_point> acceptAt_; // I/O thread only
};

} // namespace tfsim
