// Holds a critical section for a scope, so that a path that returns early or unwinds (an allocation
// failure inside a locked operation) always leaves it. Tolerates a null section.
#pragma once

#include "Tarvos/MTInterface.h"

namespace Tarvos {

class MTCritSecHold {
  public:
    explicit MTCritSecHold(MTCritSec* section) : section(section) {
        if (section != nullptr) {
            section->Enter();
        }
    }
    ~MTCritSecHold() {
        if (section != nullptr) {
            section->Leave();
        }
    }
    MTCritSecHold(const MTCritSecHold&) = delete;
    MTCritSecHold& operator=(const MTCritSecHold&) = delete;

  private:
    MTCritSec* section;
};

}  // namespace Tarvos
