// Bounded waiting for tests: a condition polled until it holds or a deadline passes, so that a lost
// wake-up or a deadlock fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace TarvosTest {

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace TarvosTest
