// A seeded simulation of the cache: each seed gives one schedule of reads (single and multi-block,
// unaligned, past the end), pre-reads, writes followed by an invalidation, purges and cancels over two
// memory sources whose reads are held back and completed one at a time in an order drawn from the same
// seed. Every read is checked against a model of the sources' content, every callback must run exactly
// once, and at the end every block is free and every buffer is back in the factory. The cache's own
// threads still run, so the checks accept what their timing may change: a read that was pending when
// its source was cancelled or purged, or when a block it touches was invalidated, may end cancelled.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "ReliabilitySupport.h"
#include "Support/MemoryCacheSource.h"
#include "Support/RecordingStatusCallback.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/MTInterface.h"

using namespace Tarvos;
using TarvosTest::MemoryCacheSource;
using TarvosTest::RecordingStatusCallback;
using TarvosTest::WaitUntil;

namespace {

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kBlocks = 6;
constexpr int kSteps = 250;
constexpr size_t kMaxReadsInFlight = 8;

struct SimSource {
    MemoryCacheSource* source = nullptr;
    uint64_t length = 0;
    std::vector<uint8_t> content;  // the model: what every read must see
};

struct SimRead {
    SimRead(SimSource* of, uint64_t offset, uint32_t size, uint32_t dueTime)
        : of(of), offset(offset), size(size) {
        buffer = new HeapBuffer(size);
        std::fill_n(static_cast<uint8_t*>(buffer->GetAddress()), size, uint8_t{0xEE});
        list = new BufferList(buffer, false);
        callback = new RecordingStatusCallback();
        transaction = new CacheTransaction(of->source, offset, list, callback, dueTime);
        expectedBytes =
            offset >= of->length ? 0 : static_cast<uint32_t>(std::min<uint64_t>(size, of->length - offset));
        expectedResult = expectedBytes == size ? CacheSource::kResultSuccess
                         : expectedBytes == 0  ? CacheSource::kResultEndOfFile
                                               : CacheSource::kResultPartial;
        expected.assign(
            of->content.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(offset, of->length)),
            of->content.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(offset, of->length)) +
                expectedBytes);
    }
    ~SimRead() {
        transaction->DecRef(TARVOS_CALL_SITE);
        callback->DecRef(TARVOS_CALL_SITE);
        list->DecRef(TARVOS_CALL_SITE);
        buffer->DecRef(TARVOS_CALL_SITE);
    }
    SimRead(const SimRead&) = delete;
    SimRead& operator=(const SimRead&) = delete;

    bool Reported() const { return callback->Calls() > 0; }
    bool Overlaps(uint64_t begin, uint64_t end) const { return offset < end && begin < offset + size; }

    SimSource* of;
    uint64_t offset;
    uint32_t size;
    HeapBuffer* buffer;
    BufferList* list;
    RecordingStatusCallback* callback;
    CacheTransaction* transaction;
    std::vector<uint8_t> expected;
    uint32_t expectedBytes;
    CacheSource::Result_t expectedResult;
    bool mayBeCancelled = false;  // was pending when its source or one of its blocks was dropped
    bool checked = false;
    size_t startedAt = 0;  // where the schedule's log stood when it started, for failure messages
};

class CacheSimulationTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    void SetUp() override {
        random.seed(GetParam());
        factory = new BufferFactoryHeap();
        ASSERT_TRUE(factory->Initialize(kBlock, kBlocks, kBlocks, 0));
        cache = new Cache(factory);
        for (int i = 0; i < 2; ++i) {
            SimSource& sim = sources[i];
            // Some sources end on a block boundary, most inside a block.
            sim.length = uint64_t{3 + Draw(8)} * kBlock + (Draw(3) == 0 ? 0 : Draw(kBlock - 1));
            sim.source = new MemoryCacheSource(sim.length);
            sim.source->seed = GetParam() * 2 + i;
            sim.source->multiBlock = i == 0;
            ASSERT_TRUE(sim.source->UseCache(cache));
            sim.source->Hold();
            sim.content.resize(sim.length);
            for (uint64_t at = 0; at < sim.length; ++at) {
                sim.content[at] = MemoryCacheSource::ContentAt(at, sim.source->seed.load());
            }
        }
    }

    void TearDown() override {
        reads.clear();
        for (SimSource& sim : sources) {
            if (sim.source == nullptr) {
                continue;
            }
            sim.source->Release();
            // Parked pre-reads let go of their source at most a few seconds after their due time.
            EXPECT_TRUE(
                WaitUntil([&] { return sim.source->GetRefCount() == 1; }, std::chrono::milliseconds(60000)))
                << "a transaction or the cache kept a source";
            sim.source->DecRef(TARVOS_CALL_SITE);
        }
        if (cache != nullptr) {
            EXPECT_EQ(cache->GetRefCount(), 1);
            cache->DecRef(TARVOS_CALL_SITE);
        }
        if (factory != nullptr) {
            EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers())
                << "a buffer did not come back to the factory";
            factory->DecRef(TARVOS_CALL_SITE);
        }
    }

    uint32_t Draw(uint32_t limit) { return static_cast<uint32_t>(random() % (uint64_t{limit} + 1)); }

    size_t InFlight() const {
        return static_cast<size_t>(
            std::count_if(reads.begin(), reads.end(), [](const auto& read) { return !read->Reported(); }));
    }

    void StartRead(std::ostringstream& log) {
        SimSource& sim = sources[Draw(1)];
        uint64_t offset = random() % (sim.length + 2 * kBlock);
        if (Draw(3) == 0) {
            offset -= offset % kBlock;
        }
        const uint32_t size = Draw(2) == 0 ? kBlock : 1 + Draw(3 * kBlock - 1);
        const uint32_t due = Draw(1) == 0 ? Cache::kDueASAP : MTInterface::GetCurrentTimeMilli() + Draw(20);
        reads.push_back(std::make_unique<SimRead>(&sim, offset, size, due));
        SimRead& read = *reads.back();
        log << "read " << (&sim - sources) << " " << offset << "+" << size << "; ";
        read.startedAt = log.str().size();
        const CacheSource::Result_t started = cache->Read(read.transaction);
        EXPECT_EQ(started, CacheSource::kResultPending) << "read at " << offset << " of " << size;
    }

    void WriteThenInvalidate(std::ostringstream& log) {
        SimSource& sim = sources[Draw(1)];
        const uint64_t offset = random() % sim.length;
        const uint32_t size =
            static_cast<uint32_t>(std::min<uint64_t>(1 + Draw(kBlock + kBlock / 2), sim.length - offset));
        // The model cannot tell which version a read in flight over the written bytes sees.
        for (const auto& read : reads) {
            if (read->of == &sim && !read->Reported() && read->Overlaps(offset, offset + size)) {
                return;
            }
        }
        std::vector<uint8_t> bytes(size);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        sim.source->Write(offset, bytes.data(), size);
        std::copy(bytes.begin(), bytes.end(), sim.content.begin() + static_cast<std::ptrdiff_t>(offset));
        // Dropping a block cancels what waits on it: any read touching the blocks of the range.
        const uint64_t firstBlock = offset - offset % kBlock;
        const uint64_t endBlock = (offset + size + kBlock - 1) / kBlock * kBlock;
        for (const auto& read : reads) {
            if (read->of == &sim && !read->Reported() && read->Overlaps(firstBlock, endBlock)) {
                read->mayBeCancelled = true;
            }
        }
        log << "write " << (&sim - sources) << " " << offset << "+" << size << "; ";
        cache->Invalidate(sim.source, offset, size);
    }

    // Cancel or purge: every read of the source pending now has reported when it returns.
    void DropSource(bool purge, std::ostringstream& log) {
        SimSource& sim = sources[Draw(1)];
        std::vector<SimRead*> pending;
        for (const auto& read : reads) {
            if (read->of == &sim && !read->Reported()) {
                read->mayBeCancelled = true;
                pending.push_back(read.get());
            }
        }
        log << (purge ? "purge " : "cancel ") << (&sim - sources) << "; ";
        if (purge) {
            cache->Purge(sim.source);
        } else {
            cache->Cancel(sim.source);
        }
        for (SimRead* read : pending) {
            EXPECT_EQ(read->callback->Calls(), 1)
                << "read at " << read->offset << " of " << read->size << " not reported when "
                << (purge ? "Purge" : "Cancel") << " returned; schedule: " << log.str();
        }
    }

    bool CompleteOne(std::ostringstream* log = nullptr) {
        const uint32_t first = Draw(1);
        for (uint32_t i = first; i < first + 2; ++i) {
            SimSource& sim = sources[i % 2];
            const size_t held = sim.source->Held();
            if (held == 0) {
                continue;
            }
            const uint32_t index = Draw(static_cast<uint32_t>(held - 1));
            if (log != nullptr) {
                *log << "complete " << i % 2 << "#" << index << "/" << held << "; ";
            }
            return sim.source->CompleteHeld(index);
        }
        return false;
    }

    void Check(SimRead& read, const std::string& log) {
        if (read.checked || !read.Reported()) {
            return;
        }
        read.checked = true;
        SCOPED_TRACE(::testing::Message()
                     << "read at " << read.offset << " of " << read.size << " (source " << (read.of - sources)
                     << ", length " << read.of->length << "); schedule before it: "
                     << log.substr(read.startedAt > 400 ? read.startedAt - 400 : 0,
                                   std::min<size_t>(read.startedAt, 400))
                     << " / while it ran: " << log.substr(read.startedAt));
        EXPECT_EQ(read.callback->Calls(), 1);
        const CacheSource::Result_t result = read.callback->LastResult();
        const uint32_t bytes = read.callback->LastBytes();
        if (result == CacheSource::kResultCancelled && read.mayBeCancelled) {
            EXPECT_EQ(bytes, 0u);
            ++cancelledReads;
            return;
        }
        ++servedReads;
        EXPECT_EQ(result, read.expectedResult);
        EXPECT_EQ(bytes, read.expectedBytes);
        const auto* data = static_cast<const uint8_t*>(read.buffer->GetAddress());
        const auto mismatch = std::mismatch(read.expected.begin(), read.expected.end(), data);
        EXPECT_TRUE(mismatch.first == read.expected.end())
            << "first wrong byte at " << read.offset + (mismatch.first - read.expected.begin());
    }

    bool AllQuiet() {
        for (const auto& read : reads) {
            if (!read->Reported()) {
                return false;
            }
        }
        for (SimSource& sim : sources) {
            if (sim.source->Outstanding() != 0) {
                return false;
            }
        }
        return CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache);
    }

    std::mt19937_64 random;
    BufferFactoryHeap* factory = nullptr;
    Cache* cache = nullptr;
    SimSource sources[2];
    std::vector<std::unique_ptr<SimRead>> reads;
    int servedReads = 0;     // checked against the model
    int cancelledReads = 0;  // ended cancelled, as their schedule allowed
};

TEST_P(CacheSimulationTest, SeededScheduleMatchesTheModel) {
    std::ostringstream log;
    for (int step = 0; step < kSteps && !HasFailure(); ++step) {
        const uint32_t choice = Draw(99);
        if (choice < 35) {
            if (InFlight() < kMaxReadsInFlight) {
                StartRead(log);
            } else {
                CompleteOne(&log);
            }
        } else if (choice < 45) {
            SimSource& sim = sources[Draw(1)];
            const uint64_t offset = random() % (sim.length + kBlock);
            const uint32_t size = 1 + Draw(3 * kBlock);
            log << "pre-read " << (&sim - sources) << " " << offset << "+" << size << "; ";
            cache->PreRead(sim.source, offset, size,
                           Draw(1) == 0 ? Cache::kDueASAP : MTInterface::GetCurrentTimeMilli() + Draw(50));
        } else if (choice < 53) {
            WriteThenInvalidate(log);
        } else if (choice < 55) {
            DropSource(true, log);
        } else if (choice < 57) {
            DropSource(false, log);
        } else if (choice < 92) {
            CompleteOne(&log);
        } else {
            // Let the dispatchers catch up on what is not held back, then check what has reported.
            WaitUntil([&] { return InFlight() == 0; }, std::chrono::milliseconds(20));
        }
        const std::string logged = log.str();
        for (const auto& read : reads) {
            Check(*read, logged);
        }
    }
    // Complete everything still held back, in the seed's order, until nothing is left to do.
    const bool quiet = WaitUntil(
        [&] {
            while (CompleteOne()) {
            }
            return AllQuiet();
        },
        std::chrono::milliseconds(60000));
    log << "completing everything; ";
    for (const auto& read : reads) {
        Check(*read, log.str());
    }
    if (!quiet) {
        size_t unreported = 0;
        for (const auto& read : reads) {
            unreported += read->Reported() ? 0 : 1;
        }
        ADD_FAILURE() << "not quiet at the end: " << unreported << " reads unreported, "
                      << CacheTestAccess::FreeBlocks(cache) << " of " << CacheTestAccess::Blocks(cache)
                      << " blocks free; schedule: " << log.str();
    }
    // No callback runs a second time once everything is quiet.
    for (const auto& read : reads) {
        EXPECT_EQ(read->callback->Calls(), 1) << "read at " << read->offset << " of " << read->size;
    }
    // A schedule that cancelled nearly everything would check nothing.
    EXPECT_GE(servedReads, 5) << cancelledReads << " reads cancelled";
    RecordProperty("served", servedReads);
    RecordProperty("cancelled", cancelledReads);
    if (HasFailure()) {
        std::fprintf(stderr, "cache simulation failed with seed %u\n", GetParam());
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, CacheSimulationTest, ::testing::Range(1u, 21u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "Seed" + std::to_string(info.param);
                         });

}  // namespace
