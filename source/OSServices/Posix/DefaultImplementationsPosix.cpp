// Built-in implementations of this platform: threads (defined with them), whole-page memory and native
// files.
#include "OSServices/DefaultImplementations.h"
#include "OSServices/Posix/NativeFileSysInterfaceImpPosix.h"
#include "OSServices/Posix/PhysMemInterfaceImpPosix.h"

namespace Tarvos {

PhysMemInterfaceImp* NewDefaultPhysMemInterfaceImp() {
    return new PhysMemInterfaceImpPosix();
}
NativeFileSysInterfaceImp* NewDefaultNativeFileSysInterfaceImp() {
    return new NativeFileSysInterfaceImpPosix();
}

}  // namespace Tarvos
