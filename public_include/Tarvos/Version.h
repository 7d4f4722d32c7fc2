// The library's version. The macros give the version a program was compiled against; GetVersion and
// GetVersionNumber the version of the library it runs with, so a program can notice a mismatch. The
// project's CMake version is checked against these macros when the build is configured. Any thread may
// call the functions at any time, before OSServices::Init too; they never fail.
#pragma once

#include <cstdint>

#include "Tarvos/Export.h"

#define TARVOS_VERSION_MAJOR 0
#define TARVOS_VERSION_MINOR 1
#define TARVOS_VERSION_PATCH 0
// MAJOR * 10000 + MINOR * 100 + PATCH: 100 for 0.1.0.
#define TARVOS_VERSION_NUMBER \
    (TARVOS_VERSION_MAJOR * 10000 + TARVOS_VERSION_MINOR * 100 + TARVOS_VERSION_PATCH)

namespace Tarvos {

// "MAJOR.MINOR.PATCH" of the library in use, for example "0.1.0". A static string.
TARVOS_EXPORT const char* GetVersion();
// TARVOS_VERSION_NUMBER of the library in use.
TARVOS_EXPORT uint32_t GetVersionNumber();

}  // namespace Tarvos
