// Starts the library with implementations whose allocations the tests can make fail.
#include <gtest/gtest.h>

#include "Allocation/AllocationHooks.h"
#include "OSServices/NativeIOEngine.h"
#include "Tarvos/OSServices.h"

namespace TarvosTest {

AllocationHooks& Hooks() {
    static AllocationHooks hooks{nullptr, nullptr};
    return hooks;
}

}  // namespace TarvosTest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Installed implementations stay for the life of the process.
    TarvosTest::Hooks().threading = new TarvosTest::FailingMTInterfaceImp();
    TarvosTest::Hooks().memory = new TarvosTest::LimitingPhysMemImp();
    Tarvos::OSServices::InitWithExtensions(TarvosTest::Hooks().threading, TarvosTest::Hooks().memory,
                                           nullptr);
    // The process's engine is made before any failure is armed.
    Tarvos::NativeIOEngine::GetEngine();
    return RUN_ALL_TESTS();
}
