// Waiting for a condition that another thread or process brings about: poll it with short
// sleeps up to a generous limit, since the machines are shared and noisy.
#pragma once

#include <chrono>
#include <thread>

namespace tftest {

// True as soon as pred() holds; false when it still does not once timeout has passed.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

} // namespace tftest
