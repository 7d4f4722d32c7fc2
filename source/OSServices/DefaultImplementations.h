// The platform's built-in implementations, one factory per facade, defined in the platform folder.
// A factory may return null while the platform has no default for that facade yet; start-up then
// leaves that facade uninstalled.
#pragma once

namespace Tarvos {

class MTInterfaceImp;
class PhysMemInterfaceImp;
class NativeFileSysInterfaceImp;

MTInterfaceImp* NewDefaultMTInterfaceImp();
PhysMemInterfaceImp* NewDefaultPhysMemInterfaceImp();
NativeFileSysInterfaceImp* NewDefaultNativeFileSysInterfaceImp();

}  // namespace Tarvos
