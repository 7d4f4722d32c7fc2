// The cache's size, for callers that bound their own work by it.
#include "Cache/CacheBlockList.h"
#include "Tarvos/Cache.h"

namespace Tarvos {

uint32_t Cache::GetNumberOfBlocks() {
    return blockList != nullptr ? blockList->GetNumberOfBlocks() : 0;
}

}  // namespace Tarvos
