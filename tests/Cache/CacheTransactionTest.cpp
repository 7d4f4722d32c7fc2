#include "Tarvos/CacheTransaction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/StubCacheSource.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"

using namespace Tarvos;
using TarvosTest::StubCacheSource;

namespace {

class RecordingCallback : public CacheTransaction::StatusCallback {
  public:
    void Callback(CacheSource::Result_t result, CacheTransaction* transaction, uint32_t bytes) override {
        ++calls;
        lastResult = result;
        lastBytes = bytes;
        lastTransaction = transaction;
        if (throwFromCallback) {
            throw 7;
        }
    }
    std::atomic<int> calls{0};
    CacheSource::Result_t lastResult = CacheSource::kResultNone;
    uint32_t lastBytes = 0;
    CacheTransaction* lastTransaction = nullptr;
    bool throwFromCallback = false;

  protected:
    ~RecordingCallback() override = default;
};

// A transaction at offset 1000 over a list of buffers of the given sizes, with its source and
// callback; the fixture releases everything and checks that nothing leaked a reference.
class CacheTransactionTest : public ::testing::Test {
  protected:
    void Build(const std::vector<uint32_t>& sizes, uint64_t offset = 1000) {
        list = new BufferList(4);
        for (uint32_t size : sizes) {
            auto* buffer = new HeapBuffer(size);
            std::memset(buffer->GetAddress(), 0, size);
            buffers.push_back(buffer);
            list->AddBuffer(buffer, true);
        }
        transaction = new CacheTransaction(source, offset, list, callback, 7);
    }

    void TearDown() override {
        if (transaction != nullptr) {
            EXPECT_EQ(transaction->GetRefCount(), 1);
            transaction->DecRef(TARVOS_CALL_SITE);
        }
        EXPECT_EQ(source->GetRefCount(), 1);
        EXPECT_EQ(callback->GetRefCount(), 1);
        source->DecRef(TARVOS_CALL_SITE);
        callback->DecRef(TARVOS_CALL_SITE);
        if (list != nullptr) {
            EXPECT_EQ(list->GetRefCount(), 1);
            list->DecRef(TARVOS_CALL_SITE);
        }
    }

    uint8_t ByteAt(size_t buffer, uint32_t position) {
        return static_cast<uint8_t*>(buffers[buffer]->GetAddress())[position];
    }

    StubCacheSource* source = new StubCacheSource();
    RecordingCallback* callback = new RecordingCallback();
    BufferList* list = nullptr;
    std::vector<Buffer*> buffers;
    CacheTransaction* transaction = nullptr;
};

TEST_F(CacheTransactionTest, SetUpHoldsOneReferenceEach) {
    Build({300});
    EXPECT_EQ(source->GetRefCount(), 2);
    EXPECT_EQ(list->GetRefCount(), 2);
    EXPECT_EQ(callback->GetRefCount(), 2);
    EXPECT_EQ(transaction->GetSize(), 300u);
    EXPECT_EQ(transaction->GetOffset(), 1000u);
    EXPECT_EQ(transaction->GetDueTime(), 7u);
    EXPECT_FALSE(transaction->IsPreReadTransaction());

    // Setting up again with the same objects takes no further references.
    EXPECT_TRUE(transaction->Setup(source, 2000, list, callback, 9));
    EXPECT_EQ(source->GetRefCount(), 2);
    EXPECT_EQ(list->GetRefCount(), 2);
    EXPECT_EQ(callback->GetRefCount(), 2);

    // A null source drops everything, each old reference exactly once.
    EXPECT_FALSE(transaction->Setup(nullptr, 0, nullptr, nullptr, 0));
    EXPECT_EQ(source->GetRefCount(), 1);
    EXPECT_EQ(list->GetRefCount(), 1);
    EXPECT_EQ(callback->GetRefCount(), 1);
    EXPECT_EQ(transaction->GetSource(), nullptr);
    EXPECT_EQ(transaction->GetBufferList(), nullptr);
}

TEST_F(CacheTransactionTest, CleanupDropsReferencesButKeepsTheTransaction) {
    Build({100});
    EXPECT_TRUE(transaction->Cleanup());
    EXPECT_EQ(source->GetRefCount(), 1);
    EXPECT_EQ(list->GetRefCount(), 1);
    EXPECT_EQ(transaction->GetSize(), 0u);
    EXPECT_TRUE(transaction->Cleanup());
}

TEST_F(CacheTransactionTest, ResultIsPendingUntilFinishedAndCallbackRunsOnce) {
    Build({300});
    uint32_t bytes = 99;
    EXPECT_EQ(transaction->GetResult(&bytes), CacheSource::kResultPending);
    EXPECT_EQ(bytes, 0u);
    transaction->SetResult(CacheSource::kResultCancelled);
    EXPECT_EQ(callback->calls.load(), 1);
    EXPECT_EQ(callback->lastResult, CacheSource::kResultCancelled);
    EXPECT_EQ(callback->lastBytes, 0u);
    EXPECT_EQ(callback->lastTransaction, transaction);
    transaction->SetResult(CacheSource::kResultFailed);
    transaction->Complete(1000, 300, CacheSource::kResultSuccess);
    EXPECT_EQ(callback->calls.load(), 1);
    EXPECT_EQ(transaction->GetResult(nullptr), CacheSource::kResultCancelled);
}

TEST_F(CacheTransactionTest, ExceptionFromTheCallbackIsSwallowed) {
    Build({10});
    callback->throwFromCallback = true;
    transaction->Complete(1000, 10, CacheSource::kResultSuccess);
    EXPECT_EQ(callback->calls.load(), 1);
    EXPECT_EQ(transaction->GetResult(nullptr), CacheSource::kResultSuccess);
}

TEST_F(CacheTransactionTest, CompleteBelowTheOffsetChangesNothing) {
    Build({100});
    transaction->Complete(999, 101, CacheSource::kResultSuccess);
    EXPECT_EQ(callback->calls.load(), 0);
    EXPECT_TRUE(transaction->StillRangesToComplete());
}

TEST_F(CacheTransactionTest, CopyIntoPiecesAcrossBuffers) {
    Build({120, 180});  // 300 bytes at 1000
    std::vector<uint8_t> block(500);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    // Data at 900..1100 overlaps the first 100 bytes.
    uint64_t copiedOffset = 0;
    uint32_t copiedSize = 0;
    EXPECT_EQ(transaction->CopyInto(block.data(), 900, 200, CacheSource::kResultSuccess, &copiedOffset,
                                    &copiedSize),
              CacheSource::kResultPending);
    EXPECT_EQ(copiedOffset, 1000u);
    EXPECT_EQ(copiedSize, 100u);
    EXPECT_EQ(ByteAt(0, 0), block[100]);
    EXPECT_EQ(ByteAt(0, 99), block[199]);
    EXPECT_EQ(callback->calls.load(), 0);
    // Data at 1100..1600 supplies the remaining 200, crossing into the second buffer.
    EXPECT_EQ(transaction->CopyInto(block.data(), 1100, 500, CacheSource::kResultSuccess, &copiedOffset,
                                    &copiedSize),
              CacheSource::kResultSuccess);
    EXPECT_EQ(copiedOffset, 1100u);
    EXPECT_EQ(copiedSize, 200u);
    EXPECT_EQ(ByteAt(0, 100), block[0]);
    EXPECT_EQ(ByteAt(0, 119), block[19]);
    EXPECT_EQ(ByteAt(1, 0), block[20]);
    EXPECT_EQ(ByteAt(1, 179), block[199]);
    EXPECT_EQ(callback->calls.load(), 1);
    EXPECT_EQ(callback->lastResult, CacheSource::kResultSuccess);
    EXPECT_EQ(callback->lastBytes, 300u);
}

TEST_F(CacheTransactionTest, CopyIntoOutsideTheTransactionIsEndOfFile) {
    Build({300});
    uint8_t data[100] = {};
    uint32_t copiedSize = 77;
    EXPECT_EQ(transaction->CopyInto(data, 900, 100, CacheSource::kResultSuccess, nullptr, &copiedSize),
              CacheSource::kResultEndOfFile);
    EXPECT_EQ(transaction->CopyInto(data, 1300, 100, CacheSource::kResultSuccess, nullptr, &copiedSize),
              CacheSource::kResultEndOfFile);
    EXPECT_EQ(copiedSize, 77u);
    EXPECT_EQ(callback->calls.load(), 0);
    EXPECT_TRUE(transaction->StillRangesToComplete());
}

TEST_F(CacheTransactionTest, EndOfFileAtTheStartFinishesWithNoBytes) {
    Build({300});
    transaction->Complete(1000, 0, CacheSource::kResultEndOfFile);
    EXPECT_EQ(callback->calls.load(), 1);
    EXPECT_EQ(callback->lastResult, CacheSource::kResultEndOfFile);
    EXPECT_EQ(callback->lastBytes, 0u);
}

TEST_F(CacheTransactionTest, EmptyPieceAtEndOfFileWaitsForTheDataInFrontOfIt) {
    Build({300});
    EXPECT_EQ(transaction->CopyInto(nullptr, 1100, 0, CacheSource::kResultEndOfFile, nullptr, nullptr),
              CacheSource::kResultEndOfFile);
    EXPECT_EQ(callback->calls.load(), 0);
    uint8_t data[100] = {};
    transaction->CopyInto(data, 1000, 100, CacheSource::kResultSuccess, nullptr, nullptr);
    EXPECT_EQ(callback->calls.load(), 1);
    // The data before the end counts as a short read, as from a source without a cache.
    EXPECT_EQ(callback->lastResult, CacheSource::kResultPartial);
    EXPECT_EQ(callback->lastBytes, 100u);
    uint32_t bytes = 0;
    EXPECT_EQ(transaction->GetResult(&bytes), CacheSource::kResultPartial);
    EXPECT_EQ(bytes, 100u);
}

TEST_F(CacheTransactionTest, ShortBlockFinishesPartialWithTheBytesThere) {
    Build({300});
    uint8_t data[120] = {};
    EXPECT_EQ(transaction->CopyInto(data, 1000, 120, CacheSource::kResultPartial, nullptr, nullptr),
              CacheSource::kResultPartial);
    EXPECT_EQ(callback->lastResult, CacheSource::kResultPartial);
    EXPECT_EQ(callback->lastBytes, 120u);
}

TEST_F(CacheTransactionTest, DestinationThatCannotBeLockedIsReported) {
    Build({100, 100});
    // At -1 the copy's own lock attempt brings the count to 0, which does not count as locked (and is
    // not undone, so the count is back at 0 afterwards).
    buffers[1]->Unlock();
    uint8_t data[200];
    std::memset(data, 0xAB, sizeof(data));
    uint32_t copiedSize = 0;
    EXPECT_EQ(transaction->CopyInto(data, 1000, 200, CacheSource::kResultSuccess, nullptr, &copiedSize),
              CacheSource::kResultBufferLocked);
    EXPECT_EQ(copiedSize, 100u) << "the piece before the locked buffer is still completed";
    EXPECT_EQ(ByteAt(0, 99), 0xAB);
    EXPECT_EQ(callback->calls.load(), 0);
    EXPECT_EQ(buffers[1]->GetLockState(), Buffer::kLockStateUnlocked);
    // Nothing copied at all: locked again reported, nothing completed.
    buffers[0]->Unlock();
    transaction->Setup(source, 1000, list, callback, 0);
    EXPECT_EQ(transaction->CopyInto(data, 1000, 50, CacheSource::kResultSuccess, nullptr, nullptr),
              CacheSource::kResultBufferLocked);
    EXPECT_TRUE(transaction->StillRangesToComplete());
    EXPECT_EQ(callback->calls.load(), 0);
}

TEST_F(CacheTransactionTest, RangeOperationsUseAbsoluteOffsets) {
    Build({300});
    uint64_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(transaction->GetRangeToComplete(offset, size, 100));
    EXPECT_EQ(offset, 1000u);
    EXPECT_EQ(size, 100u);
    transaction->ReturnRangeToComplete(1000, 100);
    uint64_t reserveOffset = 1250;
    uint32_t reserveSize = 200;
    ASSERT_TRUE(transaction->Reserve(reserveOffset, reserveSize));
    EXPECT_EQ(reserveOffset, 1250u);
    EXPECT_EQ(reserveSize, 50u) << "clipped to the transaction";
    uint64_t outside = 2000;
    uint32_t outsideSize = 10;
    EXPECT_FALSE(transaction->Reserve(outside, outsideSize));
    uint32_t inBuffer = 0, left = 0;
    EXPECT_EQ(transaction->GetBufferAtOffset(1010, &inBuffer, &left), buffers[0]);
    EXPECT_EQ(inBuffer, 10u);
    EXPECT_EQ(left, 290u);
    EXPECT_EQ(transaction->GetBufferAtOffset(999, &inBuffer, &left), nullptr);
}

TEST_F(CacheTransactionTest, SourceCallsGoToTheSource) {
    Build({10});
    source->readAnswer = CacheSource::kResultBusy;
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultBusy);
    EXPECT_EQ(source->readTransactions.load(), 1);
    EXPECT_FALSE(transaction->SupportsPreReads());
    source->preReads = true;
    EXPECT_TRUE(transaction->SupportsPreReads());
    transaction->PreReadDirect();
    EXPECT_EQ(source->preReadTransactions.load(), 1);
}

TEST(CacheTransactionPlainTest, WithoutSourceOrRanges) {
    auto* transaction = new CacheTransaction();
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(transaction->GetResult(nullptr), CacheSource::kResultFailed);
    EXPECT_EQ(transaction->GetSize(), 0u);
    EXPECT_EQ(transaction->CopyInto(nullptr, 0, 0, CacheSource::kResultSuccess, nullptr, nullptr),
              CacheSource::kResultEndOfFile);
    EXPECT_FALSE(transaction->StillRangesToComplete());
    transaction->SetResult(CacheSource::kResultFailed);
    transaction->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
