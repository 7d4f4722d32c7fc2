// File source routing without a cache, the synchronous forms over their own asynchronous call, and the
// adapters that serve single buffers and the cache's block reads, over a memory-backed source whose
// operations complete inline or on its own completion thread.
#include "Tarvos/FileSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Support/MemoryFileSource.h"
#include "Support/ThreadGroup.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/CacheTransaction.h"

using namespace Tarvos;
using TarvosTest::FillPattern;
using TarvosTest::FirstPatternMismatch;
using TarvosTest::MemoryFileSource;
using TarvosTest::WaitUntil;
using Answer = MemoryFileSource::Answer;

namespace {

constexpr uint32_t kUntouched = 0xABCDEF;

struct Report {
    CacheSource::Result_t result = CacheSource::kResultNone;
    uint64_t offset = 0;
    void* object = nullptr;  // the buffer, list or transaction reported
    uint32_t bytes = 0;
    std::thread::id thread;
};

// Records every report; calls counts them.
class Recorder {
  public:
    std::atomic<int> calls{0};
    Report Last() {
        std::lock_guard<std::mutex> hold(mutex);
        return last;
    }

  protected:
    void Record(CacheSource::Result_t result, uint64_t offset, void* object, uint32_t bytes) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            last = {result, offset, object, bytes, std::this_thread::get_id()};
        }
        ++calls;
    }

  private:
    std::mutex mutex;
    Report last;
};

class BufferRecorder : public FileSource::ResultCallbackBuffer, public Recorder {
  public:
    void Callback(CacheSource::Result_t result, uint64_t offset, Buffer* buffer, uint32_t bytes) override {
        Record(result, offset, buffer, bytes);
    }
};

class ListRecorder : public FileSource::ResultCallbackBufferList, public Recorder {
  public:
    void Callback(CacheSource::Result_t result, uint64_t offset, BufferList* list, uint32_t bytes) override {
        Record(result, offset, list, bytes);
    }
};

class StatusRecorder : public CacheTransaction::StatusCallback, public Recorder {
  public:
    void Callback(CacheSource::Result_t result, CacheTransaction* transaction, uint32_t bytes) override {
        Record(result, 0, transaction, bytes);
    }
};

template <typename T>
void Release(T* object) {
    object->DecRef(TARVOS_CALL_SITE);
}

class FileSourceTest : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        source = new MemoryFileSource(GetParam());
        source->FillWithPattern(kFileSize);
    }
    void TearDown() override {
        if (source != nullptr) {
            Release(source);
        }
        for (SharedObject* object : owned) {
            Release(object);
        }
    }
    Buffer* NewBuffer(uint32_t size) {
        Buffer* buffer = new HeapBuffer(size);
        std::memset(buffer->GetAddress(), 0xEE, size);
        owned.push_back(buffer);
        return buffer;
    }
    // A list of fresh buffers of the given sizes; the test keeps one reference on each buffer.
    BufferList* NewList(const std::vector<uint32_t>& sizes) {
        auto* list = new BufferList(static_cast<uint32_t>(sizes.size()));
        for (uint32_t size : sizes) {
            list->AddBuffer(NewBuffer(size), false);
        }
        owned.push_back(list);
        return list;
    }
    // Whether the list holds the file's bytes from offset, for length bytes.
    static bool ListHoldsFileBytes(BufferList* list, uint64_t offset, uint32_t length) {
        uint32_t done = 0;
        while (done < length) {
            uint32_t inBuffer = 0;
            uint32_t left = 0;
            Buffer* buffer = list->GetBufferAtOffset(done, &inBuffer, &left);
            if (buffer == nullptr) {
                return false;
            }
            const uint32_t n = std::min(left, length - done);
            const auto* bytes = static_cast<uint8_t*>(buffer->GetAddress()) + inBuffer;
            if (FirstPatternMismatch(bytes, n, offset + done) != n) {
                return false;
            }
            done += n;
        }
        return true;
    }

    static constexpr uint32_t kFileSize = 10000;
    MemoryFileSource* source = nullptr;
    std::vector<SharedObject*> owned;
};

INSTANTIATE_TEST_SUITE_P(Completion, FileSourceTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Inline" : "CompletionThread";
                         });

TEST_P(FileSourceTest, ReadOfOneBufferReturnsTheResultAndTheBytesRead) {
    Buffer* buffer = NewBuffer(4096);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Read(1000, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 4096u);
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), 4096, 1000), 4096u);
    EXPECT_EQ(source->reads.load(), 1);
    EXPECT_EQ(source->lastOffset.load(), 1000u);
    EXPECT_EQ(source->lastDueTime.load(), CacheSource::kDueASAP);
    // The wrapper's list and its reference on the buffer go once the completing side lets go.
    EXPECT_TRUE(WaitUntil([&] { return buffer->GetRefCount() == 1; }));
}

TEST_P(FileSourceTest, ReadRunningPastTheEndIsPartialWithTheBytesActuallyRead) {
    Buffer* buffer = NewBuffer(4096);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Read(kFileSize - 100, buffer, &bytes), CacheSource::kResultPartial);
    EXPECT_EQ(bytes, 100u);
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), 100, kFileSize - 100), 100u);
}

TEST_P(FileSourceTest, ReadAtTheEndIsEndOfFileWithNoBytes) {
    Buffer* buffer = NewBuffer(512);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Read(kFileSize, buffer, &bytes), CacheSource::kResultEndOfFile);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(source->Read(kFileSize + 5000, buffer, nullptr), CacheSource::kResultEndOfFile);
}

TEST_P(FileSourceTest, ReadWhenBusyReturnsBusyAndLeavesTheByteCount) {
    source->SetAnswer(Answer::kBusy);
    Buffer* buffer = NewBuffer(512);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultBusy);
    EXPECT_EQ(bytes, kUntouched);
    EXPECT_EQ(buffer->GetRefCount(), 1);
    EXPECT_EQ(source->Write(0, buffer, &bytes), CacheSource::kResultBusy);
    EXPECT_EQ(bytes, kUntouched);
}

TEST_P(FileSourceTest, RefusalsOfTheSourceAreReturnedUnchanged) {
    Buffer* buffer = NewBuffer(512);
    BufferList* list = NewList({512});
    for (CacheSource::Result_t refusal : {CacheSource::kResultFailed, CacheSource::kResultInvalidArgument}) {
        source->SetAnswer(Answer::kRefuse, 0, refusal);
        uint32_t bytes = kUntouched;
        EXPECT_EQ(source->Read(0, buffer, &bytes), refusal);
        EXPECT_EQ(source->ReadWithList(0, list, &bytes), refusal);
        EXPECT_EQ(source->Write(0, buffer, &bytes), refusal);
        EXPECT_EQ(source->WriteWithList(0, list, &bytes), refusal);
        EXPECT_EQ(bytes, kUntouched);
    }
    EXPECT_EQ(buffer->GetRefCount(), 1);
    EXPECT_EQ(list->GetRefCount(), 1);
}

TEST_P(FileSourceTest, FailureReportedLaterIsTheSynchronousResult) {
    source->SetAnswer(Answer::kFail);
    Buffer* buffer = NewBuffer(512);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultFailed);
    EXPECT_EQ(bytes, 0u);
    bytes = kUntouched;
    EXPECT_EQ(source->Write(0, buffer, &bytes), CacheSource::kResultFailed);
    EXPECT_EQ(bytes, 0u);
}

TEST_P(FileSourceTest, PartialTransferReportsItsByteCount) {
    source->SetAnswer(Answer::kPartial, 100);
    BufferList* list = NewList({300, 200});
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->ReadWithList(50, list, &bytes), CacheSource::kResultPartial);
    EXPECT_EQ(bytes, 100u);
    EXPECT_TRUE(ListHoldsFileBytes(list, 50, 100));
}

TEST_P(FileSourceTest, ReadWithListFillsEveryBufferInOrder) {
    BufferList* list = NewList({100, 4096, 300});
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->ReadWithList(777, list, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 4496u);
    EXPECT_TRUE(ListHoldsFileBytes(list, 777, 4496));
    EXPECT_EQ(source->lastList.load(), list);
    EXPECT_TRUE(WaitUntil([&] { return list->GetRefCount() == 1; }));
}

TEST_P(FileSourceTest, WritesLandWhereTheyWereAskedAndReadBack) {
    Buffer* one = NewBuffer(1000);
    FillPattern(one->GetAddress(), 1000, 0, 5);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Write(kFileSize + 24, one, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 1000u);
    BufferList* list = NewList({10, 20});
    FillPattern(list->GetBuffer(0)->GetAddress(), 10, 0, 6);
    FillPattern(list->GetBuffer(1)->GetAddress(), 20, 10, 6);
    EXPECT_EQ(source->WriteWithList(3, list, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 30u);
    EXPECT_EQ(source->writes.load(), 2);

    const std::vector<uint8_t> data = source->Contents();
    ASSERT_EQ(data.size(), kFileSize + 1024u);
    EXPECT_EQ(FirstPatternMismatch(data.data(), 3, 0), 3u);
    EXPECT_EQ(FirstPatternMismatch(data.data() + 3, 30, 0, 6), 30u);
    EXPECT_EQ(FirstPatternMismatch(data.data() + 33, kFileSize - 33, 33), kFileSize - 33);
    EXPECT_EQ(FirstPatternMismatch(data.data() + kFileSize + 24, 1000, 0, 5), 1000u);

    Buffer* back = NewBuffer(1000);
    EXPECT_EQ(source->Read(kFileSize + 24, back, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(back->GetAddress(), 1000, 0, 5), 1000u);
}

TEST_P(FileSourceTest, NothingToTransferIsRefusedBeforeReachingTheSource) {
    uint32_t bytes = kUntouched;
    auto* marker = reinterpret_cast<BufferList*>(1);
    source->lastList = marker;
    EXPECT_EQ(source->Read(0, nullptr, &bytes), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(source->Write(0, nullptr, &bytes), CacheSource::kResultInvalidArgument);
    auto* empty = new BufferList();
    EXPECT_EQ(source->WriteWithList(0, empty, &bytes), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(source->ReadWithList(0, empty, &bytes), CacheSource::kResultInvalidArgument);
    empty->DecRef(TARVOS_CALL_SITE);
    EXPECT_EQ(source->lastList.load(), marker);
    BufferRecorder callback;
    EXPECT_EQ(source->ReadAsync(0, nullptr, &callback, 0), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(bytes, kUntouched);
    EXPECT_EQ(callback.calls.load(), 0);
}

TEST_P(FileSourceTest, ReadAsyncReportsOnceWithTheCallersBufferAndTakesNoReferenceOnTheCallback) {
    auto* callback = new BufferRecorder();
    Buffer* buffer = NewBuffer(2000);
    EXPECT_EQ(source->ReadAsync(4000, buffer, callback, 42), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return callback->calls.load() == 1; }));
    const Report report = callback->Last();
    EXPECT_EQ(report.result, CacheSource::kResultSuccess);
    EXPECT_EQ(report.offset, 4000u);
    EXPECT_EQ(report.object, buffer);
    EXPECT_EQ(report.bytes, 2000u);
    EXPECT_EQ(source->lastDueTime.load(), 42u);
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), 2000, 4000), 2000u);
    EXPECT_EQ(callback->GetRefCount(), 1);
    ASSERT_TRUE(WaitUntil([&] { return buffer->GetRefCount() == 1; }));
    source->WaitIdle();
    EXPECT_EQ(callback->calls.load(), 1);
    Release(callback);
}

TEST_P(FileSourceTest, WriteAsyncReportsOnceAndWrites) {
    auto* callback = new BufferRecorder();
    Buffer* buffer = NewBuffer(64);
    FillPattern(buffer->GetAddress(), 64, 0, 9);
    EXPECT_EQ(source->WriteAsync(128, buffer, callback, 7), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return callback->calls.load() == 1; }));
    EXPECT_EQ(callback->Last().result, CacheSource::kResultSuccess);
    EXPECT_EQ(callback->Last().bytes, 64u);
    EXPECT_EQ(callback->Last().object, buffer);
    const std::vector<uint8_t> data = source->Contents();
    EXPECT_EQ(FirstPatternMismatch(data.data() + 128, 64, 0, 9), 64u);
    ASSERT_TRUE(WaitUntil([&] { return buffer->GetRefCount() == 1; }));
    Release(callback);
}

TEST_P(FileSourceTest, RefusedAsyncCallsNeitherCallNorKeepTheCallback) {
    auto* callback = new BufferRecorder();
    Buffer* buffer = NewBuffer(64);
    source->SetAnswer(Answer::kBusy);
    EXPECT_EQ(source->ReadAsync(0, buffer, callback, 0), CacheSource::kResultBusy);
    EXPECT_EQ(source->WriteAsync(0, buffer, callback, 0), CacheSource::kResultBusy);
    source->SetAnswer(Answer::kRefuse, 0, CacheSource::kResultFailed);
    EXPECT_EQ(source->ReadAsync(0, buffer, callback, 0), CacheSource::kResultFailed);
    EXPECT_EQ(callback->calls.load(), 0);
    EXPECT_EQ(callback->GetRefCount(), 1);
    EXPECT_EQ(buffer->GetRefCount(), 1);
    Release(callback);
}

TEST_P(FileSourceTest, AsyncWithoutACallerCallbackStillReleasesItsWrapper) {
    Buffer* buffer = NewBuffer(64);
    EXPECT_EQ(source->ReadAsync(0, buffer, nullptr, 0), CacheSource::kResultPending);
    // The wrapper's list held the only other reference on the buffer.
    EXPECT_TRUE(WaitUntil([&] { return buffer->GetRefCount() == 1; }));
}

TEST_P(FileSourceTest, UncachedListCallsPassTheCallerCallbackOnAsItIs) {
    auto* callback = new ListRecorder();
    BufferList* list = NewList({256});
    EXPECT_EQ(source->ReadAsyncWithList(10, list, callback, 77), CacheSource::kResultPending);
    EXPECT_EQ(source->lastCallback.load(), callback);
    EXPECT_EQ(source->lastDueTime.load(), 77u);
    ASSERT_TRUE(WaitUntil([&] { return callback->calls.load() == 1; }));
    EXPECT_EQ(callback->Last().object, list);
    EXPECT_EQ(callback->Last().offset, 10u);
    EXPECT_TRUE(ListHoldsFileBytes(list, 10, 256));

    EXPECT_EQ(source->WriteAsyncWithList(20, list, callback, 78), CacheSource::kResultPending);
    EXPECT_EQ(source->lastCallback.load(), callback);
    EXPECT_EQ(source->lastDueTime.load(), 78u);
    ASSERT_TRUE(WaitUntil([&] { return callback->calls.load() == 2; }));
    EXPECT_EQ(callback->Last().result, CacheSource::kResultSuccess);
    EXPECT_EQ(callback->GetRefCount(), 1);
    source->WaitIdle();
    Release(callback);
}

TEST_P(FileSourceTest, CancelReturnsAfterEveryOutstandingOperationReportedCancelled) {
    source->SetAnswer(Answer::kHold);
    std::vector<ListRecorder*> callbacks;
    for (int i = 0; i < 3; ++i) {
        callbacks.push_back(new ListRecorder());
        EXPECT_EQ(source->ReadAsyncWithList(i * 100, NewList({100}), callbacks.back(), 0),
                  CacheSource::kResultPending);
    }
    Buffer* buffer = NewBuffer(100);
    std::atomic<int> syncResult{CacheSource::kResultNone};
    uint32_t syncBytes = kUntouched;
    std::thread reader([&] { syncResult = source->Read(0, buffer, &syncBytes); });
    ASSERT_TRUE(WaitUntil([&] { return source->HeldCount() == 4; }));
    source->Cancel();
    for (ListRecorder* callback : callbacks) {
        EXPECT_EQ(callback->calls.load(), 1);
        EXPECT_EQ(callback->Last().result, CacheSource::kResultCancelled);
        EXPECT_EQ(callback->Last().bytes, 0u);
    }
    reader.join();
    EXPECT_EQ(syncResult.load(), CacheSource::kResultCancelled);
    EXPECT_EQ(syncBytes, 0u);
    EXPECT_EQ(source->cancels.load(), 1);
    for (ListRecorder* callback : callbacks) {
        Release(callback);
    }
}

TEST_P(FileSourceTest, CancelAllTransactionsIsTheUncachedCancel) {
    source->CancelAllTransactions();
    EXPECT_EQ(source->cancels.load(), 1);
}

TEST_P(FileSourceTest, PreReadWithoutACacheGoesToPreReadNonCachedOnly) {
    source->PreRead(4096, 8192, 33);
    EXPECT_EQ(source->preReads.load(), 1);
    EXPECT_EQ(source->lastOffset.load(), 4096u);
    EXPECT_EQ(source->lastSize.load(), 8192u);
    EXPECT_EQ(source->lastDueTime.load(), 33u);
    EXPECT_EQ(source->reads.load(), 0);
}

TEST_P(FileSourceTest, PreReadTransactionsFollowSupportsPreReads) {
    BufferList* list = NewList({500});
    auto* transaction = new CacheTransaction(source, 4096, list, nullptr, 55);
    EXPECT_FALSE(transaction->SupportsPreReads());
    transaction->PreReadDirect();
    EXPECT_EQ(source->preReads.load(), 0);

    source->preReadSupport = true;
    EXPECT_TRUE(transaction->SupportsPreReads());
    transaction->PreReadDirect();
    EXPECT_EQ(source->preReads.load(), 1);
    EXPECT_EQ(source->lastOffset.load(), 4096u);
    EXPECT_EQ(source->lastSize.load(), 500u);
    EXPECT_EQ(source->lastDueTime.load(), 55u);
    EXPECT_EQ(source->reads.load(), 0);
    Release(transaction);
}

// The cache's block reads: a transaction handed back to its source.
TEST_P(FileSourceTest, ReadTransactionCompletesTheTransactionWithTheRead) {
    auto* status = new StatusRecorder();
    BufferList* list = NewList({100, 200});
    auto* transaction = new CacheTransaction(source, 300, list, status, 9);
    const int sourceRefs = source->GetRefCount();
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return status->calls.load() == 1; }));
    EXPECT_EQ(status->Last().result, CacheSource::kResultSuccess);
    EXPECT_EQ(status->Last().bytes, 300u);
    EXPECT_EQ(status->Last().object, transaction);
    EXPECT_EQ(source->lastDueTime.load(), 9u);
    EXPECT_EQ(source->lastOffset.load(), 300u);
    EXPECT_TRUE(ListHoldsFileBytes(list, 300, 300));
    // The adapter's references on the transaction and the source are dropped after its callback.
    EXPECT_TRUE(WaitUntil([&] { return source->GetRefCount() == sourceRefs; }));
    EXPECT_TRUE(WaitUntil([&] { return transaction->GetRefCount() == 1; }));
    Release(transaction);
    Release(status);
}

TEST_P(FileSourceTest, ReadTransactionPassesFailuresAndEndOfFileToTheTransaction) {
    auto* status = new StatusRecorder();
    auto* transaction = new CacheTransaction(source, 0, NewList({100}), status, 0);
    source->SetAnswer(Answer::kFail);
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return status->calls.load() == 1; }));
    EXPECT_EQ(status->Last().result, CacheSource::kResultFailed);
    EXPECT_EQ(status->Last().bytes, 0u);

    source->SetAnswer(Answer::kTransfer);
    transaction->Setup(source, kFileSize + 4096, NewList({100}), status, 0);
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return status->calls.load() == 2; }));
    EXPECT_EQ(status->Last().result, CacheSource::kResultEndOfFile);

    transaction->Setup(source, kFileSize - 40, NewList({100}), status, 0);
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return status->calls.load() == 3; }));
    uint32_t bytes = 0;
    EXPECT_EQ(transaction->GetResult(&bytes), status->Last().result);
    EXPECT_EQ(status->Last().bytes, 40u);
    source->WaitIdle();
    EXPECT_TRUE(WaitUntil([&] { return transaction->GetRefCount() == 1; }));
    Release(transaction);
    Release(status);
}

TEST_P(FileSourceTest, BusyReadTransactionIsReturnedWithNothingLeftBehind) {
    auto* status = new StatusRecorder();
    auto* transaction = new CacheTransaction(source, 0, NewList({100}), status, 0);
    const int sourceRefs = source->GetRefCount();
    source->SetAnswer(Answer::kBusy);
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultBusy);
    EXPECT_EQ(source->GetRefCount(), sourceRefs);
    EXPECT_EQ(transaction->GetRefCount(), 1);
    // Still open: the cache tries again later.
    EXPECT_EQ(transaction->GetResult(nullptr), CacheSource::kResultPending);
    source->SetAnswer(Answer::kTransfer);
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return status->calls.load() == 1; }));
    EXPECT_EQ(status->Last().result, CacheSource::kResultSuccess);
    EXPECT_TRUE(WaitUntil([&] { return transaction->GetRefCount() == 1; }));
    Release(transaction);
    Release(status);
}

TEST_P(FileSourceTest, CancelledReadTransactionFinishesCancelled) {
    auto* status = new StatusRecorder();
    auto* transaction = new CacheTransaction(source, 0, NewList({100}), status, 0);
    source->SetAnswer(Answer::kHold);
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultPending);
    source->CancelAllTransactions();
    EXPECT_EQ(status->calls.load(), 1);
    EXPECT_EQ(status->Last().result, CacheSource::kResultCancelled);
    EXPECT_TRUE(WaitUntil([&] { return transaction->GetRefCount() == 1; }));
    Release(transaction);
    Release(status);
}

// The adapter of a block read may hold the last reference on its source when the read completes; the
// source must then not be destroyed on the completion thread, whose work its destruction cancels.
TEST(FileSourceReleaseTest, LastReferenceDroppedByACompletionIsNotReleasedOnTheCompletionThread) {
    auto* source = new MemoryFileSource(false);
    source->FillWithPattern(4096);
    std::atomic<bool> destroyed{false};
    std::thread::id destroyedOn;
    source->onDestroy = [&] {
        destroyedOn = std::this_thread::get_id();
        destroyed = true;
    };
    const std::thread::id completionThread = source->CompletionThread();
    auto* status = new StatusRecorder();
    Buffer* buffer = new HeapBuffer(512);
    auto* list = new BufferList(buffer, true);
    auto* transaction = new CacheTransaction(source, 0, list, status, 0);
    Release(list);
    source->SetAnswer(Answer::kHold);
    ASSERT_EQ(transaction->ReadDirect(), CacheSource::kResultPending);
    // From here only the adapter keeps the transaction, and through it and itself the source.
    Release(transaction);
    source->ReleaseHeld();
    Release(source);
    ASSERT_TRUE(WaitUntil([&] { return destroyed.load(); }));
    EXPECT_EQ(status->calls.load(), 1);
    EXPECT_EQ(status->Last().result, CacheSource::kResultSuccess);
    EXPECT_EQ(status->Last().thread, completionThread);
    EXPECT_NE(destroyedOn, completionThread);
    EXPECT_TRUE(WaitUntil([&] { return status->GetRefCount() == 1; }));
    Release(status);
}

TEST(FileSourceConcurrencyTest, ManyThreadsReadAndWriteSynchronouslyAtOnce) {
    auto* source = new MemoryFileSource(false);
    constexpr uint32_t kBlock = 256;
    constexpr int kThreads = 8;
    constexpr int kRounds = 60;
    source->FillWithPattern(kBlock * kThreads * 4);
    std::atomic<int> failures{0};
    TarvosTest::RunOnThreads(kThreads, [&](int index) {
        Buffer* buffer = new HeapBuffer(kBlock);
        // Each thread owns its block: writes its own seed there and reads it back; reads of the
        // untouched part check the original pattern.
        const uint64_t own = static_cast<uint64_t>(index) * kBlock;
        const uint64_t untouched = static_cast<uint64_t>(kThreads + index) * kBlock;
        for (int round = 0; round < kRounds; ++round) {
            uint32_t bytes = 0;
            FillPattern(buffer->GetAddress(), kBlock, own, round + 1);
            if (source->Write(own, buffer, &bytes) != CacheSource::kResultSuccess || bytes != kBlock) {
                ++failures;
            }
            std::memset(buffer->GetAddress(), 0, kBlock);
            if (source->Read(own, buffer, &bytes) != CacheSource::kResultSuccess ||
                FirstPatternMismatch(buffer->GetAddress(), kBlock, own, round + 1) != kBlock) {
                ++failures;
            }
            if (source->Read(untouched, buffer, &bytes) != CacheSource::kResultSuccess ||
                FirstPatternMismatch(buffer->GetAddress(), kBlock, untouched) != kBlock) {
                ++failures;
            }
        }
        if (!WaitUntil([&] { return buffer->GetRefCount() == 1; })) {
            ++failures;
        }
        Release(buffer);
    });
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(source->reads.load(), kThreads * kRounds * 2);
    EXPECT_EQ(source->writes.load(), kThreads * kRounds);
    Release(source);
}

}  // namespace
