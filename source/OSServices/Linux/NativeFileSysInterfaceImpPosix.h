// The built-in Linux native file system: creates NativeFileSourcePosix objects. Its construction
// creates the process's I/O engine (and its I/O thread), so the engine exists from start-up on.
#pragma once

#include "Tarvos/NativeFileSysInterface.h"

namespace Tarvos {

class NativeIOEngine;

class NativeFileSysInterfaceImpPosix : public NativeFileSysInterfaceImp {
  public:
    NativeFileSysInterfaceImpPosix();
    ~NativeFileSysInterfaceImpPosix() override;

    // A closed source for path (null gives one without a name); null only when it cannot be allocated.
    NativeFileSource* NewNativeFileSource(const char* path) override;

  private:
    NativeIOEngine* engine;  // null when the engine could not be created; not owned
};

}  // namespace Tarvos
