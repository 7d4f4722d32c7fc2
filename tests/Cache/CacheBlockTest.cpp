#include "Cache/CacheBlock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Cache/CacheCommands.h"
#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Support/StubCacheSource.h"
#include "Support/TransactionProbe.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/MTInterface.h"

using namespace Tarvos;
using TarvosTest::FillPattern;
using TarvosTest::FirstPatternMismatch;
using TarvosTest::LockCountOf;
using TarvosTest::Probe;
using TarvosTest::StubCacheSource;

namespace {

constexpr uint32_t kBlock = 65536;

// One block of 64 KiB outside any list, with no cache, and a source whose data at every offset is
// PatternByte(offset).
class CacheBlockTest : public ::testing::Test {
  protected:
    void TearDown() override {
        delete block;
        block = nullptr;
        EXPECT_EQ(blockBuffer->GetRefCount(), 1);
        EXPECT_EQ(LockCountOf(blockBuffer), 0);
        blockBuffer->DecRef(TARVOS_CALL_SITE);
        probes.Release();
        EXPECT_EQ(source->GetRefCount(), 1);
        EXPECT_EQ(other->GetRefCount(), 1);
        source->DecRef(TARVOS_CALL_SITE);
        other->DecRef(TARVOS_CALL_SITE);
    }

    // What a source read does: the block's buffer receives the data at its offset.
    void FillBlock(uint32_t bytes) { FillPattern(blockBuffer->GetAddress(), bytes, block->GetBlockOffset()); }

    // Claims the block for a read of `probe`, fills it and completes the read with `result`.
    void ReadInto(Probe* probe, uint32_t bytes = kBlock,
                  CacheSource::Result_t result = CacheSource::kResultSuccess) {
        ASSERT_TRUE(block->LockForReadInto(probe->transaction));
        FillBlock(bytes);
        ASSERT_TRUE(block->CompleteReadInto(bytes, result));
    }

    // A full block at `offset` that nobody holds, its stamp the due time given.
    // Fills the block with the data at `offset` and lets it go: read by a demand read (keepUntil 0,
    // stamp: now), or brought in by a pre-read nobody has used yet, which keeps it (its stamp) until
    // keepUntil.
    void FilledFreeBlock(uint64_t offset, uint32_t keepUntil) {
        if (keepUntil == 0) {
            Probe* first = probes.Read(source, offset, 100, 0);
            ReadInto(first);
            block->ProcessPendingTransactions(nullptr);
            ASSERT_EQ(first->Calls(), 1);
        } else {
            Probe* ahead =
                probes.PreRead(source, offset, kBlock, keepUntil - CacheBlock::kUnreadPreReadGraceMs);
            ASSERT_TRUE(block->LockForReadInto(ahead->transaction));
            FillBlock(block->GetBlockOffset());
            ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
            block->ProcessPendingTransactions(nullptr);
            ASSERT_EQ(block->GetStamp(), keepUntil);
        }
        ASSERT_EQ(block->GetLockCount(), 0);
    }

    // Queues a read of 100 bytes at `offset` on the filled block and serves it.
    void ServeOnce(uint64_t offset, uint32_t dueTime) {
        Probe* probe = probes.Read(source, offset, 100, dueTime);
        bool waiting = true;
        ASSERT_TRUE(block->LockForCopyOutOf(probe->transaction, &waiting));
        block->ProcessPendingTransactions(nullptr);
        ASSERT_EQ(probe->Calls(), 1);
        ASSERT_EQ(probe->Result(), CacheSource::kResultSuccess);
    }

    bool PatternAt(Probe* probe, uint32_t length) {
        return FirstPatternMismatch(probe->Data(), length, probe->offset) == length;
    }

    static uint32_t Later(uint32_t ms) { return MTInterface::GetCurrentTimeMilli() + ms; }

    StubCacheSource* source = new StubCacheSource();
    StubCacheSource* other = new StubCacheSource();
    HeapBuffer* blockBuffer = new HeapBuffer(kBlock);
    CacheBlock* block = new CacheBlock(nullptr, blockBuffer);
    TarvosTest::ProbeSet probes;
};

TEST_F(CacheBlockTest, ClaimAlignsTheOffsetAndKeepsARangeInsideTheBlock) {
    EXPECT_EQ(block->GetBlockSize(), kBlock);
    EXPECT_EQ(blockBuffer->GetRefCount(), 2);
    Probe* probe = probes.Read(source, 70000, 10000);
    ASSERT_TRUE(block->LockForReadInto(probe->transaction));
    EXPECT_EQ(block->GetBlockOffset(), 65536u);
    EXPECT_EQ(block->GetValidSize(), kBlock);
    EXPECT_EQ(block->GetSourceKey(), source->GetSourceKey());
    EXPECT_TRUE(block->IsReading());
    EXPECT_EQ(block->GetLockCount(), 2) << "one hold for the read, one for the queued transaction";
    EXPECT_EQ(LockCountOf(blockBuffer), 1) << "the buffer is locked once while the block is held";
    EXPECT_EQ(block->GetNumberOfPendingTransactions(), 1u);
    EXPECT_FALSE(probe->transaction->StillRangesToComplete()) << "the whole range stays reserved";
    EXPECT_EQ(probe->transaction->GetRefCount(), 3);
    FillBlock(kBlock);
    ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    EXPECT_EQ(block->GetLockCount(), 1);
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(probe->Calls(), 1);
    EXPECT_EQ(probe->Result(), CacheSource::kResultSuccess);
    EXPECT_EQ(probe->Bytes(), 10000u);
    EXPECT_TRUE(PatternAt(probe, 10000));
    EXPECT_EQ(block->GetLockCount(), 0);
    EXPECT_EQ(LockCountOf(blockBuffer), 0);
}

TEST_F(CacheBlockTest, ClaimGivesBackThePartBeyondTheBlock) {
    Probe* probe = probes.Read(source, 130000, 10000);
    ASSERT_TRUE(block->LockForReadInto(probe->transaction));
    EXPECT_EQ(block->GetBlockOffset(), 65536u);
    uint64_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(probe->transaction->GetRangeToComplete(offset, size, 0xFFFFFFFFu));
    EXPECT_EQ(offset, 131072u);
    EXPECT_EQ(size, 140000u - 131072u);
    probe->transaction->ReturnRangeToComplete(offset, size);
    block->CancelPendingTransactions(nullptr);
    EXPECT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    EXPECT_EQ(probe->Result(), CacheSource::kResultCancelled);
}

// A read reported as cancelled can still be running in the kernel, which keeps the memory locked: the
// block must not take a new read until that lock is gone, or the old read would overwrite the new data.
TEST_F(CacheBlockTest, ClaimOfABlockWhoseMemoryIsStillLockedFailsUntilItIsLetGo) {
    FilledFreeBlock(0, 0);
    blockBuffer->Lock();  // what a transfer still in the kernel holds
    Probe* probe = probes.Read(other, 200000, 300);
    EXPECT_FALSE(block->LockForReadInto(probe->transaction));
    EXPECT_EQ(block->GetLockCount(), 0);
    EXPECT_EQ(block->GetSourceKey(), source->GetSourceKey()) << "the block kept its data";
    EXPECT_TRUE(probe->transaction->StillRangesToComplete()) << "the range stays open";
    blockBuffer->Unlock();
    ASSERT_TRUE(block->LockForReadInto(probe->transaction));
    EXPECT_EQ(block->GetSourceKey(), other->GetSourceKey());
    FillBlock(kBlock);
    ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(probe->Result(), CacheSource::kResultSuccess);
    EXPECT_TRUE(PatternAt(probe, 300));
}

TEST_F(CacheBlockTest, ClaimOfAHeldBlockFailsAndLeavesTheRangeOpen) {
    Probe* first = probes.Read(source, 0, 100);
    ASSERT_TRUE(block->LockForReadInto(first->transaction));
    Probe* second = probes.Read(other, 200000, 300);
    EXPECT_FALSE(block->LockForReadInto(second->transaction));
    EXPECT_EQ(block->GetLockCount(), 2);
    EXPECT_EQ(block->GetSourceKey(), source->GetSourceKey());
    uint64_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(second->transaction->GetRangeToComplete(offset, size, 0xFFFFFFFFu));
    EXPECT_EQ(offset, 200000u);
    EXPECT_EQ(size, 300u);
    second->transaction->ReturnRangeToComplete(offset, size);

    // Held once (a read finished, one transaction still queued): still refused.
    FillBlock(kBlock);
    ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    EXPECT_EQ(block->GetLockCount(), 1);
    EXPECT_FALSE(block->LockForReadInto(second->transaction));
    EXPECT_TRUE(second->transaction->StillRangesToComplete());
    block->ProcessPendingTransactions(nullptr);
    EXPECT_TRUE(block->LockForReadInto(second->transaction)) << "free again: the block is reused";
    EXPECT_EQ(block->GetSourceKey(), other->GetSourceKey());
    EXPECT_EQ(block->GetBlockOffset(), 196608u);
    EXPECT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultFailed));
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(second->Result(), CacheSource::kResultFailed);
}

TEST_F(CacheBlockTest, PreReadMayOnlyClaimABlockWhoseStampHasPassed) {
    FilledFreeBlock(0, Later(10000));
    Probe* preRead = probes.PreRead(source, kBlock * 4, kBlock);
    ASSERT_NE(preRead->transaction, nullptr);
    EXPECT_FALSE(block->LockForReadInto(preRead->transaction));
    EXPECT_TRUE(preRead->transaction->StillRangesToComplete()) << "nothing was reserved";
    EXPECT_EQ(block->GetLockCount(), 0);
    Probe* demand = probes.Read(source, kBlock * 4, 100);
    EXPECT_TRUE(block->LockForReadInto(demand->transaction)) << "a demand read may claim it";
    block->CancelPendingTransactions(nullptr);
    block->CompleteReadInto(0, CacheSource::kResultCancelled);

    // A stamp in the past lets the pre-read claim, and serving it completes it without copying.
    block->Purge(source);
    EXPECT_EQ(block->GetStamp(), 0u);
    EXPECT_TRUE(block->LockForReadInto(preRead->transaction));
    FillBlock(kBlock);
    EXPECT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(preRead->transaction->GetResult(nullptr), CacheSource::kResultSuccess);
    EXPECT_EQ(block->GetLockCount(), 0);
}

TEST_F(CacheBlockTest, PreReadOfCachedDataBacksOffAtOnce) {
    FilledFreeBlock(0, 0);
    const uint32_t stampBefore = block->GetStamp();
    Probe* preRead = probes.PreRead(source, 0, kBlock);
    ASSERT_NE(preRead->transaction, nullptr);
    bool waiting = true;
    EXPECT_TRUE(block->LockForCopyOutOf(preRead->transaction, &waiting));
    EXPECT_EQ(preRead->transaction->GetResult(nullptr), CacheSource::kResultSuccess);
    EXPECT_EQ(block->GetLockCount(), 0);
    EXPECT_EQ(block->GetNumberOfPendingTransactions(), 0u);
    EXPECT_EQ(block->GetStamp(), stampBefore);
    EXPECT_EQ(LockCountOf(blockBuffer), 0);
}

TEST_F(CacheBlockTest, WaitingFlagTellsWhetherSomebodyElseServesTheQueue) {
    Probe* reader = probes.Read(source, 0, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    Probe* duringRead = probes.Read(source, 1000, 100);
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(duringRead->transaction, &waiting));
    EXPECT_TRUE(waiting) << "a read is in progress";
    EXPECT_FALSE(block->LockForCopyOutOf(duringRead->transaction, &waiting)) << "never queued twice";
    EXPECT_FALSE(block->LockForCopyOutOf(reader->transaction, &waiting)) << "the block it is read into";
    EXPECT_EQ(block->GetLockCount(), 3);
    FillBlock(kBlock);
    ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(block->GetLockCount(), 0);

    Probe* first = probes.Read(source, 2000, 100);
    ASSERT_TRUE(block->LockForCopyOutOf(first->transaction, &waiting));
    EXPECT_FALSE(waiting) << "free block, empty queue: the caller must schedule the work";
    Probe* second = probes.Read(source, 3000, 100);
    ASSERT_TRUE(block->LockForCopyOutOf(second->transaction, &waiting));
    EXPECT_TRUE(waiting) << "an earlier queued transaction means a command is on its way";
    block->ProcessPendingTransactions(nullptr);
    for (Probe* probe : {reader, duringRead, first, second}) {
        EXPECT_EQ(probe->Calls(), 1);
        EXPECT_EQ(probe->Result(), CacheSource::kResultSuccess);
        EXPECT_TRUE(PatternAt(probe, 100));
    }
    EXPECT_EQ(block->GetLockCount(), 0);
}

TEST_F(CacheBlockTest, CopyOutOfRefusesOtherDataAndRangesAlreadyTaken) {
    FilledFreeBlock(0, 0);
    const uint32_t stampBefore = block->GetStamp();
    bool waiting = false;
    Probe* otherSource = probes.Read(other, 0, 100);
    EXPECT_FALSE(block->LockForCopyOutOf(otherSource->transaction, &waiting));
    Probe* beyond = probes.Read(source, kBlock, 100);
    EXPECT_FALSE(block->LockForCopyOutOf(beyond->transaction, &waiting));
    Probe* taken = probes.Read(source, 10, 100);
    uint64_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(taken->transaction->GetRangeToComplete(offset, size, 0xFFFFFFFFu));
    EXPECT_FALSE(block->LockForCopyOutOf(taken->transaction, &waiting)) << "nothing left to reserve";
    EXPECT_EQ(block->GetLockCount(), 0);
    EXPECT_EQ(LockCountOf(blockBuffer), 0);
    EXPECT_EQ(block->GetStamp(), stampBefore);
    taken->transaction->SetResult(CacheSource::kResultCancelled);
    EXPECT_TRUE(otherSource->transaction->StillRangesToComplete());
}

TEST_F(CacheBlockTest, QueueIsServedInArrivalOrderAndTheLastHolderStampsTheBlockWithItsUse) {
    const uint32_t base = Later(100000);
    FilledFreeBlock(0, base);
    const uint32_t before = MTInterface::GetCurrentTimeMilli();
    Probe* first = probes.Read(source, 0, 100, base + 1000);
    Probe* second = probes.Read(source, 500, 100, base + 2000);
    std::vector<int> order;
    std::vector<uint32_t> stampSeen;
    first->callback->onCallback = [&](CacheTransaction*) {
        order.push_back(1);
        stampSeen.push_back(static_cast<uint32_t>(block->GetSortKey()));
    };
    second->callback->onCallback = [&](CacheTransaction*) {
        order.push_back(2);
        stampSeen.push_back(static_cast<uint32_t>(block->GetSortKey()));
    };
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(first->transaction, &waiting));
    ASSERT_TRUE(block->LockForCopyOutOf(second->transaction, &waiting));
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    ASSERT_EQ(stampSeen.size(), 2u);
    EXPECT_EQ(stampSeen[0], base) << "unread pre-read data keeps its stamp until a read has used it";
    const uint32_t after = MTInterface::GetCurrentTimeMilli();
    EXPECT_LE(block->GetStamp() - before, after - before)
        << "the time of the use, not the readers' later due times";
}

TEST_F(CacheBlockTest, StampsOnlyMoveForwardAndAUseEndsAPreReadsKeep) {
    const uint32_t base = Later(100000);
    FilledFreeBlock(0, base);
    ServeOnce(0, base + 4000);
    const uint32_t used = block->GetStamp();
    EXPECT_LT(used - (MTInterface::GetCurrentTimeMilli() - 1000), 2000u) << "pulled back to the use";
    ServeOnce(0, 0);
    EXPECT_GE(block->GetStamp(), used);
    // A pre-read finding its data already held completes without using it: the stamp stays.
    Probe* ahead = probes.PreRead(source, 0, kBlock, base);
    bool waiting = true;
    ASSERT_TRUE(block->LockForCopyOutOf(ahead->transaction, &waiting));
    EXPECT_LT(block->GetStamp() - used, 1000u);
    block->Purge(source);
    EXPECT_EQ(block->GetStamp(), 0u);
}

TEST_F(CacheBlockTest, DueTimeZeroStampsWithTheCurrentTime) {
    const uint32_t before = MTInterface::GetCurrentTimeMilli();
    FilledFreeBlock(0, 0);
    const uint32_t after = MTInterface::GetCurrentTimeMilli();
    EXPECT_GE(block->GetStamp(), before);
    EXPECT_LE(block->GetStamp(), after);
}

TEST_F(CacheBlockTest, CompleteReadIntoRecordsSizeAndResult) {
    Probe* probe = probes.Read(source, 0, 100);
    EXPECT_FALSE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess)) << "no read in progress";
    EXPECT_EQ(block->GetReadResult(), CacheSource::kResultNone);
    EXPECT_EQ(block->GetValidSize(), 0u);
    ReadInto(probe, kBlock, CacheSource::kResultPartial);
    EXPECT_EQ(block->GetReadResult(), CacheSource::kResultSuccess) << "a short read that filled the block";
    EXPECT_FALSE(block->CompleteReadInto(kBlock, CacheSource::kResultFailed)) << "changes nothing";
    EXPECT_EQ(block->GetReadResult(), CacheSource::kResultSuccess);
    block->ProcessPendingTransactions(nullptr);

    Probe* shortRead = probes.Read(source, kBlock * 2, 100);
    ReadInto(shortRead, 1000, CacheSource::kResultPartial);
    EXPECT_EQ(block->GetReadResult(), CacheSource::kResultPartial);
    EXPECT_EQ(block->GetValidSize(), 1000u);
    block->ProcessPendingTransactions(nullptr);

    Probe* tooLong = probes.Read(source, kBlock * 3, 100);
    ASSERT_TRUE(block->LockForReadInto(tooLong->transaction));
    FillBlock(kBlock);
    ASSERT_TRUE(block->CompleteReadInto(kBlock + 5000, CacheSource::kResultSuccess));
    EXPECT_EQ(block->GetValidSize(), kBlock) << "clamped to the block";
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(tooLong->Result(), CacheSource::kResultSuccess);
    EXPECT_TRUE(PatternAt(tooLong, 100));
}

TEST_F(CacheBlockTest, ShortBlockAnswersRangesByWhereTheyLieAgainstTheData) {
    Probe* inside = probes.Read(source, 0, 500);
    Probe* across = probes.Read(source, 500, 1000);
    Probe* past = probes.Read(source, 2000, 1000);
    Probe* atEnd = probes.Read(source, 1000, 10);
    ASSERT_TRUE(block->LockForReadInto(inside->transaction));
    bool waiting = false;
    for (Probe* probe : {across, past, atEnd}) {
        ASSERT_TRUE(block->LockForCopyOutOf(probe->transaction, &waiting));
    }
    FillBlock(1000);
    ASSERT_TRUE(block->CompleteReadInto(1000, CacheSource::kResultPartial));
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(inside->Result(), CacheSource::kResultSuccess);
    EXPECT_EQ(inside->Bytes(), 500u);
    EXPECT_TRUE(PatternAt(inside, 500));
    EXPECT_EQ(across->Result(), CacheSource::kResultPartial);
    EXPECT_EQ(across->Bytes(), 500u);
    EXPECT_TRUE(PatternAt(across, 500));
    EXPECT_EQ(across->Data()[500], 0) << "nothing beyond the data";
    EXPECT_EQ(past->Result(), CacheSource::kResultEndOfFile);
    EXPECT_EQ(past->Bytes(), 0u);
    EXPECT_EQ(atEnd->Result(), CacheSource::kResultEndOfFile);
    for (Probe* probe : {inside, across, past, atEnd}) {
        EXPECT_EQ(probe->Calls(), 1);
    }
    EXPECT_EQ(block->GetLockCount(), 0);

    // The short block stays cached: a later transaction past its data is answered the same way.
    Probe* later = probes.Read(source, 5000, 10);
    ASSERT_TRUE(block->LockForCopyOutOf(later->transaction, &waiting));
    EXPECT_FALSE(waiting);
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(later->Result(), CacheSource::kResultEndOfFile);
}

TEST_F(CacheBlockTest, ReadAtTheEndOfTheDataGivesEndOfFile) {
    Probe* reader = probes.Read(source, 0, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    ASSERT_TRUE(block->CompleteReadInto(0, CacheSource::kResultEndOfFile));
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(reader->Calls(), 1);
    EXPECT_EQ(reader->Result(), CacheSource::kResultEndOfFile);
    EXPECT_EQ(reader->Bytes(), 0u);
}

TEST_F(CacheBlockTest, FailedReadIsDeliveredAsTheFailureAndNotKept) {
    Probe* reader = probes.Read(source, 0, 100);
    Probe* waiter = probes.Read(source, 200, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(waiter->transaction, &waiting));
    ASSERT_TRUE(block->CompleteReadInto(0, CacheSource::kResultFailed));
    EXPECT_EQ(block->GetValidSize(), 0u);
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(reader->Result(), CacheSource::kResultFailed);
    EXPECT_EQ(waiter->Result(), CacheSource::kResultFailed);
    EXPECT_EQ(reader->Data()[1], 0) << "nothing copied from a failed read";
    // The failure is not cached: a later transaction does not find the block and reads afresh.
    EXPECT_EQ(block->GetSourceKey(), CacheSource::kInvalidKey);
    Probe* later = probes.Read(source, 300, 100);
    EXPECT_FALSE(block->LockForCopyOutOf(later->transaction, &waiting));
    EXPECT_EQ(block->GetLockCount(), 0);
}

TEST_F(CacheBlockTest, CancelledReadCancelsTheQueueAtOnce) {
    Probe* reader = probes.Read(source, 0, 100);
    Probe* waiter = probes.Read(source, 200, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(waiter->transaction, &waiting));
    ASSERT_TRUE(block->CompleteReadInto(0, CacheSource::kResultCancelled));
    EXPECT_EQ(reader->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(waiter->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(block->GetLockCount(), 0);
    EXPECT_EQ(block->GetNumberOfPendingTransactions(), 0u);
}

TEST_F(CacheBlockTest, PurgeDuringAReadCancelsTheQueueAndFreesTheBlockWhenTheReadEnds) {
    Probe* reader = probes.Read(source, 0, 100);
    Probe* waiter = probes.Read(source, 200, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(waiter->transaction, &waiting));
    block->Purge(other);
    EXPECT_EQ(block->GetLockCount(), 3) << "another source's purge changes nothing";
    block->Purge(source);
    EXPECT_EQ(reader->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(waiter->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(block->GetLockCount(), 1) << "the read still holds the block";
    EXPECT_EQ(block->GetSourceKey(), CacheSource::kInvalidKey);
    EXPECT_EQ(block->GetStamp(), 0u);
    const uint32_t before = MTInterface::GetCurrentTimeMilli();
    ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    EXPECT_EQ(block->GetValidSize(), 0u);
    EXPECT_EQ(block->GetLockCount(), 0);
    EXPECT_GE(block->GetStamp(), before) << "a fresh stamp";
    bool unlocked = false;
    block->CancelIfFromSource(other, &unlocked);
    EXPECT_TRUE(unlocked);
}

TEST_F(CacheBlockTest, InvalidateForgetsOnlyWhenTheRangeMeetsValidData) {
    const uint32_t base = Later(100000);
    FilledFreeBlock(kBlock, base);
    uint64_t offset = 0;
    uint32_t size = 1000;
    block->Invalidate(source, offset, size);
    EXPECT_EQ(block->GetSourceKey(), source->GetSourceKey()) << "the range does not meet the block";
    EXPECT_EQ(block->GetStamp(), base);
    offset = kBlock + 100;
    size = 1000;
    block->Invalidate(other, offset, size);
    EXPECT_EQ(block->GetSourceKey(), source->GetSourceKey());
    offset = kBlock - 100;
    size = 1000;
    block->Invalidate(source, offset, size);
    EXPECT_EQ(offset, kBlock) << "clipped to the block";
    EXPECT_EQ(size, 900u);
    EXPECT_EQ(block->GetSourceKey(), CacheSource::kInvalidKey);
    EXPECT_EQ(block->GetValidSize(), 0u);
    EXPECT_EQ(block->GetStamp(), 0u);

    // A claimed block whose read was purged has no valid data: invalidating it changes nothing.
    Probe* reader = probes.Read(source, kBlock, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    block->Purge(source);
    ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    const uint32_t stamp = block->GetStamp();
    offset = kBlock;
    size = 10;
    block->Invalidate(source, offset, size);
    EXPECT_EQ(block->GetStamp(), stamp);
}

TEST_F(CacheBlockTest, CancelIfFromSourceCancelsTheQueueButKeepsTheData) {
    FilledFreeBlock(0, 0);
    Probe* first = probes.Read(source, 0, 100);
    Probe* second = probes.Read(source, 100, 100);
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(first->transaction, &waiting));
    ASSERT_TRUE(block->LockForCopyOutOf(second->transaction, &waiting));
    bool unlocked = true;
    block->CancelIfFromSource(other, &unlocked);
    EXPECT_FALSE(unlocked) << "held by the queued transactions";
    EXPECT_EQ(first->Calls(), 0);
    block->CancelIfFromSource(source, &unlocked);
    EXPECT_TRUE(unlocked);
    EXPECT_EQ(first->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(second->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(block->GetLockCount(), 0);
    EXPECT_EQ(block->GetSourceKey(), source->GetSourceKey());
    EXPECT_EQ(first->Data()[1], 0);
    bool changed = true;
    block->CancelPendingTransactions(&changed);
    EXPECT_FALSE(changed) << "nothing was queued";
    ServeOnce(0, 0);
}

TEST_F(CacheBlockTest, FinishedTransactionGetsNoCopy) {
    FilledFreeBlock(0, 0);
    Probe* probe = probes.Read(source, 0, 100);
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(probe->transaction, &waiting));
    probe->transaction->SetResult(CacheSource::kResultCancelled);
    block->Dump();
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(probe->Calls(), 1);
    EXPECT_EQ(probe->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(probe->Data()[1], 0) << "no bytes copied into a finished transaction";
    EXPECT_EQ(block->GetLockCount(), 0);
}

TEST_F(CacheBlockTest, LockedDestinationFailsTheTransactionAndReleasesItsHold) {
    FilledFreeBlock(0, 0);
    Probe* probe = probes.Read(source, 0, 100);
    // A lock count of -1 makes the next lock attempt answer "unlocked".
    probe->buffer->Unlock();
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(probe->transaction, &waiting));
    block->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(probe->Calls(), 1);
    EXPECT_EQ(probe->Result(), CacheSource::kResultFailed);
    EXPECT_EQ(block->GetLockCount(), 0);
    EXPECT_EQ(block->GetNumberOfPendingTransactions(), 0u);
}

TEST_F(CacheBlockTest, ProcessingWaitsForTheReadInProgress) {
    Probe* reader = probes.Read(source, 0, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    bool changed = true;
    block->ProcessPendingTransactions(&changed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(reader->Calls(), 0);
    EXPECT_EQ(block->GetNumberOfPendingTransactions(), 1u);
    FillBlock(kBlock);
    ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    block->ProcessPendingTransactions(&changed);
    EXPECT_EQ(reader->Result(), CacheSource::kResultSuccess);
}

TEST_F(CacheBlockTest, DestructorCancelsWhatIsStillQueued) {
    Probe* reader = probes.Read(source, 0, 100);
    Probe* waiter = probes.Read(source, 100, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    bool waiting = false;
    ASSERT_TRUE(block->LockForCopyOutOf(waiter->transaction, &waiting));
    EXPECT_EQ(LockCountOf(blockBuffer), 1);
    delete block;
    block = nullptr;
    EXPECT_EQ(reader->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(waiter->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(reader->transaction->GetRefCount(), 1);
    EXPECT_EQ(waiter->transaction->GetRefCount(), 1);
}

TEST_F(CacheBlockTest, ReleaseBufferGivesTheBufferBackUnlockedAndTheBlockRefusesEverything) {
    Probe* reader = probes.Read(source, 0, 100);
    ASSERT_TRUE(block->LockForReadInto(reader->transaction));
    EXPECT_EQ(LockCountOf(blockBuffer), 1);
    EXPECT_EQ(block->ReleaseBuffer(), blockBuffer);
    EXPECT_EQ(LockCountOf(blockBuffer), 0);
    EXPECT_EQ(blockBuffer->GetRefCount(), 1);
    EXPECT_EQ(block->GetBuffer(), nullptr);
    EXPECT_EQ(block->ReleaseBuffer(), nullptr);
    Probe* another = probes.Read(source, 0, 100);
    bool waiting = false;
    EXPECT_FALSE(block->LockForReadInto(another->transaction));
    EXPECT_FALSE(block->LockForCopyOutOf(another->transaction, &waiting));
    EXPECT_FALSE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    EXPECT_TRUE(another->transaction->StillRangesToComplete());
    delete block;
    block = nullptr;
    EXPECT_EQ(reader->Result(), CacheSource::kResultCancelled);
}

TEST(CacheBlockWithoutBufferTest, RefusesEveryOperation) {
    auto* source = new StubCacheSource();
    TarvosTest::ProbeSet probes;
    Probe* probe = probes.Read(source, 0, 100);
    {
        CacheBlock block(nullptr, nullptr);
        bool waiting = true;
        EXPECT_EQ(block.GetBlockSize(), 0u);
        EXPECT_FALSE(block.LockForReadInto(probe->transaction));
        EXPECT_FALSE(block.LockForReadInto(nullptr));
        EXPECT_FALSE(block.LockForCopyOutOf(probe->transaction, &waiting));
        EXPECT_FALSE(block.CompleteReadInto(10, CacheSource::kResultSuccess));
        bool changed = true;
        block.CancelPendingTransactions(&changed);
        EXPECT_FALSE(changed);
        block.ProcessPendingTransactions(&changed);
        block.Purge(source);
        EXPECT_EQ(block.GetLockCount(), 0);
    }
    EXPECT_TRUE(probe->transaction->StillRangesToComplete());
    EXPECT_EQ(probe->Calls(), 0);
    probes.Release();
    source->DecRef(TARVOS_CALL_SITE);
}

// A block command cancelled with its source (Cancel of that source) can be a stale one: its block was
// emptied and claimed by another source since it was queued. It must leave that source's queued reads
// alone; they are served by their own read's command.
TEST_F(CacheBlockTest, CancelledBlockCommandOfAnotherSourceLeavesTheQueueAlone) {
    Probe* probe = probes.Read(other, 100, 1000);
    ASSERT_TRUE(block->LockForReadInto(probe->transaction));
    (new BlockCommand(nullptr, block, 0, source))->Finish(true);
    EXPECT_EQ(probe->Calls(), 0) << "cancelled by a command of another source";
    EXPECT_EQ(block->GetNumberOfPendingTransactions(), 1u);
    FillBlock(kBlock);
    ASSERT_TRUE(block->CompleteReadInto(kBlock, CacheSource::kResultSuccess));
    block->ProcessPendingTransactions(nullptr);
    ASSERT_EQ(probe->Calls(), 1);
    EXPECT_EQ(probe->Result(), CacheSource::kResultSuccess);
    EXPECT_TRUE(PatternAt(probe, 1000));
    EXPECT_EQ(block->GetLockCount(), 0);
}

// The command's own source: its reads queued on the block are cancelled, also after a failed read
// gave up the block's data (the reads wait for this command to learn the failure).
TEST_F(CacheBlockTest, CancelledBlockCommandCancelsItsSourcesQueuedReads) {
    Probe* probe = probes.Read(source, 100, 1000);
    ASSERT_TRUE(block->LockForReadInto(probe->transaction));
    ASSERT_TRUE(block->CompleteReadInto(0, CacheSource::kResultFailed));
    EXPECT_EQ(block->GetSourceKey(), CacheSource::kInvalidKey);
    ASSERT_EQ(probe->Calls(), 0);
    (new BlockCommand(nullptr, block, 0, source))->Finish(true);
    ASSERT_EQ(probe->Calls(), 1);
    EXPECT_EQ(probe->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(block->GetNumberOfPendingTransactions(), 0u);
    EXPECT_EQ(block->GetLockCount(), 0);
}

}  // namespace
