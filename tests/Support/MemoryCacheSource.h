// A cache source over bytes that are a function of the offset (ContentAt), with a file length, for
// testing the cache end to end. Reads complete on the source's own completion thread (or inline),
// optionally held back until released, and can be made to answer busy, refuse, fail, or see a
// shorter file. Bytes written with Write replace the pattern from then on (reads completed later see
// them). Every read is counted and its range recorded. CancelAllTransactions ends every read
// not yet completed with kResultCancelled and returns once none is being completed.
// Requires: the test drops its reference last, from its own thread, after the traffic has stopped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Tarvos/CacheSource.h"

namespace TarvosTest {

class MemoryCacheSource : public Tarvos::CacheSource {
  public:
    explicit MemoryCacheSource(uint64_t length, bool completeInline = false);

    // The byte at `offset` of every source of this kind (mixed with the source's seed).
    static uint8_t ContentAt(uint64_t offset, uint32_t seed = 0) {
        uint64_t x = (offset + 1) * 0x9E3779B97F4A7C15ull + seed * 0xBF58476D1CE4E5B9ull;
        x ^= x >> 29;
        return static_cast<uint8_t>(x ^ (x >> 17));
    }
    // Checks `size` bytes at `data` against the content at `offset`; the first wrong position or -1.
    int64_t FirstMismatch(const uint8_t* data, uint64_t offset, uint32_t size);
    // Replaces the content of [offset, offset + size); the cache is not told (invalidate it).
    void Write(uint64_t offset, const uint8_t* data, uint32_t size);

    bool SupportsMultiBlockReads() override { return multiBlock.load(); }
    // Non-zero: the key reported instead of the source's own, as sources of one file share one.
    uint32_t GetSourceKey() override {
        const uint32_t shared = sharedKey.load();
        return shared != 0 ? shared : CacheSource::GetSourceKey();
    }
    std::atomic<uint32_t> sharedKey{0};

    std::atomic<bool> multiBlock{true};
    std::atomic<uint64_t> length;
    std::atomic<uint32_t> seed{0};
    std::atomic<int> busyAnswers{0};         // the next N ReadTransaction calls answer kResultBusy
    std::atomic<int32_t> refuseWith{0};      // non-zero: ReadTransaction answers this, reads nothing
    std::atomic<int32_t> failWith{0};        // non-zero: reads complete with this result, no data
    std::atomic<uint32_t> latencyMicros{0};  // delay before each completion
    std::atomic<bool> preReadSupport{false};
    std::function<void()> onCancel;  // runs inside CancelAllTransactions, first

    std::atomic<int> reads{0};  // ReadTransaction calls that started a read
    std::atomic<int> readCalls{0};
    std::atomic<int> cancelCalls{0};
    std::atomic<int> preReadCalls{0};
    std::vector<std::pair<uint64_t, uint32_t>> ReadRanges();

    // While held, completions wait; Release lets them all go.
    void Hold();
    void Release();
    // Reads started but not completed yet.
    size_t Outstanding();
    // While held: completes the read at `index` (in start order) of those held back, on the calling
    // thread. False when fewer are held.
    bool CompleteHeld(size_t index);
    size_t Held();

  protected:
    ~MemoryCacheSource() override;
    Result_t ReadTransaction(Tarvos::CacheTransaction* transaction) override;
    void CancelAllTransactions() override;
    void PreReadTransaction(Tarvos::CacheTransaction* transaction) override;
    bool SupportsPreReadTransactions() override { return preReadSupport.load(); }

  private:
    void CompletionLoop();
    void CompleteRead(Tarvos::CacheTransaction* transaction);
    uint8_t ByteAt(uint64_t offset, uint32_t seed) const;  // requires mutex

    const bool completeInline;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Tarvos::CacheTransaction*> queue;  // one reference each
    std::vector<std::pair<uint64_t, uint32_t>> ranges;
    std::vector<uint8_t> written;  // bytes from offset 0 on, valid where `isWritten` is set
    std::vector<bool> isWritten;
    bool held = false;
    bool stopping = false;
    int completing = 0;
    std::thread worker;
};

}  // namespace TarvosTest
