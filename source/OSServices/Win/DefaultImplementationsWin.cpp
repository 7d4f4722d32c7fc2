// Built-in implementations of this platform: threads (defined with them), whole-page memory and native
// files.
#include "OSServices/DefaultImplementations.h"
#include "OSServices/Win/NativeFileSysInterfaceImpWin.h"
#include "OSServices/Win/PhysMemInterfaceImpWin.h"

namespace Tarvos {

PhysMemInterfaceImp* NewDefaultPhysMemInterfaceImp() {
    return new PhysMemInterfaceImpWin();
}
NativeFileSysInterfaceImp* NewDefaultNativeFileSysInterfaceImp() {
    return new NativeFileSysInterfaceImpWin();
}

}  // namespace Tarvos
