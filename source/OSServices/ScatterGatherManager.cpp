// States: idle (list null, sizes 0) -> in use (StartUsingBufferList succeeded: list referenced and
// locked, arrays describe it) -> idle (StopUsingBufferList, a failed start, or destruction).
#include "OSServices/ScatterGatherManager.h"

#include "CoreClasses/CallSite.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/PhysMemInterface.h"

namespace Tarvos {

ScatterGatherManager::ScatterGatherManager()
    : list(nullptr), runCount(0), lockToken(nullptr), contiguousSize(0), totalSize(0) {}

ScatterGatherManager::~ScatterGatherManager() {
    StopUsingBufferList();
}

bool ScatterGatherManager::StartUsingBufferList(BufferList* newList, uint32_t maxRuns) {
    const uint32_t pageSize = PhysMemInterface::GetPageSize();
    if (newList == nullptr || list != nullptr || pageSize == 0) {
        return false;
    }
    uint32_t pages = 0;
    uint32_t contiguous = 0;
    void* token = newList->LockAllBuffers(true, &pages, &contiguous);
    if (token == nullptr) {
        return false;
    }
    list = newList;
    list->AddRef(TARVOS_CALL_SITE);
    lockToken = token;
    contiguousSize = contiguous;
    totalSize = 0;

    const uint32_t buffers = list->GetNumberOfBuffers();
    if (buffers == 0 || pages == 0) {
        Undo();
        return false;
    }
    try {
        if (segments.size() < uint64_t{pages} + 1) {
            segments.resize(uint64_t{pages} + 1);
        }
        uint32_t element = 0;
        runCount = 0;
        uint64_t sum = 0;
        for (uint32_t i = 0; i < buffers; ++i) {
            Buffer* buffer = list->GetBuffer(i);
            if (buffer == nullptr) {
                Undo();
                return false;
            }
            auto* address = static_cast<uint8_t*>(buffer->GetAddress());
            const uint32_t size = buffer->GetSize();
            const uint32_t valid = PhysMemInterface::GetNumberOfValidPagesForBuffer(address, size);
            if (valid == 0) {
                Undo();
                return false;
            }
            for (uint32_t j = 0; j < valid; ++j) {
                // The page count came from the virtual addresses; this bound keeps the array safe should
                // GetAddress ever disagree with them.
                if (element >= pages) {
                    Undo();
                    return false;
                }
                uint8_t* page = address + uint64_t{j} * pageSize;
                segments[element++] = reinterpret_cast<uintptr_t>(page);
                if (runCount > 0 &&
                    static_cast<uint8_t*>(runs[runCount - 1].base) + runs[runCount - 1].length == page) {
                    runs[runCount - 1].length += pageSize;
                    continue;
                }
                if (runCount >= maxRuns) {
                    Undo();
                    return false;
                }
                if (runs.size() <= runCount) {
                    runs.resize(runCount + 1 + runCount / 2);
                }
                runs[runCount].base = page;
                runs[runCount].length = pageSize;
                ++runCount;
            }
            segments[element] = 0;
            sum += size;
        }
        // The system is handed exactly the pages; they must add up to the list's bytes.
        if (sum > UINT32_MAX || uint64_t{element} * pageSize != sum) {
            Undo();
            return false;
        }
        totalSize = static_cast<uint32_t>(sum);
    } catch (...) {
        Undo();
        throw;
    }
    return true;
}

void ScatterGatherManager::Undo() {
    BufferList* used = list;
    void* token = lockToken;
    list = nullptr;
    lockToken = nullptr;
    contiguousSize = 0;
    totalSize = 0;
    runCount = 0;
    if (!segments.empty()) {
        segments[0] = 0;
    }
    if (used != nullptr) {
        used->UnlockAllBuffers(token);
        used->DecRef(TARVOS_CALL_SITE);
    }
}

bool ScatterGatherManager::StopUsingBufferList() {
    Undo();
    return true;
}

void* ScatterGatherManager::GetContiguousAddress(uint32_t* size) {
    if (size != nullptr) {
        *size = list != nullptr ? contiguousSize : 0;
    }
    return list != nullptr && contiguousSize != 0 ? lockToken : nullptr;
}

uint64_t* ScatterGatherManager::GetSegmentArray(uint32_t* size) {
    if (size != nullptr) {
        *size = list != nullptr ? totalSize : 0;
    }
    return list != nullptr ? segments.data() : nullptr;
}

const IORun* ScatterGatherManager::GetRunArray(uint32_t* count) {
    if (count != nullptr) {
        *count = list != nullptr ? runCount : 0;
    }
    return list != nullptr ? runs.data() : nullptr;
}

uint32_t ScatterGatherManager::GetTotalSize() {
    return totalSize;
}

}  // namespace Tarvos
