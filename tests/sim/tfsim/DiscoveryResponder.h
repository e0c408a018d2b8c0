// The modules' side of the TCP/IP query: a member of 232.2.2.2 port 9888 on one local
// address that answers each 16-byte query whose first byte is 1 with a 16-byte datagram
// per scripted module, sent from that address to the querier's port 9889. Answers can be
// cut short, repeated and delayed. serve() puts a Module (which listens on loopback) on
// the responder's address, so a host can connect where the answer tells it to.
//
//     tfsim::Module sim;
//     tfsim::DiscoveryResponder responder("10.77.0.2");
//     responder.add(responder.answerFor(sim, 0x40F5849A, 0x12));
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include "tfsim/Scheduler.h"

namespace tfsim {

class Module;

struct DiscoveryAnswer {
    uint8_t address = 0x06;
    uint16_t port = 0; // TCP port the host is told to connect to
    uint32_t serial = 0;
    uint8_t model = 0;
    size_t length = 16;                    // bytes sent: shorter answers are cut from the end
    unsigned copies = 1;                   // sent this often per query
    std::chrono::milliseconds interval{0}; // between copies
    std::chrono::milliseconds delay{0};    // after the query
};

class DiscoveryResponder {
  public:
    static constexpr uint16_t kQueryPort = 9888;
    static constexpr uint16_t kAnswerPort = 9889;

    // `localAddress` is dotted IPv4 text; throws std::system_error.
    explicit DiscoveryResponder(const std::string& localAddress);
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    void add(const DiscoveryAnswer& answer);
    void clear();

    // A TCP port on the responder's address that relays to the module's loopback port
    // (one connection at a time; a newer one replaces the older). While the module refuses
    // connects (a reboot, say) the relay's port refuses them too, as the module's own would.
    // The module must outlive the responder. Throws std::system_error.
    uint16_t serve(const Module& module);
    // An answer naming the module at its relayed port.
    DiscoveryAnswer answerFor(const Module& module, uint32_t serial, uint8_t model);

    // The 16 bytes of one answer, as sent before any cut.
    static std::vector<uint8_t> encode(const DiscoveryAnswer& answer);

    uint32_t address() const { return address_; } // network byte order
    unsigned queries() const { return queries_.load(); }
    unsigned ignored() const { return ignored_.load(); } // datagrams that were no query
    bool waitForQueries(unsigned count, std::chrono::milliseconds timeout) const;

  private:
    struct Relay {
        const Module* module = nullptr;
        int listenFd = -1;
        uint16_t port = 0;
        uint16_t target = 0;
        int hostFd = -1;
        int moduleFd = -1;
    };

    void run();
    void onQuery(uint32_t querier);
    void acceptOn(Relay& relay);
    void followModule(Relay& relay);
    static bool forward(int from, int to);
    static void dropPair(Relay& relay);

    uint32_t address_ = 0;
    int queryFd_ = -1;
    int answerFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> queries_{0};
    std::atomic<unsigned> ignored_{0};

    mutable std::mutex mutex_;
    std::vector<DiscoveryAnswer> answers_;
    std::vector<std::unique_ptr<Relay>> relays_; // the I/O thread changes their fds

    std::thread thread_;
    Scheduler scheduler_; // last: its tasks send on answerFd_
};

} // namespace tfsim
