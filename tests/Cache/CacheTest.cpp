#include "Tarvos/Cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "Cache/CacheBlock.h"
#include "Cache/CacheBlockList.h"
#include "Cache/PreReadTransactionList.h"
#include "CoreClasses/CallSite.h"
#include "Support/CacheTestAccess.h"
#include "Support/MemoryCacheSource.h"
#include "Support/RecordingStatusCallback.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/MTInterface.h"

using namespace Tarvos;
using TarvosTest::MemoryCacheSource;
using TarvosTest::RecordingStatusCallback;
using TarvosTest::WaitUntil;

namespace {

constexpr uint32_t kBlock = 4096;

// One caller's read: a buffer, its list, the transaction and a recording callback.
struct Request {
    HeapBuffer* buffer = nullptr;
    BufferList* list = nullptr;
    RecordingStatusCallback* callback = nullptr;
    CacheTransaction* transaction = nullptr;
    uint64_t offset = 0;
    uint32_t size = 0;
    CacheSource::Result_t readResult = CacheSource::kResultNone;

    Request(CacheSource* source, uint64_t offset, uint32_t size, uint32_t dueTime = Cache::kDueASAP)
        : offset(offset), size(size) {
        buffer = new HeapBuffer(size);
        std::fill_n(static_cast<uint8_t*>(buffer->GetAddress()), size, uint8_t{0xEE});
        list = new BufferList(buffer, false);
        callback = new RecordingStatusCallback();
        transaction = new CacheTransaction(source, offset, list, callback, dueTime);
    }
    ~Request() {
        transaction->DecRef(TARVOS_CALL_SITE);
        callback->DecRef(TARVOS_CALL_SITE);
        list->DecRef(TARVOS_CALL_SITE);
        buffer->DecRef(TARVOS_CALL_SITE);
    }
    const uint8_t* Data() const { return static_cast<const uint8_t*>(buffer->GetAddress()); }
};

class CacheTest : public ::testing::Test {
  protected:
    void MakeCache(uint32_t blockSize, uint32_t blocks) {
        factory = new BufferFactoryHeap();
        ASSERT_TRUE(factory->Initialize(blockSize, blocks, blocks, 0));
        cache = new Cache(factory);
    }

    MemoryCacheSource* MakeSource(uint64_t length, bool completeInline = false) {
        auto* source = new MemoryCacheSource(length, completeInline);
        EXPECT_TRUE(source->UseCache(cache));
        sources.push_back(source);
        return source;
    }

    Request* Start(MemoryCacheSource* source, uint64_t offset, uint32_t size,
                   uint32_t dueTime = Cache::kDueASAP) {
        requests.push_back(std::make_unique<Request>(source, offset, size, dueTime));
        Request* request = requests.back().get();
        request->readResult = cache->Read(request->transaction);
        return request;
    }

    // Waits for the request's one report and checks it against the source's content.
    void ExpectRead(Request* request, MemoryCacheSource* source, CacheSource::Result_t result,
                    uint32_t bytes) {
        ASSERT_EQ(request->readResult, CacheSource::kResultPending);
        ASSERT_TRUE(request->callback->WaitForCalls(1)) << "no report for " << request->offset;
        EXPECT_EQ(request->callback->LastResult(), result) << "at " << request->offset;
        EXPECT_EQ(request->callback->LastBytes(), bytes) << "at " << request->offset;
        EXPECT_EQ(source->FirstMismatch(request->Data(), request->offset, bytes), -1)
            << "wrong byte in the read at " << request->offset;
    }

    bool Quiet() {
        return WaitUntil([&] {
            for (MemoryCacheSource* source : sources) {
                if (source->Outstanding() != 0) {
                    return false;
                }
            }
            return CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache);
        });
    }

    void TearDown() override {
        if (cache != nullptr) {
            EXPECT_TRUE(Quiet()) << "blocks still held at the end";
        }
        for (auto& request : requests) {
            EXPECT_LE(request->callback->Calls(), 1) << "a callback ran twice";
        }
        requests.clear();
        for (MemoryCacheSource* source : sources) {
            source->Release();
            // A dispatcher may let go of its last command a moment after the callback has run.
            EXPECT_TRUE(WaitUntil([&] { return source->GetRefCount() == 1; }))
                << "a transaction or the cache kept the source";
            source->DecRef(TARVOS_CALL_SITE);
        }
        if (cache != nullptr) {
            EXPECT_EQ(cache->GetRefCount(), 1);
            cache->DecRef(TARVOS_CALL_SITE);
        }
        if (factory != nullptr) {
            EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers())
                << "the cache kept a buffer";
            factory->DecRef(TARVOS_CALL_SITE);
        }
    }

    BufferFactoryHeap* factory = nullptr;
    Cache* cache = nullptr;
    std::vector<MemoryCacheSource*> sources;
    std::vector<std::unique_ptr<Request>> requests;
};

TEST_F(CacheTest, BadArgumentsAreRefusedWithoutReporting) {
    MakeCache(kBlock, 4);
    EXPECT_EQ(cache->Read(nullptr), CacheSource::kResultInvalidArgument);
    auto* callback = new RecordingStatusCallback();
    auto* orphan = new CacheTransaction();
    EXPECT_EQ(cache->Read(orphan), CacheSource::kResultInvalidArgument);
    // Nothing to read into: no list, an empty one, a buffer of no bytes.
    MemoryCacheSource* source = MakeSource(1 << 20);
    auto* empty = new BufferList();
    auto* zeroSized = new BufferList(new HeapBuffer(0), true);
    for (BufferList* list : {static_cast<BufferList*>(nullptr), empty, zeroSized}) {
        auto* transaction = new CacheTransaction(source, kBlock, list, callback, Cache::kDueASAP);
        EXPECT_EQ(cache->Read(transaction), CacheSource::kResultInvalidArgument);
        transaction->DecRef(TARVOS_CALL_SITE);
    }
    EXPECT_EQ(source->readCalls.load(), 0);
    EXPECT_EQ(callback->Calls(), 0);
    empty->DecRef(TARVOS_CALL_SITE);
    zeroSized->DecRef(TARVOS_CALL_SITE);
    orphan->DecRef(TARVOS_CALL_SITE);
    callback->DecRef(TARVOS_CALL_SITE);
    EXPECT_EQ(cache->GetBlockSize(), kBlock);
}

TEST_F(CacheTest, CacheWithoutFactoryFailsReadsAndIgnoresTheRest) {
    cache = new Cache(nullptr);
    EXPECT_EQ(cache->GetBlockSize(), 0u);
    MemoryCacheSource* source = MakeSource(100000);
    Request* request = Start(source, 0, 100);
    EXPECT_EQ(request->readResult, CacheSource::kResultFailed);
    EXPECT_EQ(request->callback->Calls(), 1) << "reported before Read returned";
    EXPECT_EQ(request->callback->LastResult(), CacheSource::kResultFailed);
    cache->PreRead(source, 0, 100000, 0);  // must not loop on a block size of 0
    cache->Invalidate(source, 0, 100);
    cache->Cancel(source);
    cache->Purge(source);
    cache->CollectCacheStats(true);
    EXPECT_EQ(cache->GetCacheMisses(), 0u);
    EXPECT_EQ(source->reads.load(), 0);
}

class CacheMultiBlockTest : public CacheTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CacheMultiBlockTest, ConsecutiveMissesBecomeOneReadWhenTheSourceAllows) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    source->multiBlock = GetParam();
    Request* request = Start(source, kBlock + 100, 2 * kBlock);  // touches blocks 1, 2 and 3
    ExpectRead(request, source, CacheSource::kResultSuccess, 2 * kBlock);
    ASSERT_TRUE(Quiet());
    if (GetParam()) {
        EXPECT_EQ(source->reads.load(), 1);
        EXPECT_EQ(source->ReadRanges().front(), std::make_pair(uint64_t{kBlock}, 3 * kBlock));
    } else {
        EXPECT_EQ(source->reads.load(), 3);
    }
}

INSTANTIATE_TEST_SUITE_P(SourceReads, CacheMultiBlockTest, ::testing::Bool());

TEST_F(CacheTest, SecondReadOfABlockIsAHitWithoutAnotherSourceRead) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    cache->CollectCacheStats(true);
    ExpectRead(Start(source, 0, 2 * kBlock), source, CacheSource::kResultSuccess, 2 * kBlock);
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(cache->GetCacheMisses(), 2u);
    EXPECT_EQ(cache->GetCacheDirectReads(), 2u);
    EXPECT_EQ(cache->GetCacheHits(), 0u);
    ExpectRead(Start(source, 10, 2 * kBlock - 20), source, CacheSource::kResultSuccess, 2 * kBlock - 20);
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(source->reads.load(), 1);
    EXPECT_EQ(cache->GetCacheHits(), 2u);
    EXPECT_EQ(cache->GetCacheMisses(), 2u);
    EXPECT_EQ(cache->GetCachePreReads(), 0u);
}

TEST_F(CacheTest, ReadArrivingWhileTheBlockIsReadWaitsOnIt) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    source->Hold();
    Request* first = Start(source, 0, kBlock);
    ASSERT_TRUE(WaitUntil([&] { return source->reads.load() == 1; }));
    Request* second = Start(source, 100, 200);
    // The second transaction is queued on the block being read: no second read may start.
    ASSERT_TRUE(WaitUntil([&] { return CacheTestAccess::FreeBlocks(cache) == 7; }));
    EXPECT_EQ(first->callback->Calls(), 0);
    EXPECT_EQ(second->callback->Calls(), 0);
    source->Release();
    ExpectRead(first, source, CacheSource::kResultSuccess, kBlock);
    ExpectRead(second, source, CacheSource::kResultSuccess, 200);
    EXPECT_EQ(source->reads.load(), 1);
}

TEST_F(CacheTest, StatisticsCanBeSwitchedAndReset) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    ExpectRead(Start(source, 0, kBlock), source, CacheSource::kResultSuccess, kBlock);
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(cache->GetCacheMisses(), 0u) << "nothing is counted while statistics are off";
    cache->CollectCacheStats(true);
    ExpectRead(Start(source, 0, kBlock), source, CacheSource::kResultSuccess, kBlock);
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(cache->GetCacheHits(), 1u);
    cache->CollectCacheStats(true);  // already on: the counts stay
    EXPECT_EQ(cache->GetCacheHits(), 1u);
    cache->ResetCacheStats();
    EXPECT_EQ(cache->GetCacheHits(), 0u);
    ExpectRead(Start(source, 0, kBlock), source, CacheSource::kResultSuccess, kBlock);
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(cache->GetCacheHits(), 1u);
    cache->CollectCacheStats(false);
    EXPECT_EQ(cache->GetCacheHits(), 0u);
    cache->CollectCacheStats(true);
    EXPECT_EQ(cache->GetCacheHits(), 0u) << "switching on again starts from 0";
}

TEST_F(CacheTest, PreReadGathersItsBlocksIntoOneReadAndServesLaterReads) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    cache->CollectCacheStats(true);
    cache->PreRead(source, 100, 10, Cache::kDueASAP);
    ASSERT_TRUE(WaitUntil([&] { return source->reads.load() == 1; }));
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(source->ReadRanges().front(), std::make_pair(uint64_t{0}, kBlock));
    ExpectRead(Start(source, 0, kBlock), source, CacheSource::kResultSuccess, kBlock);
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(source->reads.load(), 1) << "the pre-read block served the read";
    EXPECT_EQ(cache->GetCachePreReads(), 1u) << "one block read ahead";
    EXPECT_EQ(cache->GetCacheMisses(), 0u) << "pre-reads are not misses";

    cache->PreRead(source, 3 * kBlock + 1, 2 * kBlock, Cache::kDueASAP);  // blocks 3, 4 and 5
    ASSERT_TRUE(WaitUntil([&] { return source->reads.load() == 2; }));
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(source->ReadRanges().back(), std::make_pair(uint64_t{3 * kBlock}, 3 * kBlock))
        << "consecutive blocks of one pre-read are one read";
    cache->PreRead(source, 3 * kBlock, kBlock, Cache::kDueASAP);  // cached already: no read
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(source->reads.load(), 2);
    EXPECT_EQ(cache->GetCachePreReads(), 4u);
    EXPECT_EQ(cache->GetCachePreReadsDropped(), 0u);
}

// A read-ahead window as large as the cache: the pre-reads beyond it wait for blocks the reader has
// used instead of evicting unread data, so every byte is read from the source once and every read hits.
TEST_F(CacheTest, WindowAsLargeAsTheCacheNeverEvictsItsOwnUnreadData) {
    constexpr uint32_t kBlocks = 8;
    MakeCache(kBlock, kBlocks);
    MemoryCacheSource* source = MakeSource(uint64_t{4} * kBlocks * kBlock);
    source->multiBlock = false;
    cache->CollectCacheStats(true);
    // Due in a minute: the pre-reads that find no block wait that long (plus 2 s) before they drop.
    cache->PreRead(source, 0, 2 * kBlocks * kBlock, MTInterface::GetCurrentTimeMilli() + 60000);
    ASSERT_TRUE(WaitUntil([&] { return source->reads.load() == static_cast<int>(kBlocks); }));
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(source->reads.load(), static_cast<int>(kBlocks)) << "the second half waits for used blocks";
    for (uint32_t i = 0; i < 2 * kBlocks; ++i) {
        ExpectRead(Start(source, uint64_t{i} * kBlock, kBlock), source, CacheSource::kResultSuccess, kBlock);
    }
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(source->reads.load(), static_cast<int>(2 * kBlocks)) << "no block was read twice";
    EXPECT_GE(cache->GetCacheHits(), kBlocks);
    EXPECT_EQ(cache->GetCachePreReadsDropped(), 0u);
}

// A demand read of a block a pre-read is bringing in waits for that read (one source read), and a
// read still waiting for room at the cache's bound moves up to the demand read's due time.
TEST_F(CacheTest, DemandReadJoinsAPendingPreReadAndRaisesItsUrgency) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    source->multiBlock = false;
    cache->SetReadsInFlightPerSource(1);
    EXPECT_EQ(cache->GetReadsInFlightPerSource(), 1u);
    source->Hold();
    const uint32_t now = MTInterface::GetCurrentTimeMilli();
    cache->PreRead(source, 0, kBlock, now + 100);
    ASSERT_TRUE(WaitUntil([&] { return source->Held() == 1; }));
    cache->PreRead(source, kBlock, kBlock, now + 200);
    cache->PreRead(source, 2 * kBlock, kBlock, now + 300);
    ASSERT_TRUE(WaitUntil([&] { return CacheTestAccess::FreeBlocks(cache) == 5; }));
    cache->CollectCacheStats(true);
    Request* demand = Start(source, 2 * kBlock, 100, now + 50);
    ASSERT_TRUE(WaitUntil([&] { return cache->GetCacheHits() == 1; }));
    EXPECT_EQ(source->Outstanding(), 1u) << "one read at a time for this source";
    // Each completion starts the next waiting read: the demand read's block comes before block 1.
    ASSERT_TRUE(source->CompleteHeld(0));
    ASSERT_TRUE(WaitUntil([&] { return source->Held() == 1; }));
    EXPECT_EQ(source->ReadRanges().back().first, 2 * uint64_t{kBlock});
    ASSERT_TRUE(source->CompleteHeld(0));
    ExpectRead(demand, source, CacheSource::kResultSuccess, 100);
    source->Release();
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(source->reads.load(), 3) << "each block was read once";
}

// Each source has at most its bound of reads started, and all sources together at most 32; the rest
// waits in the cache and starts as reads finish.
TEST_F(CacheTest, ReadsInFlightAreBoundedPerSourceAndInAll) {
    MakeCache(kBlock, 64);
    std::vector<MemoryCacheSource*> three;
    for (int i = 0; i < 3; ++i) {
        three.push_back(MakeSource(1 << 20));
        three.back()->multiBlock = false;
        three.back()->Hold();
    }
    auto held = [&] {
        size_t total = 0;
        for (MemoryCacheSource* source : three) {
            EXPECT_LE(source->Held(), 16u);
            total += source->Held();
        }
        return total;
    };
    for (MemoryCacheSource* source : three) {
        cache->PreRead(source, 0, 20 * kBlock, MTInterface::GetCurrentTimeMilli() + 60000);
    }
    ASSERT_TRUE(WaitUntil([&] { return held() == 32; }));
    ASSERT_TRUE(WaitUntil([&] { return CacheTestAccess::FreeBlocks(cache) == 4; })) << "every block claimed";
    EXPECT_EQ(held(), 32u);
    for (MemoryCacheSource* source : three) {
        source->Release();
    }
    ASSERT_TRUE(Quiet());
    EXPECT_EQ(three[0]->reads.load() + three[1]->reads.load() + three[2]->reads.load(), 60);
}

TEST_F(CacheTest, MoreTransactionsThanBlocksAreServedAsBlocksFreeUp) {
    MakeCache(kBlock, 2);
    MemoryCacheSource* source = MakeSource(1 << 20);
    std::vector<Request*> started;
    for (uint32_t i = 0; i < 12; ++i) {
        started.push_back(Start(source, uint64_t{i} * kBlock + 7, kBlock - 7));
    }
    for (Request* request : started) {
        ExpectRead(request, source, CacheSource::kResultSuccess, kBlock - 7);
    }
}

TEST_F(CacheTest, ReadsAtTheEndOfTheSource) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(5000);
    ExpectRead(Start(source, 0, 2 * kBlock), source, CacheSource::kResultPartial, 5000);
    ExpectRead(Start(source, kBlock, kBlock), source, CacheSource::kResultPartial, 904);
    ExpectRead(Start(source, 0, kBlock), source, CacheSource::kResultSuccess, kBlock);
    ExpectRead(Start(source, 9000, 100), source, CacheSource::kResultEndOfFile, 0);
    ExpectRead(Start(source, 5000, 10), source, CacheSource::kResultEndOfFile, 0);
}

// A source ending exactly at a block boundary: the block after it reads as end of file, yet a read
// that started inside the data is a short read, as it is without a cache.
TEST_F(CacheTest, ReadPastASourceEndingAtABlockBoundaryIsPartial) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(2 * kBlock);
    ExpectRead(Start(source, 0, 4 * kBlock), source, CacheSource::kResultPartial, 2 * kBlock);
    // Again with every block now cached (the empty one too), and from inside the last block.
    ExpectRead(Start(source, 0, 4 * kBlock), source, CacheSource::kResultPartial, 2 * kBlock);
    ExpectRead(Start(source, kBlock + 100, 2 * kBlock), source, CacheSource::kResultPartial, kBlock - 100);
    ExpectRead(Start(source, 2 * kBlock, kBlock), source, CacheSource::kResultEndOfFile, 0);
    EXPECT_EQ(requests[0]->transaction->GetResult(nullptr), CacheSource::kResultPartial);
    uint32_t bytes = 0;
    EXPECT_EQ(requests[1]->transaction->GetResult(&bytes), CacheSource::kResultPartial);
    EXPECT_EQ(bytes, 2 * kBlock);
}

TEST_F(CacheTest, EmptyBlockPastTheEndDoesNotCutShortTheDataBeforeIt) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(2 * kBlock);
    ExpectRead(Start(source, 2 * kBlock, kBlock), source, CacheSource::kResultEndOfFile, 0);
    ASSERT_TRUE(Quiet());
    // Block 2 is cached empty and is served at once; block 1 still has to be read.
    source->Hold();
    Request* request = Start(source, kBlock, 2 * kBlock);
    ASSERT_TRUE(WaitUntil([&] { return source->Outstanding() == 1; }));
    source->Release();
    ASSERT_TRUE(request->callback->WaitForCalls(1));
    EXPECT_EQ(request->callback->LastBytes(), kBlock);
    EXPECT_EQ(source->FirstMismatch(request->Data(), kBlock, kBlock), -1);
}

TEST_F(CacheTest, BusySourceIsAskedAgain) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    source->busyAnswers = 5;
    ExpectRead(Start(source, 0, kBlock), source, CacheSource::kResultSuccess, kBlock);
    EXPECT_GE(source->readCalls.load(), 6);
}

TEST_F(CacheTest, RefusedReadFailsItsWaitersAndFreesItsBlocks) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    source->refuseWith = CacheSource::kResultInvalidArgument;
    Request* request = Start(source, 0, 3 * kBlock);
    ASSERT_TRUE(request->callback->WaitForCalls(1));
    EXPECT_EQ(request->callback->LastResult(), CacheSource::kResultFailed);
    ASSERT_TRUE(Quiet());
}

TEST_F(CacheTest, FailedReadReportsFailureAndALaterReadTriesAgain) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    source->failWith = CacheSource::kResultFailed;
    Request* request = Start(source, 0, 2 * kBlock);
    ASSERT_TRUE(request->callback->WaitForCalls(1));
    EXPECT_EQ(request->callback->LastResult(), CacheSource::kResultFailed);
    ASSERT_TRUE(Quiet());
    source->failWith = 0;  // the fault has passed
    ExpectRead(Start(source, 0, 2 * kBlock), source, CacheSource::kResultSuccess, 2 * kBlock);
}

TEST_F(CacheTest, RefusedReadIsNotRememberedEither) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    source->refuseWith = CacheSource::kResultFailed;
    Request* request = Start(source, kBlock, kBlock);
    ASSERT_TRUE(request->callback->WaitForCalls(1));
    ASSERT_TRUE(Quiet());
    source->refuseWith = 0;
    ExpectRead(Start(source, kBlock, kBlock), source, CacheSource::kResultSuccess, kBlock);
}

// The other source has a key of its own, or shares the cancelled one's (two sources of one file):
// either way only the cancelled source's transactions end, also on a block both queue on, and one of
// the other's that joined a read of the cancelled source is read again through its own.
class CacheCancelTest : public CacheTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CacheCancelTest, CancelEndsTheSourcesTransactionsAndLeavesOthersAlone) {
    const bool sameFile = GetParam();
    MakeCache(kBlock, 16);
    MemoryCacheSource* cancelled = MakeSource(1 << 20);
    MemoryCacheSource* other = MakeSource(1 << 20);
    if (sameFile) {
        const uint32_t key = MTInterface::GetProcessUniqueID();
        cancelled->sharedKey = key;
        other->sharedKey = key;
    }
    cancelled->Hold();
    other->Hold();
    // Block 5: the other source reads it; the cancelled one's read of it joins that read when they
    // share a key.
    Request* ofOther = Start(other, 5 * kBlock, kBlock);
    std::vector<Request*> ofCancelled;
    ofCancelled.push_back(Start(cancelled, 5 * kBlock, kBlock));
    for (uint32_t i = 0; i < 6; ++i) {
        ofCancelled.push_back(Start(cancelled, uint64_t{i % 3} * kBlock, kBlock + 10));  // shared blocks
    }
    // Block 7: the cancelled source reads it; the other's read of it joins that read when they share
    // a key.
    ofCancelled.push_back(Start(cancelled, 7 * kBlock, kBlock));
    Request* joined = Start(other, 7 * kBlock, kBlock);
    const uint32_t otherKey = other->GetSourceKey();
    const uint32_t cancelledKey = cancelled->GetSourceKey();
    ASSERT_TRUE(WaitUntil([&] {
        return cancelled->Outstanding() >= 1 && other->Outstanding() == (sameFile ? 1u : 2u) &&
               CacheTestAccess::QueuedOn(cache, otherKey, 5 * kBlock) == (sameFile ? 2u : 1u) &&
               CacheTestAccess::QueuedOn(cache, cancelledKey, 5 * kBlock) == (sameFile ? 2u : 1u) &&
               CacheTestAccess::QueuedOn(cache, cancelledKey, 7 * kBlock) == (sameFile ? 2u : 1u);
    }));
    cache->Cancel(cancelled);
    for (Request* request : ofCancelled) {
        EXPECT_EQ(request->callback->Calls(), 1) << "reported by the time Cancel returns";
        EXPECT_EQ(request->callback->LastResult(), CacheSource::kResultCancelled);
    }
    EXPECT_EQ(ofOther->callback->Calls(), 0);
    EXPECT_EQ(joined->callback->Calls(), 0) << "not cancelled with the read it joined";
    other->Release();
    ExpectRead(ofOther, other, CacheSource::kResultSuccess, kBlock);
    ExpectRead(joined, other, CacheSource::kResultSuccess, kBlock);
    // The cancelled source is usable again afterwards.
    cancelled->Release();
    ExpectRead(Start(cancelled, 0, kBlock), cancelled, CacheSource::kResultSuccess, kBlock);
}

INSTANTIATE_TEST_SUITE_P(Keys, CacheCancelTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "SharedKey" : "OwnKeys";
                         });

TEST_F(CacheTest, ReadDuringCancelIsRefusedAndReported) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    Request* during = nullptr;
    source->onCancel = [&] { during = Start(source, 0, kBlock); };
    cache->Cancel(source);
    ASSERT_NE(during, nullptr);
    EXPECT_EQ(during->readResult, CacheSource::kResultCancelled);
    EXPECT_EQ(during->callback->Calls(), 1);
    EXPECT_EQ(during->callback->LastResult(), CacheSource::kResultCancelled);
    EXPECT_EQ(during->callback->LastBytes(), 0u);
    source->onCancel = nullptr;
}

TEST_F(CacheTest, PurgeAndInvalidateForgetCachedData) {
    MakeCache(kBlock, 8);
    MemoryCacheSource* source = MakeSource(1 << 20);
    ExpectRead(Start(source, 0, 2 * kBlock), source, CacheSource::kResultSuccess, 2 * kBlock);
    ASSERT_TRUE(Quiet());
    // The data changes underneath; only the invalidated block is read again.
    source->seed = 99;
    cache->Invalidate(source, 10, 10);
    Request* again = Start(source, 0, 2 * kBlock);
    ASSERT_TRUE(again->callback->WaitForCalls(1));
    EXPECT_EQ(source->FirstMismatch(again->Data(), 0, kBlock), -1) << "block 0 was read again";
    source->seed = 0;
    EXPECT_EQ(source->FirstMismatch(again->Data() + kBlock, kBlock, kBlock), -1) << "block 1 was kept";
    ASSERT_TRUE(Quiet());
    const int readsBefore = source->reads.load();
    cache->Purge(source);
    ExpectRead(Start(source, kBlock, kBlock), source, CacheSource::kResultSuccess, kBlock);
    EXPECT_EQ(source->reads.load(), readsBefore + 1);
}

// One read filling two blocks, the first of which is invalidated while the read runs: the bytes of the
// read still belong to the blocks by position, so the second block holds only the data that was there.
TEST_F(CacheTest, InvalidatingOneBlockOfAMultiBlockReadKeepsTheOthersSizes) {
    MakeCache(kBlock, 4);
    MemoryCacheSource* source = MakeSource(kBlock + 1000);
    source->Hold();
    Request* both = Start(source, 0, 2 * kBlock);
    ASSERT_TRUE(WaitUntil([&] { return source->Outstanding() == 1; }));
    ASSERT_EQ(source->ReadRanges().back(), (std::pair<uint64_t, uint32_t>(0, 2 * kBlock))) << "one read";
    cache->Invalidate(source, 10, 10);
    source->Release();
    ASSERT_TRUE(both->callback->WaitForCalls(1));
    EXPECT_EQ(both->callback->LastResult(), CacheSource::kResultCancelled) << "its first block was dropped";
    ASSERT_TRUE(Quiet());
    const int readsBefore = source->reads.load();
    ExpectRead(Start(source, kBlock, kBlock), source, CacheSource::kResultPartial, 1000);
    EXPECT_EQ(source->reads.load(), readsBefore) << "the second block was kept";
    ExpectRead(Start(source, 0, 2 * kBlock), source, CacheSource::kResultPartial, kBlock + 1000);
}

TEST_F(CacheTest, PreReadWaitingForABlockDoesNotKeepTheCacheAlive) {
    MakeCache(kBlock, 1);
    MemoryCacheSource* source = MakeSource(1 << 20);
    source->Hold();
    Request* holder = Start(source, 0, kBlock);
    ASSERT_TRUE(WaitUntil([&] { return source->Outstanding() == 1; }));
    cache->PreRead(source, 5 * kBlock, kBlock, Cache::kDueASAP);
    source->Release();
    ExpectRead(holder, source, CacheSource::kResultSuccess, kBlock);
    EXPECT_TRUE(WaitUntil([&] { return CacheTestAccess::ParkedPreReads(cache) == 0; }));
    // TearDown checks that the source and the cache are let go of.
}

// Many threads reading random ranges, some past the end, with pre-reads, on a cache much smaller
// than the source: every byte right, every callback once, nothing held after.
TEST_F(CacheTest, StressManyThreadsSmallCache) {
    MakeCache(kBlock, 6);
    const uint64_t length = 40 * kBlock + 123;
    MemoryCacheSource* source = MakeSource(length);
    MemoryCacheSource* second = MakeSource(length);
    second->multiBlock = false;
    constexpr int kThreads = 4;
    constexpr int kReadsPerThread = 150;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            for (int i = 0; i < kReadsPerThread; ++i) {
                MemoryCacheSource* which = (random() % 3 == 0) ? second : source;
                const uint64_t offset = random() % (length + 2 * kBlock);
                const uint32_t size = 1 + random() % (3 * kBlock);
                if (random() % 8 == 0) {
                    cache->PreRead(which, offset, size, MTInterface::GetCurrentTimeMilli() + random() % 50);
                }
                Request request(which, offset, size, MTInterface::GetCurrentTimeMilli() + random() % 20);
                const CacheSource::Result_t started = cache->Read(request.transaction);
                if (started != CacheSource::kResultPending || !request.callback->WaitForCalls(1)) {
                    ++wrong;
                    ADD_FAILURE() << "read at " << offset << " of " << size << " started with " << started
                                  << ", reported " << request.callback->Calls() << " times; source "
                                  << (which == second ? "single-block" : "multi-block") << " now "
                                  << MTInterface::GetCurrentTimeMilli();
                    CacheTestAccess::PrintBlocks(cache);
                    continue;
                }
                const uint32_t expected =
                    offset >= length ? 0 : static_cast<uint32_t>(std::min<uint64_t>(size, length - offset));
                const CacheSource::Result_t result = request.callback->LastResult();
                const bool resultRight = expected == size ? result == CacheSource::kResultSuccess
                                         : expected == 0  ? result == CacheSource::kResultEndOfFile
                                                          : result == CacheSource::kResultPartial;
                const int64_t mismatch = which->FirstMismatch(request.Data(), offset, expected);
                if (!resultRight || request.callback->LastBytes() != expected || mismatch != -1) {
                    ++wrong;
                    ADD_FAILURE() << "read at " << offset << " of " << size << ": result " << result << ", "
                                  << request.callback->LastBytes() << " bytes, expected " << expected
                                  << ", first wrong byte " << mismatch;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

// Reads racing with repeated cancellation and invalidation: each one ends exactly once, with its data or
// cancelled.
TEST_F(CacheTest, StressReadsRacingCancel) {
    MakeCache(kBlock, 8);
    const uint64_t length = 32 * kBlock;
    MemoryCacheSource* source = MakeSource(length);
    source->latencyMicros = 50;
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<int> cancelledCount{0};
    std::thread canceller([&] {
        std::mt19937 random(5);
        while (!done.load()) {
            // Invalidating a block cancels what waits on it, like a cancel of its source.
            cache->Invalidate(source, random() % length, kBlock);
            cache->Cancel(source);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937 random(77 + t);
            for (int i = 0; i < 150; ++i) {
                const uint64_t offset = random() % (length - 3 * kBlock);
                const uint32_t size = 1 + random() % (2 * kBlock);
                Request request(source, offset, size);
                const CacheSource::Result_t started = cache->Read(request.transaction);
                if (!request.callback->WaitForCalls(1)) {
                    ++wrong;
                    continue;
                }
                const CacheSource::Result_t result = request.callback->LastResult();
                if (result == CacheSource::kResultCancelled) {
                    ++cancelledCount;
                } else if (started != CacheSource::kResultPending || result != CacheSource::kResultSuccess ||
                           request.callback->LastBytes() != size ||
                           source->FirstMismatch(request.Data(), offset, size) != -1) {
                    ++wrong;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                EXPECT_EQ(request.callback->Calls(), 1);
            }
        });
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    done = true;
    canceller.join();
    EXPECT_EQ(wrong.load(), 0);
    RecordProperty("cancelled", cancelledCount.load());
}

}  // namespace

namespace {

// Every reference let go right after the read starts: the last ones go on the cache's own threads,
// and the cache must still be destroyed (on another thread) without waiting for itself.
TEST(CacheLifetimeTest, LastReferenceDroppedOnADispatcherThread) {
    auto* factory = new BufferFactoryHeap();
    ASSERT_TRUE(factory->Initialize(kBlock, 4, 4, 0));
    for (int round = 0; round < 20; ++round) {
        auto* cache = new Cache(factory);
        auto* source = new MemoryCacheSource(1 << 20, true);
        ASSERT_TRUE(source->UseCache(cache));
        cache->DecRef(TARVOS_CALL_SITE);
        auto* callback = new RecordingStatusCallback();
        {
            Request request(source, round * 1000, 3 * kBlock);
            source->DecRef(TARVOS_CALL_SITE);
            ASSERT_EQ(cache->Read(request.transaction), CacheSource::kResultPending);
            ASSERT_TRUE(request.callback->WaitForCalls(1));
        }
        EXPECT_TRUE(WaitUntil([&] { return factory->GetNumberOfBuffersFree() == 4; }))
            << "the cache was never destroyed";
        callback->DecRef(TARVOS_CALL_SITE);
    }
    factory->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
