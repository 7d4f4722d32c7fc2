// A shared object that counts its destructions and can run a check while it is being destroyed.
#pragma once

#include <atomic>
#include <functional>

#include "Tarvos/SharedObject.h"

namespace TarvosTest {

class CountedObject : public Tarvos::SharedObject {
  public:
    explicit CountedObject(std::atomic<int>* destroyed = nullptr) : destroyed(destroyed) {}

    // Runs inside the destructor, before the count of destructions rises.
    std::function<void(CountedObject*)> onDestroy;

  protected:
    ~CountedObject() override {
        if (onDestroy) {
            onDestroy(this);
        }
        if (destroyed != nullptr) {
            ++*destroyed;
        }
    }

  private:
    std::atomic<int>* destroyed;
};

}  // namespace TarvosTest
