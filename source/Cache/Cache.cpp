// clang-format off
// The cache front end: the life of a cached read.
//
// Synchronous read whose bytes are all held in filled blocks nobody waits on (a hit):
//   step                          function                                  thread       lock
//   1 find and hold the blocks    FileSource::Read -> Cache::ReadHeld ->    caller       block list, briefly
//                                 CacheBlockList::CopyOutIfHeld
//   2 copy to the caller          CopyOutIfHeld                             caller       none (blocks held)
//   3 release, fresh stamp        CacheBlock::ReleaseAfterCopy              caller       block list, briefly
// An asynchronous one does 1-3 on the caller's thread; HeldReadDelivery then runs the caller's
// callback on the transaction dispatcher (one hand-off, never inside the call).
//
// Any other read (a miss, part held, or held blocks others wait on):
//   step                          function                                  thread       lock
//   1 queue the transaction       ResultBufferListWrapper -> Cache::Read    caller       dispatcher queue
//   2 hits: queue on the blocks,  Cache::ProcessTransaction ->              transaction  block list; the
//     serve idle ones at once     CacheBlockList::GetBlocksToCopyOutOf,     dispatcher   dispatcher's lock
//                                 CacheBlock::ProcessPendingTransactions                 throughout
//   3 misses: claim free blocks,  CacheBlockList::GetBlockToReadInto,       transaction  block list, then
//     one read per run of them    DispatchedReadCallback::Dispatch ->       dispatcher   range locks
//     (up to 1 MiB), started at   ReadGate::Submit -> ReadDirectCommand::
//     once if the source has room Execute -> the source
//   3a source at its bound: waits ReadGate (due-time order; a joining       -            gate lock, briefly
//     at the gate                 demand read raises it: Expedite)
//   3b no engine slot: retried    ReadDirectCommand, woken by the cache's   transaction  the dispatcher's
//                                 next finished read                        dispatcher
//   4 read done: fill the blocks, DispatchedReadCallback::Callback ->       I/O thread   block list, briefly
//     copy to the waiting ones    CacheBlock::CompleteReadInto,
//     (last piece: callback),     ProcessPendingTransactions,
//     start what waits at 3a      ReadGate::Finished
//
// Status callbacks run with no lock of the library held (the block list and range locks are left first,
// and the dispatcher runs commands without its own lock), and Cancel waits for the source's work holding
// none either: a callback may cancel, also while another thread's Cancel waits for it.
// A transaction that finds no free block waits on the transaction dispatcher; the next block to become
// free wakes it (CacheBlockList::TakeWakeRequest -> NotifySomethingChanged). A pre-read waiting for a
// kept block (unread pre-read data, CacheBlock::kUnreadPreReadGraceMs) is also retried when the first
// such keep ends.
// clang-format on
#include "Tarvos/Cache.h"

#include <algorithm>
#include <new>
#include <vector>

#include "Cache/CacheBlock.h"
#include "Cache/CacheBlockList.h"
#include "Cache/CacheCommands.h"
#include "Cache/DispatchedReadCallback.h"
#include "Cache/PreReadTransactionList.h"
#include "Cache/ReadGate.h"
#include "Cache/TransactionDispatcher.h"
#include "CoreClasses/CallSite.h"
#include "CoreClasses/DeferredRelease.h"
#include "CoreClasses/ThreadSafeModifyHold.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

// The one dispatcher's kinds, in service order: block commands (and reports of held reads) first, as
// they hand data to waiting callers and free blocks others may wait for; then source reads the I/O
// engine had no slot for; then new transactions; and a kind no command has, kept from the time the
// dispatcher served it.
constexpr uint32_t kUnusedCommandKind = 4;
const uint32_t kTransactionKinds[] = {kCommandBlock, kCommandReadDirect, kCommandProcessTransaction,
                                      kUnusedCommandKind};

// Clears the source Cancel works on, also when an exception passes.
class CancellingSourceMark {
  public:
    // Only the Cancel that set the mark clears it (another may run at once, for this source or another).
    CancellingSourceMark(MTAtomicPointer* mark, CacheSource* source)
        : mark(mark), source(source), owned(mark->CompareExchange(nullptr, source)) {}
    ~CancellingSourceMark() {
        if (owned) {
            mark->CompareExchange(source, nullptr);
        }
    }

  private:
    MTAtomicPointer* mark;
    CacheSource* source;
    const bool owned;
};

}  // namespace

Cache::Cache(BufferFactory* factory)
    : blockList(nullptr),
      preReadList(nullptr),
      transactionDispatcher(nullptr),
      readGate(nullptr),
      hits(MTInterface::NewAtomicUnsigned32(0)),
      misses(MTInterface::NewAtomicUnsigned32(0)),
      directReads(MTInterface::NewAtomicUnsigned32(0)),
      preReads(MTInterface::NewAtomicUnsigned32(0)),
      preReadsDropped(MTInterface::NewAtomicUnsigned32(0)),
      collecting(MTInterface::NewAtomicUnsigned32(0)),
      cancellingSource(MTInterface::NewAtomicPointer(nullptr)),
      blockSize(0) {
    // A part that cannot be made leaves the cache unmade: what was made is stopped and given back
    // (the destructor does not run for a constructor that throws).
    try {
        if (hits == nullptr || misses == nullptr || directReads == nullptr || preReads == nullptr ||
            preReadsDropped == nullptr || collecting == nullptr || cancellingSource == nullptr) {
            throw std::bad_alloc();
        }
        if (factory == nullptr) {
            return;
        }
        blockList = new CacheBlockList(this, factory);
        if (blockList->GetNumberOfBlocks() == 0) {
            // No block could be made: a cache that could never serve a read refuses them all, as
            // one without a factory does, instead of leaving them waiting for a block.
            delete blockList;
            blockList = nullptr;
            return;
        }
        blockSize = blockList->GetBlockSize();
        preReadList = new PreReadTransactionList(blockSize);
        transactionDispatcher =
            new TransactionDispatcher(kTransactionKinds, 4, MTThread::kMTPriorityTimeCritical);
        readGate = new ReadGate(this, transactionDispatcher);
    } catch (...) {
        ReleaseParts();
        throw;
    }
}

Cache::~Cache() {
    ReleaseParts();
}

void Cache::ReleaseParts() {
    // The worker stops before anything it uses goes away; commands queued meanwhile (a cancelled
    // command may queue another) are finished (cancelled) when the dispatcher is deleted.
    if (transactionDispatcher != nullptr) {
        transactionDispatcher->CancelAll();
        transactionDispatcher->Stop();
    }
    // Reads still waiting for room end as cancelled, which their blocks and the lists must see.
    delete readGate;
    readGate = nullptr;
    delete transactionDispatcher;
    transactionDispatcher = nullptr;
    if (preReadList != nullptr) {
        preReadList->DecRef(TARVOS_CALL_SITE);
        preReadList = nullptr;
    }
    delete blockList;
    blockList = nullptr;
    delete hits;
    hits = nullptr;
    delete misses;
    misses = nullptr;
    delete directReads;
    directReads = nullptr;
    delete preReads;
    preReads = nullptr;
    delete preReadsDropped;
    preReadsDropped = nullptr;
    delete collecting;
    collecting = nullptr;
    delete cancellingSource;
    cancellingSource = nullptr;
}

CacheSource::Result_t Cache::Read(CacheTransaction* transaction) {
    // Nothing to read into (no list, or an empty one; a pre-read always has a size) is a bad argument
    // too: no block could ever complete it.
    if (transaction == nullptr || transaction->GetSource() == nullptr || transaction->GetSize() == 0) {
        return CacheSource::kResultInvalidArgument;
    }
    // Refused: the transaction finishes with the refusal, which is also returned.
    auto refuse = [transaction](CacheSource::Result_t result) {
        SharedObjectAutoRef hold(transaction);
        transaction->SetResult(result);
        return result;
    };
    if (cancellingSource->Get() == transaction->GetSource()) {
        return refuse(CacheSource::kResultCancelled);
    }
    if (transactionDispatcher == nullptr) {
        return refuse(CacheSource::kResultFailed);
    }
    ProcessTransactionCommand* command = nullptr;
    try {
        command = new ProcessTransactionCommand(this, transaction);
    } catch (const std::bad_alloc&) {
        return refuse(CacheSource::kResultFailed);
    }
    transactionDispatcher->Add(command);
    return CacheSource::kResultPending;
}

bool Cache::ProcessTransaction(CacheTransaction* transaction) {
    if (transaction == nullptr || blockList == nullptr) {
        return true;
    }
    CacheSource* source = transaction->GetSource();
    if (source == nullptr) {
        return true;
    }
    const bool multi = source->SupportsMultiBlockReads();
    const uint32_t dueTime = transaction->GetDueTime();
    const bool preRead = transaction->IsPreReadTransaction();

    // Hits: queue the transaction on every block that already holds part of its
    // data (one index lookup per block it spans), then serve at once, on this
    // thread, the blocks that nobody else is busy with.
    if (transaction->StillRangesToComplete()) {
        std::vector<CacheBlockList::Hit> hits;
        blockList->GetBlocksToCopyOutOf(transaction, hits);
        if (!preRead) {
            for (const CacheBlockList::Hit& hit : hits) {
                CountHit();
                if (!hit.waiting) {
                    hit.block->ProcessPendingTransactions(nullptr);
                } else if (readGate != nullptr) {
                    // Joined a block whose read may still wait for room: it becomes as urgent as this.
                    readGate->Expedite(hit.block, dueTime);
                }
            }
        }
    }

    bool result = true;
    if (preRead && transaction->StillRangesToComplete()) {
        CacheTransaction* parked = preReadList->FindPreReadTransaction(transaction);
        CountPreReadsDropped(preReadList->TakeDroppedCount());
        if (parked != nullptr && parked != transaction) {
            // Another pre-read of the same range is parked: its data is on its way.
            transaction->Complete(transaction->GetOffset(), transaction->GetSize(),
                                  CacheSource::kResultSuccess);
        } else if (parked == nullptr && transaction->StillRangesToComplete()) {
            // The overdue walk inside the lookup may just have finished this very pre-read; a finished
            // one is never parked again.
            if (transaction->SupportsPreReads()) {
                transaction->PreReadDirect();
            }
            preReadList->AddPreReadTransaction(transaction);
        }
    }
    if (!transaction->StillRangesToComplete()) {
        LeavePreReadList(transaction);
        return result;
    }

    // Misses: claim free blocks and read into them, consecutive blocks in one
    // read when the source allows it.
    DispatchedReadCallback* currentRead = nullptr;
    while (result && transaction->StillRangesToComplete()) {
        if (!preRead) {
            CountMiss();
        }
        CacheBlock* block = blockList->GetBlockToReadInto(transaction, &claimRetryAfterMs);
        if (block == nullptr) {
            // A claim also fails when the transaction has nothing left to claim: it finished meanwhile
            // (a block it waited on failed, on the I/O thread). Such a command is done; put back, it
            // would wait for a freed block that may never come.
            result = !transaction->StillRangesToComplete();
            break;
        }
        if (preRead) {
            CountPreRead();
        }
        if (currentRead != nullptr) {
            if (multi && currentRead->AddBlock(block)) {
                continue;
            }
            currentRead->Dispatch();
        }
        currentRead = new DispatchedReadCallback(source, dueTime, readGate);
        currentRead->AddBlock(block);
        preReadList->CompleteCoveredPreReads(transaction);
    }
    if (currentRead != nullptr) {
        currentRead->Dispatch();
    }
    // A parked pre-read that claimed all it lacks is on its way: the list lets go of it. One that
    // found no block stays parked and is retried when a block is freed or a stamp passes.
    if (result) {
        LeavePreReadList(transaction);
    }
    return result;
}

void Cache::LeavePreReadList(CacheTransaction* transaction) {
    if (transaction->IsPreReadTransaction() && preReadList != nullptr) {
        preReadList->RemovePreReadTransaction(transaction);
    }
}

void Cache::PreRead(CacheSource* source, uint64_t offset, uint32_t size, uint32_t dueTime) {
    if (source == nullptr || preReadList == nullptr || blockSize == 0) {
        return;
    }
    preReadList->AlignRange(offset, size);
    // One pre-read per run of blocks as long as the largest gathered read: its misses become one read.
    const uint32_t step =
        std::max(blockSize, DispatchedReadCallback::kMostBytesPerRead / blockSize * blockSize);
    while (size > 0) {
        const uint32_t piece = std::min(size, step);
        CacheTransaction* transaction = nullptr;
        bool made = true;
        try {
            transaction = new CacheTransaction();
            if (transaction->SetupForPreRead(source, offset, piece, dueTime)) {
                Read(transaction);
            }
        } catch (const std::bad_alloc&) {
            // A pre-read is advice: the rest of one that cannot be made is left out.
            made = false;
        }
        if (transaction != nullptr) {
            transaction->DecRef(TARVOS_CALL_SITE);
        }
        if (!made) {
            return;
        }
        size -= piece;
        offset += piece;
    }
}

void Cache::Invalidate(CacheSource* source, uint64_t offset, uint32_t size) {
    if (source == nullptr || blockList == nullptr) {
        return;
    }
    // The block list's own lock is enough. Not taking the cache lock keeps a
    // write issued from a status callback (a dispatcher thread) from waiting for
    // a Cancel that waits for that thread.
    blockList->Invalidate(source, offset, size);
}

void Cache::Cancel(CacheSource* source) {
    if (source == nullptr) {
        return;
    }
    // No lock of the library is held while this waits for the source's work (CancelAllTransactions
    // waits for the threads that report it): a status callback on one of those threads may cancel too,
    // and so may one on the dispatcher that waits for such a thread.
    CancellingSourceMark mark(cancellingSource, source);
    // Reads waiting for room go first: the source's started reads, cancelled next, would give their
    // room to them.
    if (readGate != nullptr) {
        readGate->CancelSource(source);
    }
    // Queued commands end, and a running one stops before it starts another read of the source.
    SourceFilter filter(source);
    if (transactionDispatcher != nullptr) {
        transactionDispatcher->CancelMatching(&filter);
    }
    source->CancelAllTransactions();
    if (blockList != nullptr) {
        blockList->Cancel(source);
    }
    if (preReadList != nullptr) {
        preReadList->CancelPreReadsOfSource(source);
    }
}

void Cache::Purge(CacheSource* source) {
    if (source == nullptr) {
        return;
    }
    Cancel(source);
    if (blockList != nullptr) {
        blockList->Purge(source);
    }
}

// Counting takes no lock: the counters live as long as the dispatchers that
// count.
void Cache::CountHit() {
    if (collecting->Get() != 0) {
        hits->Increment();
    }
}

void Cache::CountPreRead() {
    if (collecting->Get() != 0) {
        preReads->Increment();
    }
}

void Cache::CountPreReadsDropped(uint32_t count) {
    if (collecting->Get() != 0) {
        for (uint32_t i = 0; i < count; ++i) {
            preReadsDropped->Increment();
        }
    }
}

void Cache::CountMiss() {
    if (collecting->Get() != 0) {
        misses->Increment();
        directReads->Increment();
    }
}

void Cache::ResetCounter(MTAtomicUnsigned32* counter) {
    uint32_t value = counter->Get();
    while (!counter->CompareExchange(value, 0)) {
        value = counter->Get();
    }
}

uint32_t Cache::CounterValue(MTAtomicUnsigned32* counter) {
    return collecting->Get() != 0 ? counter->Get() : 0;
}

uint32_t Cache::GetCacheHits() {
    return CounterValue(hits);
}

uint32_t Cache::GetCacheMisses() {
    return CounterValue(misses);
}

uint32_t Cache::GetCacheDirectReads() {
    return CounterValue(directReads);
}

uint32_t Cache::GetCachePreReads() {
    return CounterValue(preReads);
}

uint32_t Cache::GetCachePreReadsDropped() {
    return CounterValue(preReadsDropped);
}

void Cache::ResetCacheStats() {
    ThreadSafeModifyHold hold(this);
    if (collecting->Get() != 0) {
        for (MTAtomicUnsigned32* counter : {hits, misses, directReads, preReads, preReadsDropped}) {
            ResetCounter(counter);
        }
    }
}

void Cache::CollectCacheStats(bool collect) {
    ThreadSafeModifyHold hold(this);
    const bool on = collecting->Get() != 0;
    if (collect && !on) {
        // Counting resumes from 0, as if the counters were created afresh.
        for (MTAtomicUnsigned32* counter : {hits, misses, directReads, preReads, preReadsDropped}) {
            ResetCounter(counter);
        }
        collecting->CompareExchange(0, 1);
    } else if (!collect && on) {
        collecting->CompareExchange(1, 0);
    }
}

void Cache::Dump() {
    if (blockList != nullptr) {
        blockList->Dump();
    }
}

uint32_t Cache::GetBlockSize() {
    return blockSize;
}

void Cache::SetReadsInFlightPerSource(uint32_t reads) {
    if (readGate != nullptr) {
        readGate->SetReadsPerSource(reads);
    }
}

uint32_t Cache::GetReadsInFlightPerSource() {
    return readGate != nullptr ? readGate->GetReadsPerSource() : 0;
}

bool Cache::IsCancelling(CacheSource* source) {
    return cancellingSource != nullptr && cancellingSource->Get() == source;
}

bool Cache::OnOwnDispatcherThread() {
    return transactionDispatcher != nullptr && transactionDispatcher->IsWorkerThread();
}

int32_t Cache::DecRef(const char* file, const char* function, uint32_t line) {
    // With one reference left, only its holder can touch the count, so the check cannot race.
    if (GetRefCount() == 1 && OnOwnDispatcherThread() && DeferredRelease::HandOver(this)) {
        return 0;
    }
    return SharedObject::DecRef(file, function, line);
}

bool Cache::ReadHeld(CacheSource* source, uint64_t offset, Buffer* buffer, BufferList* list, uint32_t size,
                     uint32_t* bytes) {
    if (blockList == nullptr || source == nullptr || IsCancelling(source)) {
        return false;
    }
    uint32_t blocks = 0;
    if (!blockList->CopyOutIfHeld(source, offset, size, buffer, list, &blocks)) {
        return false;
    }
    for (uint32_t i = 0; i < blocks; ++i) {
        CountHit();
    }
    if (bytes != nullptr) {
        *bytes = size;
    }
    return true;
}

bool Cache::ReadHeldThenReport(CacheSource* source, uint64_t offset, Buffer* buffer, BufferList* list,
                               uint32_t size, DispatcherCommand* report) {
    if (report == nullptr || transactionDispatcher == nullptr ||
        !ReadHeld(source, offset, buffer, list, size, nullptr)) {
        return false;
    }
    transactionDispatcher->Add(report);
    return true;
}

void Cache::NotifySomethingChanged() {
    if (transactionDispatcher != nullptr) {
        transactionDispatcher->Wake();
    }
}

}  // namespace Tarvos
