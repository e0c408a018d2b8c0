// A packet server's loopback discovery answer: holds the first free query port 9850+k of
// 224.0.0.7 alone (address reuse off) and answers each 4-byte magic BA DC CD AB with its
// datagrams, sent in order to the paired answer port 9950+k. Anything else is ignored.
//
//     tfsim::LoopbackResponder responder;
//     responder.answer({tfsim::ServerSpec{.serial = 0x1234, .port = 7000}.encode()});
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tfsim {

class LoopbackResponder {
  public:
    static constexpr uint16_t kQueryPort = 9850;
    static constexpr uint16_t kAnswerPort = 9950;
    static constexpr unsigned kPorts = 50;

    // Throws std::system_error when no port of the range is free.
    LoopbackResponder();
    ~LoopbackResponder();
    LoopbackResponder(const LoopbackResponder&) = delete;
    LoopbackResponder& operator=(const LoopbackResponder&) = delete;

    // The datagrams sent for each query (none: a server whose model is not set).
    void answer(std::vector<std::vector<uint8_t>> datagrams);
    // Waited after a query before answering.
    void setDelay(std::chrono::milliseconds delay);

    unsigned offset() const { return offset_; }
    unsigned queries() const { return queries_.load(); }
    unsigned ignored() const { return ignored_.load(); } // datagrams that were no query

  private:
    void run();

    unsigned offset_ = 0;
    int queryFd_ = -1;
    int answerFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> queries_{0};
    std::atomic<unsigned> ignored_{0};
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> answers_;
    std::chrono::milliseconds delay_{0};
    std::thread thread_;
};

} // namespace tfsim
