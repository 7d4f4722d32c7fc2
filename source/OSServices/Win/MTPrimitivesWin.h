// Windows primitives behind MTInterfaceImpWin: a CRITICAL_SECTION (re-entrant for its owner), a kernel
// semaphore with a maximum, and an interlocked 32-bit counter.
#pragma once

#include <cstdint>

#include "OSServices/Win/WinHeaders.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

class MTCritSecWin final : public MTCritSec {
  public:
    MTCritSecWin() { InitializeCriticalSection(&section); }
    ~MTCritSecWin() override { DeleteCriticalSection(&section); }
    void Enter() override { EnterCriticalSection(&section); }
    void Leave() override { LeaveCriticalSection(&section); }

  private:
    CRITICAL_SECTION section;
};

// A semaphore whose kernel object could not be created still exists: its Wait fails at once and its
// Signal returns false.
class MTSemaphoreWin final : public MTSemaphore {
  public:
    MTSemaphoreWin(uint32_t maximumCount, uint32_t initialCount);
    ~MTSemaphoreWin() override;
    bool Signal(uint32_t count) override;
    bool Wait(uint32_t timeoutMs, uint32_t count) override;

  private:
    HANDLE handle;  // null when the kernel object could not be created
};

class MTAtomicUnsigned32Win final : public MTAtomicUnsigned32 {
  public:
    explicit MTAtomicUnsigned32Win(uint32_t initial) : MTAtomicUnsigned32(initial), value(initial) {}
    // A plain read of an aligned word: callers treat it as a snapshot that may be stale.
    uint32_t Get() override { return static_cast<uint32_t>(value); }
    uint32_t Increment() override { return static_cast<uint32_t>(InterlockedIncrement(&value)); }
    uint32_t Decrement() override { return static_cast<uint32_t>(InterlockedDecrement(&value)); }
    bool CompareExchange(uint32_t expected, uint32_t desired) override {
        const LONG previous =
            InterlockedCompareExchange(&value, static_cast<LONG>(desired), static_cast<LONG>(expected));
        return static_cast<uint32_t>(previous) == expected;
    }

  private:
    alignas(4) volatile LONG value;
};

}  // namespace Tarvos
