// Base of everything that can be read through transactions and a Cache: a process-unique key that
// names the source's data in the cache, the cache it is attached to (one reference, held until the
// source is destroyed) and an alignment requirement (the page size). Also defines Result_t, the
// result of every read, write and transaction operation. Key and alignment may be read from any
// thread; the alignment never changes, and a key changes only while nothing of the source is in the
// cache (a native file source takes the key its file's open sources share when it opens). Attach the
// cache with UseCache before the source is shared between threads.
#pragma once

#include <cstdint>

#include "Tarvos/Export.h"
#include "Tarvos/SharedObject.h"

namespace Tarvos {

class Cache;
class CacheTransaction;
class SharedObjectList;

class TARVOS_EXPORT CacheSource : public SharedObject {
  public:
    enum Result_t : int32_t {
        kResultSuccess = 1,
        kResultPartial = 2,
        kResultPending = 3,
        kResultNone = 0,
        kResultBufferLocked = 4,
        kResultCancelled = -1,
        kResultEndOfFile = -2,
        kResultInvalidArgument = -3,
        kResultFailed = -5,
        kResultBusy = -6,
    };
    static constexpr uint32_t kDueASAP = 0;
    static constexpr uint32_t kInvalidKey = 0;

    // True when one read may fill the buffers of several consecutive cache blocks.
    virtual bool SupportsMultiBlockReads() = 0;
    virtual uint32_t GetAlignmentRequirement();
    // Attaches the source to a cache once; false for a null cache or when already attached.
    virtual bool UseCache(Cache* cache);
    virtual Cache* GetCache();
    // Rounds down to a multiple of the alignment (unchanged when the alignment is below 2).
    virtual uint64_t Align(uint64_t offset);
    // Names the source's data in the cache: sources with one key share blocks.
    virtual uint32_t GetSourceKey();

    // Clips (offset, size) to the other range. True when they meet: the range then lies inside it.
    // A range of size 0 exactly at the other range's end does not meet it.
    static bool GetRangeIntersection(uint64_t& offset, uint32_t& size, uint64_t otherOffset,
                                     uint32_t otherSize);

  protected:
    friend class CacheTransaction;
    friend class Cache;

    CacheSource();
    ~CacheSource() override;

    // Starts reading the transaction's whole range into its buffer list: kResultPending when started
    // (the outcome is reported later through CacheTransaction::Complete), kResultBusy when it could
    // not be started yet, anything else when it was not started.
    virtual Result_t ReadTransaction(CacheTransaction* transaction) = 0;
    virtual void CancelAllTransactions() = 0;
    virtual void PreReadTransaction(CacheTransaction* transaction);
    virtual bool SupportsPreReadTransactions();

  private:
    // Hooks for subclasses; the library itself never calls them.
    virtual Result_t ProcessReadTransaction(CacheTransaction* transaction);
    virtual bool CompleteReadTransaction(CacheTransaction* transaction, Result_t result);
    virtual bool CancelTransactionsBeingProcessed();

    const uint32_t sourceKey;
    SharedObjectList* transactionsBeingProcessed;  // one reference; kept for subclasses
    Cache* cache;                                  // one reference, from UseCache to destruction
    const uint32_t alignment;
};

}  // namespace Tarvos
