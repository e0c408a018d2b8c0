// What answers requests inside a simulated module: a handler looks at one request and
// says what goes back. Handlers are registered on the module at an address and tried in
// order; the module's shell does the rest of the link (framing, sync, heartbeats, route).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "tfsim/Packet.h"

namespace tfsim {

// What the module does once a reply has been handed to the endpoint.
enum class Action { None, Reset, Close, StopReading, Silence };

struct Reply {
    Bytes bytes; // written as given, unchecked; empty: nothing is written
    // A late reply: sent this long after the request, unless the module has gone silent
    // or the connection has changed by then. Other traffic is not held up behind it.
    std::chrono::milliseconds delay{0};
    std::vector<Pause> pauses; // the reply written in pieces
    Action then = Action::None;
};

// The answers to one request. Plain replies (no delay, pauses or action) leave together
// with the other plain answers to the same read from the host.
class Replies {
  public:
    void add(Reply reply) { replies_.push_back(std::move(reply)); }
    void add(const Packet& packet) { add(Reply{packet.wire()}); }
    bool empty() const { return replies_.empty(); }
    std::vector<Reply> take() { return std::exchange(replies_, {}); }

  private:
    std::vector<Reply> replies_;
};

class Handler {
  public:
    virtual ~Handler() = default;
    // True when the request was this handler's to answer, even if it adds no reply (a
    // request it swallows); false passes it on. Runs on the endpoint's thread with no
    // simulator lock held: state shared with the test's thread needs a lock of its own.
    virtual bool handle(const Packet& request, Replies& replies) = 0;
};

// A handler made of a function, for the one-off handler of a test.
std::shared_ptr<Handler> handler(std::function<bool(const Packet&, Replies&)> handle);

} // namespace tfsim
