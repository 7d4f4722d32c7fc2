// A C-runtime thread that runs MTThread::Run. It is created suspended, given its affinity and priority,
// then resumed, so the body always runs at the priority asked for. The handle is closed when the object
// dies; completion is observed only through the completion semaphore.
#pragma once

#include "OSServices/Win/WinHeaders.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

class MTThreadWin final : public MTThread {
  public:
    // The thread is running when this returns. Throws "MTInterface Unable To Construct Object" if the
    // thread cannot be started; null if the object cannot be allocated.
    static MTThreadWin* Start(MTThreadBody* body, MTPriority priority, uint64_t affinity);

    ~MTThreadWin() override;

  private:
    MTThreadWin(MTThreadBody* body, MTPriority priority, uint64_t affinity);
    static unsigned __stdcall Entry(void* thread);

    HANDLE handle;  // null until started
};

}  // namespace Tarvos
