#include "Tarvos/NativeFileSource.h"

#include <cstring>

#include "Tarvos/Cache.h"

namespace Tarvos {

NativeFileSource::NativeFileSource(const char* path) : name(nullptr) {
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
