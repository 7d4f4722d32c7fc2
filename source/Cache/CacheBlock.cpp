// States of a block:
//
//   State         Recognised by                              Entered by               Left by
//   Empty         sourceKey 0, validSize 0                   construction; Purge or   a claim
//   (LockForReadInto)
//                                                            Invalidate (stamp 0)
//   Reading       currentRead set, readResult none,          LockForReadInto          CompleteReadInto
//                 validSize = blockSize, held twice or more
//   Filled, held  currentRead null, lockCount above 0        CompleteReadInto while   the last release
//                                                            others wait; LockFor-
//                                                            CopyOutOf
//   Filled, free  sourceKey set, lockCount 0                 the last release (new    LockForCopyOutOf (same
//                                                            stamp, new place)        data) or a claim
//                                                            (reuse)
//
// Every queued transaction and every read in progress holds one count of lockCount; the buffer is
// locked exactly while the count is above 0. Each queue entry ends with exactly one release of its hold
// and one drop of its reference, whatever path ends it (served, cancelled, destroyed).
//
// Stamps: a block that served a read takes the time of that use (how urgent the read was does not decide
// how long its data is kept). A block a pre-read filled keeps, until a read uses it, the pre-read's due
// time (or its arrival, when later) plus kUnreadPreReadGraceMs: pre-reads only take blocks whose stamp
// has passed, so a read-ahead window never evicts its own unread data. The stamp only moves forward,
// except that one lying more than an hour ahead of the time offered (a far due time, or the 32-bit
// millisecond clock wrapping) is pulled back to it, and a use of unread pre-read data pulls it back to
// the time of the use.
//
// Outcomes for a served entry, by the read's result:
//   success / partial / end of file  the entry's range starting at or past the valid data's end is
//                                    completed with end of file; otherwise the block's valid data is
//                                    copied, completed as success when the range lies wholly in it and
//                                    with the read's result when the data ends inside the range
//   anything else                    the transaction is finished with that failure, nothing copied
// A transaction already finished gets no copy; one whose destination buffer is locked fails.
#include "Cache/CacheBlock.h"

#include <cstring>
#include <new>
#include <utility>

#include "Cache/CacheBlockList.h"

#include "CoreClasses/CallSite.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/Cache.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

constexpr uint32_t kOneHourMilli = 3600000;

MTCritSec* NewBlockLock() {
    MTCritSec* section = MTInterface::NewCritSec();
    if (section == nullptr) {
        throw std::bad_alloc();
    }
    return section;
}

bool CarriesData(CacheSource::Result_t result) {
    return result == CacheSource::kResultSuccess || result == CacheSource::kResultPartial ||
           result == CacheSource::kResultEndOfFile;
}

}  // namespace

CacheBlock::AfterUnlock::~AfterUnlock() {
    Run();
}

void CacheBlock::AfterUnlock::Run() {
    // Taken out first: a status callback may start work that hands this set more.
    std::vector<CacheBlock*> toMove = std::move(moved);
    std::vector<Finish> toFinish = std::move(finishes);
    std::vector<CacheTransaction*> toRelease = std::move(releases);
    std::vector<Cache*> toWake = std::move(wakes);
    std::vector<Requeue> toRequeue = std::move(requeues);
    moved.clear();
    finishes.clear();
    releases.clear();
    wakes.clear();
    requeues.clear();
    for (CacheBlock* block : toMove) {
        block->Reposition();
    }
    for (const Finish& finish : toFinish) {
        if (finish.setResult) {
            finish.transaction->SetResult(finish.result);
        } else {
            finish.transaction->Complete(finish.offset, finish.size, finish.result);
        }
    }
    for (const Requeue& requeue : toRequeue) {
        requeue.cache->Read(requeue.transaction);
        requeue.transaction->DecRef(TARVOS_CALL_SITE);
    }
    for (CacheTransaction* transaction : toRelease) {
        transaction->DecRef(TARVOS_CALL_SITE);
    }
    for (Cache* cache : toWake) {
        cache->NotifySomethingChanged();
    }
}

CacheBlock::CacheBlock(Cache* cache, Buffer* buffer, CacheBlockList* list)
    : lock(list != nullptr ? list->lock.get() : NewBlockLock()),
      cache(cache),
      list(list),
      ownsLock(list == nullptr),
      buffer(buffer),
      blockSize(buffer != nullptr ? buffer->GetSize() : 0) {
    if (buffer != nullptr) {
        buffer->AddRef(TARVOS_CALL_SITE);
    }
}

CacheBlock::~CacheBlock() {
    Buffer* held = nullptr;
    {
        AfterUnlock after;
        {
            MTCritSecHold hold(lock);
            for (const Entry& entry : pending) {
                after.finishes.push_back({entry.transaction, true, 0, 0, CacheSource::kResultCancelled});
                after.releases.push_back(entry.transaction);
            }
            pending.clear();
            if (currentRead != nullptr) {
                after.releases.push_back(currentRead);
                currentRead = nullptr;
            }
            lockCount = 0;
            if (data != nullptr && buffer != nullptr) {
                buffer->Unlock();
            }
            data = nullptr;
            held = buffer;
            buffer = nullptr;
        }
    }
    if (held != nullptr) {
        held->DecRef(TARVOS_CALL_SITE);
    }
    if (ownsLock) {
        delete lock;
    }
}

uint64_t CacheBlock::GetSortKey() {
    // Relaxed: the list only needs some recent value; it is asked again whenever the block moves.
    return stamp.load(std::memory_order_relaxed);
}

Buffer* CacheBlock::ReleaseBuffer() {
    Buffer* released = nullptr;
    {
        MTCritSecHold hold(lock);
        released = buffer;
        if (data != nullptr && buffer != nullptr) {
            buffer->Unlock();
        }
        data = nullptr;
        buffer = nullptr;
    }
    if (released != nullptr) {
        released->DecRef(TARVOS_CALL_SITE);
    }
    return released;
}

Buffer* CacheBlock::GetBuffer() {
    MTCritSecHold hold(lock);
    return buffer;
}

uint64_t CacheBlock::GetBlockOffset() {
    MTCritSecHold hold(lock);
    return blockOffset;
}

uint32_t CacheBlock::GetValidSize() {
    MTCritSecHold hold(lock);
    return validSize;
}

int32_t CacheBlock::GetLockCount() {
    MTCritSecHold hold(lock);
    return lockCount;
}

uint32_t CacheBlock::GetStamp() {
    MTCritSecHold hold(lock);
    return stamp.load(std::memory_order_relaxed);
}

uint32_t CacheBlock::GetSourceKey() {
    MTCritSecHold hold(lock);
    return sourceKey;
}

CacheSource::Result_t CacheBlock::GetReadResult() {
    MTCritSecHold hold(lock);
    return readResult;
}

bool CacheBlock::IsReading() {
    MTCritSecHold hold(lock);
    return currentRead != nullptr;
}

uint32_t CacheBlock::GetNumberOfPendingTransactions() {
    MTCritSecHold hold(lock);
    return static_cast<uint32_t>(pending.size());
}

void CacheBlock::LockBlock(const char* /*reason*/) {
    ++lockCount;
    if (lockCount == 1 && buffer != nullptr) {
        buffer->Lock();
        data = buffer->GetAddress();
        if (list != nullptr) {
            list->BlockHeld(this);
        }
    }
}

bool CacheBlock::UnlockBlock(const char* /*reason*/) {
    // Never below 0: a count gone wrong must not leave the buffer locked for good.
    if (lockCount > 0) {
        --lockCount;
        if (lockCount == 0 && data != nullptr && buffer != nullptr) {
            buffer->Unlock();
            data = nullptr;
        }
        if (lockCount == 0 && list != nullptr) {
            list->BlockFreed(this);
        }
    }
    return lockCount < 1;
}

void CacheBlock::StampFreedBlock(uint32_t time, AfterUnlock& after) {
    if (time == 0) {
        time = MTInterface::GetCurrentTimeMilli();
    }
    const uint32_t old = stamp.load(std::memory_order_relaxed);
    // An equal stamp is taken anew too: among equal stamps the block goes behind, as the latest use.
    if (time >= old || old - time > kOneHourMilli) {
        stamp.store(time, std::memory_order_relaxed);
        if (list != nullptr) {
            list->BlockRestamped(this);
        } else {
            after.moved.push_back(this);
        }
    }
    // A block of a list wakes the cache only when a read waits for a free block.
    if (cache != nullptr && (list == nullptr || list->TakeWakeRequest())) {
        after.wakes.push_back(cache);
    }
}

void CacheBlock::SetIdentity(uint32_t key, uint64_t offset) {
    const uint32_t oldKey = sourceKey;
    const uint64_t oldOffset = blockOffset;
    sourceKey = key;
    blockOffset = offset;
    if (list != nullptr && (oldKey != key || oldOffset != offset)) {
        list->BlockIdentityChanged(this, oldKey, oldOffset);
    }
}

void CacheBlock::NoteExtent() {
    if (list != nullptr) {
        list->BlockExtentChanged(this);
    }
}

bool CacheBlock::HoldForCopy(uint64_t offset, uint32_t size) {
    MTCritSecHold hold(lock);
    if (buffer == nullptr || currentRead != nullptr || !pending.empty() ||
        sourceKey == CacheSource::kInvalidKey || !CarriesData(readResult) || offset < blockOffset ||
        offset + size > blockOffset + validSize) {
        return false;
    }
    LockBlock("CacheBlock::HoldForCopy");
    return data != nullptr;
}

const void* CacheBlock::HeldData(uint64_t offset) const {
    // The block is held: its data, identity and buffer cannot change until ReleaseAfterCopy.
    return static_cast<const uint8_t*>(data) + (offset - blockOffset);
}

void CacheBlock::ConsumeUnreadPreRead() {
    if (!unreadPreRead) {
        return;
    }
    unreadPreRead = false;
    stamp.store(MTInterface::GetCurrentTimeMilli(), std::memory_order_relaxed);
    if (list != nullptr) {
        list->BlockRestamped(this);
    }
}

void CacheBlock::ReleaseAfterCopy(bool served, AfterUnlock& after) {
    MTCritSecHold hold(lock);
    if (served && sourceKey != CacheSource::kInvalidKey) {
        ConsumeUnreadPreRead();
        UnlockAndStamp("CacheBlock::ReleaseAfterCopy", 0, after);
        return;
    }
    // Not used after all, or forgotten while the copy ran (stamp 0: first to be reused): the block
    // goes back as it is.
    if (UnlockBlock("CacheBlock::ReleaseAfterCopy unused") && cache != nullptr &&
        (list == nullptr || list->TakeWakeRequest())) {
        after.wakes.push_back(cache);
    }
}

bool CacheBlock::UnlockAndStamp(const char* reason, uint32_t time, AfterUnlock& after) {
    if (buffer == nullptr) {
        return false;
    }
    if (unreadPreRead) {
        time = keepUntil;
    }
    if (list != nullptr && lockCount == 1) {
        // The last holder: stamped while still held, so the block enters the list's free set once, at
        // its new place, instead of entering it and moving.
        StampFreedBlock(time, after);
        UnlockBlock(reason);
        return true;
    }
    if (!UnlockBlock(reason)) {
        return false;
    }
    StampFreedBlock(time, after);
    return true;
}

bool CacheBlock::HoldsDataOf(CacheSource* source) {
    return sourceKey != CacheSource::kInvalidKey && sourceKey == source->GetSourceKey();
}

uint64_t CacheBlock::AlignDown(uint64_t offset) const {
    return blockSize < 2 ? offset : offset - offset % blockSize;
}

Buffer* CacheBlock::LockIfFromSource(CacheSource* source, uint64_t* offset, uint32_t* size) {
    MTCritSecHold hold(lock);
    if (buffer == nullptr || source == nullptr) {
        return nullptr;
    }
    if (!HoldsDataOf(source)) {
        return nullptr;
    }
    LockBlock("CacheBlock::LockIfFromSource");
    if (offset != nullptr) {
        *offset = blockOffset;
    }
    if (size != nullptr) {
        *size = validSize;
    }
    return buffer;
}

Buffer* CacheBlock::LockIfFromSourceWithRange(CacheSource* source, uint64_t& offset, uint32_t& size,
                                              AfterUnlock& after) {
    MTCritSecHold hold(lock);
    if (buffer == nullptr || source == nullptr) {
        return nullptr;
    }
    if (LockIfFromSource(source, nullptr, nullptr) == nullptr) {
        return nullptr;
    }
    // The whole extent counts, also while the valid data is shorter: a range past the end of the data
    // is answered with end of file when it is served.
    if (CacheSource::GetRangeIntersection(offset, size, blockOffset, blockSize)) {
        return buffer;
    }
    UnlockAndStamp("CacheBlock::LockIfFromSourceWithRange No Intersecting Range",
                   stamp.load(std::memory_order_relaxed), after);
    return nullptr;
}

Buffer* CacheBlock::LockIfUnlocked(CacheSource* source, uint64_t& offset, uint32_t* size) {
    MTCritSecHold hold(lock);
    if (buffer == nullptr || source == nullptr) {
        return nullptr;
    }
    if (lockCount > 0) {
        return nullptr;
    }
    LockBlock("CacheBlock::LockIfUnlocked");
    unreadPreRead = false;
    offset = AlignDown(offset);
    SetIdentity(source->GetSourceKey(), offset);
    validSize = blockSize;
    NoteExtent();
    if (size != nullptr) {
        *size = blockSize;
    }
    return buffer;
}

bool CacheBlock::HasStampPassed() {
    const uint32_t current = stamp.load(std::memory_order_relaxed);
    return current == 0 || MTInterface::GetCurrentTimeMilli() >= current;
}

bool CacheBlock::IsQueued(CacheTransaction* t) {
    if (t == nullptr) {
        return false;
    }
    if (currentRead == t) {
        return true;
    }
    for (const Entry& entry : pending) {
        if (entry.transaction == t) {
            return true;
        }
    }
    return false;
}

bool CacheBlock::LockForReadInto(CacheTransaction* t) {
    AfterUnlock after;
    return LockForReadInto(t, after);
}

bool CacheBlock::LockForReadInto(CacheTransaction* t, AfterUnlock& /*after*/) {
    if (t == nullptr) {
        return false;
    }
    CacheSource* source = t->GetSource();
    if (source == nullptr || t->GetSize() == 0) {
        return false;
    }
    MTCritSecHold hold(lock);
    // A held block is refused before any range is taken, so the common refusal costs the transaction
    // nothing; LockIfUnlocked below cannot fail then, the lock being held throughout. So is a block
    // whose memory is still locked by an earlier read into it: a read reported as cancelled may still
    // be running in the kernel, which would overwrite whatever a new read puts there. The dispatcher
    // retries the transaction shortly.
    if (buffer == nullptr || lockCount > 0 || buffer->GetLockState() == Buffer::kLockStateLocked) {
        return false;
    }
    if (t->IsPreReadTransaction() && !HasStampPassed()) {
        return false;
    }
    uint64_t rangeOffset = t->GetOffset();
    uint32_t rangeSize = t->GetSize();
    if (!t->GetRangeToComplete(rangeOffset, rangeSize, blockSize)) {
        return false;
    }
    uint64_t claimOffset = rangeOffset;
    if (LockIfUnlocked(source, claimOffset, nullptr) == nullptr) {
        t->ReturnRangeToComplete(rangeOffset, rangeSize);
        return false;
    }
    const uint64_t blockEnd = blockOffset + blockSize;
    const uint64_t rangeEnd = rangeOffset + rangeSize;
    uint32_t kept = rangeSize;
    if (rangeEnd > blockEnd) {
        t->ReturnRangeToComplete(blockEnd, static_cast<uint32_t>(rangeEnd - blockEnd));
        kept = static_cast<uint32_t>(blockEnd - rangeOffset);
    }
    readResult = CacheSource::kResultNone;
    currentRead = t;
    LockBlock("Adding transaction when getting block to read");
    t->AddRef(TARVOS_CALL_SITE);  // for currentRead
    t->AddRef(TARVOS_CALL_SITE);  // for the queue
    pending.push_back({t, rangeOffset, kept});
    return true;
}

bool CacheBlock::LockForCopyOutOf(CacheTransaction* t, bool* waiting) {
    AfterUnlock after;
    return LockForCopyOutOf(t, waiting, after);
}

bool CacheBlock::LockForCopyOutOf(CacheTransaction* t, bool* waiting, AfterUnlock& after) {
    if (t == nullptr) {
        return false;
    }
    CacheSource* source = t->GetSource();
    if (source == nullptr || t->GetSize() == 0) {
        return false;
    }
    uint64_t rangeOffset = t->GetOffset();
    uint32_t rangeSize = t->GetSize();
    MTCritSecHold hold(lock);
    if (buffer == nullptr || IsQueued(t)) {
        return false;
    }
    if (LockIfFromSourceWithRange(source, rangeOffset, rangeSize, after) == nullptr) {
        return false;
    }
    if (!t->Reserve(rangeOffset, rangeSize)) {
        UnlockAndStamp("CacheBlock::LockForCopyOutOf block out of range of transaction",
                       stamp.load(std::memory_order_relaxed), after);
        return false;
    }
    if (t->IsPreReadTransaction()) {
        UnlockAndStamp("CacheBlock::LockForCopyOutOf - back off lock for preread tranactionss...",
                       stamp.load(std::memory_order_relaxed), after);
        t->AddRef(TARVOS_CALL_SITE);
        after.finishes.push_back({t, false, rangeOffset, rangeSize, CacheSource::kResultSuccess});
        after.releases.push_back(t);
        return true;
    }
    t->AddRef(TARVOS_CALL_SITE);
    if (waiting != nullptr) {
        *waiting = currentRead != nullptr || !pending.empty();
    }
    pending.push_back({t, rangeOffset, rangeSize});
    return true;
}

bool CacheBlock::CompleteReadInto(uint32_t size, CacheSource::Result_t result) {
    AfterUnlock after;
    MTCritSecHold hold(lock);
    if (buffer == nullptr || currentRead == nullptr) {
        return false;
    }
    if (size > blockSize) {
        size = blockSize;
    }
    if (sourceKey != CacheSource::kInvalidKey) {
        validSize = size;
    }
    const uint32_t dueTime = currentRead->GetDueTime();
    const bool byPreRead = currentRead->IsPreReadTransaction();
    CacheSource* const reader = currentRead->GetSource();
    after.releases.push_back(currentRead);
    currentRead = nullptr;
    // A completion without an outcome would leave the waiting transactions with nothing to report.
    if (result == CacheSource::kResultNone || result == CacheSource::kResultPending) {
        result = CacheSource::kResultFailed;
    }
    if (result == CacheSource::kResultPartial && validSize == blockSize) {
        readResult = CacheSource::kResultSuccess;
    } else if (result == CacheSource::kResultSuccess && sourceKey != CacheSource::kInvalidKey &&
               validSize < blockSize) {
        readResult = CacheSource::kResultPartial;  // the data ends inside the block
    } else {
        readResult = result;
    }
    if (readResult == CacheSource::kResultCancelled) {
        // The reading source was cancelled. Sources of one file share blocks: a transaction of another
        // source that joined this read did not ask for that, so it takes its range back and is
        // processed again (read through its own source); the reader's own end as cancelled.
        // The block keeps nothing of the cancelled read, so that the requeued ones miss it.
        RequeueOthers(reader, after);
        Forget(after);
    } else if (!CarriesData(readResult)) {
        // A failed read is not kept as the block's content: the transactions already waiting learn
        // the failure (they no longer match the block's data), and a later read tries the source
        // again instead of being handed an error that may have been passing.
        SetIdentity(CacheSource::kInvalidKey, blockOffset);
        validSize = 0;
    }
    NoteExtent();
    if (readResult == CacheSource::kResultCancelled) {
        // Emptied (stamp 0): it goes back as the first block to reuse.
        if (UnlockBlock("CacheBlock::CompleteReadInto cancelled") && cache != nullptr &&
            (list == nullptr || list->TakeWakeRequest())) {
            after.wakes.push_back(cache);
        }
        return true;
    }
    if (byPreRead && CarriesData(readResult) && sourceKey != CacheSource::kInvalidKey) {
        const uint32_t now = MTInterface::GetCurrentTimeMilli();
        // Compared as a difference: the 32-bit clock may wrap between the two.
        const bool dueLater = dueTime != Cache::kDueASAP && static_cast<int32_t>(dueTime - now) > 0;
        unreadPreRead = true;
        keepUntil = (dueLater ? dueTime : now) + kUnreadPreReadGraceMs;
    }
    UnlockAndStamp("CacheBlock::CompleteReadInto", 0, after);
    return true;
}

void CacheBlock::ServeEntry(const Entry& entry, bool sourceMatches, void* address, uint64_t offset,
                            uint32_t valid, CacheSource::Result_t result) {
    CacheTransaction* t = entry.transaction;
    if (t->GetResult(nullptr) != CacheSource::kResultPending) {
        return;
    }
    if (!sourceMatches || address == nullptr) {
        t->SetResult(CacheSource::kResultFailed);
        return;
    }
    if (!CarriesData(result)) {
        t->SetResult(result);
        return;
    }
    const uint64_t validEnd = offset + valid;
    if (entry.offset >= validEnd) {
        t->Complete(entry.offset, entry.size, CacheSource::kResultEndOfFile);
        return;
    }
    CacheSource::Result_t pieceResult = result;
    if (entry.offset + entry.size <= validEnd) {
        pieceResult = CacheSource::kResultSuccess;
    } else if (result == CacheSource::kResultEndOfFile) {
        pieceResult = CacheSource::kResultPartial;
    }
    const CacheSource::Result_t copied = t->CopyInto(address, offset, valid, pieceResult, nullptr, nullptr);
    if (copied == CacheSource::kResultBufferLocked || copied == CacheSource::kResultFailed) {
        t->SetResult(CacheSource::kResultFailed);
    } else if (copied == CacheSource::kResultEndOfFile) {
        t->Complete(entry.offset, entry.size, CacheSource::kResultEndOfFile);
    }
}

void CacheBlock::ProcessPendingTransactions(bool* changed) {
    for (;;) {
        Entry entry{};
        bool sourceMatches = false;
        void* address = nullptr;
        uint64_t offset = 0;
        uint32_t valid = 0;
        CacheSource::Result_t result = CacheSource::kResultNone;
        {
            MTCritSecHold hold(lock);
            if (buffer == nullptr || currentRead != nullptr || pending.empty()) {
                break;
            }
            entry = pending.front();
            pending.erase(pending.begin());
            if (entry.transaction == nullptr) {
                continue;
            }
            valid = validSize;
            result = readResult;
            address = data;
            offset = blockOffset;
            CacheSource* source = entry.transaction->GetSource();
            sourceMatches = source != nullptr && HoldsDataOf(source);
        }
        // The block stays held for this entry, so its buffer, data and identity cannot change while
        // the copy runs without the lock.
        SharedObjectAutoRef working(entry.transaction);
        ServeEntry(entry, sourceMatches, address, offset, valid, result);
        AfterUnlock after;
        {
            MTCritSecHold hold(lock);
            if (!entry.transaction->IsPreReadTransaction()) {
                ConsumeUnreadPreRead();
            }
            UnlockAndStamp("CacheBlock::ProcessPendingTransactions transaction complete", 0, after);
        }
        after.releases.push_back(entry.transaction);
    }
    if (changed != nullptr) {
        *changed = false;
    }
}

void CacheBlock::CancelPendingTransactions(bool* changed) {
    AfterUnlock after;
    CancelPendingTransactions(changed, after);
}

void CacheBlock::CancelPendingTransactions(bool* changed, AfterUnlock& after) {
    CancelQueued(nullptr, changed, after);
}

void CacheBlock::CancelPendingTransactionsOf(CacheSource* source, bool* changed) {
    AfterUnlock after;
    if (source == nullptr) {
        if (changed != nullptr) {
            *changed = false;
        }
        return;
    }
    CancelQueued(source, changed, after);
}

void CacheBlock::CancelQueued(CacheSource* onlyOf, bool* changed, AfterUnlock& after) {
    bool freed = false;
    {
        MTCritSecHold hold(lock);
        if (buffer == nullptr) {
            if (changed != nullptr) {
                *changed = false;
            }
            return;
        }
        std::vector<Entry> queued;
        queued.swap(pending);
        std::vector<Entry> kept;
        for (const Entry& entry : queued) {
            if (entry.transaction == nullptr) {
                continue;
            }
            if (onlyOf != nullptr && entry.transaction->GetSource() != onlyOf) {
                kept.push_back(entry);
                continue;
            }
            after.finishes.push_back({entry.transaction, true, 0, 0, CacheSource::kResultCancelled});
            const uint32_t noted = stamp.load(std::memory_order_relaxed);
            if (UnlockBlock("CacheBlock::CancelPendingTransactions")) {
                StampFreedBlock(noted, after);
                freed = true;
            }
            after.releases.push_back(entry.transaction);
        }
        pending.swap(kept);
    }
    if (changed != nullptr) {
        *changed = freed;
    }
}

void CacheBlock::RequeueOthers(CacheSource* reader, AfterUnlock& after) {
    std::vector<Entry> kept;
    for (const Entry& entry : pending) {
        CacheTransaction* t = entry.transaction;
        if (t == nullptr || t->GetSource() == reader || t->GetSource() == nullptr || cache == nullptr) {
            kept.push_back(entry);
            continue;
        }
        t->ReturnRangeToComplete(entry.offset, entry.size);
        const uint32_t noted = stamp.load(std::memory_order_relaxed);
        if (UnlockBlock("CacheBlock::RequeueOthers")) {
            StampFreedBlock(noted, after);
        }
        after.requeues.push_back({cache, t});  // with the queue's reference
    }
    pending.swap(kept);
}

void CacheBlock::Forget(AfterUnlock& after) {
    unreadPreRead = false;
    SetIdentity(CacheSource::kInvalidKey, blockOffset);
    validSize = 0;
    NoteExtent();
    if (stamp.load(std::memory_order_relaxed) != 0) {
        stamp.store(0, std::memory_order_relaxed);
        if (list != nullptr) {
            list->BlockRestamped(this);
        } else {
            after.moved.push_back(this);
        }
    }
    CancelPendingTransactions(nullptr, after);
}

void CacheBlock::Purge(CacheSource* source) {
    AfterUnlock after;
    Purge(source, after);
}

void CacheBlock::Purge(CacheSource* source, AfterUnlock& after) {
    if (source == nullptr) {
        return;
    }
    MTCritSecHold hold(lock);
    if (buffer != nullptr && HoldsDataOf(source)) {
        Forget(after);
    }
}

void CacheBlock::Invalidate(CacheSource* source, uint64_t& offset, uint32_t& size) {
    AfterUnlock after;
    Invalidate(source, offset, size, after);
}

void CacheBlock::Invalidate(CacheSource* source, uint64_t& offset, uint32_t& size, AfterUnlock& after) {
    if (source == nullptr) {
        return;
    }
    MTCritSecHold hold(lock);
    if (buffer == nullptr || !HoldsDataOf(source)) {
        return;
    }
    // A block with fewer valid bytes than its size learned where the file ends. Data written or
    // changed at or past that end makes the belief stale, so such a block is forgotten too when it
    // lies before the range, and a block that learned the file ends before it (0 valid bytes) when the
    // range meets it.
    const uint64_t rangeStart = offset;
    const bool endOfFileBeforeRange = validSize < blockSize && blockOffset + validSize <= rangeStart;
    if (CacheSource::GetRangeIntersection(offset, size, blockOffset, blockSize) || endOfFileBeforeRange) {
        Forget(after);
    }
}

void CacheBlock::CancelIfFromSource(CacheSource* source, bool* unlocked) {
    AfterUnlock after;
    CancelIfFromSource(source, unlocked, after);
}

void CacheBlock::CancelIfFromSource(CacheSource* source, bool* unlocked, AfterUnlock& after) {
    if (source == nullptr) {
        return;
    }
    MTCritSecHold hold(lock);
    if (buffer == nullptr) {
        return;
    }
    if (HoldsDataOf(source)) {
        // Sources of one file share a key, and so this block: only the given source's own
        // transactions end here.
        CancelQueued(source, unlocked, after);
    } else if (unlocked != nullptr) {
        *unlocked = lockCount == 0;
    }
}

void CacheBlock::Dump() {
    MTCritSecHold hold(lock);
    for (const Entry& entry : pending) {
        if (entry.transaction != nullptr) {
            entry.transaction->GetResult(nullptr);
        }
    }
}

}  // namespace Tarvos
