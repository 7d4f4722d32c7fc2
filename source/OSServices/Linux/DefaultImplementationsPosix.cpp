// Built-in implementations of this platform: threads (defined with them), whole-page memory and native
// files.
#include "OSServices/DefaultImplementations.h"
#include "OSServices/Linux/NativeFileSysInterfaceImpPosix.h"
#include "OSServices/Linux/PhysMemInterfaceImpPosix.h"

namespace Tarvos {

PhysMemInterfaceImp* NewDefaultPhysMemInterfaceImp() {
    return new PhysMemInterfaceImpPosix();
}
NativeFileSysInterfaceImp* NewDefaultNativeFileSysInterfaceImp() {
    return new NativeFileSysInterfaceImpPosix();
}

}  // namespace Tarvos
