// One read request: a source, a start offset, a buffer list whose total size is the request's size
// (none for a pre-read), a status callback and a due time. The cache serves it in pieces from several
// threads; the status callback runs exactly once per set-up, on the thread that completes the last
// piece, with no lock of the library held (it may query this transaction and start other operations,
// reads, writes, invalidations and cancellations among them). The transaction holds one reference each on its
// source, list and callback; set it up before handing it over and not again while anybody works on it.
#pragma once

#include <cstdint>

#include "Tarvos/CacheSource.h"
#include "Tarvos/Export.h"
#include "Tarvos/SharedObject.h"

namespace Tarvos {

class Buffer;
class BufferList;
class Cache;
class MTAtomicPointer;
class TransactionListener;
class TransactionRangeSet;

class TARVOS_EXPORT CacheTransaction : public SharedObject {
  public:
    class TARVOS_EXPORT StatusCallback : public SharedObject {
      public:
        // result is never kResultPending; bytes counts the completed run from the transaction's start.
        virtual void Callback(CacheSource::Result_t result, CacheTransaction* transaction,
                              uint32_t bytes) = 0;

      protected:
        StatusCallback() = default;
        ~StatusCallback() override = default;
    };

    CacheTransaction();
    CacheTransaction(CacheSource* source, uint64_t offset, BufferList* list, StatusCallback* callback,
                     uint32_t dueTime);

    bool Setup(CacheSource* source, uint64_t offset, BufferList* list, StatusCallback* callback,
               uint32_t dueTime);
    // Drops the references (false while a cache owns the transaction); range state and due time stay.
    bool Cleanup();

    uint64_t GetOffset();
    uint32_t GetSize();
    uint32_t GetDueTime();
    CacheSource* GetSource();
    BufferList* GetBufferList();
    bool IsPreReadTransaction();

    // Range operations take absolute source offsets.
    bool GetRangeToComplete(uint64_t& offset, uint32_t& size, uint32_t maxSize);
    void ReturnRangeToComplete(uint64_t offset, uint32_t size);
    bool Reserve(uint64_t& offset, uint32_t& size);
    bool StillRangesToComplete();
    void Complete(uint64_t offset, uint32_t size, CacheSource::Result_t result);
    // An outcome without data: kResultCancelled or kResultFailed finish the transaction at once.
    void SetResult(CacheSource::Result_t result);
    CacheSource::Result_t GetResult(uint32_t* bytes);
    Buffer* GetBufferAtOffset(uint64_t offset, uint32_t* offsetInBuffer, uint32_t* bytesLeftInBuffer);
    // Copies the part of [dataOffset, dataOffset + dataSize) that lies in the transaction into its
    // buffers and completes it with result; see the implementation for the results.
    CacheSource::Result_t CopyInto(void* data, uint64_t dataOffset, uint32_t dataSize,
                                   CacheSource::Result_t result, uint64_t* copiedOffset,
                                   uint32_t* copiedSize);

    CacheSource::Result_t ReadDirect();
    bool SupportsPreReads();
    void PreReadDirect();

  protected:
    ~CacheTransaction() override;

  private:
    friend class Cache;
    friend class TransactionListener;

    bool SetupForPreRead(CacheSource* source, uint64_t offset, uint32_t size, uint32_t dueTime);
    bool SetCacheInUseBy(Cache* cache);
    bool ClearCacheInUseBy(Cache* cache);
    // Offset relative to the transaction's start, truncated to 32 bits.
    uint32_t Relative(uint64_t absolute) const { return static_cast<uint32_t>(absolute - offset); }

    CacheSource* source;
    uint64_t offset;
    BufferList* bufferList;
    StatusCallback* statusCallback;
    MTAtomicPointer* cacheInUseBy;
    TransactionRangeSet* ranges;
    uint32_t dueTime;
    uint32_t preReadSize;
    TransactionListener* listener;  // owned; registered with ranges
};

}  // namespace Tarvos
