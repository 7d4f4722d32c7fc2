// A file source over a byte vector, for unit tests of everything above the uncached operations. Its
// uncached reads and writes complete either inline (the callback runs before the call returns) or on
// its own completion thread, with a chosen answer: the real transfer (success, partial at the end of
// the data, end of file beyond it), a forced partial transfer, a failure, busy, a refusal, or held
// until released or cancelled. Cancellation runs on the completion thread (inline when called there)
// and returns once every cancelled request has reported kResultCancelled.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "Tarvos/FileSource.h"

namespace TarvosTest {

class MemoryFileSource : public Tarvos::FileSource {
  public:
    enum class Answer {
        kTransfer,  // move the bytes; reads report partial or end of file at the end of the data
        kPartial,   // move at most partialBytes and report kResultPartial
        kFail,      // report kResultFailed with 0 bytes
        kBusy,      // return kResultBusy, start nothing
        kRefuse,    // return the refusal result, start nothing
        kHold,      // park the request until ReleaseHeld or cancellation
    };

    explicit MemoryFileSource(bool completeInline);

    void SetAnswer(Answer answer, uint32_t partialBytes = 0,
                   Result_t refusal = Tarvos::CacheSource::kResultInvalidArgument);
    // The data becomes size bytes of the offset pattern of BufferChecks.h.
    void FillWithPattern(uint32_t size, uint32_t seed = 0);
    std::vector<uint8_t> Contents();
    // The (offset, size) of every uncached read submitted with something to read into, in order.
    std::vector<std::pair<uint64_t, uint32_t>> ReadRanges();
    // Hands every held request to the completion thread with the transfer answer; returns how many.
    int ReleaseHeld();
    int HeldCount();
    // Waits (bounded) until nothing is queued or running on the completion thread.
    bool WaitIdle();
    std::thread::id CompletionThread();

    // Runs inside the destructor, on the destroying thread.
    std::function<void()> onDestroy;

    std::atomic<int> reads{0};
    std::atomic<int> writes{0};
    std::atomic<int> cancels{0};
    std::atomic<int> preReads{0};
    std::atomic<uint64_t> lastOffset{0};
    std::atomic<uint32_t> lastDueTime{0};
    std::atomic<uint32_t> lastSize{0};
    std::atomic<ResultCallbackBufferList*> lastCallback{nullptr};
    std::atomic<Tarvos::BufferList*> lastList{nullptr};
    bool preReadSupport = false;

    bool SupportsMultiBlockReads() override { return true; }
    Result_t ReadAsyncWithListNonCached(uint64_t offset, Tarvos::BufferList* list,
                                        ResultCallbackBufferList* callback, uint32_t dueTime) override;
    Result_t WriteAsyncWithListNonCached(uint64_t offset, Tarvos::BufferList* list,
                                         ResultCallbackBufferList* callback, uint32_t dueTime) override;
    void CancelNonCached() override;
    void PreReadNonCached(uint64_t offset, uint32_t size, uint32_t dueTime) override;
    bool SupportsPreReads() override { return preReadSupport; }

    // The cache's entry points, opened for tests.
    using Tarvos::FileSource::CancelAllTransactions;
    using Tarvos::FileSource::PreReadTransaction;
    using Tarvos::FileSource::ReadTransaction;
    using Tarvos::FileSource::SupportsPreReadTransactions;

    struct State;

  protected:
    ~MemoryFileSource() override;

  private:
    Result_t Submit(bool write, uint64_t offset, Tarvos::BufferList* list, ResultCallbackBufferList* callback,
                    uint32_t dueTime);

    bool completeInline;
    std::shared_ptr<State> state;  // shared with the completion thread, which may outlive the source
};

}  // namespace TarvosTest
