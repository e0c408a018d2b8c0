// One module on the bus of a connection: an address and what answers there, its own
// script first, then its handlers in the order added. A plain module has one, at its own
// address; a routing module has that and one more for each module behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "tfsim/Handler.h"
#include "tfsim/Script.h"

namespace tfsim {

class Module;

class BusModule {
  public:
    // Made by the module whose connection it shares.
    BusModule(Module& link, uint8_t address) : link_(link), address_(address) {}
    BusModule(const BusModule&) = delete;
    BusModule& operator=(const BusModule&) = delete;

    uint8_t address() const { return address_; }

    // Handlers may be added and removed while the link runs; a request already being
    // answered finishes with the ones it started with.
    template <class H> std::shared_ptr<H> add(std::shared_ptr<H> handler) {
        addHandler(handler);
        return handler;
    }
    void remove(const std::shared_ptr<Handler>& handler);

    // Rules for this address alone, tried before its handlers.
    RuleId onRequest(Matcher match, Responder respond, RuleOptions options = {}) {
        return script_.onRequest(std::move(match), std::move(respond), std::move(options));
    }
    void removeRule(RuleId id) { script_.removeRule(id); }
    unsigned hits(RuleId id) const { return script_.hits(id); }

    // A silent module answers nothing, late replies included; the others on the bus
    // still do.
    void setSilent(bool silent);
    bool silent() const;

    // Its heartbeat on the shared connection; the answer is checked against its address.
    [[nodiscard]] bool sendHeartbeat(uint8_t counter);

    // The shell's dispatch: false when nothing here took the request.
    bool handle(const Packet& request, Replies& replies);

  private:
    void addHandler(std::shared_ptr<Handler> handler);

    Module& link_;
    const uint8_t address_;
    Script script_;
    mutable std::mutex mutex_;
    bool silent_ = false;
    std::vector<std::shared_ptr<Handler>> handlers_;
};

} // namespace tfsim
