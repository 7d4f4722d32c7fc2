// CPU time the whole process has used so far, in seconds (all threads, user and system).
#pragma once

#include <ctime>

namespace TarvosTest {
inline double ProcessCpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}
}  // namespace TarvosTest
