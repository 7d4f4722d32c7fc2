// Placeholder bodies for the cache operations that file sources call, so the library links until the
// cache front end is merged. Delete this file then.
#include "Tarvos/Cache.h"

namespace Tarvos {

// The destructor is the key function: defining it gives the type information that sanitised builds
// check calls through Cache* against.
Cache::~Cache() = default;

CacheSource::Result_t Cache::Read(CacheTransaction*) {
    return CacheSource::kResultInvalidArgument;
}
void Cache::PreRead(CacheSource*, uint64_t, uint32_t, uint32_t) {}
void Cache::Invalidate(CacheSource*, uint64_t, uint32_t) {}
void Cache::Cancel(CacheSource*) {}

}  // namespace Tarvos
