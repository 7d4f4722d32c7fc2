// Runs a body on several threads and waits for all of them with a bound: a deadlock aborts the test
// program (so the run fails) instead of hanging it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "Support/Waiting.h"

namespace TarvosTest {

inline void RunOnThreads(int threadCount, const std::function<void(int)>& body,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(60000)) {
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            body(i);
            ++finished;
        });
    }
    if (!WaitUntil([&] { return finished.load() == threadCount; }, limit)) {
        std::fprintf(stderr, "threads did not finish in time: %d of %d done\n", finished.load(), threadCount);
        std::abort();
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

}  // namespace TarvosTest
