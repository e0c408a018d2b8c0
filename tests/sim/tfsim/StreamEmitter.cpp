// The stream emitter: sends what is due every millisecond, in bursts of at most a few
// hundred samples, so a high rate outruns any host that drains slowly.
#include "tfsim/StreamEmitter.h"

#include <algorithm>

namespace tfsim {

namespace {
constexpr std::chrono::milliseconds kTick{1};
constexpr uint64_t kMostPerTick = 400;
} // namespace

StreamEmitter::StreamEmitter(Module& module, StreamEntity& streams)
    : module_(module), streams_(streams), thread_([this] { run(); }) {}

StreamEmitter::~StreamEmitter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void StreamEmitter::setRate(unsigned perSecond, std::optional<uint64_t> count) {
    {
        std::lock_guard lock(mutex_);
        rate_ = perSecond;
        left_ = count;
        generation_++;
    }
    changed_.notify_all();
}

void StreamEmitter::run() {
    uint64_t generation = 0;
    std::chrono::steady_clock::time_point start;
    uint64_t done = 0;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (rate_ == 0) {
            changed_.wait(lock, [&] { return stopping_ || rate_ != 0; });
            continue;
        }
        if (generation != generation_) {
            generation = generation_;
            start = std::chrono::steady_clock::now();
            done = 0;
        }
        const unsigned rate = rate_;
        const uint64_t most = left_ ? std::min(*left_, kMostPerTick) : kMostPerTick;
        lock.unlock();
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        const uint64_t due = static_cast<uint64_t>(elapsed) * rate / 1'000'000;
        uint64_t burst = 0;
        for (; done < due && burst < most; burst++) {
            auto next = streams_.next();
            if (!next || !module_.send(next->packet)) {
                // Nothing to send, or nobody to send to: the count starts afresh.
                start = std::chrono::steady_clock::now();
                done = 0;
                break;
            }
            streams_.markSent(next->source);
            done++;
        }
        // Behind by more than a burst: the module sends what it can and moves on.
        if (due > done + kMostPerTick) done = due - kMostPerTick;
        lock.lock();
        if (left_ && generation == generation_) {
            *left_ -= burst;
            if (*left_ == 0) rate_ = 0;
        }
        changed_.wait_for(lock, kTick, [&] { return stopping_ || generation != generation_; });
    }
}

} // namespace tfsim
