// Reaches into a cache for the library's own tests: its block counts, parked pre-reads and a dump of
// its blocks. One definition for every test program (the cache names this class its friend).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "Cache/CacheBlock.h"
#include "Cache/CacheBlockList.h"
#include "Cache/PreReadTransactionList.h"
#include "Cache/TransactionDispatcher.h"
#include "Tarvos/Cache.h"

namespace Tarvos {

class CacheTestAccess {
  public:
    static uint32_t FreeBlocks(Cache* cache) {
        return cache->blockList != nullptr ? cache->blockList->GetNumberOfFreeBlocks() : 0;
    }
    static uint32_t Blocks(Cache* cache) {
        return cache->blockList != nullptr ? cache->blockList->GetNumberOfBlocks() : 0;
    }
    static size_t ParkedPreReads(Cache* cache) {
        return cache->preReadList != nullptr ? cache->preReadList->GetNumberOfEntries() : 0;
    }
    // Keeps the transaction dispatcher from starting another command until ReleaseDispatcher.
    static void HoldDispatcher(Cache* cache) { cache->transactionDispatcher->Lock(); }
    static void ReleaseDispatcher(Cache* cache) { cache->transactionDispatcher->Unlock(); }
    // Transactions queued on the block holding (key, offset), the one reading into it included; 0
    // when no block holds that data.
    static uint32_t QueuedOn(Cache* cache, uint32_t key, uint64_t offset) {
        uint32_t queued = 0;
        for (CacheBlock* block : cache->blockList->GetBlocksInOrder()) {
            if (block->GetSourceKey() == key && block->GetBlockOffset() == offset) {
                queued += block->GetNumberOfPendingTransactions();
            }
        }
        return queued;
    }
    static void PrintBlocks(Cache* cache) {
        for (CacheBlock* block : cache->blockList->GetBlocksInOrder()) {
            std::fprintf(stderr,
                         "block key=%u off=%llu valid=%u locks=%d reading=%d result=%d pending=%u stamp=%u\n",
                         block->GetSourceKey(), (unsigned long long)block->GetBlockOffset(),
                         block->GetValidSize(), block->GetLockCount(), block->IsReading(),
                         block->GetReadResult(), block->GetNumberOfPendingTransactions(), block->GetStamp());
        }
    }
};

}  // namespace Tarvos
