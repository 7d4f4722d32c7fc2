// The pre-reads a cache has accepted but not finished, one per (source key, offset, size), so that a
// second pre-read of the same block is dropped, a read that fetches a block finishes the pre-reads of
// that block, and pre-reads that wait far past their due time are finished. The list holds one
// reference on each parked transaction. Every way out of the list except destruction completes the
// pre-read's whole range with kResultSuccess (no data is copied for a pre-read). Called from the
// cache's dispatcher threads; AlignRange from any thread. The list's lock (its thread-safe-modify
// lock) is held while completions run, so pre-read owners called back must not wait for this list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>

#include "Tarvos/SharedObject.h"

namespace Tarvos {

class CacheSource;
class CacheTransaction;

class PreReadTransactionList : public SharedObject {
  public:
    static constexpr uint32_t kOverdueLimitMs = 2000;

    explicit PreReadTransactionList(uint32_t blockSize);

    // Widens [offset, offset + size) to whole blocks; nothing when the block size is below 2.
    void AlignRange(uint64_t& offset, uint32_t& size) const;
    // Parks the pre-read; false (nothing stored) for a transaction without a source. A different
    // transaction parked under the same key is finished and released: it is superseded.
    bool AddPreReadTransaction(CacheTransaction* transaction);
    // Finishes overdue pre-reads, then returns the parked transaction equal in source, offset and size
    // (possibly `transaction` itself), or null. No reference is handed out; the entry stays.
    CacheTransaction* FindPreReadTransaction(CacheTransaction* transaction);
    // A read of blocks has been started for `transaction`: finishes the parked pre-reads of every
    // block its range touches.
    void CompleteCoveredPreReads(CacheTransaction* transaction);
    // Takes `transaction` out of the list without completing it; false when it is not parked.
    bool RemovePreReadTransaction(CacheTransaction* transaction);
    // Ends every parked pre-read of the source with kResultCancelled and lets go of it.
    void CancelPreReadsOfSource(CacheSource* source);
    // Finishes every pre-read more than kOverdueLimitMs past its due time, at the current time.
    void CompleteOverduePreReads();
    // The same at a given time (32-bit milliseconds).
    void CompleteOverduePreReadsAt(uint32_t now);

    size_t GetNumberOfEntries();
    // How many pre-reads the overdue walks finished with data still unread, since the last call.
    uint32_t TakeDroppedCount();

  protected:
    // Releases the parked transactions without completing them.
    ~PreReadTransactionList() override;

  private:
    struct Key {
        uint32_t sourceKey;
        uint64_t offset;
        uint32_t size;
        bool operator<(const Key& other) const {
            return std::tie(sourceKey, offset, size) < std::tie(other.sourceKey, other.offset, other.size);
        }
    };
    static Key KeyOf(CacheTransaction* transaction);
    // Completes the entry's transaction over its whole range and drops the list's reference.
    static void FinishAndRelease(CacheTransaction* transaction);

    std::map<Key, CacheTransaction*> entries;  // guarded by the thread-safe-modify lock
    const uint32_t blockSize;
    const uint32_t overdueLimit = kOverdueLimitMs;
    uint32_t dropped = 0;  // guarded by the thread-safe-modify lock
};

}  // namespace Tarvos
