// Pointer-wide atomic behind MTInterface::NewAtomicPointer, independent of the installed
// implementation (pointers are wider than the implementation's 32-bit counters here).
#pragma once

#include <atomic>

#include "Tarvos/MTInterface.h"

namespace Tarvos {

class MTAtomicPointerImp final : public MTAtomicPointer {
  public:
    // Null if the object cannot be allocated.
    static MTAtomicPointerImp* Create(void* initial);

    void* Get() override;
    bool CompareExchange(void* expected, void* desired) override;

  private:
    explicit MTAtomicPointerImp(void* initial);
    std::atomic<void*> value;
};

}  // namespace Tarvos
