// Start-up: installs the threading, memory and native-file implementations in that order. Whatever was
// installed before a failing step stays installed and the initialised flag stays clear, so a failed
// start-up cannot be retried.
#include "Tarvos/OSServices.h"

#include <memory>

#include "OSServices/DefaultImplementations.h"
#include "OSServices/FacadeFailure.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/NativeFileSysInterface.h"
#include "Tarvos/PhysMemInterface.h"

namespace Tarvos {

namespace {
bool initialized = false;
}  // namespace

// A default is only created for a facade that has none yet, so a refused default is never left
// behind; a default whose constructor throws is freed by the failed new expression. A platform that
// has no default for a facade yet (null from its factory) leaves that facade uninstalled.
template <typename Facade, typename Implementation>
void OSServices::InstallChosen(Implementation* given, Implementation* (*makeDefault)(),
                               const char* alreadyInstalled) {
    if (given == nullptr) {
        if (Facade::HasImplementation()) {
            ThrowFacadeMessage(alreadyInstalled);
        }
        given = makeDefault();
        if (given == nullptr) {
            return;
        }
    }
    Facade::InstallImplementation(given);
}

OSServices::OSServices() = default;
OSServices::~OSServices() = default;

void OSServices::Init() {
    InitWithExtensions(nullptr, nullptr, nullptr);
}

void OSServices::InitWithExtensions(MTInterfaceImp* threading, PhysMemInterfaceImp* memory,
                                    NativeFileSysInterfaceImp* nativeFiles) {
    if (initialized) {
        ThrowFacadeMessage("OSServices Already Initialized");
    }
    InstallChosen<MTInterface>(threading, &NewDefaultMTInterfaceImp,
                               "MTInterface Implementation Already Installed");
    InstallChosen<PhysMemInterface>(memory, &NewDefaultPhysMemInterfaceImp,
                                    "PhysMemInterface Implementation Already Installed");
    InstallChosen<NativeFileSysInterface>(nativeFiles, &NewDefaultNativeFileSysInterfaceImp,
                                          "NativeFileSysInterface Implementation Already Installed");
    initialized = true;
}

}  // namespace Tarvos
