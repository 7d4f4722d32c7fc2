// The built-in Windows threading implementation: critical sections, kernel semaphores, interlocked
// counters, the performance-counter clock and C-runtime threads with Windows priorities. Any thread.
// Its constructor throws "MTInterface Unable To Construct Object" when the performance counter has no
// frequency.
#pragma once

#include "Tarvos/MTInterface.h"

namespace Tarvos {

class MTInterfaceImpWin : public MTInterfaceImp {
  public:
    MTInterfaceImpWin();
    ~MTInterfaceImpWin() override = default;

    MTCritSec* NewCritSec() override;
    MTSemaphore* NewSemaphore(uint32_t maximumCount, uint32_t initialCount) override;
    MTAtomicUnsigned32* NewAtomicUnsigned32(uint32_t initial) override;
    MTThread* NewThread(MTThreadBody* body, MTThread::MTPriority priority, uint64_t affinity) override;
    void DebugString(char* text) override;
    uint32_t GetCurrentThreadID() override;
    uint64_t GetCurrentTimeMicro() override;
    uint32_t GetCPUCount() override;

    // The Windows thread priority (THREAD_PRIORITY_...) of a library priority; normal for values
    // outside the table.
    static int WindowsPriorityFor(MTThread::MTPriority priority);
};

}  // namespace Tarvos
