// A file source in front of a real block cache, over memory: the ordering of a write against reads
// of the same range; reads served from held blocks on the caller's thread, racing cancellation,
// invalidation and the reuse of their blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Support/CacheTestAccess.h"
#include "Support/MemoryFileSource.h"
#include "Support/ThreadGroup.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"

using namespace Tarvos;
using TarvosTest::FirstPatternMismatch;
using TarvosTest::MemoryFileSource;
using TarvosTest::WaitUntil;

namespace {

constexpr uint32_t kBlock = 4096;

class WriteReport : public FileSource::ResultCallbackBuffer {
  public:
    void Callback(CacheSource::Result_t r, uint64_t, Buffer*, uint32_t) override {
        result = r;
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<CacheSource::Result_t> result{CacheSource::kResultNone};

  protected:
    ~WriteReport() override = default;
};

// A read that starts while a write of its range is still on its way fetches the old bytes into the
// cache; once the write has reported, the cache must not serve them any more.
TEST(CachedFileSourceTest, ReadRacingAWriteLeavesNoStaleBlockBehind) {
    auto* factory = new BufferFactoryHeap();
    ASSERT_TRUE(factory->Initialize(kBlock, 4, 4, 0));
    auto* cache = new Cache(factory);
    auto* source = new MemoryFileSource(false);
    source->FillWithPattern(4 * kBlock, 0);
    ASSERT_TRUE(source->UseCache(cache));

    source->SetAnswer(MemoryFileSource::Answer::kHold);
    auto* fresh = new HeapBuffer(kBlock);
    TarvosTest::FillPattern(fresh->GetAddress(), kBlock, kBlock, 9);
    auto* report = new WriteReport();
    ASSERT_EQ(source->WriteAsync(kBlock, fresh, report, Cache::kDueASAP), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return source->HeldCount() == 1; }));

    source->SetAnswer(MemoryFileSource::Answer::kTransfer);
    auto* before = new HeapBuffer(kBlock);
    uint32_t bytes = 0;
    ASSERT_EQ(source->Read(kBlock, before, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(before->GetAddress(), kBlock, kBlock, 0), kBlock)
        << "the write has not happened yet: old bytes";

    EXPECT_EQ(source->ReleaseHeld(), 1);
    ASSERT_TRUE(WaitUntil([&] { return report->calls.load() == 1; }));
    EXPECT_EQ(report->result.load(), CacheSource::kResultSuccess);
    auto* after = new HeapBuffer(kBlock);
    ASSERT_EQ(source->Read(kBlock, after, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(after->GetAddress(), kBlock, kBlock, 9), kBlock)
        << "the cache served the bytes from before the write";

    for (SharedObject* object : {static_cast<SharedObject*>(fresh), static_cast<SharedObject*>(before),
                                 static_cast<SharedObject*>(after), static_cast<SharedObject*>(report)}) {
        object->DecRef(TARVOS_CALL_SITE);
    }
    ASSERT_TRUE(source->WaitIdle());
    ASSERT_TRUE(WaitUntil([&] { return source->GetRefCount() == 1; }));
    source->DecRef(TARVOS_CALL_SITE);
    ASSERT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; }));
    cache->DecRef(TARVOS_CALL_SITE);
    EXPECT_EQ(factory->GetNumberOfBuffersFree(), 4u);
    factory->DecRef(TARVOS_CALL_SITE);
}

}  // namespace

namespace {

class ReadReport : public FileSource::ResultCallbackBuffer {
  public:
    void Callback(CacheSource::Result_t r, uint64_t, Buffer*, uint32_t bytes) override {
        result = r;
        count = bytes;
        thread = std::this_thread::get_id();
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<CacheSource::Result_t> result{CacheSource::kResultNone};
    std::atomic<uint32_t> count{0};
    std::thread::id thread;

  protected:
    ~ReadReport() override = default;
};

// A cache of `blocks` blocks in front of memory sources filled with the offset pattern (seed = index).
class CachedSources : public ::testing::Test {
  protected:
    void Build(uint32_t blocks, uint32_t sourceCount, uint32_t sourceBlocks) {
        factory = new BufferFactoryHeap();
        ASSERT_TRUE(factory->Initialize(kBlock, blocks, blocks, 0));
        cache = new Cache(factory);
        for (uint32_t i = 0; i < sourceCount; ++i) {
            auto* source = new MemoryFileSource(false);
            source->FillWithPattern(sourceBlocks * kBlock, i);
            ASSERT_TRUE(source->UseCache(cache));
            sources.push_back(source);
        }
    }
    void TearDown() override {
        for (MemoryFileSource* source : sources) {
            ASSERT_TRUE(source->WaitIdle());
            ASSERT_TRUE(WaitUntil([&] { return source->GetRefCount() == 1; }));
            source->DecRef(TARVOS_CALL_SITE);
        }
        if (cache != nullptr) {
            ASSERT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; }));
            cache->DecRef(TARVOS_CALL_SITE);
        }
        if (factory != nullptr) {
            EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers());
            factory->DecRef(TARVOS_CALL_SITE);
        }
    }
    // A synchronous read of size bytes at offset whose bytes must be source `index`'s. With
    // mayBeCancelled, a read that waited on a block an invalidation forgot may end cancelled instead.
    void ReadAndCheck(uint32_t index, uint64_t offset, uint32_t size, bool mayBeCancelled = false) {
        auto* buffer = new HeapBuffer(size);
        uint32_t bytes = 0;
        const CacheSource::Result_t result = sources[index]->Read(offset, buffer, &bytes);
        if (mayBeCancelled && result == CacheSource::kResultCancelled) {
            EXPECT_EQ(bytes, 0u);
        } else {
            EXPECT_EQ(result, CacheSource::kResultSuccess);
            EXPECT_EQ(bytes, size);
            EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), size, offset, index), size)
                << "source " << index << " offset " << offset;
        }
        buffer->DecRef(TARVOS_CALL_SITE);
    }

    BufferFactoryHeap* factory = nullptr;
    Cache* cache = nullptr;
    std::vector<MemoryFileSource*> sources;
};

// Bytes held in the cache are served without the dispatcher: a synchronous read returns while the
// dispatcher cannot run, and an asynchronous one reports only once it can, on the dispatcher's thread.
TEST_F(CachedSources, HeldReadsNeedNoDispatcherAndNeverCallBackInsideTheCall) {
    Build(4, 1, 4);
    ReadAndCheck(0, 0, 2 * kBlock);
    const int readsBefore = sources[0]->reads.load();
    CacheTestAccess::HoldDispatcher(cache);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        ReadAndCheck(0, 100, kBlock);
        done = true;
    });
    const bool served = WaitUntil([&] { return done.load(); });
    auto* buffer = new HeapBuffer(kBlock);
    auto* report = new ReadReport();
    EXPECT_EQ(sources[0]->ReadAsync(kBlock / 2, buffer, report, Cache::kDueASAP),
              CacheSource::kResultPending);
    EXPECT_EQ(report->calls.load(), 0);
    CacheTestAccess::ReleaseDispatcher(cache);
    reader.join();
    EXPECT_TRUE(served) << "a held read waited for the dispatcher";
    ASSERT_TRUE(WaitUntil([&] { return report->calls.load() == 1; }));
    EXPECT_EQ(report->result.load(), CacheSource::kResultSuccess);
    EXPECT_EQ(report->count.load(), kBlock);
    EXPECT_NE(report->thread, std::this_thread::get_id());
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), kBlock, kBlock / 2, 0), kBlock);
    EXPECT_EQ(sources[0]->reads.load(), readsBefore) << "held bytes were read from the source again";
    buffer->DecRef(TARVOS_CALL_SITE);
    report->DecRef(TARVOS_CALL_SITE);
}

// An asynchronous held read whose report is still queued when its source is cancelled reports once,
// as cancelled.
TEST_F(CachedSources, HeldReadCancelledBeforeItsReportEndsOnceCancelled) {
    Build(4, 1, 4);
    ReadAndCheck(0, 0, kBlock);
    auto* buffer = new HeapBuffer(kBlock);
    auto* report = new ReadReport();
    CacheTestAccess::HoldDispatcher(cache);
    EXPECT_EQ(sources[0]->ReadAsync(0, buffer, report, Cache::kDueASAP), CacheSource::kResultPending);
    std::thread canceller([&] { sources[0]->Cancel(); });  // waits for the dispatcher's lock
    CacheTestAccess::ReleaseDispatcher(cache);
    canceller.join();
    ASSERT_TRUE(WaitUntil([&] { return report->calls.load() >= 1; }));
    ASSERT_TRUE(sources[0]->WaitIdle());
    EXPECT_EQ(report->calls.load(), 1);
    const CacheSource::Result_t result = report->result.load();
    EXPECT_TRUE(result == CacheSource::kResultCancelled || result == CacheSource::kResultSuccess) << result;
    buffer->DecRef(TARVOS_CALL_SITE);
    report->DecRef(TARVOS_CALL_SITE);
}

// Sources sharing a cache read the same offsets, while others invalidate them and the small cache
// reuses its blocks all the time: every byte comes from the source it was read from (a read queued on
// a block that an invalidation forgets ends cancelled, as invalidation cancels what waits on a block).
TEST_F(CachedSources, HitsRacingInvalidationAndReuseAcrossSourcesServeTheRightBytes) {
    Build(6, 3, 16);
    TarvosTest::RunOnThreads(4, [&](int thread) {
        uint32_t state = 12345u + thread;
        for (int i = 0; i < 400; ++i) {
            state = state * 1103515245u + 12345u;
            const uint32_t index = (state >> 8) % 3;
            const uint64_t offset = (state >> 12) % (14 * kBlock);
            const uint32_t size = 1 + (state >> 4) % (2 * kBlock);
            if (thread == 3) {
                cache->Invalidate(sources[index], offset, size);
            } else {
                ReadAndCheck(index, offset, size, true);
            }
        }
    });
}

// Status callbacks that start reads and writes, invalidate and cancel (on whichever thread they run):
// no lock of the library is held while they run, so nothing deadlocks (and ThreadSanitizer reports no
// lock-order inversion), and every operation started reports exactly once. The source reads ahead, so
// reads started inside callbacks also make pre-reads, and cancels inside them drop its window.
class ChainLink : public FileSource::ResultCallbackBuffer {
  public:
    struct Chain {
        MemoryFileSource* source;
        Cache* cache;
        std::atomic<int> budget{300};
        std::atomic<int> started{0};
        std::atomic<int> reported{0};
        std::atomic<int> doubled{0};
    };
    ChainLink(Chain* chain, uint32_t seed) : chain(chain), seed(seed), buffer(new HeapBuffer(kBlock)) {}
    static void Start(Chain* chain, uint32_t seed) {
        auto* link = new ChainLink(chain, seed);
        const uint64_t offset = (seed % 12) * kBlock + seed % 100;
        ++chain->started;
        const CacheSource::Result_t result =
            seed % 5 == 1 ? chain->source->WriteAsync(offset, link->buffer, link, Cache::kDueASAP)
                          : chain->source->ReadAsync(offset, link->buffer, link, seed % 3);
        if (result != CacheSource::kResultPending) {
            link->Callback(result, offset, link->buffer, 0);
        }
    }
    void Callback(CacheSource::Result_t, uint64_t offset, Buffer*, uint32_t) override {
        if (++calls > 1) {
            ++chain->doubled;
        }
        for (int next = 0; next < 2 && chain->budget.fetch_sub(1) > 0; ++next) {
            const uint32_t nextSeed = seed * 2654435761u + 97u * next + 1;
            switch (nextSeed % 7) {
                case 0:
                    chain->cache->Invalidate(chain->source, offset, kBlock);
                    break;
                case 1:
                    chain->source->Cancel();
                    break;
                default:
                    Start(chain, nextSeed);
            }
        }
        ++chain->reported;
        DecRef(TARVOS_CALL_SITE);  // the file source holds no reference on a buffer callback
    }

  protected:
    ~ChainLink() override { buffer->DecRef(TARVOS_CALL_SITE); }

  private:
    Chain* const chain;
    const uint32_t seed;
    HeapBuffer* const buffer;
    std::atomic<int> calls{0};
};

TEST_F(CachedSources, CallbackChainsOfReadsWritesInvalidationsAndCancelsEndOnceEach) {
    Build(8, 1, 16);
    sources[0]->SetReadAhead(true);
    ChainLink::Chain chain;
    chain.source = sources[0];
    chain.cache = cache;
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        ChainLink::Start(&chain, seed * 7919u);
    }
    ASSERT_TRUE(
        WaitUntil([&] { return chain.budget.load() <= 0 && chain.reported.load() == chain.started.load(); },
                  std::chrono::milliseconds(30000)))
        << chain.reported.load() << " of " << chain.started.load() << " reported";
    ASSERT_TRUE(sources[0]->WaitIdle());
    EXPECT_EQ(chain.reported.load(), chain.started.load());
    EXPECT_EQ(chain.doubled.load(), 0);
}

}  // namespace

namespace {

// The outcome of an asynchronous read whose report checks the bytes and then releases what they were
// read into: once the read has started, the caller holds nothing of it.
struct CheckedOutcome {
    std::atomic<int> calls{0};
    std::atomic<bool> right{false};
};

class CheckingBufferReport : public FileSource::ResultCallbackBuffer {
  public:
    // Takes over the caller's reference on buffer.
    CheckingBufferReport(CheckedOutcome* outcome, Buffer* buffer, uint64_t offset, uint32_t seed)
        : outcome(outcome), buffer(buffer), offset(offset), seed(seed) {}
    void Callback(CacheSource::Result_t r, uint64_t, Buffer*, uint32_t bytes) override {
        const uint32_t size = buffer->GetSize();
        outcome->right = r == CacheSource::kResultSuccess && bytes == size &&
                         FirstPatternMismatch(buffer->GetAddress(), size, offset, seed) == size;
        buffer->DecRef(TARVOS_CALL_SITE);
        ++outcome->calls;
    }

  protected:
    ~CheckingBufferReport() override = default;

  private:
    CheckedOutcome* const outcome;
    Buffer* const buffer;
    const uint64_t offset;
    const uint32_t seed;
};

class CheckingListReport : public FileSource::ResultCallbackBufferList {
  public:
    // Takes over the caller's reference on list.
    CheckingListReport(CheckedOutcome* outcome, BufferList* list, uint64_t offset, uint32_t seed)
        : outcome(outcome), list(list), offset(offset), seed(seed) {}
    void Callback(CacheSource::Result_t r, uint64_t, BufferList*, uint32_t bytes) override {
        const uint32_t size = list->GetTotalSizeOfBuffers();
        outcome->right = r == CacheSource::kResultSuccess && bytes == size &&
                         FirstPatternMismatch(list->GetBuffer(0)->GetAddress(), size, offset, seed) == size;
        list->DecRef(TARVOS_CALL_SITE);
        ++outcome->calls;
    }

  protected:
    ~CheckingListReport() override = default;

  private:
    CheckedOutcome* const outcome;
    BufferList* const list;
    const uint64_t offset;
    const uint32_t seed;
};

// Every read entry point of a cached source, which the read-ahead watches alike.
enum class ReadForm { kSync, kSyncList, kAsync, kAsyncList };

class ReadAheadSources : public CachedSources, public ::testing::WithParamInterface<ReadForm> {
  protected:
    // A read of one entry point, waited for; true when it brought the right bytes of source `index`.
    bool ReadThrough(uint32_t index, uint64_t offset, uint32_t size) {
        FileSource* source = sources[index];
        auto* buffer = new HeapBuffer(size);
        auto* list = new BufferList(buffer, true);  // the list holds the only reference on the buffer
        CheckedOutcome outcome;
        bool started = false;
        switch (GetParam()) {
            case ReadForm::kSync: {
                uint32_t bytes = 0;
                const CacheSource::Result_t result = source->Read(offset, buffer, &bytes);
                const bool right = result == CacheSource::kResultSuccess && bytes == size &&
                                   FirstPatternMismatch(buffer->GetAddress(), size, offset, index) == size;
                list->DecRef(TARVOS_CALL_SITE);
                return right;
            }
            case ReadForm::kSyncList: {
                uint32_t bytes = 0;
                const CacheSource::Result_t result = source->ReadWithList(offset, list, &bytes);
                const bool right = result == CacheSource::kResultSuccess && bytes == size &&
                                   FirstPatternMismatch(buffer->GetAddress(), size, offset, index) == size;
                list->DecRef(TARVOS_CALL_SITE);
                return right;
            }
            case ReadForm::kAsync: {
                buffer->AddRef(TARVOS_CALL_SITE);  // handed to the report
                list->DecRef(TARVOS_CALL_SITE);
                auto* report = new CheckingBufferReport(&outcome, buffer, offset, index);
                started =
                    source->ReadAsync(offset, buffer, report, Cache::kDueASAP) == CacheSource::kResultPending;
                if (!started) {
                    buffer->DecRef(TARVOS_CALL_SITE);
                }
                const bool reported = started && WaitUntil([&] { return outcome.calls.load() == 1; });
                report->DecRef(TARVOS_CALL_SITE);
                return reported && outcome.right.load();
            }
            case ReadForm::kAsyncList: {
                auto* report = new CheckingListReport(&outcome, list, offset, index);
                started = source->ReadAsyncWithList(offset, list, report, Cache::kDueASAP) ==
                          CacheSource::kResultPending;
                if (!started) {
                    list->DecRef(TARVOS_CALL_SITE);
                }
                const bool reported = started && WaitUntil([&] { return outcome.calls.load() == 1; });
                report->DecRef(TARVOS_CALL_SITE);
                return reported && outcome.right.load();
            }
        }
        return false;
    }
    // How far from offset 0 the source's uncached reads so far cover the data without a gap.
    static uint64_t ReadWithoutGapUntil(MemoryFileSource* source) {
        auto ranges = source->ReadRanges();
        std::sort(ranges.begin(), ranges.end());
        uint64_t until = 0;
        for (const auto& range : ranges) {
            if (range.first > until) {
                break;
            }
            until = std::max<uint64_t>(until, range.first + range.second);
        }
        return until;
    }
};

// A reader going through the data block by block, on a cache of 64 blocks (a window of at most a
// quarter of them): once its second read has shown the pattern, every later read finds its block read
// ahead, and no byte is read twice from the source. The cache has room for everything the test reads
// and reads ahead, so no block is reused, whatever the due times the reader's pace gives.
TEST_P(ReadAheadSources, SequentialReaderHitsAndReadsEveryByteOnce) {
    Build(64, 1, 64);
    MemoryFileSource* source = sources[0];
    source->SetReadAhead(true);
    EXPECT_TRUE(source->GetReadAhead());
    cache->CollectCacheStats(true);
    cache->ResetCacheStats();
    constexpr uint32_t kReads = 40;
    for (uint32_t i = 0; i < kReads; ++i) {
        ASSERT_TRUE(ReadThrough(0, uint64_t{i} * kBlock, kBlock)) << "read " << i;
        if (i >= 1 && i + 1 < kReads) {
            // The next block has been asked for; let its read land, so that the next read is a hit
            // whatever the threads' timing.
            ASSERT_TRUE(WaitUntil([&] { return ReadWithoutGapUntil(source) >= uint64_t{i + 2} * kBlock; }))
                << "nothing read ahead after read " << i;
            ASSERT_TRUE(source->WaitIdle());
        }
    }
    EXPECT_EQ(cache->GetCacheMisses(), 2u) << "only the two reads that showed the pattern miss";
    EXPECT_EQ(cache->GetCacheHits(), kReads - 2);
    EXPECT_TRUE(WaitUntil([&] { return ReadWithoutGapUntil(source) > uint64_t{kReads + 8} * kBlock; }))
        << "the window did not grow to the cap";
    ASSERT_TRUE(source->WaitIdle());
    EXPECT_LE(ReadWithoutGapUntil(source), uint64_t{kReads + 16} * kBlock)
        << "read ahead past a quarter of the cache";
    auto ranges = source->ReadRanges();
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) {
        EXPECT_GE(ranges[i].first, ranges[i - 1].first + ranges[i - 1].second)
            << "bytes at " << ranges[i].first << " read twice";
    }
}

// Reads that never start where the last one ended make no pre-read: the source reads exactly the
// blocks asked for.
TEST_P(ReadAheadSources, RandomReaderTriggersNoReadAhead) {
    Build(16, 1, 64);
    MemoryFileSource* source = sources[0];
    source->SetReadAhead(true);
    std::vector<std::pair<uint64_t, uint32_t>> asked;
    for (uint32_t i = 0; i < 24; ++i) {
        const uint64_t offset = uint64_t{(i * 37) % 61} * kBlock;  // never next to the one before
        ASSERT_TRUE(ReadThrough(0, offset, kBlock));
        asked.emplace_back(offset, kBlock);
    }
    ASSERT_TRUE(source->WaitIdle());
    auto ranges = source->ReadRanges();
    std::sort(ranges.begin(), ranges.end());
    std::sort(asked.begin(), asked.end());
    asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
    EXPECT_EQ(ranges, asked);
}

INSTANTIATE_TEST_SUITE_P(EveryReadForm, ReadAheadSources,
                         ::testing::Values(ReadForm::kSync, ReadForm::kSyncList, ReadForm::kAsync,
                                           ReadForm::kAsyncList));

// Readers on several threads, sequential and not, while another switches the read-ahead on and off
// and changes its maximum: every read brings the right bytes and reports once, and nothing is left
// behind (the fixture checks the references and blocks at the end).
TEST_F(CachedSources, SwitchingReadAheadWhileReadersRunIsSafe) {
    Build(12, 2, 48);
    std::atomic<bool> readersDone{false};
    std::atomic<int> readersFinished{0};
    TarvosTest::RunOnThreads(4, [&](int thread) {
        if (thread == 3) {
            uint32_t round = 0;
            while (!readersDone.load()) {
                for (MemoryFileSource* source : sources) {
                    source->SetReadAhead(round % 2 == 0);
                    source->SetReadAheadMaximum(round % 3 == 0 ? 0 : (round % 5 + 1) * kBlock);
                }
                ++round;
                std::this_thread::yield();
            }
            return;
        }
        const uint32_t index = thread % 2;
        for (int pass = 0; pass < 3; ++pass) {
            for (uint32_t block = 0; block < 48; ++block) {
                const uint64_t offset =
                    thread == 2 ? uint64_t{(block * 11) % 47} * kBlock + 17 : uint64_t{block} * kBlock;
                if (block % 4 == 0) {
                    auto* buffer = new HeapBuffer(kBlock);
                    auto* report = new ReadReport();
                    ASSERT_EQ(sources[index]->ReadAsync(offset, buffer, report, block),
                              CacheSource::kResultPending);
                    ASSERT_TRUE(WaitUntil([&] { return report->calls.load() >= 1; }));
                    EXPECT_EQ(report->result.load(), CacheSource::kResultSuccess);
                    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), kBlock, offset, index), kBlock);
                    buffer->DecRef(TARVOS_CALL_SITE);
                    EXPECT_EQ(report->calls.load(), 1);
                    report->DecRef(TARVOS_CALL_SITE);
                } else {
                    ReadAndCheck(index, offset, kBlock);
                }
            }
        }
        if (++readersFinished == 3) {
            readersDone = true;
        }
    });
}

}  // namespace
