// A packet server's beacon answer on a real interface: listens on UDP port 8585 for
// broadcasts that begin with the 20-byte text "Tessaform2-Discovery", and then broadcasts
// its contents from its own address every 100 ms for a little over 2 s. A discovery heard
// while it publishes does not lengthen the window.
//
//     tfsim::BeaconResponder responder("10.77.0.2", "10.77.0.255");
//     responder.publish({tfsim::ServerSpec{.type = 5, .ipAddress = ...}.encode()});
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tfsim {

class BeaconResponder {
  public:
    static constexpr uint16_t kPort = 8585;

    // Dotted IPv4 texts of the responder's address and its subnet's broadcast address.
    // Throws std::system_error.
    BeaconResponder(const std::string& localAddress, const std::string& broadcastAddress);
    ~BeaconResponder();
    BeaconResponder(const BeaconResponder&) = delete;
    BeaconResponder& operator=(const BeaconResponder&) = delete;

    // Broadcast in this order at every tick of a window (none: a server whose model is not set).
    void publish(std::vector<std::vector<uint8_t>> contents);

    unsigned heard() const { return heard_.load(); }         // discovery beacons
    unsigned published() const { return published_.load(); } // datagrams sent

  private:
    void run();

    uint32_t broadcast_ = 0; // network byte order
    int listenFd_ = -1;
    int sendFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> heard_{0};
    std::atomic<unsigned> published_{0};
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> contents_;
    std::thread thread_;
};

} // namespace tfsim
