// The built-in Linux threading implementation: std primitives, the CLOCK_MONOTONIC clock, and threads
// whose priority is a best-effort per-thread nice value (real-time scheduling for the time-critical
// level only when TARVOS_REALTIME=1 is set); priority and affinity never make thread creation fail.
#pragma once

#include "Tarvos/MTInterface.h"

namespace Tarvos {

class MTInterfaceImpPosix : public MTInterfaceImp {
  public:
    MTInterfaceImpPosix();
    ~MTInterfaceImpPosix() override = default;

    MTCritSec* NewCritSec() override;
    MTSemaphore* NewSemaphore(uint32_t maximumCount, uint32_t initialCount) override;
    MTAtomicUnsigned32* NewAtomicUnsigned32(uint32_t initial) override;
    MTThread* NewThread(MTThreadBody* body, MTThread::MTPriority priority, uint64_t affinity) override;
    void DebugString(char* text) override;
    uint32_t GetCurrentThreadID() override;
    uint64_t GetCurrentTimeMicro() override;
    uint32_t GetCPUCount() override;

    // The nice value the platform gives a thread of this priority (0 for values outside the table).
    static int NiceValueFor(MTThread::MTPriority priority);
    // The nice value of the thread that installed the implementation; offsets apply to it.
    static int BaselineNice();
    // The calling thread's nice value, for diagnostics and tests.
    static int GetCurrentThreadNice();
};

}  // namespace Tarvos
