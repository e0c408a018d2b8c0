// The thread that sends a stream entity's samples at a rate the test sets, as a streaming
// module does once asked. Declare it after the Module, so that it stops before the module.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "tfsim/Module.h"
#include "tfsim/StreamEntity.h"

namespace tfsim {

class StreamEmitter {
  public:
    StreamEmitter(Module& module, StreamEntity& streams);
    ~StreamEmitter();
    StreamEmitter(const StreamEmitter&) = delete;
    StreamEmitter& operator=(const StreamEmitter&) = delete;

    // Samples per second over all enabled sources, taking turns; 0 pauses. Nothing is sent
    // while no source is enabled, and no backlog builds up meanwhile. With a count, it
    // pauses again once that many have gone out.
    void setRate(unsigned perSecond, std::optional<uint64_t> count = {});

  private:
    void run();

    Module& module_;
    StreamEntity& streams_;
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned rate_ = 0;
    std::optional<uint64_t> left_;
    uint64_t generation_ = 0; // a new rate starts a new count
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tfsim
