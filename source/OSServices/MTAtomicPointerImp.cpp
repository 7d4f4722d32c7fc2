#include "MTAtomicPointerImp.h"

#include <new>

namespace Tarvos {

MTAtomicPointerImp::MTAtomicPointerImp(void* initial) : MTAtomicPointer(initial), value(initial) {}

MTAtomicPointerImp* MTAtomicPointerImp::Create(void* initial) {
    return new (std::nothrow) MTAtomicPointerImp(initial);
}

void* MTAtomicPointerImp::Get() {
    return value.load();
}

bool MTAtomicPointerImp::CompareExchange(void* expected, void* desired) {
    return value.compare_exchange_strong(expected, desired);
}

}  // namespace Tarvos
