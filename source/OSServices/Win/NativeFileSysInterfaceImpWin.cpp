#include "OSServices/Win/NativeFileSysInterfaceImpWin.h"

#include <new>

#include "OSServices/NativeIOEngine.h"
#include "OSServices/Win/NativeFileSourceWin.h"

namespace Tarvos {

NativeFileSysInterfaceImpWin::NativeFileSysInterfaceImpWin() : engine(NativeIOEngine::GetEngine()) {}

NativeFileSysInterfaceImpWin::~NativeFileSysInterfaceImpWin() = default;

NativeFileSource* NativeFileSysInterfaceImpWin::NewNativeFileSource(const char* path) {
    try {
        return new NativeFileSourceWin(path, engine);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace Tarvos
