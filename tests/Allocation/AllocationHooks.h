// The failing threading and memory implementations this test program starts the library with.
#pragma once

#include "Support/FailingMTInterfaceImp.h"
#include "Support/LimitingPhysMemImp.h"

namespace TarvosTest {

struct AllocationHooks {
    FailingMTInterfaceImp* threading;
    LimitingPhysMemImp* memory;
};

// Set up by the program's main before any test runs.
AllocationHooks& Hooks();

}  // namespace TarvosTest
