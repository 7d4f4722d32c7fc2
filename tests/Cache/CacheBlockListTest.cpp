#include "Cache/CacheBlockList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "Cache/CacheBlock.h"
#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Support/StubCacheSource.h"
#include "Support/ThreadGroup.h"
#include "Support/TransactionProbe.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/Cache.h"
#include "Tarvos/MTInterface.h"

using namespace Tarvos;
using TarvosTest::FillPattern;
using TarvosTest::FirstPatternMismatch;
using TarvosTest::Probe;
using TarvosTest::StubCacheSource;

namespace {

constexpr uint32_t kBlock = 65536;

// A heap factory that stops handing out buffers after `limit`, although it reports more as free.
class CappedFactory : public BufferFactoryHeap {
  public:
    explicit CappedFactory(uint32_t limit) : limit(limit) {}
    Buffer* GetBufferFromFactory() override {
        if (handedOut >= limit) {
            return nullptr;
        }
        Buffer* buffer = BufferFactoryHeap::GetBufferFromFactory();
        if (buffer != nullptr) {
            ++handedOut;
        }
        return buffer;
    }

  protected:
    ~CappedFactory() override = default;

  private:
    const uint32_t limit;
    uint32_t handedOut = 0;
};

class CacheBlockListTest : public ::testing::Test {
  protected:
    void Build(uint32_t blocks, uint32_t size = kBlock) {
        factory = new BufferFactoryHeap();
        ASSERT_TRUE(factory->Initialize(size, blocks, blocks, 0));
        list = std::make_unique<CacheBlockList>(nullptr, factory);
    }

    void TearDown() override {
        list.reset();
        if (factory != nullptr) {
            EXPECT_EQ(factory->GetNumberOfBuffersInUse(), 0u) << "every buffer goes back to the factory";
            EXPECT_EQ(factory->GetRefCount(), 1);
            factory->DecRef(TARVOS_CALL_SITE);
        }
        probes.Release();
        source->DecRef(TARVOS_CALL_SITE);
        other->DecRef(TARVOS_CALL_SITE);
    }

    // Reads 100 bytes at `offset` through the list as the cache would: claim, fill, complete, serve.
    CacheBlock* ReadThrough(CacheSource* from, uint64_t offset, uint32_t dueTime) {
        return Through(probes.Read(from, offset, 100, dueTime));
    }

    // Brings the block at `offset` in as a pre-read due at `dueTime` would, unread afterwards.
    CacheBlock* PreReadThrough(CacheSource* from, uint64_t offset, uint32_t dueTime) {
        return Through(probes.PreRead(from, offset, kBlock, dueTime));
    }

    CacheBlock* Through(Probe* probe) {
        CacheBlock* block = list->GetBlockToReadInto(probe->transaction);
        if (block == nullptr) {
            return nullptr;
        }
        FillPattern(block->GetBuffer()->GetAddress(), block->GetBlockSize(), block->GetBlockOffset());
        EXPECT_TRUE(block->CompleteReadInto(block->GetBlockSize(), CacheSource::kResultSuccess));
        block->ProcessPendingTransactions(nullptr);
        EXPECT_EQ(probe->transaction->GetResult(nullptr), CacheSource::kResultSuccess);
        return block;
    }

    static uint32_t Later(uint32_t ms) { return MTInterface::GetCurrentTimeMilli() + ms; }

    StubCacheSource* source = new StubCacheSource();
    StubCacheSource* other = new StubCacheSource();
    BufferFactoryHeap* factory = nullptr;
    std::unique_ptr<CacheBlockList> list;
    TarvosTest::ProbeSet probes;
};

TEST_F(CacheBlockListTest, TakesEveryBufferOfTheFactoryAndGivesThemBack) {
    Build(4);
    EXPECT_EQ(list->GetNumberOfBlocks(), 4u);
    EXPECT_EQ(list->GetBlockSize(), kBlock);
    EXPECT_EQ(list->GetNumberOfFreeBlocks(), 4u);
    EXPECT_EQ(factory->GetNumberOfBuffersFree(), 0u);
    EXPECT_EQ(factory->GetRefCount(), 2);
    for (CacheBlock* block : list->GetBlocksInOrder()) {
        EXPECT_EQ(block->GetStamp(), 0u);
        EXPECT_EQ(block->GetLockCount(), 0);
    }
    list.reset();
    EXPECT_EQ(factory->GetNumberOfBuffersFree(), 4u);
}

TEST_F(CacheBlockListTest, FactoryWithoutFreeBuffersGivesAListWithoutBlocks) {
    Build(2);
    list.reset();
    Buffer* taken[2] = {factory->GetBufferFromFactory(), factory->GetBufferFromFactory()};
    list = std::make_unique<CacheBlockList>(nullptr, factory);
    EXPECT_EQ(list->GetNumberOfBlocks(), 0u);
    EXPECT_EQ(list->GetBlockSize(), kBlock);
    Probe* probe = probes.Read(source, 0, 100);
    bool waiting = true;
    EXPECT_EQ(list->GetBlockToCopyOutOf(probe->transaction, &waiting), nullptr);
    EXPECT_FALSE(waiting);
    EXPECT_EQ(list->GetBlockToReadInto(probe->transaction), nullptr);
    list->Purge(source);
    list->Invalidate(source, 0, 100);
    list->Cancel(source);
    list->Dump();
    EXPECT_TRUE(probe->transaction->StillRangesToComplete());
    list.reset();
    for (Buffer* buffer : taken) {
        EXPECT_TRUE(factory->ReturnBufferToFactory(buffer));
    }

    CacheBlockList withoutFactory(nullptr, nullptr);
    EXPECT_EQ(withoutFactory.GetBlockSize(), 0u);
    EXPECT_EQ(withoutFactory.GetBlockToReadInto(probe->transaction), nullptr);
}

TEST_F(CacheBlockListTest, StopsBuildingWhenTheFactoryGivesNoMoreBuffers) {
    auto* capped = new CappedFactory(2);
    ASSERT_TRUE(capped->Initialize(4096, 4, 4, 0));
    factory = capped;
    list = std::make_unique<CacheBlockList>(nullptr, factory);
    EXPECT_EQ(list->GetNumberOfBlocks(), 2u);
    EXPECT_EQ(factory->GetNumberOfBuffersInUse(), 2u);
}

TEST_F(CacheBlockListTest, NoBlockWhenEveryBlockIsHeld) {
    Build(2);
    Probe* first = probes.Read(source, 0, 100);
    Probe* second = probes.Read(source, kBlock, 100);
    Probe* third = probes.Read(source, 2 * kBlock, 100);
    CacheBlock* a = list->GetBlockToReadInto(first->transaction);
    CacheBlock* b = list->GetBlockToReadInto(second->transaction);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(list->GetNumberOfFreeBlocks(), 0u);
    EXPECT_EQ(list->GetBlockToReadInto(third->transaction), nullptr);
    EXPECT_TRUE(third->transaction->StillRangesToComplete()) << "the range went back to the transaction";
    for (CacheBlock* block : {a, b}) {
        block->CompleteReadInto(kBlock, CacheSource::kResultFailed);
        block->ProcessPendingTransactions(nullptr);
    }
    EXPECT_EQ(list->GetNumberOfFreeBlocks(), 2u);
    EXPECT_NE(list->GetBlockToReadInto(third->transaction), nullptr);
    list->Cancel(source);
    EXPECT_EQ(third->Result(), CacheSource::kResultCancelled);
}

TEST_F(CacheBlockListTest, ReadsReuseTheLeastRecentlyUsedFreeBlock) {
    Build(3);
    const std::vector<CacheBlock*> initial = list->GetBlocksInOrder();
    CacheBlock* x = ReadThrough(source, 0, Later(100000));
    EXPECT_EQ(x, initial[0]) << "new blocks are taken in the order they were made";
    CacheBlock* y = ReadThrough(source, kBlock, Later(50));
    EXPECT_EQ(y, initial[1]);
    EXPECT_EQ(list->GetBlocksInOrder(), (std::vector<CacheBlock*>{initial[2], x, y}))
        << "used blocks go behind in the order of use; how urgent the reads were does not count";
    CacheBlock* z = ReadThrough(source, 2 * kBlock, 0);
    EXPECT_EQ(z, initial[2]);
    EXPECT_EQ(ReadThrough(other, 0, 0), x);
    EXPECT_EQ(x->GetSourceKey(), other->GetSourceKey());
    EXPECT_EQ(list->GetBlocksInOrder(), (std::vector<CacheBlock*>{y, z, x}));
    EXPECT_EQ(ReadThrough(other, kBlock, 0), y);

    // A held block is skipped although it stands at the front.
    Probe* holder = probes.Read(source, 2 * kBlock, 10);
    bool waiting = true;
    ASSERT_EQ(list->GetBlockToCopyOutOf(holder->transaction, &waiting), z);
    EXPECT_FALSE(waiting);
    EXPECT_EQ(list->GetBlocksInOrder().front(), z);
    EXPECT_EQ(ReadThrough(source, 5 * kBlock, 0), x);
    z->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(holder->Result(), CacheSource::kResultSuccess);
}

TEST_F(CacheBlockListTest, ReuseFollowsTheBlockOrderThroughServesForgetsAndClaims) {
    // Every block keeps its place in the free set as it is served in place (held, then restamped),
    // forgotten (stamp 0) and claimed: each claim takes the block that stands first in the order.
    Build(8);
    std::vector<uint8_t> memory(100);
    Buffer* into = new HostBuffer(memory.data(), 100);
    std::mt19937 random(2024);
    uint64_t fresh = 0;  // offsets below fresh * kBlock have been read; the last 8 may still be held
    uint32_t served = 0;
    for (int step = 0; step < 3000; ++step) {
        const uint64_t recent = (fresh - 1 - std::min<uint64_t>(fresh - 1, random() % 10)) * kBlock;
        switch (fresh < 8 ? 2 : random() % 4) {
            case 0:
            case 1:
                if (list->CopyOutIfHeld(source, recent + 7, 100, into, nullptr, nullptr)) {
                    ++served;
                    ASSERT_EQ(FirstPatternMismatch(memory.data(), 100, recent + 7), 100u) << step;
                }
                break;
            case 2: {
                const CacheBlock* first = list->GetBlocksInOrder().front();
                ASSERT_EQ(ReadThrough(source, fresh++ * kBlock, 0), first) << step;
                break;
            }
            default:
                list->Invalidate(source, recent, 1);
                break;
        }
    }
    EXPECT_GT(served, 500u) << "the mix serves blocks in place often";
    EXPECT_EQ(list->GetNumberOfFreeBlocks(), 8u);
    into->DecRef(TARVOS_CALL_SITE);
}

TEST_F(CacheBlockListTest, PreReadsNeverTakeUnreadPreReadDataBeforeItsKeepEnds) {
    Build(2);
    ASSERT_NE(PreReadThrough(source, 0, Later(600000)), nullptr);
    ASSERT_NE(PreReadThrough(source, kBlock, Cache::kDueASAP), nullptr);
    Probe* preRead = probes.PreRead(source, 4 * kBlock, kBlock);
    uint32_t retryAfter = 0;
    EXPECT_EQ(list->GetBlockToReadInto(preRead->transaction, &retryAfter), nullptr);
    EXPECT_GE(retryAfter, 1u);
    EXPECT_LE(retryAfter, CacheBlock::kUnreadPreReadGraceMs) << "until the kDueASAP block's keep ends";
    Probe* cached = probes.PreRead(source, 0, kBlock);
    bool waiting = true;
    EXPECT_NE(list->GetBlockToCopyOutOf(cached->transaction, &waiting), nullptr);
    EXPECT_EQ(cached->transaction->GetResult(nullptr), CacheSource::kResultSuccess);
    EXPECT_EQ(list->GetNumberOfFreeBlocks(), 2u);
    EXPECT_EQ(list->GetBlockToReadInto(preRead->transaction), nullptr) << "a pre-read finding data uses none";

    // A read uses the block at kBlock: kept no longer, it is the pre-read's to take.
    Probe* use = probes.Read(source, kBlock, 100);
    CacheBlock* used = list->GetBlockToCopyOutOf(use->transaction, &waiting);
    ASSERT_NE(used, nullptr);
    used->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(use->Result(), CacheSource::kResultSuccess);
    CacheBlock* claimed = list->GetBlockToReadInto(preRead->transaction);
    EXPECT_EQ(claimed, used);
    ASSERT_NE(claimed, nullptr);
    claimed->CompleteReadInto(kBlock, CacheSource::kResultSuccess);
    claimed->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(preRead->transaction->GetResult(nullptr), CacheSource::kResultSuccess);
    EXPECT_NE(ReadThrough(other, 0, 0), nullptr) << "a demand read may take kept blocks";
}

TEST_F(CacheBlockListTest, CopyOutOfFindsOneBlockPerCall) {
    Build(3);
    CacheBlock* first = ReadThrough(source, 0, 0);
    CacheBlock* second = ReadThrough(source, kBlock, 0);
    Probe* spanning = probes.Read(source, kBlock - 1000, 2000);
    bool waiting = true;
    std::vector<CacheBlock*> found;
    while (CacheBlock* block = list->GetBlockToCopyOutOf(spanning->transaction, &waiting)) {
        EXPECT_FALSE(waiting);
        found.push_back(block);
        ASSERT_LE(found.size(), 2u);
    }
    EXPECT_FALSE(waiting);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_TRUE((found[0] == first && found[1] == second) || (found[0] == second && found[1] == first));
    EXPECT_FALSE(spanning->transaction->StillRangesToComplete());
    for (CacheBlock* block : found) {
        block->ProcessPendingTransactions(nullptr);
    }
    EXPECT_EQ(spanning->Result(), CacheSource::kResultSuccess);
    EXPECT_EQ(spanning->Bytes(), 2000u);
    EXPECT_EQ(FirstPatternMismatch(spanning->Data(), 2000, kBlock - 1000), 2000u);
    Probe* miss = probes.Read(other, 0, 10);
    EXPECT_EQ(list->GetBlockToCopyOutOf(miss->transaction, &waiting), nullptr);
}

TEST_F(CacheBlockListTest, PurgeBringsTheForgottenBlocksToTheFrontAndKeepsTheRest) {
    Build(4);
    CacheBlock* a1 = ReadThrough(source, 0, 0);
    CacheBlock* a2 = ReadThrough(source, kBlock, 0);
    CacheBlock* b1 = ReadThrough(other, 0, 0);
    CacheBlock* b2 = ReadThrough(other, kBlock, 0);
    const uint32_t a1Stamp = a1->GetStamp();
    const std::vector<CacheBlock*> before{a1, a2, b1, b2};
    ASSERT_EQ(list->GetBlocksInOrder(), before);
    auto* stranger = new StubCacheSource();
    list->Purge(stranger);
    list->Invalidate(source, 10 * kBlock, 100);
    list->Invalidate(stranger, 0, 100);
    EXPECT_EQ(list->GetBlocksInOrder(), before);
    EXPECT_EQ(a1->GetStamp(), a1Stamp);
    list->Purge(other);
    EXPECT_EQ(list->GetBlocksInOrder(), (std::vector<CacheBlock*>{b1, b2, a1, a2}));
    EXPECT_EQ(b1->GetStamp(), 0u);
    EXPECT_EQ(b2->GetSourceKey(), CacheSource::kInvalidKey);
    list->Invalidate(source, kBlock + 5, 1);
    EXPECT_EQ(list->GetBlocksInOrder(), (std::vector<CacheBlock*>{b1, b2, a2, a1}));
    EXPECT_EQ(a2->GetSourceKey(), CacheSource::kInvalidKey);
    EXPECT_EQ(a1->GetSourceKey(), source->GetSourceKey());
    list->Dump();
    EXPECT_EQ(list->GetNumberOfFreeBlocks(), 4u);
    stranger->DecRef(TARVOS_CALL_SITE);
}

TEST_F(CacheBlockListTest, CancelFinishesTheSourcesQueuedTransactionsOnly) {
    Build(3);
    CacheBlock* mine = ReadThrough(source, 0, 0);
    CacheBlock* theirs = ReadThrough(other, 0, 0);
    Probe* queuedMine = probes.Read(source, 10, 10);
    Probe* queuedTheirs = probes.Read(other, 10, 10);
    bool waiting = true;
    ASSERT_EQ(list->GetBlockToCopyOutOf(queuedMine->transaction, &waiting), mine);
    ASSERT_EQ(list->GetBlockToCopyOutOf(queuedTheirs->transaction, &waiting), theirs);
    Probe* reading = probes.Read(source, 7 * kBlock, 10);
    CacheBlock* claimed = list->GetBlockToReadInto(reading->transaction);
    ASSERT_NE(claimed, nullptr);
    list->Cancel(source);
    EXPECT_EQ(queuedMine->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(reading->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(queuedTheirs->Calls(), 0);
    EXPECT_EQ(mine->GetSourceKey(), source->GetSourceKey()) << "cancelling keeps the data";
    EXPECT_EQ(claimed->GetLockCount(), 1) << "the read still holds its block";
    claimed->CompleteReadInto(0, CacheSource::kResultCancelled);
    theirs->ProcessPendingTransactions(nullptr);
    EXPECT_EQ(queuedTheirs->Result(), CacheSource::kResultSuccess);
    EXPECT_EQ(list->GetNumberOfFreeBlocks(), 3u);
}

TEST_F(CacheBlockListTest, DestructionCancelsQueuedTransactionsAndReturnsEveryBuffer) {
    Build(2);
    Probe* reading = probes.Read(source, 0, 10);
    ASSERT_NE(list->GetBlockToReadInto(reading->transaction), nullptr);
    list.reset();
    EXPECT_EQ(reading->Result(), CacheSource::kResultCancelled);
    EXPECT_EQ(factory->GetNumberOfBuffersFree(), 2u);
}

// Several threads serve transactions through a small list the way the cache does (hits first, then
// claims, reads and serving; now and then a read is cancelled and its block purged), while another
// thread purges, cancels and invalidates at random. Every transaction must report
// exactly once, with exact bytes when it succeeds, and every block must end free.
TEST_F(CacheBlockListTest, ConcurrentServingNeverDeadlocksAndDeliversExactData) {
    constexpr uint32_t kSmall = 4096;
    constexpr uint32_t kFileBlocks = 16;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 300;
    Build(4, kSmall);
    StubCacheSource* sources[2] = {source, other};
    auto seedOf = [&](CacheSource* from) { return from == source ? 0u : 1u; };

    struct Work {
        Probe* probe;
        bool preRead;
    };
    std::vector<std::vector<Work>> work(kThreads);
    std::mt19937 random(12345);
    for (int thread = 0; thread < kThreads; ++thread) {
        for (int i = 0; i < kPerThread; ++i) {
            CacheSource* from = sources[random() % 2];
            if (i % 10 == 9) {
                const uint64_t offset = uint64_t{random() % kFileBlocks} * kSmall;
                work[thread].push_back({probes.PreRead(from, offset, kSmall), true});
                continue;
            }
            const uint32_t size = 1 + random() % (3 * kSmall);
            const uint64_t offset = random() % (kFileBlocks * kSmall - size);
            work[thread].push_back({probes.Read(from, offset, size), false});
        }
    }

    std::atomic<int> serversDone{0};
    std::atomic<int> forgets{0};
    TarvosTest::RunOnThreads(kThreads + 1, [&](int index) {
        if (index == kThreads) {
            std::mt19937 mine(99);
            while (serversDone.load() < kThreads) {
                CacheSource* from = sources[mine() % 2];
                switch (mine() % 4) {
                    case 0:
                        list->Purge(from);
                        break;
                    case 1:
                        list->Cancel(from);
                        break;
                    default:
                        list->Invalidate(from, mine() % (kFileBlocks * kSmall), 1 + mine() % kSmall);
                        break;
                }
                ++forgets;
                std::this_thread::yield();
            }
            return;
        }
        // Start together with the forgetting thread, so that the two kinds of work overlap.
        TarvosTest::WaitUntil([&] { return forgets.load() > 0; });
        uint32_t claims = static_cast<uint32_t>(index);
        for (const Work& item : work[index]) {
            CacheTransaction* t = item.probe->transaction;
            while (t->StillRangesToComplete()) {
                bool progressed = false;
                bool waiting = false;
                while (CacheBlock* hit = list->GetBlockToCopyOutOf(t, &waiting)) {
                    progressed = true;
                    if (!waiting && !item.preRead) {
                        hit->ProcessPendingTransactions(nullptr);
                    }
                }
                if (!t->StillRangesToComplete()) {
                    break;
                }
                if (CacheBlock* claimed = list->GetBlockToReadInto(t)) {
                    progressed = true;
                    // The claimed block is held and being read: nobody else touches its memory.
                    FillPattern(claimed->GetBuffer()->GetAddress(), kSmall, claimed->GetBlockOffset(),
                                seedOf(t->GetSource()));
                    if (++claims % 17 == 0) {
                        // A cancelled read, which the cache follows with a purge of the block.
                        claimed->CompleteReadInto(0, CacheSource::kResultCancelled);
                        claimed->Purge(t->GetSource());
                    } else {
                        claimed->CompleteReadInto(kSmall, CacheSource::kResultSuccess);
                    }
                    claimed->ProcessPendingTransactions(nullptr);
                }
                if (!progressed) {
                    std::this_thread::yield();
                }
            }
        }
        ++serversDone;
    });

    int succeeded = 0;
    for (const auto& items : work) {
        for (const Work& item : items) {
            CacheTransaction* t = item.probe->transaction;
            ASSERT_TRUE(TarvosTest::WaitUntil([&] {
                return t->GetResult(nullptr) != CacheSource::kResultPending;
            })) << "a transaction never finished";
            if (item.preRead) {
                continue;
            }
            Probe* probe = item.probe;
            ASSERT_EQ(probe->Calls(), 1);
            const CacheSource::Result_t result = probe->Result();
            ASSERT_TRUE(result == CacheSource::kResultSuccess || result == CacheSource::kResultCancelled)
                << "result " << result;
            if (result == CacheSource::kResultSuccess) {
                ++succeeded;
                EXPECT_EQ(probe->Bytes(), probe->size);
                EXPECT_EQ(
                    FirstPatternMismatch(probe->Data(), probe->size, probe->offset, seedOf(t->GetSource())),
                    probe->size);
            }
        }
    }
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(forgets.load(), 0);
    EXPECT_EQ(list->GetNumberOfFreeBlocks(), 4u);
    for (CacheBlock* block : list->GetBlocksInOrder()) {
        EXPECT_EQ(block->GetNumberOfPendingTransactions(), 0u);
        EXPECT_FALSE(block->IsReading());
    }
}

}  // namespace
