// A timer thread for tasks that must run later than the event that made them.
#include "tfsim/Scheduler.h"

namespace tfsim {

Scheduler::Scheduler() : thread_([this] { run(); }) {}

Scheduler::~Scheduler() {
    stop();
}

Scheduler::TaskId Scheduler::at(Clock::time_point when, std::function<void()> task) {
    std::lock_guard lock(mutex_);
    TaskId id = nextId_++;
    if (stopping_) return id;
    tasks_.emplace(std::pair{when, id}, std::move(task));
    changed_.notify_all();
    return id;
}

void Scheduler::cancel(TaskId id) {
    std::lock_guard lock(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end(); ++it)
        if (it->first.second == id) {
            tasks_.erase(it);
            return;
        }
}

void Scheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
        changed_.notify_all();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Scheduler::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto first = tasks_.begin();
        // A copy: the task may be cancelled while we sleep on its time.
        const Clock::time_point due = first->first.first;
        if (Clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        std::function<void()> task = std::move(first->second);
        tasks_.erase(first);
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace tfsim
