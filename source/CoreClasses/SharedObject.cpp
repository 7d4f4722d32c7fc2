#include "Tarvos/SharedObject.h"

#include <memory>
#include <new>

#include "Tarvos/MTInterface.h"

namespace Tarvos {

SharedObject::SharedObject() : referenceCount(nullptr), lock(nullptr) {
    // Built in two steps so that a failure of the second does not leak the first.
    std::unique_ptr<MTAtomicUnsigned32> count(MTInterface::NewAtomicUnsigned32(1));
    lock = MTInterface::NewCritSec();
    if (count == nullptr || lock == nullptr) {
        delete lock;
        throw std::bad_alloc();
    }
    referenceCount = count.release();
}

SharedObject::~SharedObject() {
    delete lock;
    delete referenceCount;
}

int32_t SharedObject::AddRef(const char*, const char*, uint32_t) {
    return static_cast<int32_t>(referenceCount->Increment());
}

int32_t SharedObject::DecRef(const char*, const char*, uint32_t) {
    const int32_t remaining = static_cast<int32_t>(referenceCount->Decrement());
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

int32_t SharedObject::GetRefCount() {
    return static_cast<int32_t>(referenceCount->Get());
}

void SharedObject::BeginThreadSafeModify() {
    lock->Enter();
}

void SharedObject::FinishThreadSafeModify() {
    lock->Leave();
}

void SharedObject::EnableLeakedObjectsLogging(uint32_t, uint32_t) {}
void SharedObject::DisableLeakedObjectsLogging() {}
void SharedObject::PrintLeakedObjectsToDebugger() {}
bool SharedObject::IsLeakedObjectLoggingEnabled() {
    return false;
}

}  // namespace Tarvos
