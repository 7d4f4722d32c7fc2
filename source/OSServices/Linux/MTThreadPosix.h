// A detached pthread that runs MTThread::Run. The thread applies its own priority and affinity before
// running the body; completion is observed only through the completion semaphore.
#pragma once

#include "Tarvos/MTInterface.h"

namespace Tarvos {

class MTThreadPosix final : public MTThread {
  public:
    // The thread is running when this returns. Throws "MTInterface Unable To Construct Object" if the
    // thread cannot be started; null if the object cannot be allocated.
    static MTThreadPosix* Start(MTThreadBody* body, MTPriority priority, uint64_t affinity);

    ~MTThreadPosix() override;

  private:
    MTThreadPosix(MTThreadBody* body, MTPriority priority, uint64_t affinity);
    static void* Entry(void* startPacket);
};

}  // namespace Tarvos
