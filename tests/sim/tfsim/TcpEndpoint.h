// The module's side of a TCP/IP link: a listener on 127.0.0.1 that takes one
// host connection at a time (a newer one replaces the older) and one I/O thread
// that polls the sockets, so an idle endpoint sleeps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "tfsim/Endpoint.h"

namespace tfsim {

class TcpEndpoint final : public Endpoint {
  public:
    struct Options {
        uint16_t port = 0; // 0: an ephemeral port
        // SO_RCVBUF of accepted connections, in bytes (0: the system's). A small
        // buffer makes the host's sends block soon after reading stops.
        int receiveBuffer = 0;
    };

    // Binds and listens at once, so port() is known; throws std::system_error.
    explicit TcpEndpoint(Options options);
    ~TcpEndpoint() override;
    TcpEndpoint(const TcpEndpoint&) = delete;
    TcpEndpoint& operator=(const TcpEndpoint&) = delete;

    uint16_t port() const { return port_; }

    void start(Listener& listener) override;
    void stop() override;
    bool send(ConnectionId connection, Write write) override;
    void setReading(bool reading) override;
    bool disconnect(Disconnect how, std::chrono::milliseconds wait) override;
    // Not accepting closes the listening socket, so the host's connects are
    // refused; accepting again binds the same port anew. Returns once done.
    void setAccepting(bool accepting) override;

  private:
    struct Ticket {
        bool done = false;
        bool ok = false;
    };
    struct Item {
        Write write;
        std::shared_ptr<Ticket> close; // set: an orderly close, after the writes before it
    };
    struct Active {
        Write write;
        size_t offset = 0;
        size_t nextPause = 0;
        std::chrono::steady_clock::time_point resumeAt{};
    };

    void run();
    void wake();
    void openListener();
    void acceptOne();
    void readSome();
    // Writes as far as the socket and the pauses allow; the time until the
    // next pause ends, or nullopt when the writer is idle or waits for POLLOUT.
    std::optional<std::chrono::milliseconds> pumpOutput(bool& wantWritable);
    void closeOrderly(const std::shared_ptr<Ticket>& ticket);
    void drop(LinkEventKind why, bool linger0);
    void finish(const std::shared_ptr<Ticket>& ticket, bool ok);
    bool onIoThread();

    const Options options_;
    std::atomic<uint16_t> port_{0};
    int listenFd_ = -1; // I/O thread only once started
    int connFd_ = -1;   // I/O thread only
    int wakeFd_ = -1;
    Listener* listener_ = nullptr;
    std::thread thread_;
    std::vector<uint8_t> readBuffer_;
    std::optional<Active> active_; // I/O thread only

    // Held by the I/O thread from its check of reading_ to the end of the read,
    // so that setReading(false) can wait out a read already under way.
    std::mutex readGate_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread::id ioThread_;
    bool started_ = false;
    bool stopping_ = false;
    bool reading_ = true;
    bool accepting_ = true;
    uint64_t acceptAsked_ = 0;   // setAccepting calls so far
    uint64_t acceptApplied_ = 0; // of them, carried out by the I/O thread
    ConnectionId live_ = 0;      // 0: none
    ConnectionId lastId_ = 0;
    std::deque<Item> queue_;
    std::vector<std::shared_ptr<Ticket>> aborts_;
};

} // namespace tfsim
