// Structures and their invariants, all under `lock`:
//
//   all         every block, in the order the factory handed out their buffers; owned
//   index       (source key, block offset) -> block, for every block whose source key is not 0 (a block
//               being read included, so later transactions queue on it); one entry per key
//   freeBlocks  (stamp, sequence) -> block, for every block whose lock count is 0; the first entry is
//               the next block to reuse. A block takes a new sequence number whenever its stamp
//               changes, so equal stamps keep the order in which the blocks took them
//
// The blocks keep the three up to date themselves (CacheBlock::LockBlock, UnlockBlock, StampFreedBlock,
// SetIdentity, Forget), with this lock held, as their lock count, stamp or identity changes.
#include "Cache/CacheBlockList.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "Cache/CacheBlock.h"
#include "CoreClasses/CallSite.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

// A read served on the caller's thread spans at most this many blocks; a longer one goes the queued
// way (it costs more than a hand-off anyway).
constexpr uint32_t kMostBlocksServedInPlace = 64;

MTCritSec* NewListLock() {
    MTCritSec* section = MTInterface::NewCritSec();
    if (section == nullptr) {
        throw std::bad_alloc();
    }
    return section;
}

// Copies size bytes from data into the caller's buffer (or list) at `position`; false when a
// destination buffer refuses.
bool CopyToCaller(const void* data, uint32_t size, uint32_t position, Buffer* buffer, BufferList* list) {
    auto* bytes = static_cast<uint8_t*>(const_cast<void*>(data));
    if (buffer != nullptr) {
        uint32_t moved = 0;
        return buffer->CopyInto(bytes, size, position, &moved) == Buffer::kBufferResultSuccess &&
               moved == size;
    }
    uint32_t copied = 0;
    while (copied < size) {
        uint32_t offsetInBuffer = 0;
        uint32_t left = 0;
        Buffer* target = list->GetBufferAtOffset(position + copied, &offsetInBuffer, &left);
        if (target == nullptr || left == 0) {
            return false;
        }
        uint32_t n = std::min(left, size - copied);
        if (target->CopyInto(bytes + copied, n, offsetInBuffer, &n) != Buffer::kBufferResultSuccess ||
            n == 0) {
            return false;
        }
        copied += n;
    }
    return true;
}

}  // namespace

CacheBlockList::CacheBlockList(Cache* cache, BufferFactory* factory)
    : cache(cache),
      lock(NewListLock()),
      factory(factory),
      blockSize(factory != nullptr ? factory->GetBufferSize() : 0),
      index(0, BlockKeyHash(blockSize)) {
    if (factory == nullptr) {
        return;
    }
    factory->AddRef(TARVOS_CALL_SITE);
    const uint32_t available = factory->GetNumberOfBuffersFree();
    if (available == 0) {
        return;
    }
    MTCritSecHold hold(lock.get());
    // A buffer that cannot become a block goes straight back, and building stops there: the factory
    // would hand the same buffer out again next.
    try {
        all.reserve(available);
        index.reserve(available);
    } catch (const std::bad_alloc&) {
    }
    for (Buffer* buffer = factory->GetBufferFromFactory(); buffer != nullptr;
         buffer = factory->GetBufferFromFactory()) {
        CacheBlock* block = nullptr;
        try {
            block = new CacheBlock(cache, buffer, this);
            all.push_back(block);
            block->orderSequence = ++sequence;
            AddToFreeSet(block, freeBlocks.end());
        } catch (const std::bad_alloc&) {
            if (!all.empty() && all.back() == block) {
                all.pop_back();
            }
            delete block;
            factory->ReturnBufferToFactory(buffer);
            break;
        }
    }
}

CacheBlockList::~CacheBlockList() {
    {
        MTCritSecHold hold(lock.get());
        freeBlocks.clear();
        index.clear();
        shortBlocks.clear();
    }
    for (CacheBlock* block : all) {
        Buffer* buffer = block->ReleaseBuffer();
        if (buffer != nullptr && factory != nullptr) {
            factory->ReturnBufferToFactory(buffer);
        }
        delete block;
    }
    all.clear();
    if (factory != nullptr) {
        factory->DecRef(TARVOS_CALL_SITE);
    }
}

uint32_t CacheBlockList::GetBlockSize() {
    return blockSize;
}

uint64_t CacheBlockList::AlignDown(uint64_t offset) const {
    return blockSize < 2 ? offset : offset - offset % blockSize;
}

CacheBlock* CacheBlockList::Find(uint32_t sourceKey, uint64_t blockOffset) {
    const auto found = index.find(BlockKey{sourceKey, blockOffset});
    return found == index.end() ? nullptr : found->second;
}

void CacheBlockList::AddToFreeSet(CacheBlock* block, FreeSet::const_iterator hint) {
    block->freePosition =
        freeBlocks.emplace_hint(hint, OrderKey{block->orderStamp, block->orderSequence}, block);
    block->inFreeSet = true;
}

// Each block keeps the position of its entry in freeBlocks, so taking it out costs no search, and a
// block that takes the latest stamp goes last without one: a hit on a large cache then searches the
// tree once (putting the held block back under its old key) instead of three times.
void CacheBlockList::BlockHeld(CacheBlock* block) {
    if (block->inFreeSet) {
        freeBlocks.erase(block->freePosition);
        block->inFreeSet = false;
    }
}

void CacheBlockList::BlockFreed(CacheBlock* block) {
    if (!block->inFreeSet && block->buffer != nullptr) {
        AddToFreeSet(block, freeBlocks.end());
    }
}

void CacheBlockList::BlockRestamped(CacheBlock* block) {
    // Behind every block of equal stamp, as a block that just took its stamp.
    const bool wasFree = block->inFreeSet;
    if (wasFree) {
        freeBlocks.erase(block->freePosition);
        block->inFreeSet = false;
    }
    block->orderStamp = block->stamp.load(std::memory_order_relaxed);
    block->orderSequence = ++sequence;
    if (wasFree) {
        // A fresh stamp is usually the latest, and the sequence number is: then the hint is right.
        AddToFreeSet(block, freeBlocks.end());
    }
}

void CacheBlockList::BlockIdentityChanged(CacheBlock* block, uint32_t oldKey, uint64_t oldOffset) {
    if (oldKey != 0) {
        const auto found = index.find(BlockKey{oldKey, oldOffset});
        if (found != index.end() && found->second == block) {
            index.erase(found);
        }
    }
    if (block->sourceKey != 0) {
        index[BlockKey{block->sourceKey, block->blockOffset}] = block;
    }
}

void CacheBlockList::BlockExtentChanged(CacheBlock* block) {
    const bool isShort =
        block->sourceKey != 0 && block->currentRead == nullptr && block->validSize < blockSize;
    if (isShort == block->inShortSet) {
        return;
    }
    if (isShort) {
        shortBlocks.insert(block);
    } else {
        shortBlocks.erase(block);
    }
    block->inShortSet = isShort;
}

bool CacheBlockList::TakeWakeRequest() {
    const bool wanted = blockWanted;
    blockWanted = false;
    return wanted;
}

CacheBlock* CacheBlockList::GetBlockToCopyOutOf(CacheTransaction* t, bool* waiting) {
    if (waiting != nullptr) {
        *waiting = false;
    }
    if (t == nullptr || all.empty()) {
        return nullptr;
    }
    CacheSource* source = t->GetSource();
    if (source == nullptr || t->GetSize() == 0 || blockSize == 0) {
        return nullptr;
    }
    CacheBlock::AfterUnlock after;
    CacheBlock* found = nullptr;
    {
        MTCritSecHold hold(lock.get());
        const uint32_t key = source->GetSourceKey();
        const uint64_t end = t->GetOffset() + t->GetSize();
        for (uint64_t offset = AlignDown(t->GetOffset()); offset < end && found == nullptr;
             offset += blockSize) {
            CacheBlock* block = Find(key, offset);
            bool blockWaiting = false;
            if (block != nullptr && block->LockForCopyOutOf(t, &blockWaiting, after)) {
                found = block;
                if (waiting != nullptr) {
                    *waiting = blockWaiting;
                }
            }
        }
    }
    after.Run();
    return found;
}

void CacheBlockList::GetBlocksToCopyOutOf(CacheTransaction* t, std::vector<Hit>& hits) {
    if (t == nullptr || all.empty() || blockSize == 0) {
        return;
    }
    CacheSource* source = t->GetSource();
    if (source == nullptr || t->GetSize() == 0) {
        return;
    }
    CacheBlock::AfterUnlock after;
    {
        MTCritSecHold hold(lock.get());
        const uint32_t key = source->GetSourceKey();
        if (key == 0 || index.empty()) {
            return;
        }
        const uint64_t end = t->GetOffset() + t->GetSize();
        for (uint64_t offset = AlignDown(t->GetOffset()); offset < end; offset += blockSize) {
            CacheBlock* block = Find(key, offset);
            bool waiting = false;
            if (block != nullptr && block->LockForCopyOutOf(t, &waiting, after)) {
                hits.push_back({block, waiting});
            }
        }
    }
    after.Run();
}

CacheBlock* CacheBlockList::GetBlockToReadInto(CacheTransaction* t, uint32_t* retryAfterMs) {
    uint32_t retryAfter = MTSemaphore::kInfinite;
    if (retryAfterMs != nullptr) {
        *retryAfterMs = retryAfter;
    }
    if (t == nullptr || all.empty()) {
        return nullptr;
    }
    CacheBlock::AfterUnlock after;
    CacheBlock* found = nullptr;
    {
        MTCritSecHold hold(lock.get());
        const bool preRead = t->IsPreReadTransaction();
        for (auto it = freeBlocks.begin(); it != freeBlocks.end();) {
            CacheBlock* block = it->second;
            ++it;  // the claim takes the block out of the set
            if (preRead && !block->HasStampPassed()) {
                // The stamps only grow from here on: no later block has passed either.
                const uint32_t wait = block->GetSortKey() - MTInterface::GetCurrentTimeMilli();
                retryAfter = std::min(retryAfter, std::max<uint32_t>(wait, 1));
                break;
            }
            if (block->LockForReadInto(t, after)) {
                found = block;
                break;
            }
            // Refused: either the transaction has nothing left to claim, or this block's memory is
            // still locked by an earlier read (rare); the next block is tried only in that case.
            if (block->buffer == nullptr || block->buffer->GetLockState() != Buffer::kLockStateLocked) {
                break;
            }
            retryAfter = 1;
        }
        if (found == nullptr) {
            blockWanted = true;
        }
    }
    if (retryAfterMs != nullptr && found == nullptr) {
        *retryAfterMs = retryAfter;
    }
    after.Run();
    return found;
}

bool CacheBlockList::CopyOutIfHeld(CacheSource* source, uint64_t offset, uint32_t size, Buffer* buffer,
                                   BufferList* list, uint32_t* blocks) {
    if (source == nullptr || size == 0 || blockSize == 0 || (buffer == nullptr && list == nullptr)) {
        return false;
    }
    const uint64_t end = offset + size;
    const uint64_t first = AlignDown(offset);
    const uint64_t count = (end - first + blockSize - 1) / blockSize;
    if (count > kMostBlocksServedInPlace) {
        return false;
    }
    CacheBlock* held[kMostBlocksServedInPlace];
    uint32_t heldCount = 0;
    bool complete = true;
    {
        MTCritSecHold hold(lock.get());
        const uint32_t key = source->GetSourceKey();
        if (key == 0 || index.empty()) {
            return false;
        }
        for (uint64_t blockOffset = first; blockOffset < end; blockOffset += blockSize) {
            CacheBlock* block = Find(key, blockOffset);
            const uint64_t pieceStart = std::max(offset, blockOffset);
            const uint64_t pieceEnd = std::min(end, blockOffset + blockSize);
            if (block == nullptr ||
                !block->HoldForCopy(pieceStart, static_cast<uint32_t>(pieceEnd - pieceStart))) {
                complete = false;
                break;
            }
            held[heldCount++] = block;
        }
    }
    // Each held block keeps its data, identity and buffer until it is released below.
    bool copied = complete;
    for (uint32_t i = 0; i < heldCount && copied; ++i) {
        const uint64_t blockOffset = first + uint64_t{i} * blockSize;
        const uint64_t pieceStart = std::max(offset, blockOffset);
        const uint64_t pieceEnd = std::min(end, blockOffset + blockSize);
        copied = CopyToCaller(held[i]->HeldData(pieceStart), static_cast<uint32_t>(pieceEnd - pieceStart),
                              static_cast<uint32_t>(pieceStart - offset), buffer, list);
    }
    CacheBlock::AfterUnlock after;
    {
        MTCritSecHold hold(lock.get());
        for (uint32_t i = 0; i < heldCount; ++i) {
            held[i]->ReleaseAfterCopy(copied, after);
        }
    }
    after.Run();
    if (blocks != nullptr) {
        *blocks = copied ? heldCount : 0;
    }
    return copied;
}

void CacheBlockList::Purge(CacheSource* source) {
    if (source == nullptr) {
        return;
    }
    CacheBlock::AfterUnlock after;
    MTCritSecHold hold(lock.get());
    for (CacheBlock* block : all) {
        block->Purge(source, after);
    }
}

void CacheBlockList::Invalidate(CacheSource* source, uint64_t offset, uint32_t size) {
    if (source == nullptr || blockSize == 0) {
        return;
    }
    CacheBlock::AfterUnlock after;
    MTCritSecHold hold(lock.get());
    const uint32_t key = source->GetSourceKey();
    if (key == 0 || index.empty()) {
        return;
    }
    const uint64_t first = AlignDown(offset);
    const uint64_t end = offset + size;
    if ((end - first) / blockSize > all.size()) {
        for (CacheBlock* block : all) {
            uint64_t blockOffset = offset;
            uint32_t blockSpan = size;
            block->Invalidate(source, blockOffset, blockSpan, after);
        }
        return;
    }
    // Blocks before the range that learned the file ends before it (CacheBlock::Invalidate decides).
    std::vector<CacheBlock*> shortOfSource;
    for (CacheBlock* block : shortBlocks) {
        if (block->sourceKey == key) {
            shortOfSource.push_back(block);
        }
    }
    for (CacheBlock* block : shortOfSource) {
        uint64_t clippedOffset = offset;
        uint32_t clippedSize = size;
        block->Invalidate(source, clippedOffset, clippedSize, after);
    }
    // A range of size 0 still meets the block it lies in.
    for (uint64_t blockOffset = first; blockOffset < end || blockOffset == first; blockOffset += blockSize) {
        CacheBlock* block = Find(key, blockOffset);
        if (block != nullptr) {
            uint64_t clippedOffset = offset;
            uint32_t clippedSize = size;
            block->Invalidate(source, clippedOffset, clippedSize, after);
        }
        if (end <= blockOffset + blockSize) {
            break;
        }
    }
}

void CacheBlockList::Cancel(CacheSource* source) {
    if (source == nullptr) {
        return;
    }
    CacheBlock::AfterUnlock after;
    MTCritSecHold hold(lock.get());
    for (CacheBlock* block : all) {
        block->CancelIfFromSource(source, nullptr, after);
    }
}

void CacheBlockList::Dump() {
    MTCritSecHold hold(lock.get());
    for (CacheBlock* block : all) {
        block->Dump();
    }
}

uint32_t CacheBlockList::GetNumberOfFreeBlocks() {
    MTCritSecHold hold(lock.get());
    return static_cast<uint32_t>(freeBlocks.size());
}

std::vector<CacheBlock*> CacheBlockList::GetBlocksInOrder() {
    MTCritSecHold hold(lock.get());
    std::vector<CacheBlock*> order(all);
    std::stable_sort(order.begin(), order.end(), [](CacheBlock* a, CacheBlock* b) {
        return a->orderStamp != b->orderStamp ? a->orderStamp < b->orderStamp
                                              : a->orderSequence < b->orderSequence;
    });
    return order;
}

}  // namespace Tarvos
