// Defaults that are not built yet on this platform: start-up leaves their facades uninstalled.
#include "OSServices/DefaultImplementations.h"

namespace Tarvos {

PhysMemInterfaceImp* NewDefaultPhysMemInterfaceImp() {
    return nullptr;
}
NativeFileSysInterfaceImp* NewDefaultNativeFileSysInterfaceImp() {
    return nullptr;
}

}  // namespace Tarvos
