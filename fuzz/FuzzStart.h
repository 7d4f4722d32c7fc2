// Starts the library once per fuzz process (from the first input), whichever driver runs the target.
#pragma once

#include "Tarvos/OSServices.h"

namespace TarvosFuzz {

inline void StartLibraryOnce() {
    static const bool started = [] {
        Tarvos::OSServices::Init();
        return true;
    }();
    (void)started;
}

}  // namespace TarvosFuzz
