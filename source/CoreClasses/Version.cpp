#include "Tarvos/Version.h"

namespace Tarvos {

namespace {

#define TARVOS_STRINGIFY_(x) #x
#define TARVOS_STRINGIFY(x) TARVOS_STRINGIFY_(x)

constexpr const char* kVersion = TARVOS_STRINGIFY(TARVOS_VERSION_MAJOR) "." TARVOS_STRINGIFY(
    TARVOS_VERSION_MINOR) "." TARVOS_STRINGIFY(TARVOS_VERSION_PATCH);

}  // namespace

const char* GetVersion() {
    return kVersion;
}

uint32_t GetVersionNumber() {
    return TARVOS_VERSION_NUMBER;
}

}  // namespace Tarvos
