// One block of a Cache: one buffer of the block size, the identity of the data it holds (source key and
// block-aligned offset), a lock count of holders, a time stamp that orders the blocks for reuse, and a
// first-in first-out queue of transactions waiting for its data. Owned and deleted by the cache block
// list; holds one reference on its buffer and one on every transaction it queues. Any thread may call
// any operation. A block of a CacheBlockList shares the list's lock and keeps the list's index, free set
// and set of short blocks up to date as its state changes; transactions are finished (status callbacks
// run) only after that lock is left: the work is collected in an AfterUnlock. Internal to the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "Cache/CacheBlockList.h"
#include "CoreClasses/GuardedList.h"
#include "Tarvos/CacheSource.h"

namespace Tarvos {

class Buffer;
class BufferList;
class Cache;
class CacheBlockList;
class CacheTransaction;
class MTCritSec;

class CacheBlock : public GuardedListItem {
  public:
    // Work a block hands back to be done once no block lock (and, in a walk, no list lock) is held.
    // Run moves the blocks to the places their new stamps call for, finishes the transactions, drops
    // the references and wakes the caches, in that order, and empties the set; the destructor runs
    // whatever is left.
    class AfterUnlock {
      public:
        AfterUnlock() = default;
        ~AfterUnlock();
        AfterUnlock(const AfterUnlock&) = delete;
        AfterUnlock& operator=(const AfterUnlock&) = delete;
        void Run();
        // For a caller that sorts the list itself afterwards: the blocks need not move one by one.
        void DropMoves() { moved.clear(); }

      private:
        friend class CacheBlock;
        struct Finish {
            CacheTransaction* transaction;  // kept alive by an entry of `releases` or the caller
            bool setResult;                 // SetResult(result); otherwise Complete(offset, size, result)
            uint64_t offset;
            uint32_t size;
            CacheSource::Result_t result;
        };
        std::vector<Finish> finishes;
        std::vector<CacheBlock*> moved;
        std::vector<CacheTransaction*> releases;  // one queue or read reference each
        std::vector<Cache*> wakes;
        // Transactions handed back to their cache's Read, each with the reference it held here.
        struct Requeue {
            Cache* cache;
            CacheTransaction* transaction;
        };
        std::vector<Requeue> requeues;
    };

    // Takes a reference on the buffer (when not null); the block size is its size. The cache is only
    // woken (NotifySomethingChanged) when a block becomes free, and may be null. A block of a list uses
    // the list's lock as its own and tells the list when it is held, freed, restamped or holds other
    // data; a block without one has its own lock and moves itself in the GuardedList it is in. Throws
    // std::bad_alloc when the lock cannot be made.
    CacheBlock(Cache* cache, Buffer* buffer, CacheBlockList* list = nullptr);
    // Finishes every transaction still queued with kResultCancelled and drops every reference.
    // Requires: the block is in no list.
    ~CacheBlock() override;
    CacheBlock(const CacheBlock&) = delete;
    CacheBlock& operator=(const CacheBlock&) = delete;

    // The time stamp widened to 64 bits; read without the block's lock.
    uint64_t GetSortKey() override;

    // Unlocks the buffer if the block held it locked, drops the block's reference and returns the
    // buffer (for its factory); the block then refuses every operation.
    Buffer* ReleaseBuffer();
    // No reference is given.
    Buffer* GetBuffer();
    uint64_t GetBlockOffset();
    uint32_t GetValidSize();

    // Claims this free block for the transaction's next unworked range (at most one block long) and
    // queues the transaction on it as its current read; false, with nothing reserved, otherwise. A
    // pre-read may only claim a block whose stamp has passed.
    bool LockForReadInto(CacheTransaction* t);
    bool LockForReadInto(CacheTransaction* t, AfterUnlock& after);
    // Queues the transaction if the block holds part of its data, for the part it still needs. A
    // pre-read is completed over that part at once instead, without staying queued. *waiting (when
    // given) tells whether a read in progress or earlier queued transactions mean that somebody else
    // will serve the queue.
    bool LockForCopyOutOf(CacheTransaction* t, bool* waiting);
    bool LockForCopyOutOf(CacheTransaction* t, bool* waiting, AfterUnlock& after);
    // The read into the block finished with `size` bytes (clamped to the block) and `result`; releases
    // the read's hold. False when no read was in progress.
    bool CompleteReadInto(uint32_t size, CacheSource::Result_t result);
    // For a read served on the caller's thread (CacheBlockList::CopyOutIfHeld), with the list's lock
    // held: holds the block when it is filled, nobody waits on it and its valid data covers the range;
    // HeldData then gives the bytes at `offset`, and ReleaseAfterCopy lets go.
    bool HoldForCopy(uint64_t offset, uint32_t size);
    const void* HeldData(uint64_t offset) const;
    // served: the copy was made and counts as a use (fresh stamp); otherwise the stamp stays.
    void ReleaseAfterCopy(bool served, AfterUnlock& after);
    // Serves the queue in arrival order, copying outside the block's lock. Does nothing while a read is
    // in progress. *changed (when given) is set to false.
    void ProcessPendingTransactions(bool* changed);
    // How long a block keeps data a pre-read brought in that no read has used yet, past the pre-read's
    // due time (or past its arrival, when that is later): until then no pre-read may take the block.
    static constexpr uint32_t kUnreadPreReadGraceMs = 2000;
    // Finishes every queued transaction with kResultCancelled. *changed: a cancellation freed the block.
    void CancelPendingTransactions(bool* changed);
    void CancelPendingTransactions(bool* changed, AfterUnlock& after);
    // As CancelPendingTransactions, for the queued transactions of `source` only (a cancelled block
    // command of that source: the block may have been claimed by another source since).
    void CancelPendingTransactionsOf(CacheSource* source, bool* changed);
    // Forgets the source's data (stamp 0) and cancels what is queued; a read in progress runs on.
    void Purge(CacheSource* source);
    void Purge(CacheSource* source, AfterUnlock& after);
    // As Purge, when the block has valid data that meets the range; the range is clipped to the block.
    void Invalidate(CacheSource* source, uint64_t& offset, uint32_t& size);
    void Invalidate(CacheSource* source, uint64_t& offset, uint32_t& size, AfterUnlock& after);
    // Cancels the source's queued transactions when the block holds the source's data (which it
    // keeps); other sources' transactions queued there stay. *unlocked: a cancellation freed the
    // block, or (another source's block) nobody holds it.
    void CancelIfFromSource(CacheSource* source, bool* unlocked);
    void CancelIfFromSource(CacheSource* source, bool* unlocked, AfterUnlock& after);
    // Asks every queued transaction for its result; nothing is printed.
    void Dump();

    // Read-only views for diagnostics and tests.
    int32_t GetLockCount();
    uint32_t GetStamp();
    uint32_t GetSourceKey();
    CacheSource::Result_t GetReadResult();
    bool IsReading();
    uint32_t GetNumberOfPendingTransactions();
    uint32_t GetBlockSize() const { return blockSize; }

  private:
    // One queued transaction and the range it reserved on this block (absolute offsets).
    struct Entry {
        CacheTransaction* transaction;
        uint64_t offset;
        uint32_t size;
    };

    // Cancels the queued transactions (of `onlyOf` only, when not null); takes `lock` itself.
    void CancelQueued(CacheSource* onlyOf, bool* changed, AfterUnlock& after);

    // Every helper below requires `lock` to be held.
    void LockBlock(const char* reason);
    bool UnlockBlock(const char* reason);
    bool UnlockAndStamp(const char* reason, uint32_t time, AfterUnlock& after);
    // Steps 2 to 4 of UnlockAndStamp, for a block that has just become free.
    void StampFreedBlock(uint32_t time, AfterUnlock& after);
    // A read used data a pre-read brought in: the block no longer keeps it for the pre-read; its stamp
    // becomes the time of this use.
    void ConsumeUnreadPreRead();
    // Sets the data's identity and tells the list.
    void SetIdentity(uint32_t key, uint64_t offset);
    // Tells the list that validSize or the identity changed (it keeps the blocks that learned where
    // their file ends).
    void NoteExtent();
    Buffer* LockIfFromSource(CacheSource* source, uint64_t* offset, uint32_t* size);
    Buffer* LockIfFromSourceWithRange(CacheSource* source, uint64_t& offset, uint32_t& size,
                                      AfterUnlock& after);
    Buffer* LockIfUnlocked(CacheSource* source, uint64_t& offset, uint32_t* size);
    bool HasStampPassed();
    bool IsQueued(CacheTransaction* t);
    bool HoldsDataOf(CacheSource* source);
    uint64_t AlignDown(uint64_t offset) const;
    void Forget(AfterUnlock& after);
    // After a cancelled read: every queued transaction of a source other than `reader` gives its range
    // back, lets go of the block and goes back to the cache to be processed again.
    void RequeueOthers(CacheSource* reader, AfterUnlock& after);
    // Serves one entry taken off the queue; runs without `lock`.
    void ServeEntry(const Entry& entry, bool sourceMatches, void* address, uint64_t offset, uint32_t valid,
                    CacheSource::Result_t result);

    // Lock order: the block list's lock (this lock, for a block of a list), then the range-set locks of
    // the queued transactions. Never held while a transaction may finish (status callbacks run with no
    // lock held): that waits in an AfterUnlock until it is left.
    friend class CacheBlockList;
    MTCritSec* const lock;       // guards every field below except `stamp`'s reads; re-entrant; the list's
                                 // lock when the block belongs to a list
    Cache* const cache;          // no reference; null in tests
    CacheBlockList* const list;  // no reference; null for a block that stands alone (tests)
    const bool ownsLock;
    // The block's entry in the list's free set while inFreeSet.
    CacheBlockList::FreeSet::iterator freePosition;
    uint32_t orderStamp = 0;     // the stamp the list orders the block by (its stamp, as last told)
    uint64_t orderSequence = 0;  // the list's reuse order among equal stamps
    bool inFreeSet = false;      // in the list's free set
    bool inShortSet = false;     // in the list's set of blocks that learned where their file ends
    Buffer* buffer;              // one reference until ReleaseBuffer
    void* data = nullptr;        // the buffer's address while lockCount is above 0
    int32_t lockCount = 0;
    const uint32_t blockSize;
    uint32_t validSize = 0;
    // Written under `lock`; read without it by GetSortKey, which the list calls under its own lock.
    std::atomic<uint32_t> stamp{0};
    uint32_t sourceKey = CacheSource::kInvalidKey;
    uint64_t blockOffset = 0;
    std::vector<Entry> pending;               // first in, first out; short
    CacheTransaction* currentRead = nullptr;  // one reference
    CacheSource::Result_t readResult = CacheSource::kResultNone;
    // The data came from a pre-read and no read has used it yet: every release stamps the block with
    // keepUntil, so pre-reads leave it alone until then.
    bool unreadPreRead = false;
    uint32_t keepUntil = 0;
};

}  // namespace Tarvos
