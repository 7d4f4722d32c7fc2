// Creates file sources for operating-system files by path, through the installed implementation.
// NewNativeFileSource throws "NativeFileSysInterface No Installed Implementation" before start-up;
// the caller owns the new (closed) source's single reference.
#pragma once

#include "Tarvos/Export.h"

namespace Tarvos {

class NativeFileSource;
class OSServices;

class TARVOS_EXPORT NativeFileSysInterfaceImp {
  public:
    virtual NativeFileSource* NewNativeFileSource(const char* path) = 0;

  protected:
    NativeFileSysInterfaceImp() = default;
    virtual ~NativeFileSysInterfaceImp();
    friend class NativeFileSysInterface;
};

class TARVOS_EXPORT NativeFileSysInterface {
  public:
    static NativeFileSource* NewNativeFileSource(const char* path);

  protected:
    friend class OSServices;
    static void InstallImplementation(NativeFileSysInterfaceImp* implementation);
    static bool HasImplementation();

  private:
    NativeFileSysInterface();
    virtual ~NativeFileSysInterface();
};

}  // namespace Tarvos
