// Built-in implementations of this platform; a default that is not built yet is null, and start-up
// leaves its facade uninstalled.
#include "OSServices/DefaultImplementations.h"
#include "OSServices/Posix/PhysMemInterfaceImpPosix.h"

namespace Tarvos {

PhysMemInterfaceImp* NewDefaultPhysMemInterfaceImp() {
    return new PhysMemInterfaceImpPosix();
}
NativeFileSysInterfaceImp* NewDefaultNativeFileSysInterfaceImp() {
    return nullptr;
}

}  // namespace Tarvos
