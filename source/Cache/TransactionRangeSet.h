// Range bookkeeping of one cache transaction: which bytes nobody works on yet ("open"), which bytes
// have been completed, and the one merged result the transaction will report. Offsets are relative to
// the transaction's start; every range is clipped to [0, total) and no end is computed in 32 bits.
// Any thread may call any operation; one re-entrant lock serialises them. The listener (not owned) is
// told exactly once per Reset, on the thread whose Complete finished the set, after its lock was left.
// Reports no errors; only memory exhaustion escapes (as std::bad_alloc).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "CoreClasses/MTCritSecHold.h"

namespace Tarvos {

class MTCritSec;

class TransactionRangeSet {
  public:
    // The set's ranking of results; a result arriving later merges with the one so far by this rank
    // (see Complete).
    static constexpr int kRangeResultPending = 0;
    static constexpr int kRangeResultSuccess = 1;
    static constexpr int kRangeResultPartial = 2;
    static constexpr int kRangeResultCancelled = 3;
    static constexpr int kRangeResultEndOfFile = 4;
    static constexpr int kRangeResultFailed = 5;

    // As a maximum or requested size: as much as the whole set.
    static constexpr uint32_t kWholeSet = 0xFFFFFFFFu;

    struct Range {
        uint32_t offset;
        uint32_t size;
        bool operator==(const Range&) const = default;
    };

    class Listener {
      public:
        virtual ~Listener();
        // Called once when the set finishes, with the set's lock held: it may call back into `set` on
        // this thread but must not wait for another thread that needs the set.
        virtual void Finished(int rangeResult, TransactionRangeSet* set, uint32_t bytes) = 0;

      protected:
        Listener() = default;
    };

    // Result codes of cache operations, mapped in and out of the ranking above.
    static int RangeResultFromResult(int32_t result);
    static int32_t ResultFromRangeResult(int rangeResult);

    // One open range [0, total) (none for 0). Throws std::bad_alloc when no lock can be created.
    explicit TransactionRangeSet(uint32_t total);
    virtual ~TransactionRangeSet();
    TransactionRangeSet(const TransactionRangeSet&) = delete;
    TransactionRangeSet& operator=(const TransactionRangeSet&) = delete;

    // Starts a new cycle: one open range [0, total), nothing completed, no result, not finished.
    void Reset(uint32_t total);

    // Not locked: set the listener before the set is shared.
    void SetListener(Listener* listener);

    // False once finished; otherwise whether any byte is still open.
    bool StillRangesToComplete();

    // Takes the front of the first open range, at most maxSize bytes (kWholeSet: up to the whole set).
    // False, with offset and size 0, when finished, when nothing is open, or when maxSize is 0.
    bool GetRangeToComplete(uint32_t& offset, uint32_t& size, uint32_t maxSize);

    // Takes [offset, offset + requested) (kWholeSet: up to the whole set) out of the first open range
    // that holds its first or its last byte; only that one range is touched, so a request that spans an
    // open range with bytes to spare on both sides takes nothing. `size` becomes the length taken; true
    // when it is above 0. The piece starts at `offset` whenever `offset` itself was open.
    bool Reserve(uint32_t offset, uint32_t& size, uint32_t requested);

    // Runs `work` with the set's lock held, unless the set is finished (false, nothing run): a copy
    // into the transaction's memory made this way never overlaps the set finishing, so the owner told
    // of the end may reuse that memory at once. `work` must take no lock but a buffer's own.
    // A template, so that the copy runs inline with no callable object made per call.
    template <typename Work>
    bool RunWhileOpen(Work&& work) {
        MTCritSecHold guard(lock.get());
        if (finished) {
            return false;
        }
        work();
        return true;
    }

    // Makes a taken range open again (nothing once finished).
    void ReturnRange(uint32_t offset, uint32_t size);

    // Reports [offset, offset + size) as done with `rangeResult`. Success and partial ranges are
    // recorded as completed (and are no longer open); the results merge, and the set may finish, which
    // calls the listener. End of file reported at an offset beyond the bytes completed from 0 waits
    // until those bytes arrive. Nothing changes once finished.
    void Complete(uint32_t offset, uint32_t size, int rangeResult);

    // kRangeResultPending and 0 bytes until finished; then the merged result, and for success or
    // partial the length of the completed run from 0 (0 bytes otherwise). `bytes` may be null.
    int GetResult(uint32_t* bytes);

    // Copies of the two lists, sorted, disjoint and not touching: for diagnostics and tests.
    std::vector<Range> GetOpenRanges();
    std::vector<Range> GetCompletedRanges();

  private:
    // Complete's work under the lock; true when this call finished the set (*bytes: the run told).
    bool CompleteLocked(uint32_t offset, uint32_t size, int rangeResult, uint32_t& bytes);

    // Guards every field below. Re-entrant; the innermost lock of the cache: never held while the
    // listener (and the status callback behind it) runs, and nothing is taken while it is held but a
    // buffer's own state (RunWhileOpen's copies).
    std::unique_ptr<MTCritSec> lock;
    std::vector<Range> openRanges;       // not taken by anybody yet
    std::vector<Range> completedRanges;  // completed with success or partial
    uint32_t total;
    int result;  // merged result so far; kRangeResultPending until something is reported
    static constexpr uint32_t kNoEndOfData = 0xFFFFFFFFu;
    uint32_t CompletedRunFromStart() const;

    bool finished;       // the result is decided; cleared only by Reset
    uint32_t endOfData;  // lowest offset reported as end of file beyond the completed run, or
                         // kNoEndOfData; the set finishes once the run from 0 reaches it
    uint32_t shortEnd;   // lowest end of a non-empty partial piece, or kNoEndOfData; likewise
    Listener* listener;  // not owned
};

}  // namespace Tarvos
