// Lock token states: null (unlocked) -> first buffer's address (after a successful LockAllBuffers) ->
// null (after the UnlockAllBuffers given that address). A failed LockAllBuffers leaves the token alone.
#include "Tarvos/BufferList.h"

#include <algorithm>

#include "CoreClasses/BufferArray.h"
#include "CoreClasses/CallSite.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/PhysMemInterface.h"

namespace Tarvos {

BufferList::BufferList(uint32_t initialCapacity)
    : array(new BufferArray(initialCapacity)), lockToken(nullptr), lockDepth(0), totalSize(0) {}

BufferList::BufferList(Buffer* buffer, bool adoptReference, uint32_t initialCapacity)
    : BufferList(initialCapacity) {
    AddBuffer(buffer, adoptReference);
}

BufferList::~BufferList() {
    delete array;
}

bool BufferList::AddBuffer(Buffer* buffer, bool adoptReference) {
    if (array == nullptr || buffer == nullptr || array->Contains(buffer)) {
        return false;
    }
    // Offsets into the list are 32-bit: a buffer that would take the total past that is refused.
    const uint64_t newTotal = uint64_t{GetTotalSizeOfBuffers()} + buffer->GetSize();
    if (newTotal > UINT32_MAX) {
        return false;
    }
    array->Append(buffer);
    totalSize = static_cast<uint32_t>(newTotal);
    if (!adoptReference) {
        buffer->AddRef(TARVOS_CALL_SITE);
    }
    return true;
}

uint32_t BufferList::GetNumberOfBuffers() {
    return array == nullptr ? 0 : array->Count();
}

Buffer* BufferList::GetBuffer(uint32_t index) {
    if (index >= GetNumberOfBuffers()) {
        return nullptr;
    }
    return array->At(index);
}

uint32_t BufferList::GetTotalSizeOfBuffers() {
    if (totalSize != 0) {
        return totalSize;
    }
    uint64_t sum = 0;
    for (uint32_t i = 0; i < GetNumberOfBuffers(); ++i) {
        sum += array->At(i)->GetSize();
    }
    // Only a buffer that grew after it was added could take the sum past 32 bits.
    totalSize = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
    return totalSize;
}

Buffer* BufferList::GetBufferAtOffset(uint32_t offset, uint32_t* offsetInBuffer,
                                      uint32_t* bytesLeftInBuffer) {
    if (offset >= GetTotalSizeOfBuffers()) {
        return nullptr;
    }
    uint64_t start = 0;
    for (uint32_t i = 0; i < GetNumberOfBuffers(); ++i) {
        Buffer* buffer = array->At(i);
        const uint64_t end = start + buffer->GetSize();
        if (offset >= start && offset < end) {
            if (offsetInBuffer != nullptr) {
                *offsetInBuffer = static_cast<uint32_t>(offset - start);
            }
            if (bytesLeftInBuffer != nullptr) {
                *bytesLeftInBuffer = static_cast<uint32_t>(end - offset);
            }
            return buffer;
        }
        start = end;
    }
    return nullptr;
}

void* BufferList::LockAllBuffers(bool countPages, uint32_t* numberOfPages, uint32_t* contiguousSize) {
    const auto report = [&](uint32_t pages, uint32_t contiguous) {
        if (contiguousSize != nullptr) {
            *contiguousSize = contiguous;
        }
        if (numberOfPages != nullptr) {
            *numberOfPages = pages;
        }
    };
    const uint32_t count = GetNumberOfBuffers();
    if (count == 0) {
        if (lockDepth.load() == 0) {
            lockToken = nullptr;
        }
        report(0, 0);
        return nullptr;
    }
    uint64_t pageSum = 0;
    bool contiguous = true;
    uint8_t* runStart = nullptr;
    uint8_t* runEnd = nullptr;
    uint64_t runSize = 0;
    for (uint32_t i = 0; i < count; ++i) {
        Buffer* buffer = array->At(i);
        bool usable = buffer->Lock() == Buffer::kLockStateLocked;
        auto* address = static_cast<uint8_t*>(usable ? buffer->GetVirtualAddress() : nullptr);
        const uint32_t size = usable ? buffer->GetSize() : 0;
        usable = usable && address != nullptr && size != 0;
        if (usable && countPages) {
            const uint32_t pages = PhysMemInterface::GetNumberOfValidPagesForBuffer(address, size);
            usable = pages != 0;
            pageSum += pages;
        }
        if (!usable) {
            // Every buffer up to and including this one had Lock() called; undo them in list order.
            for (uint32_t j = 0; j <= i; ++j) {
                array->At(j)->Unlock();
            }
            report(0, 0);
            return nullptr;
        }
        if (contiguous) {
            if (i == 0) {
                runStart = address;
                runEnd = address + size;
                runSize = size;
            } else if (address == runEnd) {
                runEnd += size;
                runSize += size;
            } else {
                contiguous = false;
                runSize = 0;
            }
        }
    }
    // Both sums are bounded by the total size, which AddBuffer keeps within 32 bits.
    report(static_cast<uint32_t>(std::min<uint64_t>(pageSum, UINT32_MAX)),
           static_cast<uint32_t>(std::min<uint64_t>(runSize, UINT32_MAX)));
    // The token is the first buffer's address, the same for every lock of this list, so it is left in
    // place when the last lock is undone: clearing it could race with a new lock storing it again.
    lockDepth.fetch_add(1);
    lockToken = runStart;
    return runStart;
}

void BufferList::UnlockAllBuffers(void* token) {
    if (token == nullptr || token != lockToken.load()) {
        return;
    }
    uint32_t depth = lockDepth.load();
    do {
        if (depth == 0) {
            return;  // every lock was already undone
        }
    } while (!lockDepth.compare_exchange_weak(depth, depth - 1));
    for (uint32_t i = GetNumberOfBuffers(); i > 0; --i) {
        array->At(i - 1)->Unlock();
    }
}

}  // namespace Tarvos
