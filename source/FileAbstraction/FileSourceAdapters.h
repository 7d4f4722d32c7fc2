// The file source's one-shot adapters. Each lives for one operation: it is created with one
// reference, and released either by the call that created it when the operation is refused, or by
// itself once its callback has run (the synchronous ResultCallbackWrapper is released by the caller
// waiting on it). Releases at the end of a callback go through DeferredRelease, because they may drop
// the last reference on a source or a cache on a thread that their destruction would wait for.
#pragma once

#include <cstdint>

#include "Cache/TransactionDispatcher.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/FileSource.h"

namespace Tarvos {

class Cache;
class MTAtomicUnsigned32;
class MTSemaphore;

// Single buffers and synchronous waits. The synchronous form owns a semaphore (maximum 1) that its
// callback signals; the asynchronous form forwards to the caller's buffer callback, on which it holds
// no reference. Either form may hold a list made around the caller's single buffer.
class ResultCallbackWrapper final : public FileSource::ResultCallbackBufferList {
  public:
    // Synchronous form.
    explicit ResultCallbackWrapper(Buffer* buffer);
    // Asynchronous form.
    ResultCallbackWrapper(FileSource::ResultCallbackBuffer* callback, Buffer* buffer);

    void Callback(CacheSource::Result_t result, uint64_t offset, BufferList* list,
                  uint32_t bytesTransferred) override;

    // Synchronous form: true when the semaphore can really block and wake a waiter. Checked before the
    // operation starts, because a wait that fails at once would read the result before it exists.
    bool CanWait();
    // Synchronous form: waits for the callback, then returns its result and stores its byte count.
    // kResultFailed (nothing stored) without a semaphore or when the wait fails.
    CacheSource::Result_t Wait(uint32_t* bytesTransferred);

    BufferList* GetList() const { return list; }

  private:
    ~ResultCallbackWrapper() override;

    MTSemaphore* semaphore;                            // owned; synchronous form only
    FileSource::ResultCallbackBuffer* callerCallback;  // asynchronous form only; no reference
    CacheSource::Result_t result;                      // written by the callback before it signals
    uint32_t bytes;                                    // written by the callback before it signals
    BufferList* list;                                  // one reference, or null
};

// A write to a source that uses a cache: once the write has completed, the written range is
// forgotten in the cache once more, so that a read which started between the first invalidation and
// the write's end (and so may have fetched the old bytes) leaves nothing stale behind. Then the
// caller's callback runs.
class WriteInvalidationWrapper final : public FileSource::ResultCallbackBufferList {
  public:
    WriteInvalidationWrapper(FileSource* source, uint64_t offset, uint32_t size,
                             FileSource::ResultCallbackBufferList* callback);

    void Callback(CacheSource::Result_t result, uint64_t offset, BufferList* list,
                  uint32_t bytesTransferred) override;

  private:
    ~WriteInvalidationWrapper() override;

    FileSource* source;  // one reference
    uint64_t offset;
    uint32_t size;
    FileSource::ResultCallbackBufferList* callerCallback;  // one reference, or null
};

// The cache reading a block range from its source: completes the cache's read transaction with
// whatever the uncached read reports.
class TransactionWrapper final : public FileSource::ResultCallbackBufferList {
  public:
    TransactionWrapper(CacheTransaction* transaction, FileSource* source);

    void Callback(CacheSource::Result_t result, uint64_t offset, BufferList* list,
                  uint32_t bytesTransferred) override;

  private:
    ~TransactionWrapper() override;

    CacheTransaction* transaction;  // one reference, or null
    FileSource* source;             // one reference, or null
};

// A cached asynchronous list read: builds the transaction, hands it to the cache and passes its
// outcome to the caller's list callback exactly once. The outcome is claimed once, either by the
// status callback (the caller's callback runs) or by the refusal path of Initiate (the refusal is
// returned); whoever claims it cleans up the transaction and releases the wrapper.
class ResultBufferListWrapper final : public CacheTransaction::StatusCallback {
  public:
    ResultBufferListWrapper(FileSource* source, uint64_t offset, BufferList* list,
                            FileSource::ResultCallbackBufferList* callback, uint32_t dueTime);

    // kResultPending when the caller's callback will run or has already run; kResultInvalidArgument
    // when the cache refused the read before finishing it (the callback never runs). Consumes the
    // creator's reference either way.
    CacheSource::Result_t Initiate();

    void Callback(CacheSource::Result_t result, CacheTransaction* transaction, uint32_t bytes) override;

  private:
    ~ResultBufferListWrapper() override;
    bool ClaimOutcome();

    FileSource* source;                                    // one reference, or null
    Cache* cache;                                          // one reference, or null
    FileSource::ResultCallbackBufferList* callerCallback;  // one reference, or null
    CacheTransaction* transaction;  // owned (the reference it was created with) until the status callback
    MTAtomicUnsigned32* outcomeClaimed;  // 0 until the status callback or the refusal path takes it
};

// An asynchronous cached read whose bytes were all held in the cache and are already copied into the
// caller's memory (on the caller's thread): reports it to the caller's callback on the cache's
// transaction dispatcher, so that the callback never runs inside the call. Cancelled while queued (a
// Cancel of the source, the cache's end), it reports kResultCancelled with 0 bytes instead. Holds one
// reference each on the source, the caller's memory and callback; deletes itself in Finish.
class HeldReadDelivery final : public DispatcherCommand {
  public:
    HeldReadDelivery(FileSource* source, uint64_t offset, Buffer* buffer,
                     FileSource::ResultCallbackBuffer* callback, BufferList* list,
                     FileSource::ResultCallbackBufferList* listCallback, uint32_t bytes, uint32_t dueTime);
    bool Execute() override;
    void Finish(bool cancelled) override;

  private:
    ~HeldReadDelivery() override;
    void Report(CacheSource::Result_t result, uint32_t count);

    FileSource* heldSource;
    uint64_t offset;
    Buffer* buffer;
    FileSource::ResultCallbackBuffer* callback;
    BufferList* list;
    FileSource::ResultCallbackBufferList* listCallback;
    uint32_t bytes;
};

}  // namespace Tarvos
