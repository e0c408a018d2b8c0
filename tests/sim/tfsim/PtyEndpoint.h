// The module's side of a serial link: a pty master whose slave the host opens
// as its serial port. Each time the host opens the slave a connection begins;
// it ends when the host closes it or the simulator hangs up (closes the master,
// after which a fresh pty takes its place at a new slave path). One I/O thread
// polls the master and an inotify watch on the slave, so an idle endpoint sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tfsim/Cobs.h"
#include "tfsim/Endpoint.h"

namespace tfsim {

enum class PtyFraming {
    Cobs, // a serial port: every packet one COBS frame with a CRC-8
    Raw,  // the kernel driver node: the plain byte stream
};

struct PtyOptions {
    PtyFraming framing = PtyFraming::Cobs;
    // Raw only: the slave's VTIME in tenths of a second, with VMIN 0, so the
    // host's reads return after that long with whatever came.
    uint8_t readTimeout = 1;
};

class PtyEndpoint final : public Endpoint {
  public:
    using Framing = PtyFraming;
    using Options = PtyOptions;

    // Opens the first pty at once, so slavePath() is known; throws std::system_error.
    explicit PtyEndpoint(Options options = {});
    ~PtyEndpoint() override;
    PtyEndpoint(const PtyEndpoint&) = delete;
    PtyEndpoint& operator=(const PtyEndpoint&) = delete;

    Framing framing() const { return options_.framing; }
    // The slave to open; empty while there is no pty (not accepting).
    std::string slavePath() const;

    // Bytes straight to the line, past the encoder, in order with other
    // output: broken frames, stray delimiters, frames cut by pauses.
    bool sendLine(ConnectionId connection, Write write);

    void start(Listener& listener) override;
    void stop() override;
    // Cobs: the bytes are cut into packets and each sent as its own frame.
    bool send(ConnectionId connection, Write write) override;
    void setReading(bool reading) override;
    // Both hang up; Orderly first writes what is queued and gives the host
    // up to a second to read it.
    bool disconnect(Disconnect how, std::chrono::milliseconds wait) override;
    // Not accepting closes the pty once no host has it open (its path goes
    // away), and no new one follows a hang-up. Returns once done.
    void setAccepting(bool accepting) override;

  private:
    struct Ticket {
        bool done = false;
        bool ok = false;
    };
    struct Item {
        Write write;
        std::shared_ptr<Ticket> close;
    };
    struct Active {
        Write write;
        size_t offset = 0;
        size_t nextPause = 0;
        std::chrono::steady_clock::time_point resumeAt{};
    };

    void run();
    void wake();
    void openLine();
    void closeLine();
    void reopenIfAccepting();
    void connect();
    void readSome();
    void deliver(ConnectionId id, std::span<const uint8_t> bytes);
    std::optional<std::chrono::milliseconds> pumpOutput(bool& wantWritable);
    void waitUntilHostHasRead();
    void closeOrderly(const std::shared_ptr<Ticket>& ticket);
    void hangUp(LinkEventKind why);
    void drop(LinkEventKind why);
    void finish(const std::shared_ptr<Ticket>& ticket, bool ok);
    bool onIoThread();
    bool queue(ConnectionId connection, Write write);

    const Options options_;
    int masterFd_ = -1; // I/O thread only once started
    int notifyFd_ = -1; // inotify on the slave; I/O thread only once started
    int wakeFd_ = -1;
    bool attached_ = false; // a host has the slave open; I/O thread only
    Listener* listener_ = nullptr;
    std::thread thread_;
    std::vector<uint8_t> readBuffer_;
    std::optional<Active> active_; // I/O thread only
    FrameDecoder decoder_;         // I/O thread only

    std::mutex readGate_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string slavePath_;
    FrameEncoder encoder_;
    std::thread::id ioThread_;
    bool started_ = false;
    bool stopping_ = false;
    bool reading_ = true;
    bool accepting_ = true;
    uint64_t acceptAsked_ = 0;
    uint64_t acceptApplied_ = 0;
    ConnectionId live_ = 0;
    ConnectionId lastId_ = 0;
    std::deque<Item> queue_;
    std::vector<std::shared_ptr<Ticket>> aborts_;
};

} // namespace tfsim
