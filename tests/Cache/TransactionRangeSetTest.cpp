#include "Cache/TransactionRangeSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "Support/RangeSetModel.h"
#include "Support/Waiting.h"

using namespace Tarvos;
using Range = TransactionRangeSet::Range;
using TarvosTest::RangeSetModel;

namespace {

// Result codes of cache operations.
constexpr int32_t kResultNone = 0;
constexpr int32_t kResultSuccess = 1;
constexpr int32_t kResultPartial = 2;
constexpr int32_t kResultPending = 3;
constexpr int32_t kResultBufferLocked = 4;
constexpr int32_t kResultCancelled = -1;
constexpr int32_t kResultEndOfFile = -2;
constexpr int32_t kResultInvalidArgument = -3;
constexpr int32_t kResultFailed = -5;
constexpr int32_t kResultBusy = -6;

constexpr int kPending = TransactionRangeSet::kRangeResultPending;
constexpr int kSuccess = TransactionRangeSet::kRangeResultSuccess;
constexpr int kPartial = TransactionRangeSet::kRangeResultPartial;
constexpr int kCancelled = TransactionRangeSet::kRangeResultCancelled;
constexpr int kEndOfFile = TransactionRangeSet::kRangeResultEndOfFile;
constexpr int kFailed = TransactionRangeSet::kRangeResultFailed;
constexpr uint32_t kWhole = TransactionRangeSet::kWholeSet;

// Records every Finished call. While the set's lock is held it also asks the set for its result, which
// must already be the one it reports (and must not deadlock: the lock is re-entrant).
class RecordingListener : public TransactionRangeSet::Listener {
  public:
    struct Call {
        int rangeResult;
        TransactionRangeSet* set;
        uint32_t bytes;
        int resultSeenInside;
        bool stillToDoInside;
    };

    void Finished(int rangeResult, TransactionRangeSet* set, uint32_t bytes) override {
        uint32_t ignored = 0;
        const int seen = set->GetResult(&ignored);
        const bool stillToDo = set->StillRangesToComplete();
        std::lock_guard<std::mutex> hold(mutex);
        calls.push_back(Call{rangeResult, set, bytes, seen, stillToDo});
    }

    size_t Count() {
        std::lock_guard<std::mutex> hold(mutex);
        return calls.size();
    }

    Call Last() {
        std::lock_guard<std::mutex> hold(mutex);
        return calls.back();
    }

  private:
    std::mutex mutex;
    std::vector<Call> calls;
};

class TransactionRangeSetTest : public ::testing::Test {
  protected:
    // A set of `total` bytes with the recording listener.
    std::unique_ptr<TransactionRangeSet> MakeSet(uint32_t total) {
        auto set = std::make_unique<TransactionRangeSet>(total);
        set->SetListener(&listener);
        return set;
    }

    void ExpectFinishedOnceWith(TransactionRangeSet* set, int rangeResult, uint32_t bytes) {
        ASSERT_EQ(listener.Count(), 1u);
        const RecordingListener::Call call = listener.Last();
        EXPECT_EQ(call.rangeResult, rangeResult);
        EXPECT_EQ(call.set, set);
        EXPECT_EQ(call.bytes, bytes);
        EXPECT_EQ(call.resultSeenInside, rangeResult);
        EXPECT_FALSE(call.stillToDoInside);
    }

    static std::vector<Range> R(std::initializer_list<Range> ranges) { return ranges; }

    RecordingListener listener;
};

// ---- result mapping -------------------------------------------------------------------------------

TEST_F(TransactionRangeSetTest, MapsResultsIn) {
    EXPECT_EQ(TransactionRangeSet::RangeResultFromResult(kResultNone), kPending);
    EXPECT_EQ(TransactionRangeSet::RangeResultFromResult(kResultPending), kPending);
    EXPECT_EQ(TransactionRangeSet::RangeResultFromResult(kResultSuccess), kSuccess);
    EXPECT_EQ(TransactionRangeSet::RangeResultFromResult(kResultPartial), kPartial);
    EXPECT_EQ(TransactionRangeSet::RangeResultFromResult(kResultCancelled), kCancelled);
    EXPECT_EQ(TransactionRangeSet::RangeResultFromResult(kResultEndOfFile), kEndOfFile);
    for (int32_t other : {kResultInvalidArgument, kResultFailed, kResultBusy, kResultBufferLocked, 5, -4, -7,
                          1000, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(TransactionRangeSet::RangeResultFromResult(other), kFailed) << other;
    }
}

TEST_F(TransactionRangeSetTest, MapsResultsOut) {
    EXPECT_EQ(TransactionRangeSet::ResultFromRangeResult(kPending), kResultPending);
    EXPECT_EQ(TransactionRangeSet::ResultFromRangeResult(kSuccess), kResultSuccess);
    EXPECT_EQ(TransactionRangeSet::ResultFromRangeResult(kPartial), kResultPartial);
    EXPECT_EQ(TransactionRangeSet::ResultFromRangeResult(kCancelled), kResultCancelled);
    EXPECT_EQ(TransactionRangeSet::ResultFromRangeResult(kEndOfFile), kResultEndOfFile);
    EXPECT_EQ(TransactionRangeSet::ResultFromRangeResult(kFailed), kResultFailed);
    for (int other : {6, 7, 1000, -1, INT32_MIN}) {
        EXPECT_EQ(TransactionRangeSet::ResultFromRangeResult(other), kResultFailed) << other;
    }
}

// ---- taking and giving back -----------------------------------------------------------------------

TEST_F(TransactionRangeSetTest, FreshSetIsOneOpenRangeAndPending) {
    auto set = MakeSet(300);
    EXPECT_TRUE(set->StillRangesToComplete());
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 300}}));
    EXPECT_TRUE(set->GetCompletedRanges().empty());
    uint32_t bytes = 77;
    EXPECT_EQ(set->GetResult(&bytes), kPending);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(set->GetResult(nullptr), kPending);
}

TEST_F(TransactionRangeSetTest, EmptySetHasNothingToDo) {
    auto set = MakeSet(0);
    EXPECT_FALSE(set->StillRangesToComplete());
    uint32_t offset = 5;
    uint32_t size = 5;
    EXPECT_FALSE(set->GetRangeToComplete(offset, size, kWhole));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0u);
    set->ReturnRange(0, 100);
    EXPECT_TRUE(set->GetOpenRanges().empty());
    set->Complete(0, 0, kFailed);
    ExpectFinishedOnceWith(set.get(), kFailed, 0);
}

TEST_F(TransactionRangeSetTest, HandsOutFrontPiecesUpToMaxSize) {
    auto set = MakeSet(300);
    uint32_t offset = 0;
    uint32_t size = 0;
    for (uint32_t expected : {0u, 100u, 200u}) {
        ASSERT_TRUE(set->GetRangeToComplete(offset, size, 100));
        EXPECT_EQ(offset, expected);
        EXPECT_EQ(size, 100u);
    }
    EXPECT_FALSE(set->StillRangesToComplete());
    EXPECT_FALSE(set->GetRangeToComplete(offset, size, 100));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(listener.Count(), 0u);
}

TEST_F(TransactionRangeSetTest, ReturnedRangeIsHandedOutAgain) {
    auto set = MakeSet(300);
    uint32_t offset = 0;
    uint32_t size = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(set->GetRangeToComplete(offset, size, 100));
    }
    set->ReturnRange(100, 100);
    EXPECT_TRUE(set->StillRangesToComplete());
    ASSERT_TRUE(set->GetRangeToComplete(offset, size, kWhole));
    EXPECT_EQ(offset, 100u);
    EXPECT_EQ(size, 100u);
}

TEST_F(TransactionRangeSetTest, MaxSizeWholeSetIsTheTotalAndZeroTakesNothing) {
    auto set = MakeSet(300);
    uint32_t offset = 9;
    uint32_t size = 9;
    EXPECT_FALSE(set->GetRangeToComplete(offset, size, 0));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 300}}));
    ASSERT_TRUE(set->GetRangeToComplete(offset, size, 1000));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 300u);
}

TEST_F(TransactionRangeSetTest, ReturnedRangesMergeWhenTheyTouchOrOverlap) {
    auto set = MakeSet(300);
    uint32_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(set->GetRangeToComplete(offset, size, kWhole));
    set->ReturnRange(200, 100);
    set->ReturnRange(0, 100);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 100}, {200, 100}}));
    set->ReturnRange(100, 100);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 300}}));

    ASSERT_TRUE(set->GetRangeToComplete(offset, size, kWhole));
    set->ReturnRange(40, 10);
    set->ReturnRange(0, 10);
    set->ReturnRange(20, 10);
    set->ReturnRange(60, 5);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 10}, {20, 10}, {40, 10}, {60, 5}}));
    set->ReturnRange(5, 40);  // swallows the second and merges the first three
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 50}, {60, 5}}));
    set->ReturnRange(55, 3);  // between the two, touching neither
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 50}, {55, 3}, {60, 5}}));
    set->ReturnRange(50, 5);  // touches the first and the middle one
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 58}, {60, 5}}));
    set->ReturnRange(62, 1);  // inside an open range: no change
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 58}, {60, 5}}));
    set->ReturnRange(64, 10);  // overlaps the end of the last
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 58}, {60, 14}}));
    set->ReturnRange(100, 0);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 58}, {60, 14}}));
}

TEST_F(TransactionRangeSetTest, ReserveTakesTheRequestedPiece) {
    auto set = MakeSet(300);
    uint32_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(set->GetRangeToComplete(offset, size, 200));
    ASSERT_EQ(set->GetOpenRanges(), R({{200, 100}}));

    EXPECT_FALSE(set->Reserve(100, size, 300));  // spans the open range with bytes to spare
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(set->GetOpenRanges(), R({{200, 100}}));

    EXPECT_TRUE(set->Reserve(250, size, 100));
    EXPECT_EQ(size, 50u);
    EXPECT_EQ(set->GetOpenRanges(), R({{200, 50}}));

    EXPECT_TRUE(set->Reserve(150, size, 70));  // only its last bytes are open
    EXPECT_EQ(size, 20u);
    EXPECT_EQ(set->GetOpenRanges(), R({{220, 30}}));

    EXPECT_FALSE(set->Reserve(0, size, 0));
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(set->Reserve(0, size, 100));  // nothing of it is open
    EXPECT_EQ(set->GetOpenRanges(), R({{220, 30}}));
}

TEST_F(TransactionRangeSetTest, ReserveSplitsAnOpenRangeAndWholeSetMeansTotal) {
    auto set = MakeSet(300);
    uint32_t size = 0;
    EXPECT_TRUE(set->Reserve(100, size, 100));
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 100}, {200, 100}}));
    EXPECT_TRUE(set->Reserve(0, size, kWhole));  // only the first open range is touched
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(set->GetOpenRanges(), R({{200, 100}}));
}

// ---- completing -----------------------------------------------------------------------------------

TEST_F(TransactionRangeSetTest, CompletingEverythingFinishesWithTheTotal) {
    auto set = MakeSet(300);
    set->Complete(0, 300, kSuccess);
    ExpectFinishedOnceWith(set.get(), kSuccess, 300);
    uint32_t bytes = 0;
    EXPECT_EQ(set->GetResult(&bytes), kSuccess);
    EXPECT_EQ(bytes, 300u);
    EXPECT_FALSE(set->StillRangesToComplete());
    uint32_t offset = 0;
    uint32_t size = 0;
    EXPECT_FALSE(set->GetRangeToComplete(offset, size, kWhole));
    EXPECT_FALSE(set->Reserve(0, size, kWhole));
}

TEST_F(TransactionRangeSetTest, CompletionOrderDoesNotMatter) {
    for (bool backFirst : {true, false}) {
        RecordingListener own;
        TransactionRangeSet set(300);
        set.SetListener(&own);
        set.Complete(backFirst ? 100 : 0, backFirst ? 200 : 100, kSuccess);
        EXPECT_EQ(own.Count(), 0u);
        set.Complete(backFirst ? 0 : 100, backFirst ? 100 : 200, kSuccess);
        ASSERT_EQ(own.Count(), 1u);
        EXPECT_EQ(own.Last().rangeResult, kSuccess);
        EXPECT_EQ(own.Last().bytes, 300u);
        EXPECT_EQ(set.GetCompletedRanges(), R({{0, 300}}));
    }
}

TEST_F(TransactionRangeSetTest, PartialFromTheStartFinishesWithItsRun) {
    auto set = MakeSet(300);
    set->Complete(0, 100, kPartial);
    ExpectFinishedOnceWith(set.get(), kPartial, 100);
    uint32_t bytes = 0;
    EXPECT_EQ(set->GetResult(&bytes), kPartial);
    EXPECT_EQ(bytes, 100u);
}

TEST_F(TransactionRangeSetTest, PartialLaterWaitsForTheRunFromTheStart) {
    auto set = MakeSet(300);
    set->Complete(100, 100, kPartial);
    EXPECT_EQ(listener.Count(), 0u);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 100}, {200, 100}}));
    set->Complete(0, 100, kSuccess);  // the merged result is partial: one run from 0 is enough
    ExpectFinishedOnceWith(set.get(), kPartial, 200);
}

TEST_F(TransactionRangeSetTest, EndOfFileAtTheStartFinishesWithNoBytes) {
    auto set = MakeSet(300);
    set->Complete(0, 50, kEndOfFile);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 0);
    EXPECT_TRUE(set->GetCompletedRanges().empty());
}

// Pieces arrive from different blocks in any order: end of file reported for a later piece must not
// finish the set before the data in front of it has arrived.
TEST_F(TransactionRangeSetTest, EndOfFileBeyondTheStartWaitsForTheDataBeforeIt) {
    auto set = MakeSet(300);
    set->Complete(200, 100, kEndOfFile);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(100, 100, kSuccess);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(0, 100, kSuccess);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 200);
}

TEST_F(TransactionRangeSetTest, EndOfFileBeyondTheRunDoesNotCutItShort) {
    auto set = MakeSet(300);
    set->Complete(0, 50, kSuccess);
    set->Complete(200, 100, kEndOfFile);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(50, 150, kSuccess);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 200);
}

TEST_F(TransactionRangeSetTest, ShortPieceThenEndOfFileFurtherOnFinishesPartial) {
    auto set = MakeSet(300);
    set->Complete(100, 50, kSuccess);
    set->Complete(150, 20, kPartial);
    set->Complete(250, 50, kEndOfFile);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(0, 100, kSuccess);
    ExpectFinishedOnceWith(set.get(), kPartial, 170);
}

TEST_F(TransactionRangeSetTest, EarliestEndOfFileBeyondTheStartDecides) {
    auto set = MakeSet(300);
    set->Complete(200, 100, kEndOfFile);
    set->Complete(100, 100, kEndOfFile);
    set->Complete(0, 100, kSuccess);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 100);
}

TEST_F(TransactionRangeSetTest, EndOfFileAtTheStartEndsASetThatOnlySawEndOfFileFurtherOn) {
    auto set = MakeSet(300);
    set->Complete(200, 100, kEndOfFile);
    set->Complete(0, 200, kEndOfFile);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 0);
}

TEST_F(TransactionRangeSetTest, FailureStillEndsASetWaitingBehindEndOfFile) {
    auto set = MakeSet(300);
    set->Complete(200, 100, kEndOfFile);
    set->Complete(0, 0, kFailed);
    ExpectFinishedOnceWith(set.get(), kFailed, 0);
}

TEST_F(TransactionRangeSetTest, EndOfFileAfterDataFinishesWithTheRun) {
    auto set = MakeSet(300);
    set->Complete(0, 100, kSuccess);
    set->Complete(100, 50, kEndOfFile);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 100);
    uint32_t bytes = 99;
    EXPECT_EQ(set->GetResult(&bytes), kEndOfFile);
    EXPECT_EQ(bytes, 0u);  // only success and partial report a byte count afterwards
}

TEST_F(TransactionRangeSetTest, EndOfFileAfterScatteredDataWaitsForOneRun) {
    auto set = MakeSet(300);
    set->Complete(200, 100, kSuccess);
    set->Complete(0, 0, kEndOfFile);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(0, 100, kSuccess);  // two completed runs: not yet
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(100, 100, kSuccess);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 300);
}

// Data beyond the end can arrive first when the file changed between two block reads or one of them
// came up short; the piece that ends the data inside the run from 0 still decides the set.
TEST_F(TransactionRangeSetTest, ShortPieceInsideTheRunFinishesDespiteDataBeyondIt) {
    auto set = MakeSet(4096);
    set->Complete(4091, 5, kSuccess);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(0, 95, kPartial);
    ExpectFinishedOnceWith(set.get(), kPartial, 95);
    uint32_t bytes = 0;
    EXPECT_EQ(set->GetResult(&bytes), kPartial);
    EXPECT_EQ(bytes, 95u);
}

TEST_F(TransactionRangeSetTest, EndOfFileAtTheStartFinishesDespiteDataBeyondIt) {
    auto set = MakeSet(3 * 4096 + 1);
    set->Complete(2 * 4096, 1, kSuccess);
    set->Complete(4096, 4096, kEndOfFile);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(0, 4096, kEndOfFile);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 0);
}

TEST_F(TransactionRangeSetTest, EndOfFileAtTheRunsEndFinishesDespiteDataBeyondIt) {
    auto set = MakeSet(300);
    set->Complete(250, 50, kSuccess);
    set->Complete(0, 100, kSuccess);
    set->Complete(100, 100, kEndOfFile);
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 100);
}

TEST_F(TransactionRangeSetTest, ShortPieceReachedByTheRunLaterFinishesDespiteDataBeyondIt) {
    auto set = MakeSet(2 * 4096 + 1);
    set->Complete(4096, 100, kPartial);
    set->Complete(2 * 4096, 1, kSuccess);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(0, 4096, kSuccess);
    ExpectFinishedOnceWith(set.get(), kPartial, 4096 + 100);
}

// A short piece beyond a gap is no run from 0 yet: the set waits for the bytes before it.
TEST_F(TransactionRangeSetTest, ShortPieceBeyondAGapStillWaits) {
    auto set = MakeSet(300);
    set->Complete(0, 100, kSuccess);
    set->Complete(200, 20, kPartial);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(100, 100, kSuccess);
    ExpectFinishedOnceWith(set.get(), kPartial, 220);
}

TEST_F(TransactionRangeSetTest, PartialOutranksEndOfFileAndSuccess) {
    auto set = MakeSet(300);
    set->Complete(200, 100, kSuccess);
    set->Complete(0, 0, kEndOfFile);
    set->Complete(150, 50, kPartial);
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(0, 150, kSuccess);
    ExpectFinishedOnceWith(set.get(), kPartial, 300);
}

TEST_F(TransactionRangeSetTest, CancellationAndFailureFinishAtOnceWithNoBytes) {
    for (int outcome : {kCancelled, kFailed}) {
        for (int before : {kPending, kSuccess, kPartial, kEndOfFile}) {
            RecordingListener own;
            TransactionRangeSet set(300);
            set.SetListener(&own);
            if (before == kEndOfFile) {
                set.Complete(200, 100, kSuccess);  // so that end of file does not finish the set
            }
            if (before != kPending) {
                set.Complete(200, 50, before);
            }
            ASSERT_EQ(own.Count(), 0u);
            set.Complete(0, 0, outcome);
            ASSERT_EQ(own.Count(), 1u);
            EXPECT_EQ(own.Last().rangeResult, outcome);
            EXPECT_EQ(own.Last().bytes, 0u);
            uint32_t bytes = 1;
            EXPECT_EQ(set.GetResult(&bytes), outcome);
            EXPECT_EQ(bytes, 0u);
        }
    }
}

TEST_F(TransactionRangeSetTest, UnknownRangeResultsChangeNothing) {
    auto set = MakeSet(300);
    set->Complete(0, 100, 0);
    set->Complete(0, 100, 6);
    set->Complete(0, 100, -1);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 300}}));
    EXPECT_TRUE(set->GetCompletedRanges().empty());
    set->Complete(0, 0, kEndOfFile);  // nothing was reported: finishes at once
    ExpectFinishedOnceWith(set.get(), kEndOfFile, 0);
}

TEST_F(TransactionRangeSetTest, EmptySuccessOnlySetsTheResult) {
    auto set = MakeSet(300);
    set->Complete(0, 0, kSuccess);
    EXPECT_EQ(listener.Count(), 0u);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 300}}));
    EXPECT_TRUE(set->GetCompletedRanges().empty());
    // Something has been reported now, so end of file waits for data instead of finishing.
    set->Complete(0, 0, kEndOfFile);
    EXPECT_EQ(listener.Count(), 0u);
}

TEST_F(TransactionRangeSetTest, EmptyPieceInsideAnOpenRangeDoesNotSplitIt) {
    auto set = MakeSet(300);
    set->Complete(100, 0, kSuccess);
    set->Complete(150, 0, kPartial);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 300}}));
    EXPECT_TRUE(set->GetCompletedRanges().empty());
    EXPECT_EQ(listener.Count(), 0u);
}

TEST_F(TransactionRangeSetTest, CompletedBytesLeaveEveryOpenRangeTheySpan) {
    auto set = MakeSet(400);
    uint32_t size = 0;
    ASSERT_TRUE(set->Reserve(100, size, 100));
    ASSERT_EQ(set->GetOpenRanges(), R({{0, 100}, {200, 200}}));
    set->Complete(0, 300, kSuccess);
    EXPECT_EQ(set->GetOpenRanges(), R({{300, 100}}));
    EXPECT_EQ(set->GetCompletedRanges(), R({{0, 300}}));
    uint32_t offset = 0;
    ASSERT_TRUE(set->GetRangeToComplete(offset, size, kWhole));
    EXPECT_EQ(offset, 300u);
    EXPECT_EQ(size, 100u);

    // Completing around an open range with bytes to spare on both sides removes it too.
    auto other = MakeSet(400);
    ASSERT_TRUE(other->GetRangeToComplete(offset, size, kWhole));
    other->ReturnRange(150, 50);
    other->Complete(100, 200, kSuccess);
    EXPECT_FALSE(other->StillRangesToComplete());
}

TEST_F(TransactionRangeSetTest, FinishedSetChangesNoMore) {
    auto set = MakeSet(300);
    uint32_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(set->GetRangeToComplete(offset, size, 100));
    set->Complete(0, 100, kPartial);
    ASSERT_EQ(listener.Count(), 1u);
    const auto open = set->GetOpenRanges();
    const auto completed = set->GetCompletedRanges();
    set->Complete(100, 200, kSuccess);
    set->Complete(0, 0, kCancelled);
    set->Complete(0, 0, kFailed);
    set->Complete(0, 300, kEndOfFile);
    set->ReturnRange(0, 100);
    EXPECT_EQ(listener.Count(), 1u);
    EXPECT_EQ(set->GetOpenRanges(), open);
    EXPECT_EQ(set->GetCompletedRanges(), completed);
    EXPECT_FALSE(set->StillRangesToComplete());
    EXPECT_FALSE(set->Reserve(200, size, 10));
    EXPECT_EQ(size, 0u);
    uint32_t bytes = 0;
    EXPECT_EQ(set->GetResult(&bytes), kPartial);
    EXPECT_EQ(bytes, 100u);
}

TEST_F(TransactionRangeSetTest, ResetStartsANewCycleWithItsOwnListenerCall) {
    auto set = MakeSet(300);
    set->Complete(0, 300, kSuccess);
    ASSERT_EQ(listener.Count(), 1u);
    set->Reset(200);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 200}}));
    EXPECT_TRUE(set->GetCompletedRanges().empty());
    EXPECT_EQ(set->GetResult(nullptr), kPending);
    EXPECT_TRUE(set->StillRangesToComplete());
    set->Complete(0, 0, kEndOfFile);  // the earlier success is forgotten: finishes at once
    ASSERT_EQ(listener.Count(), 2u);
    EXPECT_EQ(listener.Last().rangeResult, kEndOfFile);
    EXPECT_EQ(listener.Last().bytes, 0u);

    set->Reset(100);
    set->Complete(0, 50, kSuccess);
    set->Reset(100);  // an unfinished cycle ends without a call
    EXPECT_EQ(listener.Count(), 2u);
    set->Complete(50, 50, kSuccess);
    EXPECT_EQ(listener.Count(), 2u);
    set->Complete(0, 50, kSuccess);
    EXPECT_EQ(listener.Count(), 3u);
    EXPECT_EQ(listener.Last().bytes, 100u);
}

TEST_F(TransactionRangeSetTest, FinishesWithoutAListener) {
    TransactionRangeSet set(100);
    set.Complete(0, 100, kSuccess);
    uint32_t bytes = 0;
    EXPECT_EQ(set.GetResult(&bytes), kSuccess);
    EXPECT_EQ(bytes, 100u);
}

// ---- offsets and sizes near 2^32 ------------------------------------------------------------------

TEST_F(TransactionRangeSetTest, ReturnedRangesAreClippedToTheSetAndNeverWrap) {
    auto set = MakeSet(300);
    uint32_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(set->GetRangeToComplete(offset, size, kWhole));
    set->ReturnRange(0xFFFFFF00u, 0x200u);  // its end would wrap to 0x100
    set->ReturnRange(300, 10);
    set->ReturnRange(0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_TRUE(set->GetOpenRanges().empty());
    EXPECT_FALSE(set->StillRangesToComplete());
    set->ReturnRange(200, 0xFFFFFFFFu);
    EXPECT_EQ(set->GetOpenRanges(), R({{200, 100}}));
    set->ReturnRange(250, 1000);
    EXPECT_EQ(set->GetOpenRanges(), R({{200, 100}}));
}

TEST_F(TransactionRangeSetTest, ReserveNearTheTopNeverWraps) {
    auto set = MakeSet(300);
    uint32_t size = 0;
    // In 32 bits the last requested byte would be 0xFF, inside the open range.
    EXPECT_FALSE(set->Reserve(0xFFFFFF00u, size, 0x200u));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 300}}));
    // In 32 bits the end would wrap to 234, before the start.
    EXPECT_TRUE(set->Reserve(250, size, 0xFFFFFFF0u));
    EXPECT_EQ(size, 50u);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 250}}));
    EXPECT_TRUE(set->Reserve(0, size, 0xFFFFFFFEu));
    EXPECT_EQ(size, 250u);
    EXPECT_TRUE(set->GetOpenRanges().empty());
}

TEST_F(TransactionRangeSetTest, CompletedRangesAreClippedToTheSet) {
    auto set = MakeSet(300);
    set->Complete(0xFFFFFF00u, 0x200u, kSuccess);  // lies wholly beyond the set
    EXPECT_TRUE(set->GetCompletedRanges().empty());
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 300}}));
    EXPECT_EQ(listener.Count(), 0u);
    set->Complete(100, 0xFFFFFFFFu, kSuccess);
    EXPECT_EQ(set->GetCompletedRanges(), R({{100, 200}}));
    EXPECT_EQ(set->GetOpenRanges(), R({{0, 100}}));
    set->Complete(0, 100, kSuccess);
    ExpectFinishedOnceWith(set.get(), kSuccess, 300);

    // More than the whole set still finishes it with exactly the total.
    auto other = MakeSet(300);
    other->Complete(0, 400, kSuccess);
    ASSERT_EQ(listener.Count(), 2u);
    EXPECT_EQ(listener.Last().bytes, 300u);
}

TEST_F(TransactionRangeSetTest, LargestSetWorksUpToItsLastByte) {
    const uint32_t total = 0xFFFFFFFFu;
    auto set = MakeSet(total);
    EXPECT_EQ(set->GetOpenRanges(), R({{0, total}}));
    uint32_t offset = 0;
    uint32_t size = 0;
    ASSERT_TRUE(set->GetRangeToComplete(offset, size, kWhole));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, total);
    set->ReturnRange(0xFFFFFF00u, 0x1000u);
    EXPECT_EQ(set->GetOpenRanges(), R({{0xFFFFFF00u, 0xFFu}}));
    set->ReturnRange(0xFFFFFE00u, 0x100u);  // touches the range above it
    EXPECT_EQ(set->GetOpenRanges(), R({{0xFFFFFE00u, 0x1FFu}}));
    ASSERT_TRUE(set->Reserve(0xFFFFFFF0u, size, 0x100u));
    EXPECT_EQ(size, 0xFu);
    EXPECT_EQ(set->GetOpenRanges(), R({{0xFFFFFE00u, 0x1F0u}}));
    set->Complete(0xFFFFFF00u, 0xFFFFFFFFu, kSuccess);
    EXPECT_EQ(set->GetCompletedRanges(), R({{0xFFFFFF00u, 0xFFu}}));
    EXPECT_EQ(set->GetOpenRanges(), R({{0xFFFFFE00u, 0x100u}}));
    set->Complete(0, 0xFFFFFF00u, kSuccess);
    ExpectFinishedOnceWith(set.get(), kSuccess, total);
}

// ---- the lock -------------------------------------------------------------------------------------

// Finished runs with the set's lock left: another thread gets in while it runs (a status callback may
// start work that takes block locks, which are taken before this lock elsewhere).
class BlockingListener : public TransactionRangeSet::Listener {
  public:
    void Finished(int, TransactionRangeSet* set, uint32_t) override {
        other = std::thread([this, set] {
            set->GetResult(nullptr);
            otherGotIn = true;
        });
        gotInWhileRunning = TarvosTest::WaitUntil([this] { return otherGotIn.load(); });
    }

    std::thread other;
    std::atomic<bool> otherGotIn{false};
    bool gotInWhileRunning = false;
};

TEST_F(TransactionRangeSetTest, ListenerRunsWithTheLockLeft) {
    BlockingListener blocking;
    TransactionRangeSet set(100);
    set.SetListener(&blocking);
    set.Complete(0, 100, kSuccess);
    EXPECT_TRUE(blocking.gotInWhileRunning);
    ASSERT_TRUE(blocking.other.joinable());
    blocking.other.join();
}

class ThrowingListener : public TransactionRangeSet::Listener {
  public:
    void Finished(int, TransactionRangeSet*, uint32_t) override {
        ++calls;
        throw 7;
    }
    int calls = 0;
};

TEST_F(TransactionRangeSetTest, LockIsLeftWhenTheListenerThrows) {
    ThrowingListener throwing;
    TransactionRangeSet set(100);
    set.SetListener(&throwing);
    EXPECT_THROW(set.Complete(0, 0, kCancelled), int);
    std::atomic<bool> done{false};
    std::thread other([&] {
        set.Complete(0, 100, kSuccess);
        done = true;
    });
    EXPECT_TRUE(TarvosTest::WaitUntil([&] { return done.load(); }));
    other.join();
    EXPECT_EQ(throwing.calls, 1);
    EXPECT_EQ(set.GetResult(nullptr), kCancelled);
}

// Finished may call back into the set on its own thread, and a Complete from inside it is ignored.
class ReenteringListener : public TransactionRangeSet::Listener {
  public:
    void Finished(int, TransactionRangeSet* set, uint32_t) override {
        ++calls;
        set->Complete(0, 0, kFailed);
        set->ReturnRange(0, 10);
        resultInside = set->GetResult(&bytesInside);
    }
    int calls = 0;
    int resultInside = -1;
    uint32_t bytesInside = 0;
};

TEST_F(TransactionRangeSetTest, ListenerMayCallBackIntoTheSet) {
    ReenteringListener reentering;
    TransactionRangeSet set(100);
    set.SetListener(&reentering);
    set.Complete(0, 100, kSuccess);
    EXPECT_EQ(reentering.calls, 1);
    EXPECT_EQ(reentering.resultInside, kSuccess);
    EXPECT_EQ(reentering.bytesInside, 100u);
    EXPECT_TRUE(set.GetOpenRanges().empty());
}

// ---- against the reference model ------------------------------------------------------------------

void ExpectSameBytes(const std::vector<Range>& ranges, const std::vector<bool>& bytes, const char* what) {
    std::vector<RangeSetModel::Run> runs;
    for (size_t i = 0; i < ranges.size(); ++i) {
        // Sorted, disjoint, not touching, not empty, inside the set.
        ASSERT_GT(ranges[i].size, 0u) << what;
        ASSERT_LE(uint64_t{ranges[i].offset} + ranges[i].size, bytes.size()) << what;
        if (i > 0) {
            ASSERT_GT(ranges[i].offset, uint64_t{ranges[i - 1].offset} + ranges[i - 1].size) << what;
        }
        runs.emplace_back(ranges[i].offset, ranges[i].size);
    }
    ASSERT_EQ(runs, RangeSetModel::Runs(bytes)) << what;
}

class ModelRun {
  public:
    explicit ModelRun(uint32_t seed) : random(seed), model(0), set(0) { set.SetListener(&listener); }

    void Run(int cycles) {
        for (int cycle = 0; cycle < cycles; ++cycle) {
            const uint32_t total = PickTotal();
            set.Reset(total);
            model.Reset(total);
            held.clear();
            finishesBefore = listener.Count();
            const int steps = Uniform(0, 80);
            for (int step = 0; step < steps && !::testing::Test::HasFatalFailure(); ++step) {
                Step();
                Compare();
            }
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
            // Drive the cycle to its end: it must finish exactly once.
            Complete(0, kWhole, kSuccess);
            if (!model.finished) {
                Complete(0, 0, kFailed);
            }
            ASSERT_TRUE(model.finished);
            Compare();
            ASSERT_EQ(listener.Count(), finishesBefore + 1);
        }
    }

  private:
    int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    uint32_t UniformU(uint32_t low, uint32_t high) {
        return std::uniform_int_distribution<uint32_t>(low, high)(random);
    }

    uint32_t PickTotal() {
        const int kind = Uniform(0, 9);
        if (kind == 0) {
            return Uniform(0, 3);
        }
        if (kind == 1) {
            return UniformU(300, 1500);
        }
        return UniformU(1, 200);
    }

    // An offset: mostly inside the set or just past it, sometimes near 2^32.
    uint32_t PickOffset() {
        if (Uniform(0, 9) == 0) {
            return 0xFFFFFFFFu - UniformU(0, 600);
        }
        return UniformU(0, model.total + 10);
    }

    // A size: mostly small, sometimes the whole set or large enough to pass 2^32.
    uint32_t PickSize() {
        const int kind = Uniform(0, 19);
        if (kind == 0) {
            return kWhole;
        }
        if (kind == 1) {
            return 0xFFFFFFFFu - UniformU(1, 600);
        }
        if (kind == 2) {
            return 0;
        }
        return UniformU(1, model.total / 2 + 10);
    }

    int PickRangeResult() {
        static constexpr int32_t kResults[] = {
            kResultSuccess,   kResultSuccess, kResultSuccess,      kResultSuccess,
            kResultSuccess,   kResultSuccess, kResultSuccess,      kResultSuccess,
            kResultSuccess,   kResultPartial, kResultPartial,      kResultEndOfFile,
            kResultEndOfFile, kResultNone,    kResultPending,      kResultCancelled,
            kResultFailed,    kResultBusy,    kResultBufferLocked, kResultInvalidArgument};
        const int pick = Uniform(0, std::size(kResults));
        if (pick == static_cast<int>(std::size(kResults))) {
            return Uniform(0, 1) == 0 ? 6 : -1;  // outside the ranking
        }
        return TransactionRangeSet::RangeResultFromResult(kResults[pick]);
    }

    // A held piece, or a part of one, leaves the held list; otherwise a random range.
    Range PickPieceOrRandom() {
        if (!held.empty() && Uniform(0, 3) != 0) {
            const size_t index = UniformU(0, held.size() - 1);
            Range piece = held[index];
            held.erase(held.begin() + index);
            if (Uniform(0, 2) == 0 && piece.size > 1) {
                const uint32_t skip = UniformU(0, piece.size - 1);
                piece = Range{piece.offset + skip, UniformU(1, piece.size - skip)};
            }
            return piece;
        }
        return Range{PickOffset(), PickSize()};
    }

    void Step() {
        const int kind = Uniform(0, 99);
        if (kind < 25) {
            const uint32_t maxSize = PickSize();
            uint32_t offset = 1;
            uint32_t size = 1;
            uint32_t modelOffset = 2;
            uint32_t modelSize = 2;
            const bool taken = set.GetRangeToComplete(offset, size, maxSize);
            ASSERT_EQ(taken, model.GetRangeToComplete(modelOffset, modelSize, maxSize)) << "take " << maxSize;
            ASSERT_EQ(offset, modelOffset);
            ASSERT_EQ(size, modelSize);
            if (taken) {
                held.push_back(Range{offset, size});
            }
        } else if (kind < 40) {
            const uint32_t offset = !held.empty() && Uniform(0, 3) == 0 ? held.front().offset : PickOffset();
            const uint32_t requested = PickSize();
            uint32_t size = 1;
            uint32_t modelSize = 2;
            uint32_t pieceOffset = 0;
            const bool taken = set.Reserve(offset, size, requested);
            ASSERT_EQ(taken, model.Reserve(offset, modelSize, requested, &pieceOffset))
                << "reserve " << offset << " " << requested;
            ASSERT_EQ(size, modelSize);
            if (taken) {
                held.push_back(Range{pieceOffset, size});
            }
        } else if (kind < 55) {
            const Range piece = PickPieceOrRandom();
            set.ReturnRange(piece.offset, piece.size);
            model.ReturnRange(piece.offset, piece.size);
        } else {
            const Range piece = PickPieceOrRandom();
            Complete(piece.offset, piece.size, PickRangeResult());
        }
    }

    void Complete(uint32_t offset, uint32_t size, int rangeResult) {
        const size_t before = listener.Count();
        set.Complete(offset, size, rangeResult);
        const bool finishedNow = model.Complete(offset, size, rangeResult);
        ASSERT_EQ(listener.Count(), before + (finishedNow ? 1 : 0))
            << "complete " << offset << " " << size << " " << rangeResult;
        if (finishedNow) {
            const RecordingListener::Call call = listener.Last();
            ASSERT_EQ(call.rangeResult, model.result);
            ASSERT_EQ(call.bytes, model.finishedBytes);
            ASSERT_EQ(call.set, &set);
            ASSERT_EQ(call.resultSeenInside, model.result);
        }
    }

    void Compare() {
        ASSERT_EQ(set.StillRangesToComplete(), model.StillRangesToComplete());
        uint32_t bytes = 1;
        uint32_t modelBytes = 2;
        ASSERT_EQ(set.GetResult(&bytes), model.GetResult(&modelBytes));
        ASSERT_EQ(bytes, modelBytes);
        ASSERT_NO_FATAL_FAILURE(ExpectSameBytes(set.GetOpenRanges(), model.open, "open"));
        ASSERT_NO_FATAL_FAILURE(ExpectSameBytes(set.GetCompletedRanges(), model.completed, "completed"));
        ASSERT_LE(listener.Count(), finishesBefore + 1);
    }

    std::mt19937 random;
    RangeSetModel model;
    TransactionRangeSet set;
    RecordingListener listener;
    std::vector<Range> held;
    size_t finishesBefore = 0;
};

TEST_F(TransactionRangeSetTest, RandomSequencesMatchTheModel) {
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        ModelRun run(seed);
        run.Run(10);
        if (HasFatalFailure()) {
            return;
        }
    }
}

// ---- several threads ------------------------------------------------------------------------------

class CountingListener : public TransactionRangeSet::Listener {
  public:
    void Finished(int rangeResult, TransactionRangeSet*, uint32_t bytes) override {
        ++calls;
        lastResult = rangeResult;
        lastBytes = bytes;
    }
    std::atomic<int> calls{0};
    std::atomic<int> lastResult{-1};
    std::atomic<uint32_t> lastBytes{0};
};

// A start line for the threads of one round: each arrives and waits (yielding) until all have. Not
// std::latch: its wait hung now and then in the mingw-w64 build under Wine.
class StartLine {
  public:
    explicit StartLine(int count) : left(count) {}
    void ArriveAndWait() {
        left.fetch_sub(1);
        while (left.load() > 0) {
            std::this_thread::yield();
        }
    }

  private:
    std::atomic<int> left;
};

// Runs `count` copies of `body(index)` and joins them; a thread that does not end within the limit
// fails the test at once rather than hanging it.
template <typename Body>
void RunThreads(int count, Body body) {
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            body(i);
            ++done;
        });
    }
    if (!TarvosTest::WaitUntil([&] { return done.load() == count; }, std::chrono::milliseconds(60000))) {
        std::fprintf(stderr, "threads of a range-set test did not end: deadlock?\n");
        std::abort();
    }
    for (auto& t : threads) {
        t.join();
    }
}

TEST_F(TransactionRangeSetTest, ThreadsCompletingDisjointPiecesFinishOnce) {
    constexpr int kThreads = 4;
    CountingListener counting;
    TransactionRangeSet set(0);
    set.SetListener(&counting);
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        const uint32_t total = std::uniform_int_distribution<uint32_t>(1, 1u << 20)(random);
        set.Reset(total);
        counting.calls = 0;
        // Cut the set into random pieces and deal them out to the threads in a random order.
        std::vector<Range> pieces;
        for (uint32_t offset = 0; offset < total;) {
            const uint32_t size =
                std::min(total - offset, std::uniform_int_distribution<uint32_t>(1, total / 16 + 1)(random));
            pieces.push_back(Range{offset, size});
            offset += size;
        }
        std::shuffle(pieces.begin(), pieces.end(), random);
        StartLine start(kThreads);
        RunThreads(kThreads, [&](int index) {
            start.ArriveAndWait();
            for (size_t i = index; i < pieces.size(); i += kThreads) {
                set.Complete(pieces[i].offset, pieces[i].size, kSuccess);
            }
        });
        ASSERT_EQ(counting.calls.load(), 1) << "round " << round;
        EXPECT_EQ(counting.lastResult.load(), kSuccess);
        EXPECT_EQ(counting.lastBytes.load(), total);
        uint32_t bytes = 0;
        EXPECT_EQ(set.GetResult(&bytes), kSuccess);
        EXPECT_EQ(bytes, total);
        EXPECT_EQ(set.GetCompletedRanges(), R({{0, total}}));
    }
}

TEST_F(TransactionRangeSetTest, ThreadsTakingReturningAndCompletingFinishOnce) {
    constexpr int kThreads = 4;
    CountingListener counting;
    TransactionRangeSet set(0);
    set.SetListener(&counting);
    for (int round = 0; round < 50; ++round) {
        const uint32_t total = 100000u + 977u * round;
        set.Reset(total);
        counting.calls = 0;
        StartLine start(kThreads);
        RunThreads(kThreads, [&](int index) {
            std::mt19937 random(round * kThreads + index);
            start.ArriveAndWait();
            while (set.GetResult(nullptr) == kPending) {
                uint32_t offset = 0;
                uint32_t size = 0;
                if (!set.GetRangeToComplete(offset, size,
                                            std::uniform_int_distribution<uint32_t>(1, 5000)(random))) {
                    std::this_thread::yield();  // another thread holds the rest
                    continue;
                }
                if (size > 1 && random() % 3 == 0) {
                    set.ReturnRange(offset + size / 2, size - size / 2);
                    size /= 2;
                }
                set.Complete(offset, size, kSuccess);
            }
        });
        ASSERT_EQ(counting.calls.load(), 1) << "round " << round;
        EXPECT_EQ(counting.lastResult.load(), kSuccess);
        EXPECT_EQ(counting.lastBytes.load(), total);
        EXPECT_TRUE(set.GetOpenRanges().empty());
    }
}

TEST_F(TransactionRangeSetTest, CancellationRacingCompletionsFinishesOnce) {
    constexpr int kThreads = 3;
    CountingListener counting;
    TransactionRangeSet set(0);
    set.SetListener(&counting);
    int cancelledRounds = 0;
    for (int round = 0; round < 200; ++round) {
        const uint32_t total = 20000;
        set.Reset(total);
        counting.calls = 0;
        if (round % 50 == 0) {
            // Some rounds are cancelled before any completion, whatever the scheduler does.
            set.Complete(0, 0, kCancelled);
        }
        StartLine start(kThreads + 1);
        RunThreads(kThreads + 1, [&](int index) {
            start.ArriveAndWait();
            if (index == kThreads) {
                for (int spin = 0; spin < round * 10; ++spin) {
                    std::this_thread::yield();
                }
                set.Complete(0, 0, kCancelled);
                return;
            }
            for (uint32_t offset = index * 100; offset < total; offset += kThreads * 100) {
                set.Complete(offset, 100, kSuccess);
            }
        });
        ASSERT_EQ(counting.calls.load(), 1) << "round " << round;
        uint32_t bytes = 1;
        const int result = set.GetResult(&bytes);
        EXPECT_EQ(result, counting.lastResult.load());
        if (result == kCancelled) {
            ++cancelledRounds;
            EXPECT_EQ(bytes, 0u);
            EXPECT_EQ(counting.lastBytes.load(), 0u);
        } else {
            EXPECT_EQ(result, kSuccess);
            EXPECT_EQ(bytes, total);
            EXPECT_EQ(counting.lastBytes.load(), total);
        }
    }
    EXPECT_GE(cancelledRounds, 4);
}

}  // namespace
