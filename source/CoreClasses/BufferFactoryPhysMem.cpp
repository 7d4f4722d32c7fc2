// Initialize asks PhysMemInterface for all wanted buffers in one chunk and, while that fails, for one
// buffer less each time; every chunk it gets is locked for good, put in the chunk list and cut into
// windows (BufferPartOfBuffer), each holding a reference on its chunk. It stops once fewer than the
// minimum are still wanted, so a minimum equal to the maximum needs a single chunk. A failed run undoes
// exactly what it made, leaving any stock of an earlier Initialize alone.
#include <algorithm>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/PhysMemInterface.h"
#include "Tarvos/SharedObjectList.h"

namespace Tarvos {

BufferFactoryPhysMem::BufferFactoryPhysMem() : chunkList(new SharedObjectList()) {}

BufferFactoryPhysMem::~BufferFactoryPhysMem() {
    // The windows still in the stock keep their chunks alive until the base destructor purges them.
    chunkList->DecRef(TARVOS_CALL_SITE);
}

void BufferFactoryPhysMem::Purge() {
    MTCritSecHold hold(FactoryLock());
    BufferFactoryCommon::Purge();
    chunkList->RemoveAll();
}

bool BufferFactoryPhysMem::Initialize(uint32_t bufferSize, uint32_t minimumCount, uint32_t maximumCount,
                                      uint32_t) {
    MTCritSecHold hold(FactoryLock());
    if (maximumCount < minimumCount) {
        maximumCount = minimumCount;
    }
    // A chunk's size is 32-bit: a stock whose single-chunk size would not fit is refused outright
    // rather than asked for with a wrapped size.
    const uint64_t wholeStock = uint64_t{bufferSize} * maximumCount;
    if (!CanMakeBuffersOfSize(bufferSize) || wholeStock > UINT32_MAX) {
        return false;
    }
    // Fails on a second Initialize, which then tops up the existing stock.
    InternalInit(bufferSize, maximumCount);

    std::vector<Buffer*> windowsMade;  // this run's windows, each in the free stock
    std::vector<Buffer*> chunksMade;   // this run's chunks, each in the chunk list
    const auto undo = [&] {
        for (Buffer* window : windowsMade) {
            WithdrawBuffer(window);
        }
        for (Buffer* chunk : chunksMade) {
            chunkList->Remove(chunk);
        }
    };

    uint32_t wanted = maximumCount;
    uint32_t request = static_cast<uint32_t>(wholeStock);
    bool refused = false;
    try {
        while (request > 0 && wanted >= minimumCount && !refused) {
            chunksMade.reserve(chunksMade.size() + 1);
            Buffer* chunk = PhysMemInterface::Allocate(request);
            if (chunk == nullptr) {
                request -= bufferSize;
                continue;
            }
            if (chunk->Lock() != Buffer::kLockStateLocked) {
                chunk->DecRef(TARVOS_CALL_SITE);
                request -= bufferSize;
                continue;
            }
            const uint32_t count = std::min(chunk->GetSize() / bufferSize, wanted);
            if (count == 0) {
                chunk->Unlock();
                chunk->DecRef(TARVOS_CALL_SITE);
                request -= bufferSize;
                continue;
            }
            try {
                windowsMade.reserve(windowsMade.size() + count);
                chunkList->AddToFront(chunk);
            } catch (...) {
                chunk->DecRef(TARVOS_CALL_SITE);
                throw;
            }
            chunksMade.push_back(chunk);
            // From here the chunk list holds the chunk.
            chunk->DecRef(TARVOS_CALL_SITE);

            auto* base = static_cast<uint8_t*>(chunk->GetVirtualAddress());
            for (uint32_t i = 0; i < count; ++i) {
                auto* window = new BufferPartOfBuffer(base + size_t{i} * bufferSize, bufferSize, chunk);
                bool added = false;
                try {
                    added = AddBuffer(window);
                } catch (...) {
                    window->DecRef(TARVOS_CALL_SITE);
                    throw;
                }
                if (!added) {
                    window->DecRef(TARVOS_CALL_SITE);
                    refused = true;
                    break;
                }
                windowsMade.push_back(window);
            }
            wanted -= count;
            request = bufferSize * wanted;
        }
    } catch (...) {
        undo();
        throw;
    }
    if (refused || GetNumberOfBuffersFree() < minimumCount) {
        undo();
        return false;
    }
    return true;
}

}  // namespace Tarvos
