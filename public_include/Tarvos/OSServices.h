// Process start-up. Init (or InitWithExtensions with application implementations, chosen facade by
// facade; null selects the built-in one) installs the threading, memory and native-file
// implementations, in that order, exactly once per process, on one thread, before anything else of
// the library is used. Failures throw a char* to a static message; nothing can be retried after one.
#pragma once

#include "Tarvos/Export.h"

namespace Tarvos {

class MTInterfaceImp;
class PhysMemInterfaceImp;
class NativeFileSysInterfaceImp;

class TARVOS_EXPORT OSServices {
  public:
    static void Init();
    // Ownership of every non-null argument passes to the library for the rest of the process.
    static void InitWithExtensions(MTInterfaceImp* threading, PhysMemInterfaceImp* memory,
                                   NativeFileSysInterfaceImp* nativeFiles);

  private:
    template <typename Facade, typename Implementation>
    static void InstallChosen(Implementation* given, Implementation* (*makeDefault)(),
                              const char* alreadyInstalled);
    OSServices();
    virtual ~OSServices();
};

}  // namespace Tarvos
