#include "Tarvos/NativeFileSource.h"

#include <cstring>

#include "Tarvos/Cache.h"

namespace Tarvos {

NativeFileSource::NativeFileSource(const char* path)
    : name(nullptr), errorSequence(0), lastError(0), lastErrorOffset(0), lastErrorWrite(false) {
    if (path != nullptr) {
        // Not virtual here: the subclass is not built yet, and a new source is closed anyway.
        NativeFileSource::SetName(path);
    }
}

NativeFileSource::~NativeFileSource() {
    delete[] name;
}

bool NativeFileSource::SetName(const char* newName) {
    if (newName == nullptr) {
        return false;
    }
    if (name != nullptr && (OpenedForRead() || OpenedForWrite())) {
        return false;
    }
    const size_t length = std::strlen(newName);
    char* copy = new char[length + 1];
    std::memcpy(copy, newName, length + 1);
    delete[] name;
    name = copy;
    return true;
}

const char* NativeFileSource::GetName() {
    return name;
}

int32_t NativeFileSource::GetLastOSError(uint64_t* offset, bool* wasWrite) const {
    int32_t error = 0;
    uint64_t where = 0;
    bool write = false;
    for (;;) {
        // Acquire: the values read below are at least those of the failure this sequence closed.
        const uint32_t before = errorSequence.load(std::memory_order_acquire);
        if ((before & 1) != 0) {
            continue;
        }
        // Acquire: a value stored by a later RecordOSError brings its odd sequence along, so the second
        // look below sees the sequence move and the read is retried.
        error = lastError.load(std::memory_order_acquire);
        where = lastErrorOffset.load(std::memory_order_acquire);
        write = lastErrorWrite.load(std::memory_order_acquire);
        if (errorSequence.load(std::memory_order_relaxed) == before) {
            break;
        }
    }
    if (offset != nullptr) {
        *offset = where;
    }
    if (wasWrite != nullptr) {
        *wasWrite = write;
    }
    return error;
}

void NativeFileSource::RecordOSError(int32_t error, uint64_t offset, bool wasWrite) {
    uint32_t sequence = errorSequence.load(std::memory_order_relaxed);
    // Acquire on taking the odd value keeps the stores below after it; one writer at a time.
    while ((sequence & 1) != 0 ||
           !errorSequence.compare_exchange_weak(sequence, sequence + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
        sequence = errorSequence.load(std::memory_order_relaxed);
    }
    // Release: a reader that sees any of these values also sees the odd sequence taken above.
    lastError.store(error, std::memory_order_release);
    lastErrorOffset.store(offset, std::memory_order_release);
    lastErrorWrite.store(wasWrite, std::memory_order_release);
    // Release: a reader that sees the even value sees the three stores.
    errorSequence.store(sequence + 2, std::memory_order_release);
}

void NativeFileSource::CancelAndForgetCachedData() {
    Cache* cache = GetCache();
    if (cache == nullptr) {
        FileSource::Cancel();
        return;
    }
    // Purge cancels the source's work first, cached and uncached.
    cache->Purge(this);
}

}  // namespace Tarvos
