// Linux primitives behind MTInterfaceImpPosix: a re-entrant mutex, a counted semaphore with a maximum
// (mutex + condition variable over the monotonic clock), and a sequentially consistent 32-bit atomic.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Tarvos/MTInterface.h"

namespace Tarvos {

class MTCritSecPosix final : public MTCritSec {
  public:
    void Enter() override { mutex.lock(); }
    void Leave() override { mutex.unlock(); }

  private:
    std::recursive_mutex mutex;
};

class MTSemaphorePosix final : public MTSemaphore {
  public:
    MTSemaphorePosix(uint32_t maximumCount, uint32_t initialCount);
    bool Signal(uint32_t count) override;
    bool Wait(uint32_t timeoutMs, uint32_t count) override;

  private:
    bool WaitOne(uint32_t timeoutMs);

    std::mutex mutex;  // guards available; a leaf lock
    std::condition_variable released;
    uint64_t available;
    const uint64_t maximum;
};

class MTAtomicUnsigned32Posix final : public MTAtomicUnsigned32 {
  public:
    explicit MTAtomicUnsigned32Posix(uint32_t initial) : MTAtomicUnsigned32(initial), value(initial) {}
    // Get is a relaxed read: callers treat it as a snapshot that may be stale.
    uint32_t Get() override { return value.load(std::memory_order_relaxed); }
    uint32_t Increment() override { return value.fetch_add(1) + 1; }
    uint32_t Decrement() override { return value.fetch_sub(1) - 1; }
    bool CompareExchange(uint32_t expected, uint32_t desired) override {
        return value.compare_exchange_strong(expected, desired);
    }

  private:
    std::atomic<uint32_t> value;
};

}  // namespace Tarvos
