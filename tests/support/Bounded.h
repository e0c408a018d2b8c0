// Waiting for a call that a fault would make hang: the test fails instead of hanging, and
// the call is freed so that the test can clean up.
#pragma once

#include <chrono>
#include <future>
#include <optional>
#include <type_traits>
#include <utility>

namespace tftest {

// Runs work on a thread of its own and waits up to limit for it, then calls unblock (which
// must make a stuck work return) and waits for work. Its result when it finished in time,
// else nothing.
template <typename Work, typename Unblock>
auto finishesWithin(std::chrono::milliseconds limit, Work&& work, Unblock&& unblock)
    -> std::optional<std::invoke_result_t<Work>> {
    auto running = std::async(std::launch::async, std::forward<Work>(work));
    const bool finished = running.wait_for(limit) == std::future_status::ready;
    unblock();
    auto result = running.get();
    if (!finished) return std::nullopt;
    return result;
}

} // namespace tftest
