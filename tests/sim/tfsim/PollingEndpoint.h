// What the TCP and pty endpoints have in common: one I/O thread that polls an
// eventfd, the live connection's descriptor and one more (the listener, or the
// watch on the slave), so an idle endpoint sleeps; an output queue whose writes
// leave in order with their pauses; and the requests other threads hand that
// thread (disconnects, reading, accepting), which they wait out.
// A transport derives from it and supplies only what its descriptors differ in.
#pragma once

#include <sys/types.h>

#include <chrono>
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

class PollingEndpoint : public Endpoint {
  public:
    // Throws std::system_error.
    PollingEndpoint();
    // A derived destructor must call stop() first: the I/O thread calls into it.
    ~PollingEndpoint() override;
    PollingEndpoint(const PollingEndpoint&) = delete;
    PollingEndpoint& operator=(const PollingEndpoint&) = delete;

    void start(Listener& listener) override;
    void stop() override;
    bool send(ConnectionId connection, Write write) override;
    void setReading(bool reading) override;
    bool disconnect(Disconnect how, std::chrono::milliseconds wait) override;
    void setAccepting(bool accepting) override;

  protected:
    struct Ticket {
        bool done = false;
        bool ok = false;
    };

    // `frame` runs under the lock, so framing state advances in queue order
    // and nothing is framed for a connection that is not live.
    template <class Frame> bool queueWrite(ConnectionId connection, Write write, Frame frame) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || live_ == 0 || (connection != 0 && connection != live_)) return false;
            Write out = frame(std::move(write));
            if (!out.bytes.empty() || !out.pauses.empty())
                queue_.push_back(Item{std::move(out), nullptr});
        }
        wake();
        return true;
    }
    bool queueWrite(ConnectionId connection, Write write) {
        return queueWrite(connection, std::move(write), [](Write w) { return w; });
    }

    // I/O thread: numbers the new connection and reports it.
    void beginConnection();
    // I/O thread, once the transport has let go of the connection: drops its
    // output, fails the orderly closes still queued, and reports the end.
    void endConnection(LinkEventKind why);
    // I/O thread, before an orderly close: what the host sent before the close
    // still counts as received.
    void drainInput();
    void finish(const std::shared_ptr<Ticket>& ticket, bool ok);

    Listener* listener_ = nullptr;
    mutable std::mutex mutex_;
    bool accepting_ = true; // mutex_

  private:
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

    // The live connection's descriptor, -1 while there is none; I/O thread.
    virtual int connectionFd() const = 0;
    // Another descriptor to poll for POLLIN, or -1; and what to do when it is ready.
    virtual int watchFd() const = 0;
    virtual void onWatchReady() = 0;
    // When onTimer() is next due, if ever; I/O thread.
    virtual std::optional<std::chrono::steady_clock::time_point> timer() const {
        return std::nullopt;
    }
    virtual void onTimer() {}
    virtual ssize_t writeSome(const uint8_t* bytes, size_t size);
    virtual void deliver(ConnectionId id, std::span<const uint8_t> bytes);
    // The connection failed under a read or write: `why` is what a socket
    // would make of it.
    virtual void peerGone(LinkEventKind why) = 0;
    // POLLERR or POLLHUP while not reading.
    virtual void peerHungUp() { peerGone(LinkEventKind::PeerClosed); }
    virtual void closeOrderly(const std::shared_ptr<Ticket>& ticket) = 0;
    virtual void abortConnection() = 0;
    // I/O thread: takes `accepting` into effect; a failure is the endpoint's own to report.
    virtual void applyAccepting(bool accepting) = 0;
    // The same before start(), on the caller's thread; may throw.
    virtual void applyAcceptingBeforeStart(bool accepting) = 0;

    void run();
    void wake();
    bool onIoThread();
    void readSome();
    // Writes as far as the descriptor and the pauses allow; the time until the
    // next pause ends, or nullopt when the writer is idle or waits for POLLOUT.
    std::optional<std::chrono::milliseconds> pumpOutput(bool& wantWritable);

    int wakeFd_ = -1;
    std::thread thread_;
    std::vector<uint8_t> readBuffer_;
    std::optional<Active> active_; // I/O thread only

    // Held by the I/O thread from its check of reading_ to the end of the read,
    // so that setReading(false) can wait out a read already under way.
    std::mutex readGate_;
    std::condition_variable changed_;
    std::thread::id ioThread_;
    bool started_ = false;
    bool stopping_ = false;
    bool reading_ = true;
    uint64_t acceptAsked_ = 0;   // setAccepting calls so far
    uint64_t acceptApplied_ = 0; // of them, carried out by the I/O thread
    ConnectionId live_ = 0;      // 0: none
    ConnectionId lastId_ = 0;
    std::deque<Item> queue_;
    std::vector<std::shared_ptr<Ticket>> aborts_;
};

} // namespace tfsim
