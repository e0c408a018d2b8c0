// The byte stream between the simulated module and the host. The module logic
// sees only this interface; TCP, pty and fake-USB transports implement it.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tfsim/FrameParser.h"
#include "tfsim/Packet.h"

namespace tfsim {

// Connections are numbered from 1 in the order the endpoint accepted them.
using ConnectionId = uint32_t;

enum class LinkEventKind {
    Connected,
    PeerClosed, // the host closed its side (end of stream)
    PeerReset,  // the host reset the connection, or a write found it gone
    ClosedHere, // orderly close by the simulator
    ResetHere,  // abortive close by the simulator
    Replaced,   // a new connection arrived and took this one's place
};

const char* toString(LinkEventKind kind);

enum class Disconnect {
    Orderly, // pending output first, then end of stream
    Abort,   // at once, pending output dropped; the peer sees a reset
};

// One unit of output. Writes leave in the order queued and never interleave,
// so the pieces of a write cut by pauses stay together on the stream.
struct Write {
    Bytes bytes;
    std::vector<Pause> pauses; // ascending offsets
};

class Endpoint {
  public:
    // Called on the endpoint's own thread, never with an endpoint lock held;
    // the listener may call back into the endpoint.
    class Listener {
      public:
        virtual void onConnected(ConnectionId connection) = 0;
        virtual void onBytes(ConnectionId connection, std::span<const uint8_t> bytes) = 0;
        virtual void onDisconnected(ConnectionId connection, LinkEventKind why) = 0;
        // A transport that frames its bytes reports the frames it dropped.
        virtual void onFramingFault(ConnectionId, FramingFault, uint8_t /*byte*/) {}

      protected:
        ~Listener() = default;
    };

    // Where the host finds the endpoint; the fields of other transports stay empty.
    struct Description {
        uint16_t port = 0; // TCP: the port listened on, on 127.0.0.1
        std::string path;  // pty: the slave the host opens; empty while there is none
    };

    virtual ~Endpoint() = default;

    // Begins I/O. Called once; the listener must outlive stop().
    virtual void start(Listener& listener) = 0;
    // Ends I/O; no callback runs after it returns. Idempotent.
    virtual void stop() = 0;

    // Queues output for `connection`; false (and nothing queued) when that is
    // not the live connection, so late output never reaches a later host.
    virtual bool send(ConnectionId connection, Write write) = 0;
    // The bytes as they are to appear on the line, past any framing the
    // transport adds (broken frames, stray delimiters); without framing, send().
    virtual bool sendLine(ConnectionId connection, Write write) {
        return send(connection, std::move(write));
    }

    virtual Description describe() const = 0;

    // While not reading, received bytes stay in the transport and the host's
    // writes eventually block.
    virtual void setReading(bool reading) = 0;

    // Ends the live connection. Returns true once done, false when there was
    // no connection or `wait` ran out. From the endpoint's own thread it does
    // not wait and returns true when the request was queued.
    virtual bool disconnect(Disconnect how, std::chrono::milliseconds wait) = 0;

    // Whether new connections are taken.
    virtual void setAccepting(bool accepting) = 0;
};

} // namespace tfsim
