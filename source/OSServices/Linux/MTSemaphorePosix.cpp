#include <chrono>

#include "MTPrimitivesPosix.h"

namespace Tarvos {

MTSemaphorePosix::MTSemaphorePosix(uint32_t maximumCount, uint32_t initialCount)
    : MTSemaphore(maximumCount, initialCount),
      available(initialCount <= maximumCount ? initialCount : maximumCount),
      maximum(maximumCount) {}

bool MTSemaphorePosix::Signal(uint32_t count) {
    // Notifies while holding the mutex: a waiter that wakes may delete the semaphore as soon as it can
    // take the mutex, so nothing of it may be touched after the unlock.
    std::lock_guard<std::mutex> guard(mutex);
    if (available + count > maximum) {
        return false;
    }
    available += count;
    if (count == 1) {
        released.notify_one();
    } else if (count > 1) {
        released.notify_all();
    }
    return true;
}

bool MTSemaphorePosix::WaitOne(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(mutex);
    if (timeoutMs == kInfinite) {
        released.wait(guard, [this] { return available > 0; });
    } else if (!released.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [this] { return available > 0; })) {
        return false;
    }
    --available;
    return true;
}

bool MTSemaphorePosix::Wait(uint32_t timeoutMs, uint32_t count) {
    if (count == 0) {
        return true;
    }
    const uint32_t perUnit = timeoutMs == kInfinite ? kInfinite : timeoutMs / count;
    for (uint32_t taken = 0; taken < count; ++taken) {
        // Units already taken stay taken when a later one times out.
        if (!WaitOne(perUnit)) {
            return false;
        }
    }
    return true;
}

}  // namespace Tarvos
