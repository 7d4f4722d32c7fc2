// Holds a shared object's thread-safe-modify lock for a scope, so that early returns and unwinding
// always leave it. Tolerates a null object.
#pragma once

#include "Tarvos/SharedObject.h"

namespace Tarvos {

class ThreadSafeModifyHold {
  public:
    explicit ThreadSafeModifyHold(SharedObject* object) : object(object) {
        if (object != nullptr) {
            object->BeginThreadSafeModify();
        }
    }
    ~ThreadSafeModifyHold() {
        if (object != nullptr) {
            object->FinishThreadSafeModify();
        }
    }
    ThreadSafeModifyHold(const ThreadSafeModifyHold&) = delete;
    ThreadSafeModifyHold& operator=(const ThreadSafeModifyHold&) = delete;

  private:
    SharedObject* object;
};

}  // namespace Tarvos
