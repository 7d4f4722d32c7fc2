// The platform's built-in implementations under one name each, for tests that wrap or derive from them.
#pragma once

#include "OSServices/Linux/MTInterfaceImpPosix.h"
#include "OSServices/Linux/PhysMemInterfaceImpPosix.h"

namespace TarvosTest {
using PlatformMTInterfaceImp = Tarvos::MTInterfaceImpPosix;
using PlatformPhysMemInterfaceImp = Tarvos::PhysMemInterfaceImpPosix;
// Whether start-up shows the I/O thread as a time-critical NewThread of the threading implementation
// (the I/O engine runs its thread as an MTThread).
constexpr bool kIOThreadStartsThroughMTInterface = true;
}  // namespace TarvosTest
