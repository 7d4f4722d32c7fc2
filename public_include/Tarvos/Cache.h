// The block cache shared by any number of cache sources: a fixed set of equal-sized blocks (one per
// buffer of the factory it is built from), reused least recently needed first. Read only queues the
// transaction and returns; the work runs on the cache's one dispatcher thread (the transaction
// dispatcher), and a transaction's status callback runs there (or on the I/O thread), with no lock of the
// library held; only a refusal (Read during a Cancel of the source, a cache without blocks) reports inside
// Read. Sources hold a reference on their cache from UseCache until they are destroyed; the cache never holds
// references on its sources. Lock order: the transaction dispatcher's lock (held only while it takes or
// puts back a command, never while one runs), then the cache lock (its thread-safe-modify lock, taken by
// the statistics switches), then the queue, read gate, block list (which guards every block), pre-read
// list and transaction range locks. Cancel and Purge hold none of them while they wait for a source's
// work, so a status callback may cancel.
#pragma once

#include <cstdint>

#include "Tarvos/CacheSource.h"
#include "Tarvos/Export.h"
#include "Tarvos/SharedObject.h"

namespace Tarvos {

class Buffer;
class BufferFactory;
class BufferList;
class CacheBlockList;
class CacheTransaction;
class DispatcherCommand;
class MTAtomicPointer;
class MTAtomicUnsigned32;
class PreReadTransactionList;
class ReadGate;
class TransactionDispatcher;

class TARVOS_EXPORT Cache : public SharedObject {
  public:
    static constexpr uint32_t kDueASAP = 0;

    // Takes every buffer the factory has; a null factory gives a cache without blocks that fails reads.
    explicit Cache(BufferFactory* factory);

    // Queues the transaction: kResultPending, or a refusal (kResultInvalidArgument without touching the
    // transaction; kResultCancelled or kResultFailed after finishing it through SetResult).
    CacheSource::Result_t Read(CacheTransaction* transaction);
    // Reads the range into the cache ahead of need, as few device reads as its free blocks allow (runs
    // of up to 1 MiB of consecutive blocks). Data a pre-read brings in is kept until a read uses it or
    // until 2 s past dueTime (past its arrival for kDueASAP); pre-reads never take such blocks, so a
    // window ahead of a reader never evicts its own unread data. A pre-read that finds no block waits
    // for one until 2 s past its due time (kDueASAP: not at all); then it is dropped and counted by
    // GetCachePreReadsDropped.
    void PreRead(CacheSource* source, uint64_t offset, uint32_t size, uint32_t dueTime);
    void Invalidate(CacheSource* source, uint64_t offset, uint32_t size);
    // Returns once nothing of the source is queued or running in the cache; every affected
    // transaction reports kResultCancelled.
    void Cancel(CacheSource* source);
    void Purge(CacheSource* source);

    uint32_t GetCacheHits();
    uint32_t GetCacheMisses();
    uint32_t GetCacheDirectReads();
    // Blocks pre-reads claimed to read into.
    uint32_t GetCachePreReads();
    // Pre-reads finished unread because no block became free for them before they were overdue.
    uint32_t GetCachePreReadsDropped();
    void ResetCacheStats();
    void CollectCacheStats(bool collect);
    void Dump();
    uint32_t GetBlockSize();
    // The most reads of one source the cache has started on the device and not yet seen finish
    // (default 16; 0 is taken as 1); of all sources together it starts at most 32. Further reads wait
    // in the cache in due-time order, so one stream cannot fill the I/O engine and starve the others.
    void SetReadsInFlightPerSource(uint32_t reads);
    uint32_t GetReadsInFlightPerSource();
    // How many blocks the cache has (0 for a cache without blocks); never changes.
    uint32_t GetNumberOfBlocks();
    // Another pass for transactions waiting for a free block.
    void NotifySomethingChanged();

    // As SharedObject's, except that the last reference dropped on one of the cache's own dispatcher
    // threads (a command letting go of the last transaction of the last source) is handed to another
    // thread: the destructor stops those threads and cannot run on one of them.
    int32_t DecRef(const char* file, const char* function, uint32_t line) override;

  protected:
    ~Cache() override;

  private:
    // Stops the dispatchers and gives back every part; for the destructor and a failed constructor.
    void ReleaseParts();
    friend class ProcessTransactionCommand;
    friend class ReadDirectCommand;
    friend class DispatchedReadCallback;
    friend class CacheBlock;
    friend class FileSource;       // asks OnOwnDispatcherThread before its last release
    friend class CacheTestAccess;  // internal state for the library's own tests

    bool ProcessTransaction(CacheTransaction* transaction);
    // Serves a synchronous read on the calling thread when every byte of it lies in filled blocks that
    // nobody waits on: copies `size` bytes into `buffer` (or, without one, `list`), counts the hits and
    // returns true with *bytes = size. False, with nothing changed, otherwise (the caller then queues
    // the read as usual).
    bool ReadHeld(CacheSource* source, uint64_t offset, Buffer* buffer, BufferList* list, uint32_t size,
                  uint32_t* bytes);
    // As ReadHeld for an asynchronous read: when the bytes were copied, `report` (which tells the
    // caller) is queued on the transaction dispatcher and true returned; otherwise false, and the
    // caller still owns `report`.
    bool ReadHeldThenReport(CacheSource* source, uint64_t offset, Buffer* buffer, BufferList* list,
                            uint32_t size, DispatcherCommand* report);
    void CountHit();
    void CountMiss();
    void CountPreRead();
    void CountPreReadsDropped(uint32_t count);
    // A pre-read that needs no more blocks leaves the parked list (nothing for a demand read).
    void LeavePreReadList(CacheTransaction* transaction);

    bool OnOwnDispatcherThread();
    // A Cancel of the source runs: no read of it may start now.
    bool IsCancelling(CacheSource* source);
    void ResetCounter(MTAtomicUnsigned32* counter);
    uint32_t CounterValue(MTAtomicUnsigned32* counter);

    CacheBlockList* blockList;                     // owned; null without a factory
    PreReadTransactionList* preReadList;           // owned (one reference); null without a factory
    TransactionDispatcher* transactionDispatcher;  // owned; runs ProcessTransaction, reports held
                                                   // reads and retries source reads the engine had
                                                   // no slot for
    ReadGate* readGate;                            // owned; starts the reads of blocks from sources
    // Statistics counters: live from construction to destruction, after the dispatchers have stopped,
    // so that dispatcher threads count without the cache lock (Cancel holds that lock while it waits
    // for them). `collecting` is 1 while statistics are on; the getters read 0 while it is 0.
    MTAtomicUnsigned32* hits;
    MTAtomicUnsigned32* misses;
    MTAtomicUnsigned32* directReads;
    MTAtomicUnsigned32* preReads;
    MTAtomicUnsigned32* preReadsDropped;
    MTAtomicUnsigned32* collecting;
    // The source Cancel works on (no reference), else null. Atomic: Read checks it without a lock.
    MTAtomicPointer* cancellingSource;
    uint32_t blockSize;
    // After a ProcessTransaction that found no block to claim: milliseconds until a retry may succeed
    // without a wake-up (a block's stamp passing, a block's memory let go by the kernel), or
    // MTSemaphore's infinite wait when only a freed block can help. Transaction dispatcher thread only.
    uint32_t claimRetryAfterMs = 0xFFFFFFFFu;
};

}  // namespace Tarvos
