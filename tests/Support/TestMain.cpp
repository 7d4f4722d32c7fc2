// Every test program except the start-up tests starts the library once, before any test runs.
#include <gtest/gtest.h>

#include "Tarvos/OSServices.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    Tarvos::OSServices::Init();
    return RUN_ALL_TESTS();
}
