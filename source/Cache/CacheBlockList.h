// Every block of one Cache, kept in one GuardedList in ascending order of their time stamps, so that
// the walk from the front meets first the block needed least recently: that order is the replacement
// policy. Built once from a BufferFactory (one block per buffer it can hand out; one reference held on
// the factory) and never changed in population; the destructor gives every buffer back to the factory.
// Owned by its Cache. Any thread may call any operation; each walk holds the list's lock throughout and
// takes each block's lock inside it. Status callbacks and block moves caused by a walk run after the
// list's lock is left. Internal to the library.
#pragma once

#include <cstdint>
#include <vector>

namespace Tarvos {

class BufferFactory;
class Cache;
class CacheBlock;
class CacheSource;
class CacheTransaction;
class GuardedList;

class CacheBlockList {
  public:
    // Takes every buffer the factory has, stopping at the first it cannot give or cannot turn into a
    // block. A null factory or one without free buffers gives a list without blocks.
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
    // The first free block from the front (for a pre-read, also with a passed stamp), claimed for the
    // transaction's next range with the transaction as its current read; null when none.
    CacheBlock* GetBlockToReadInto(CacheTransaction* t);
    // Apply to every block, then sort the list so that forgotten blocks (stamp 0) come first.
    void Purge(CacheSource* source);
    void Invalidate(CacheSource* source, uint64_t offset, uint32_t size);
    void Cancel(CacheSource* source);
    void Dump();

    // Read-only views for diagnostics and tests.
    uint32_t GetNumberOfBlocks() const { return blockCount; }
    uint32_t GetNumberOfFreeBlocks();
    // The blocks from front to back at the time of the call.
    std::vector<CacheBlock*> GetBlocksInOrder();

  private:
    Cache* const cache;      // no reference; passed to every block
    GuardedList* blocks;     // ascending and thread-safe; owned; null when no block could be made. Its
                             // lock is taken before any block's lock
    BufferFactory* factory;  // one reference
    uint32_t blockSize;
    uint32_t blockCount;
};

}  // namespace Tarvos
