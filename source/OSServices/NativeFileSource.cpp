#include "Tarvos/NativeFileSource.h"

#include <cstring>

#include "OSServices/FileIdentityRegistry.h"
#include "Tarvos/Cache.h"

namespace Tarvos {

NativeFileSource::NativeFileSource(const char* path)
    : name(nullptr),
      errorSequence(0),
      lastError(0),
      lastErrorOffset(0),
      lastErrorWrite(false),
      fileKey(kInvalidKey),
      fileVolume(0),
      fileNumber(0) {
    if (path != nullptr) {
        // Not virtual here: the subclass is not built yet, and a new source is closed anyway.
        NativeFileSource::SetName(path);
    }
}

NativeFileSource::~NativeFileSource() {
    // The platform destructor has closed the file and left it already; this only guards the registry.
    LeaveFile();
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
    if (fileKey.load(std::memory_order_relaxed) == kInvalidKey) {
        if (cache == nullptr) {
            FileSource::Cancel();
        } else {
            // Purge cancels the source's work first, cached and uncached.
            cache->Purge(this);
        }
        return;
    }
    // Only this source's work: the blocks carry the file's key and other sources may wait on them.
    FileSource::Cancel();
    if (!FileIdentityRegistry::Leave({fileVolume, fileNumber})) {
        // Another source still has the file open: the blocks stay right for it, and it forgets them
        // when it closes last.
        fileKey.store(kInvalidKey, std::memory_order_release);
        return;
    }
    // The last source of the file: its key is retired, so a source opening the file from now on gets
    // a new one and never meets these blocks. They are forgotten under the old key, still this
    // source's until the store below.
    if (cache != nullptr) {
        cache->Purge(this);
    }
    fileKey.store(kInvalidKey, std::memory_order_release);
}

bool NativeFileSource::JoinFile(uint64_t volume, uint64_t file) {
    if (fileKey.load(std::memory_order_relaxed) != kInvalidKey) {
        return false;
    }
    const uint32_t key = FileIdentityRegistry::Join({volume, file});
    if (key == kInvalidKey) {
        return false;
    }
    fileVolume = volume;
    fileNumber = file;
    // Release, with the acquire of GetSourceKey: a thread that sees the key sees the open file too.
    fileKey.store(key, std::memory_order_release);
    return true;
}

bool NativeFileSource::LeaveFile() {
    if (fileKey.load(std::memory_order_relaxed) == kInvalidKey) {
        return false;
    }
    const bool last = FileIdentityRegistry::Leave({fileVolume, fileNumber});
    fileKey.store(kInvalidKey, std::memory_order_release);
    return last;
}

uint32_t NativeFileSource::GetSourceKey() {
    // Acquire: pairs with the stores of JoinFile and Close; the key changes only while the source has
    // nothing in the cache.
    const uint32_t key = fileKey.load(std::memory_order_acquire);
    return key != kInvalidKey ? key : FileSource::GetSourceKey();
}

}  // namespace Tarvos
