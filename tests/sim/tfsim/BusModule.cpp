// A module's address on the bus and the handlers that answer there.
#include "tfsim/BusModule.h"

#include <algorithm>
#include <utility>

#include "tfsim/Module.h"

namespace tfsim {

void BusModule::addHandler(std::shared_ptr<Handler> handler) {
    std::lock_guard lock(mutex_);
    handlers_.push_back(std::move(handler));
}

void BusModule::remove(const std::shared_ptr<Handler>& handler) {
    std::lock_guard lock(mutex_);
    std::erase(handlers_, handler);
}

void BusModule::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

bool BusModule::silent() const {
    std::lock_guard lock(mutex_);
    return silent_;
}

bool BusModule::sendHeartbeat(uint8_t counter) {
    return link_.sendHeartbeat(counter, address_);
}

bool BusModule::handle(const Packet& request, Replies& replies) {
    std::vector<std::shared_ptr<Handler>> handlers;
    {
        std::lock_guard lock(mutex_);
        if (silent_) return true;
        handlers = handlers_;
    }
    if (script_.handle(request, replies)) return true;
    return std::any_of(handlers.begin(), handlers.end(),
                       [&](const auto& h) { return h->handle(request, replies); });
}

} // namespace tfsim
