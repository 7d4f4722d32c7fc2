#include "CoreClasses/CallSite.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"

namespace Tarvos {

BufferFactoryHeap::~BufferFactoryHeap() = default;

bool BufferFactoryHeap::Initialize(uint32_t bufferSize, uint32_t minimumCount, uint32_t maximumCount,
                                   uint32_t) {
    MTCritSecHold hold(FactoryLock());
    if (maximumCount < minimumCount) {
        maximumCount = minimumCount;
    }
    if (maximumCount == 0 || !CanMakeBuffersOfSize(bufferSize)) {
        return false;
    }
    // Fails on a second Initialize, which then tops up the existing stock.
    InternalInit(bufferSize, maximumCount);
    // Heap exhaustion throws std::bad_alloc out of here; the buffers made so far stay in the stock.
    for (uint32_t created = 0; created < maximumCount; ++created) {
        auto* buffer = new HeapBuffer(bufferSize);
        bool added = false;
        try {
            added = AddBuffer(buffer);
        } catch (...) {
            buffer->DecRef(TARVOS_CALL_SITE);
            throw;
        }
        // A buffer the full stock refuses still counts as made, but nothing would ever release it.
        if (!added) {
            buffer->DecRef(TARVOS_CALL_SITE);
        }
    }
    // Every one of maximumCount >= minimumCount buffers was made.
    return true;
}

}  // namespace Tarvos
