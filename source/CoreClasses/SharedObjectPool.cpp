// Every object known to the pool is in exactly one of its two lists, and that list holds one reference
// on it:
//
//   AddObjectToPool     -> free
//   GetObjectFromPool   free   -> in use
//   ReturnObjectToPool  in use -> free
//   DetachObjectFromPool / PurgeAllObjects  -> out of the pool (the list's reference released)
//
// A move between the lists takes the new list's reference before the old list's goes, so the pool never
// drops an object it is moving, and a move that cannot allocate its node leaves the object where it was.
#include <memory>
#include <new>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/SharedObjectList.h"

namespace Tarvos {

SharedObjectPool::SharedObjectPool(uint32_t maximum)
    : freeList(nullptr), inUseList(nullptr), lock(nullptr), maximum(maximum) {
    std::unique_ptr<MTCritSec> section(MTInterface::NewCritSec());
    if (section == nullptr) {
        throw std::bad_alloc();
    }
    freeList = new SharedObjectList();
    try {
        inUseList = new SharedObjectList();
    } catch (...) {
        freeList->DecRef(TARVOS_CALL_SITE);
        throw;
    }
    lock = section.release();
}

SharedObjectPool::~SharedObjectPool() {
    {
        MTCritSecHold hold(lock);
        freeList->DecRef(TARVOS_CALL_SITE);
        inUseList->DecRef(TARVOS_CALL_SITE);
    }
    delete lock;
}

bool SharedObjectPool::AddObjectToPool(SharedObject* object) {
    if (object == nullptr) {
        return false;
    }
    MTCritSecHold hold(lock);
    if (static_cast<uint64_t>(freeList->Count()) + inUseList->Count() >= maximum) {
        return false;
    }
    return freeList->AddToFront(object);
}

SharedObject* SharedObjectPool::GetObjectFromPool() {
    MTCritSecHold hold(lock);
    SharedObject* object = freeList->Get(0);
    if (object == nullptr) {
        return nullptr;
    }
    inUseList->AddToFront(object);
    freeList->Remove(static_cast<uint32_t>(0));
    return object;
}

bool SharedObjectPool::ReturnObjectToPool(SharedObject* object) {
    MTCritSecHold hold(lock);
    if (!inUseList->Contains(object)) {
        return false;
    }
    const bool added = freeList->AddToFront(object);
    inUseList->Remove(object);
    return added;
}

bool SharedObjectPool::DetachObjectFromPool(SharedObject* object) {
    MTCritSecHold hold(lock);
    return inUseList->Remove(object) || freeList->Remove(object);
}

void SharedObjectPool::PurgeAllObjects() {
    MTCritSecHold hold(lock);
    freeList->RemoveAll();
    inUseList->RemoveAll();
}

uint32_t SharedObjectPool::GetTotalNumberOfObjects() {
    MTCritSecHold hold(lock);
    return inUseList->Count() + freeList->Count();
}

uint32_t SharedObjectPool::GetNumberOfObjectsFree() {
    MTCritSecHold hold(lock);
    return freeList->Count();
}

uint32_t SharedObjectPool::GetNumberOfObjectsInUse() {
    MTCritSecHold hold(lock);
    return inUseList->Count();
}

}  // namespace Tarvos
