#include "OSServices/Posix/NativeFileSysInterfaceImpPosix.h"

#include <new>

#include "OSServices/Posix/NativeFileSourcePosix.h"
#include "OSServices/Posix/NativeIOEngine.h"

namespace Tarvos {

NativeFileSysInterfaceImpPosix::NativeFileSysInterfaceImpPosix() : engine(NativeIOEngine::GetEngine()) {}

NativeFileSysInterfaceImpPosix::~NativeFileSysInterfaceImpPosix() = default;

NativeFileSource* NativeFileSysInterfaceImpPosix::NewNativeFileSource(const char* path) {
    try {
        return new NativeFileSourcePosix(path, engine);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace Tarvos
