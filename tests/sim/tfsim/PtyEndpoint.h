// The module's side of a serial link: a pty master whose slave the host opens
// as its serial port. Each time the host opens the slave a connection begins;
// it ends when the host closes it or the simulator hangs up (closes the master,
// after which a fresh pty takes its place at a new slave path). One I/O thread
// polls the master and an inotify watch on the slave, so an idle endpoint sleeps.
#pragma once

#include <cstdint>
#include <string>

#include "tfsim/Cobs.h"
#include "tfsim/PollingEndpoint.h"

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

class PtyEndpoint final : public PollingEndpoint {
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

    Description describe() const override { return {0, slavePath()}; }

    // Bytes straight to the line, past the encoder, in order with other
    // output: broken frames, stray delimiters, frames cut by pauses.
    bool sendLine(ConnectionId connection, Write write) override;

    // Cobs: the bytes are cut into packets and each sent as its own frame.
    bool send(ConnectionId connection, Write write) override;
    // disconnect(): both hang up; Orderly first writes what is queued and gives
    // the host up to a second to read it.
    // setAccepting(false) closes the pty once no host has it open (its path goes
    // away), and no new one follows a hang-up. Returns once done.

  private:
    // Without a host the master reports POLLHUP without end: it is left out
    // until the watch sees the slave opened.
    int connectionFd() const override { return attached_ ? masterFd_ : -1; }
    int watchFd() const override { return notifyFd_; }
    void onWatchReady() override;
    void deliver(ConnectionId id, std::span<const uint8_t> bytes) override;
    // A pty has no resets: however the line fails (EIO once the host has
    // closed, after the bytes it wrote before), the host has closed it.
    void peerGone(LinkEventKind) override { drop(LinkEventKind::PeerClosed); }
    void closeOrderly(const std::shared_ptr<Ticket>& ticket) override;
    void abortConnection() override { hangUp(LinkEventKind::ResetHere); }
    void applyAccepting(bool accepting) override;
    void applyAcceptingBeforeStart(bool accepting) override;

    void openLine();
    void closeLine();
    void reopenIfAccepting();
    void connect();
    void waitUntilHostHasRead();
    void hangUp(LinkEventKind why);
    void drop(LinkEventKind why);

    const Options options_;
    int masterFd_ = -1;     // I/O thread only once started
    int notifyFd_ = -1;     // inotify on the slave; I/O thread only once started
    bool attached_ = false; // a host has the slave open; I/O thread only
    FrameDecoder decoder_;  // I/O thread only

    std::string slavePath_; // mutex_
    FrameEncoder encoder_;  // mutex_
};

} // namespace tfsim
