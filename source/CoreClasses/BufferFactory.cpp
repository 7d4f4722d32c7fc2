// References of a factory's buffer: the factory's creation reference, kept from Initialize until Purge,
// plus the reference of whichever pool list (free or in use) holds it. The creation reference is what
// keeps a buffer alive while the pool moves it between its lists.
#include "Tarvos/BufferFactory.h"

#include <memory>
#include <new>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/SharedObjectList.h"

namespace Tarvos {

BufferFactory::~BufferFactory() = default;

BufferFactoryCommon::BufferFactoryCommon() : lock(MTInterface::NewCritSec()), bufferSize(0), pool(nullptr) {
    if (lock == nullptr) {
        throw std::bad_alloc();
    }
}

BufferFactoryCommon::~BufferFactoryCommon() {
    {
        MTCritSecHold hold(lock);
        BufferFactoryCommon::Purge();
        if (pool != nullptr) {
            pool->DecRef(TARVOS_CALL_SITE);
            pool = nullptr;
        }
    }
    delete lock;
}

uint32_t BufferFactoryCommon::GetBufferSize() {
    return bufferSize.load();
}

uint32_t BufferFactoryCommon::GetTotalNumberOfBuffers() {
    MTCritSecHold hold(lock);
    return pool == nullptr ? 0 : pool->GetTotalNumberOfObjects();
}

uint32_t BufferFactoryCommon::GetNumberOfBuffersFree() {
    MTCritSecHold hold(lock);
    return pool == nullptr ? 0 : pool->GetNumberOfObjectsFree();
}

uint32_t BufferFactoryCommon::GetNumberOfBuffersInUse() {
    MTCritSecHold hold(lock);
    return pool == nullptr ? 0 : pool->GetNumberOfObjectsInUse();
}

Buffer* BufferFactoryCommon::GetBufferFromFactory() {
    MTCritSecHold hold(lock);
    // Only buffers ever enter the pool (AddBuffer takes a Buffer*).
    return pool == nullptr ? nullptr : static_cast<Buffer*>(pool->GetObjectFromPool());
}

bool BufferFactoryCommon::ReturnBufferToFactory(Buffer* buffer) {
    MTCritSecHold hold(lock);
    return pool != nullptr && pool->ReturnObjectToPool(buffer);
}

bool BufferFactoryCommon::AddBuffer(Buffer* buffer) {
    MTCritSecHold hold(lock);
    return pool != nullptr && pool->AddObjectToPool(buffer);
}

bool BufferFactoryCommon::InternalInit(uint32_t size, uint32_t maximumCount) {
    MTCritSecHold hold(lock);
    if (pool != nullptr || size == 0 || bufferSize.load() != 0) {
        return false;
    }
    pool = new SharedObjectPool(maximumCount);
    bufferSize.store(size);
    return true;
}

void BufferFactoryCommon::Purge() {
    MTCritSecHold hold(lock);
    if (pool == nullptr) {
        return;
    }
    // Each free buffer passes through the in-use list on its way out, which holds it while the
    // factory's own reference goes; PurgeAllObjects then drops the last one.
    while (SharedObject* buffer = pool->GetObjectFromPool()) {
        buffer->DecRef(TARVOS_CALL_SITE);
    }
    pool->PurgeAllObjects();
}

void BufferFactoryCommon::WithdrawBuffer(Buffer* buffer) {
    MTCritSecHold hold(lock);
    if (pool != nullptr && pool->DetachObjectFromPool(buffer)) {
        buffer->DecRef(TARVOS_CALL_SITE);
    }
}

bool BufferFactoryCommon::CanMakeBuffersOfSize(uint32_t size) {
    const uint32_t fixed = bufferSize.load();
    return size != 0 && (fixed == 0 || fixed == size);
}

}  // namespace Tarvos
