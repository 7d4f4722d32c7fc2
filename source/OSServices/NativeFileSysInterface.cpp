#include "Tarvos/NativeFileSysInterface.h"

#include "OSServices/FacadeFailure.h"

namespace Tarvos {

namespace {
NativeFileSysInterfaceImp* installed = nullptr;
}

NativeFileSysInterfaceImp::~NativeFileSysInterfaceImp() = default;
NativeFileSysInterface::NativeFileSysInterface() = default;
NativeFileSysInterface::~NativeFileSysInterface() = default;

bool NativeFileSysInterface::HasImplementation() {
    return installed != nullptr;
}

void NativeFileSysInterface::InstallImplementation(NativeFileSysInterfaceImp* implementation) {
    if (implementation == nullptr) {
        ThrowFacadeMessage("NativeFileSysInterface No Installed Implementation");
    }
    if (installed != nullptr) {
        ThrowFacadeMessage("NativeFileSysInterface Implementation Already Installed");
    }
    installed = implementation;
}

NativeFileSource* NativeFileSysInterface::NewNativeFileSource(const char* path) {
    if (installed == nullptr) {
        ThrowFacadeMessage("NativeFileSysInterface No Installed Implementation");
    }
    return installed->NewNativeFileSource(path);
}

}  // namespace Tarvos
