#include "Cache/CacheBlockList.h"

#include <new>

#include "Cache/CacheBlock.h"
#include "CoreClasses/CallSite.h"
#include "CoreClasses/GuardedList.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/CacheTransaction.h"

namespace Tarvos {

namespace {

// Each walk callback is built on the stack for one call. The blocks hand the work that must wait for
// the list's lock to be left to `after`, which the caller runs once the walk is over.

class ReadIntoCallback final : public GuardedList::MatchCallback {
  public:
    ReadIntoCallback(CacheTransaction* transaction, CacheBlock::AfterUnlock& after)
        : transaction(transaction), after(after) {}
    bool Matches(GuardedListItem* item) override {
        auto* block = static_cast<CacheBlock*>(item);
        if (block == nullptr || transaction == nullptr) {
            return false;
        }
        if (!block->LockForReadInto(transaction, after)) {
            return false;
        }
        found = block;
        return true;
    }
    CacheTransaction* const transaction;
    CacheBlock* found = nullptr;

  private:
    CacheBlock::AfterUnlock& after;
};

class CopyOutOfCallback final : public GuardedList::MatchCallback {
  public:
    CopyOutOfCallback(CacheTransaction* transaction, CacheBlock::AfterUnlock& after)
        : transaction(transaction), after(after) {}
    bool Matches(GuardedListItem* item) override {
        auto* block = static_cast<CacheBlock*>(item);
        if (block == nullptr || transaction == nullptr) {
            return false;
        }
        if (!block->LockForCopyOutOf(transaction, &waiting, after)) {
            return false;
        }
        found = block;
        return true;
    }
    CacheTransaction* const transaction;
    CacheBlock* found = nullptr;
    bool waiting = false;

  private:
    CacheBlock::AfterUnlock& after;
};

class PurgeCallback final : public GuardedList::MatchCallback {
  public:
    PurgeCallback(CacheSource* source, bool hasRange, uint64_t offset, uint32_t size,
                  CacheBlock::AfterUnlock& after)
        : source(source), hasRange(hasRange), offset(offset), size(size), after(after) {}
    bool Matches(GuardedListItem* item) override {
        auto* block = static_cast<CacheBlock*>(item);
        if (block == nullptr || source == nullptr) {
            return false;
        }
        if (hasRange) {
            // The block clips the range it is given; every block gets the caller's range.
            uint64_t blockOffset = offset;
            uint32_t blockSize = size;
            block->Invalidate(source, blockOffset, blockSize, after);
        } else {
            block->Purge(source, after);
        }
        return false;
    }

  private:
    CacheSource* const source;
    const bool hasRange;
    const uint64_t offset;
    const uint32_t size;
    CacheBlock::AfterUnlock& after;
};

class CancelCallback final : public GuardedList::MatchCallback {
  public:
    CancelCallback(CacheSource* source, CacheBlock::AfterUnlock& after) : source(source), after(after) {}
    bool Matches(GuardedListItem* item) override {
        auto* block = static_cast<CacheBlock*>(item);
        if (block != nullptr && source != nullptr) {
            block->CancelIfFromSource(source, nullptr, after);
        }
        return false;
    }

  private:
    CacheSource* const source;
    CacheBlock::AfterUnlock& after;
};

class DumpCallback final : public GuardedList::MatchCallback {
  public:
    bool Matches(GuardedListItem* item) override {
        if (item != nullptr) {
            static_cast<CacheBlock*>(item)->Dump();
        }
        return false;
    }
};

class CountFreeCallback final : public GuardedList::MatchCallback {
  public:
    bool Matches(GuardedListItem* item) override {
        if (item != nullptr && static_cast<CacheBlock*>(item)->GetLockCount() == 0) {
            ++count;
        }
        return false;
    }
    uint32_t count = 0;
};

class CollectCallback final : public GuardedList::MatchCallback {
  public:
    bool Matches(GuardedListItem* item) override {
        order.push_back(static_cast<CacheBlock*>(item));
        return false;
    }
    std::vector<CacheBlock*> order;
};

}  // namespace

CacheBlockList::CacheBlockList(Cache* cache, BufferFactory* factory)
    : cache(cache), blocks(nullptr), factory(factory), blockSize(0), blockCount(0) {
    if (factory == nullptr) {
        return;
    }
    factory->AddRef(TARVOS_CALL_SITE);
    blockSize = factory->GetBufferSize();
    if (factory->GetNumberOfBuffersFree() == 0) {
        return;
    }
    try {
        blocks = new GuardedList(true, true);
    } catch (const std::bad_alloc&) {
        return;
    }
    // A buffer that cannot become a block goes straight back, and building stops there: the factory
    // would hand the same buffer out again next.
    for (Buffer* buffer = factory->GetBufferFromFactory(); buffer != nullptr;
         buffer = factory->GetBufferFromFactory()) {
        CacheBlock* block = nullptr;
        try {
            block = new CacheBlock(cache, buffer);
            blocks->AddInOrder(block);
        } catch (const std::bad_alloc&) {
            delete block;
            factory->ReturnBufferToFactory(buffer);
            break;
        }
        ++blockCount;
    }
    if (blockCount == 0) {
        delete blocks;
        blocks = nullptr;
    }
}

CacheBlockList::~CacheBlockList() {
    if (blocks != nullptr) {
        for (GuardedListItem* item = blocks->GetAndRemoveFront(); item != nullptr;
             item = blocks->GetAndRemoveFront()) {
            auto* block = static_cast<CacheBlock*>(item);
            Buffer* buffer = block->ReleaseBuffer();
            if (buffer != nullptr && factory != nullptr) {
                factory->ReturnBufferToFactory(buffer);
            }
            delete block;
        }
        delete blocks;
    }
    if (factory != nullptr) {
        factory->DecRef(TARVOS_CALL_SITE);
    }
}

uint32_t CacheBlockList::GetBlockSize() {
    return blockSize;
}

CacheBlock* CacheBlockList::GetBlockToCopyOutOf(CacheTransaction* t, bool* waiting) {
    if (waiting != nullptr) {
        *waiting = false;
    }
    if (blocks == nullptr || t == nullptr) {
        return nullptr;
    }
    CacheBlock::AfterUnlock after;
    CopyOutOfCallback callback(t, after);
    blocks->IterateUntil(&callback);
    if (waiting != nullptr) {
        *waiting = callback.found != nullptr && callback.waiting;
    }
    after.Run();
    return callback.found;
}

CacheBlock* CacheBlockList::GetBlockToReadInto(CacheTransaction* t) {
    if (blocks == nullptr || t == nullptr) {
        return nullptr;
    }
    CacheBlock::AfterUnlock after;
    ReadIntoCallback callback(t, after);
    blocks->IterateUntil(&callback);
    after.Run();
    return callback.found;
}

void CacheBlockList::Purge(CacheSource* source) {
    if (blocks == nullptr || source == nullptr) {
        return;
    }
    CacheBlock::AfterUnlock after;
    PurgeCallback callback(source, false, 0, 0, after);
    blocks->IterateUntil(&callback);
    blocks->Sort();
    after.DropMoves();
    after.Run();
}

void CacheBlockList::Invalidate(CacheSource* source, uint64_t offset, uint32_t size) {
    if (blocks == nullptr || source == nullptr) {
        return;
    }
    CacheBlock::AfterUnlock after;
    PurgeCallback callback(source, true, offset, size, after);
    blocks->IterateUntil(&callback);
    blocks->Sort();
    after.DropMoves();
    after.Run();
}

void CacheBlockList::Cancel(CacheSource* source) {
    if (blocks == nullptr || source == nullptr) {
        return;
    }
    CacheBlock::AfterUnlock after;
    CancelCallback callback(source, after);
    blocks->IterateUntil(&callback);
    blocks->Sort();
    after.DropMoves();
    after.Run();
}

void CacheBlockList::Dump() {
    if (blocks == nullptr) {
        return;
    }
    DumpCallback callback;
    blocks->IterateUntil(&callback);
}

uint32_t CacheBlockList::GetNumberOfFreeBlocks() {
    if (blocks == nullptr) {
        return 0;
    }
    CountFreeCallback callback;
    blocks->IterateUntil(&callback);
    return callback.count;
}

std::vector<CacheBlock*> CacheBlockList::GetBlocksInOrder() {
    CollectCallback callback;
    if (blocks != nullptr) {
        blocks->IterateUntil(&callback);
    }
    return callback.order;
}

}  // namespace Tarvos
