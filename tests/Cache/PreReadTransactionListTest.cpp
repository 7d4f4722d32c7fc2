#include "Cache/PreReadTransactionList.h"

#include <gtest/gtest.h>

#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/RecordingStatusCallback.h"
#include "Support/StubCacheSource.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/CacheTransaction.h"

using namespace Tarvos;
using TarvosTest::RecordingStatusCallback;
using TarvosTest::StubCacheSource;

namespace {

constexpr uint32_t kBlock = 65536;

// Parked entries are ordinary transactions here: the list only reads their source, range and due
// time, and completes their whole range.
class PreReadTransactionListTest : public ::testing::Test {
  protected:
    struct Parked {
        CacheTransaction* transaction;
        RecordingStatusCallback* callback;
    };

    Parked Make(StubCacheSource* source, uint64_t offset, uint32_t size, uint32_t dueTime) {
        auto* list = new BufferList(1);
        list->AddBuffer(new HeapBuffer(size), true);
        auto* callback = new RecordingStatusCallback();
        auto* transaction = new CacheTransaction(source, offset, list, callback, dueTime);
        list->DecRef(TARVOS_CALL_SITE);
        made.push_back({transaction, callback});
        return made.back();
    }

    void TearDown() override {
        if (preReads != nullptr) {
            preReads->DecRef(TARVOS_CALL_SITE);
        }
        for (Parked& parked : made) {
            EXPECT_EQ(parked.transaction->GetRefCount(), 1) << "the list kept a reference";
            parked.transaction->DecRef(TARVOS_CALL_SITE);
            parked.callback->DecRef(TARVOS_CALL_SITE);
        }
        sourceA->DecRef(TARVOS_CALL_SITE);
        sourceB->DecRef(TARVOS_CALL_SITE);
    }

    PreReadTransactionList* preReads = new PreReadTransactionList(kBlock);
    StubCacheSource* sourceA = new StubCacheSource();
    StubCacheSource* sourceB = new StubCacheSource();
    std::vector<Parked> made;
};

TEST_F(PreReadTransactionListTest, AlignRangeWidensToWholeBlocks) {
    uint64_t offset = 70000;
    uint32_t size = 1000;
    preReads->AlignRange(offset, size);
    EXPECT_EQ(offset, 65536u);
    EXPECT_EQ(size, 65536u);

    offset = 65536;
    size = 131073;
    preReads->AlignRange(offset, size);
    EXPECT_EQ(offset, 65536u);
    EXPECT_EQ(size, 196608u);

    offset = 131072;
    size = 0;
    preReads->AlignRange(offset, size);
    EXPECT_EQ(size, 0u);

    // A size near 4 GiB cannot grow past 32 bits: it stops at the last whole block that fits.
    offset = 100;
    size = 0xFFFFFFF0u;
    preReads->AlignRange(offset, size);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0xFFFF0000u);
}

TEST_F(PreReadTransactionListTest, AlignRangeLeavesTinyBlockSizesAlone) {
    for (uint32_t blockSize : {0u, 1u}) {
        auto* list = new PreReadTransactionList(blockSize);
        uint64_t offset = 70001;
        uint32_t size = 3;
        list->AlignRange(offset, size);
        EXPECT_EQ(offset, 70001u);
        EXPECT_EQ(size, 3u);
        list->DecRef(TARVOS_CALL_SITE);
    }
}

TEST_F(PreReadTransactionListTest, TransactionWithoutSourceIsNeitherStoredNorFound) {
    auto* callback = new RecordingStatusCallback();
    auto* orphan = new CacheTransaction();
    EXPECT_FALSE(preReads->AddPreReadTransaction(orphan));
    EXPECT_EQ(preReads->FindPreReadTransaction(orphan), nullptr);
    EXPECT_FALSE(preReads->AddPreReadTransaction(nullptr));
    EXPECT_EQ(preReads->GetNumberOfEntries(), 0u);
    EXPECT_EQ(orphan->GetRefCount(), 1);
    orphan->DecRef(TARVOS_CALL_SITE);
    callback->DecRef(TARVOS_CALL_SITE);
}

TEST_F(PreReadTransactionListTest, FindMatchesSourceOffsetAndSizeExactly) {
    Parked parked = Make(sourceA, 131072, kBlock, 0xF0000000u);
    Parked same = Make(sourceA, 131072, kBlock, 0xF0000000u);
    Parked otherSize = Make(sourceA, 131072, 4096, 0xF0000000u);
    Parked otherSource = Make(sourceB, 131072, kBlock, 0xF0000000u);
    ASSERT_TRUE(preReads->AddPreReadTransaction(parked.transaction));
    EXPECT_EQ(parked.transaction->GetRefCount(), 2);
    EXPECT_EQ(preReads->FindPreReadTransaction(same.transaction), parked.transaction);
    EXPECT_EQ(preReads->FindPreReadTransaction(parked.transaction), parked.transaction);
    EXPECT_EQ(preReads->FindPreReadTransaction(otherSize.transaction), nullptr);
    EXPECT_EQ(preReads->FindPreReadTransaction(otherSource.transaction), nullptr);
    EXPECT_EQ(parked.transaction->GetRefCount(), 2) << "Find hands out no reference";
    EXPECT_EQ(parked.callback->Calls(), 0);
}

TEST_F(PreReadTransactionListTest, OverduePreReadsFinishMoreThanTwoSecondsPastDue) {
    Parked parked = Make(sourceA, 0, kBlock, 10000);
    ASSERT_TRUE(preReads->AddPreReadTransaction(parked.transaction));
    preReads->CompleteOverduePreReadsAt(11999);
    preReads->CompleteOverduePreReadsAt(12000);
    EXPECT_EQ(parked.callback->Calls(), 0);
    EXPECT_EQ(preReads->GetNumberOfEntries(), 1u);
    preReads->CompleteOverduePreReadsAt(12001);
    EXPECT_EQ(parked.callback->Calls(), 1);
    EXPECT_EQ(preReads->TakeDroppedCount(), 1u) << "finished with its data unread";
    EXPECT_EQ(preReads->TakeDroppedCount(), 0u);
    EXPECT_EQ(parked.callback->LastResult(), CacheSource::kResultSuccess);
    EXPECT_EQ(parked.callback->LastBytes(), kBlock);
    EXPECT_EQ(preReads->GetNumberOfEntries(), 0u);
}

TEST_F(PreReadTransactionListTest, OneOverdueWalkFinishesEveryOverdueEntry) {
    Parked first = Make(sourceA, 0, kBlock, 100);
    Parked second = Make(sourceB, kBlock, kBlock, 200);
    Parked notYet = Make(sourceA, 2 * kBlock, kBlock, 5000);
    for (Parked* parked : {&first, &second, &notYet}) {
        ASSERT_TRUE(preReads->AddPreReadTransaction(parked->transaction));
    }
    preReads->CompleteOverduePreReadsAt(3000);
    EXPECT_EQ(first.callback->Calls(), 1);
    EXPECT_EQ(second.callback->Calls(), 1);
    EXPECT_EQ(notYet.callback->Calls(), 0);
    EXPECT_EQ(preReads->GetNumberOfEntries(), 1u);
}

TEST_F(PreReadTransactionListTest, DemandReadFinishesOnlyThePreReadsOfItsBlocks) {
    const uint32_t farFuture = 0xF0000000u;
    Parked before = Make(sourceA, 65536, kBlock, farFuture);
    Parked covered = Make(sourceA, 131072, kBlock, farFuture);
    Parked after = Make(sourceA, 196608, kBlock, farFuture);
    Parked otherSource = Make(sourceB, 131072, kBlock, farFuture);
    for (Parked* parked : {&before, &covered, &after, &otherSource}) {
        ASSERT_TRUE(preReads->AddPreReadTransaction(parked->transaction));
    }
    Parked demand = Make(sourceA, 131100, 100, farFuture);
    preReads->CompleteCoveredPreReads(demand.transaction);
    EXPECT_EQ(covered.callback->Calls(), 1);
    EXPECT_EQ(covered.callback->LastResult(), CacheSource::kResultSuccess);
    EXPECT_EQ(before.callback->Calls(), 0);
    EXPECT_EQ(after.callback->Calls(), 0);
    EXPECT_EQ(otherSource.callback->Calls(), 0);
    EXPECT_EQ(preReads->GetNumberOfEntries(), 3u);

    // A read that starts inside one block and ends inside the next touches both.
    ASSERT_TRUE(preReads->AddPreReadTransaction(covered.transaction));
    Parked wide = Make(sourceA, 65536 + 10, kBlock, farFuture);
    preReads->CompleteCoveredPreReads(wide.transaction);
    EXPECT_EQ(before.callback->Calls(), 1);
    EXPECT_EQ(after.callback->Calls(), 0);
    EXPECT_EQ(preReads->GetNumberOfEntries(), 2u);
}

TEST_F(PreReadTransactionListTest, ZeroBlockSizeNeverLoops) {
    auto* list = new PreReadTransactionList(0);
    Parked parked = Make(sourceA, 0, 4096, 0xF0000000u);
    ASSERT_TRUE(list->AddPreReadTransaction(parked.transaction));
    list->CompleteCoveredPreReads(parked.transaction);
    EXPECT_EQ(parked.callback->Calls(), 0);
    list->DecRef(TARVOS_CALL_SITE);
}

TEST_F(PreReadTransactionListTest, ASecondTransactionUnderTheSameKeySupersedesTheFirst) {
    Parked first = Make(sourceA, 0, kBlock, 0xF0000000u);
    Parked second = Make(sourceA, 0, kBlock, 0xF0000000u);
    ASSERT_TRUE(preReads->AddPreReadTransaction(first.transaction));
    ASSERT_TRUE(preReads->AddPreReadTransaction(first.transaction));
    EXPECT_EQ(first.transaction->GetRefCount(), 2) << "adding the same transaction twice holds it once";
    ASSERT_TRUE(preReads->AddPreReadTransaction(second.transaction));
    EXPECT_EQ(first.callback->Calls(), 1) << "the displaced pre-read is finished";
    EXPECT_EQ(first.transaction->GetRefCount(), 1) << "and let go of";
    EXPECT_EQ(preReads->FindPreReadTransaction(first.transaction), second.transaction);
}

TEST_F(PreReadTransactionListTest, RemoveAndCancelBySource) {
    Parked a0 = Make(sourceA, 0, kBlock, 0xF0000000u);
    Parked a1 = Make(sourceA, kBlock, kBlock, 0xF0000000u);
    Parked b0 = Make(sourceB, 0, kBlock, 0xF0000000u);
    for (Parked* parked : {&a0, &a1, &b0}) {
        ASSERT_TRUE(preReads->AddPreReadTransaction(parked->transaction));
    }
    EXPECT_TRUE(preReads->RemovePreReadTransaction(a0.transaction));
    EXPECT_FALSE(preReads->RemovePreReadTransaction(a0.transaction));
    EXPECT_EQ(a0.callback->Calls(), 0) << "removal does not complete";
    preReads->CancelPreReadsOfSource(sourceA);
    EXPECT_EQ(a1.callback->Calls(), 1);
    EXPECT_EQ(a1.callback->LastResult(), CacheSource::kResultCancelled);
    EXPECT_EQ(b0.callback->Calls(), 0);
    EXPECT_EQ(preReads->GetNumberOfEntries(), 1u);
}

TEST_F(PreReadTransactionListTest, DestructionLetsGoWithoutCompleting) {
    Parked parked = Make(sourceA, 0, kBlock, 0xF0000000u);
    ASSERT_TRUE(preReads->AddPreReadTransaction(parked.transaction));
    preReads->DecRef(TARVOS_CALL_SITE);
    preReads = nullptr;
    EXPECT_EQ(parked.callback->Calls(), 0);
    EXPECT_EQ(parked.transaction->GetRefCount(), 1);
}

}  // namespace
