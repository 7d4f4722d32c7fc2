// Every block of one Cache, with two structures over them: an index from (source key, block-aligned
// offset) to the block holding that data, for lookups, and the free blocks ordered by (stamp, arrival),
// for reuse, so that the first free block is the one needed least recently (equal stamps in the order
// they took them). Both are kept up to date by the blocks themselves as their state changes; no
// operation walks the blocks except Purge, Cancel and Dump. Built once from a BufferFactory (one block
// per buffer it can hand out; one reference held on the factory) and never changed in population; the
// destructor gives every buffer back to the factory. Owned by its Cache. Any thread may call any
// operation. One lock guards the list and the state of all its blocks (the blocks use it as their
// own); status callbacks and wake-ups caused by an operation run after it is left. Internal.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace Tarvos {

class Buffer;
class BufferFactory;
class BufferList;
class Cache;
class CacheBlock;
class CacheSource;
class CacheTransaction;
class MTCritSec;

class CacheBlockList {
  public:
    // A block found holding part of a transaction, now queued with it; waiting: somebody else (a read
    // in progress, earlier queued transactions) will serve its queue.
    struct Hit {
        CacheBlock* block;
        bool waiting;
    };

    // Takes every buffer the factory has, stopping at the first it cannot give or cannot turn into a
    // block. A null factory or one without free buffers gives a list without blocks. Linear in the
    // number of buffers.
    CacheBlockList(Cache* cache, BufferFactory* factory);
    // Returns every buffer to the factory and deletes every block (cancelling what is still queued).
    virtual ~CacheBlockList();
    CacheBlockList(const CacheBlockList&) = delete;
    CacheBlockList& operator=(const CacheBlockList&) = delete;

    // The factory's buffer size; 0 without a factory.
    uint32_t GetBlockSize();
    // A block that holds part of the transaction's data, now queued with it (a pre-read's part is
    // completed instead); null when none. *waiting: somebody else will serve that block's queue.
    CacheBlock* GetBlockToCopyOutOf(CacheTransaction* t, bool* waiting);
    // Every block that holds part of the transaction's open data, each now queued with it (in offset
    // order); one index lookup per block the transaction spans.
    void GetBlocksToCopyOutOf(CacheTransaction* t, std::vector<Hit>& hits);
    // The first free block in reuse order (for a pre-read, only one whose stamp has passed), claimed
    // for the transaction's next range with the transaction as its current read; null when none. A
    // read that finds none makes the next freed block wake the cache. *retryAfterMs (when given): for a
    // refusal, milliseconds until a retry may succeed without that wake-up (the first free block's
    // stamp passing, for a pre-read; a block whose memory an earlier read still holds, which no event
    // announces the end of), else MTSemaphore::kInfinite.
    CacheBlock* GetBlockToReadInto(CacheTransaction* t, uint32_t* retryAfterMs = nullptr);
    // Serves a read whose bytes all lie in filled blocks that nobody waits on, on the calling thread:
    // holds the blocks, copies outside the lock into `buffer` (or, without one, `list`), releases them
    // with a fresh stamp. False, with nothing copied into the caller's memory that it may rely on and
    // nothing changed in the cache, when any byte is missing or a block is busy. *blocks: the blocks
    // that served it.
    bool CopyOutIfHeld(CacheSource* source, uint64_t offset, uint32_t size, Buffer* buffer, BufferList* list,
                       uint32_t* blocks);
    // Forget the source's blocks (Purge: all; Invalidate: those meeting the range) or cancel what is
    // queued on them; forgotten blocks take stamp 0 and become the first candidates for reuse.
    void Purge(CacheSource* source);
    void Invalidate(CacheSource* source, uint64_t offset, uint32_t size);
    void Cancel(CacheSource* source);
    void Dump();

    // Read-only views for diagnostics and tests.
    uint32_t GetNumberOfBlocks() const { return static_cast<uint32_t>(all.size()); }
    uint32_t GetNumberOfFreeBlocks();
    // The blocks in reuse order (stamp, then arrival), held ones included, at the time of the call.
    std::vector<CacheBlock*> GetBlocksInOrder();

  private:
    friend class CacheBlock;

    // Reuse order: stamp, then the sequence number taken when the block last changed its stamp.
    struct OrderKey {
        uint32_t stamp;
        uint64_t sequence;
        bool operator<(const OrderKey& other) const {
            return stamp != other.stamp ? stamp < other.stamp : sequence < other.sequence;
        }
    };
    using FreeSet = std::map<OrderKey, CacheBlock*>;

    struct BlockKey {
        uint32_t sourceKey;
        uint64_t offset;
        bool operator==(const BlockKey& other) const {
            return sourceKey == other.sourceKey && offset == other.offset;
        }
    };
    // Consecutive blocks of one source hash to consecutive values (so to neighbouring buckets): a
    // working set that is a range of a file keeps its index entries in a few pages of memory, where
    // a mixing hash spread them over one page each (in a cache of 262,144 blocks, hits on a 2 MiB range
    // then sometimes took half as long again, most likely in address translation). Sources start far
    // apart.
    struct BlockKeyHash {
        explicit BlockKeyHash(uint64_t blockSize) : blockSize(blockSize == 0 ? 1 : blockSize) {}
        uint64_t blockSize;  // never 0
        size_t operator()(const BlockKey& key) const {
            return static_cast<size_t>(key.offset / blockSize +
                                       uint64_t{key.sourceKey} * 0x9E3779B97F4A7C15ull);
        }
    };

    // Called by the blocks with `lock` held.
    void BlockHeld(CacheBlock* block);
    void BlockFreed(CacheBlock* block);
    void BlockRestamped(CacheBlock* block);
    void BlockIdentityChanged(CacheBlock* block, uint32_t oldKey, uint64_t oldOffset);
    void BlockExtentChanged(CacheBlock* block);
    // Puts the block in freeBlocks under its order key, just before `hint` when that is its place.
    void AddToFreeSet(CacheBlock* block, FreeSet::const_iterator hint);
    // True once after a read found no block to claim: the caller wakes the cache.
    bool TakeWakeRequest();
    CacheBlock* Find(uint32_t sourceKey, uint64_t blockOffset);
    uint64_t AlignDown(uint64_t offset) const;

    Cache* const cache;               // no reference; passed to every block
    std::unique_ptr<MTCritSec> lock;  // guards every field below and the state of every block;
                                      // re-entrant; taken after the dispatchers' and the cache's
                                      // locks, before any transaction's range lock
    BufferFactory* factory;           // one reference
    uint32_t blockSize;
    std::vector<CacheBlock*> all;                                   // every block, owned
    std::unordered_map<BlockKey, CacheBlock*, BlockKeyHash> index;  // blocks with a source key
    FreeSet freeBlocks;                                             // blocks nobody holds
    // Filled blocks with fewer valid bytes than their size: each learned where its file ends, a belief
    // that a write or invalidation beyond it must forget (few: about one per file).
    std::unordered_set<CacheBlock*> shortBlocks;
    uint64_t sequence = 0;
    bool blockWanted = false;  // a read found no block to claim since the last wake
};

}  // namespace Tarvos
