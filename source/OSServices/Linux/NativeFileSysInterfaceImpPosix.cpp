#include "OSServices/Linux/NativeFileSysInterfaceImpPosix.h"

#include <new>

#include "OSServices/Linux/NativeFileSourcePosix.h"
#include "OSServices/NativeIOEngine.h"

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
