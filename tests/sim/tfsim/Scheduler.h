// One thread that runs tasks at given times: late replies and periodic heartbeats.
// Tasks run one at a time, without the scheduler's lock held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace tfsim {

class Scheduler {
  public:
    using Clock = std::chrono::steady_clock;
    using TaskId = uint64_t;

    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    TaskId at(Clock::time_point when, std::function<void()> task);
    TaskId after(std::chrono::milliseconds delay, std::function<void()> task) {
        return at(Clock::now() + delay, std::move(task));
    }
    // A task that has not started yet will not run.
    void cancel(TaskId id);
    // Joins the thread; pending tasks are dropped. Idempotent.
    void stop();

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    // Keyed by (time, id) so equal times run in the order they were scheduled.
    std::map<std::pair<Clock::time_point, TaskId>, std::function<void()>> tasks_;
    TaskId nextId_ = 1;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tfsim
