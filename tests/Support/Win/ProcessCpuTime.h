// CPU time the whole process has used so far, in seconds (all threads, user and kernel). The C
// runtime's clock() measures wall time on Windows, so the process times are asked for instead.
#pragma once

#include "OSServices/Win/WinHeaders.h"

namespace TarvosTest {
inline double ProcessCpuSeconds() {
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 0.0;
    }
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
}
}  // namespace TarvosTest
