// A storm of cached reads of a real file, with pre-reads and cancels at random moments: before the
// reads are issued, while they are in flight, after they completed, and twice in a row. Reads share
// blocks and outnumber them. Each read must report exactly once, with verified data or cancelled,
// and a buffer handed back by its callback must never be written again: the callback fills it with a
// canary that is checked once everything is quiet.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ReliabilitySupport.h"

using namespace Tarvos;
using namespace TarvosTest;
using TarvosTest::PatternByte;

namespace {

constexpr uint32_t kFilePages = 24;
constexpr uint32_t kSeed = 21;
constexpr uint8_t kCanary = 0xC5;

struct StormRead {
    uint64_t offset = 0;
    uint32_t length = 0;
    Buffer* buffer = nullptr;
    BufferList* list = nullptr;
    CountingCallback* callback = nullptr;
    std::atomic<bool> dataOk{false};
    // The first wrong byte of a read reported as success, for the failure message.
    uint32_t firstWrong = 0;
    uint32_t wrongBytes = 0;
    uint8_t wrongValue = 0;
};

// Starts one cached read of a random range; its callback checks the data and then writes the canary
// over the buffer. Null when the read was not accepted.
std::unique_ptr<StormRead> StartStormRead(PlatformNativeFileSource* source, std::mt19937& random,
                                          uint64_t fileSize) {
    const uint32_t page = Page();
    auto read = std::make_unique<StormRead>();
    read->length = 1 + random() % (2 * page);
    read->offset = random() % (fileSize - read->length);
    read->buffer = new HeapBuffer(read->length);
    std::memset(read->buffer->GetAddress(), 0xEE, read->length);
    read->list = new BufferList(read->buffer, false);
    read->callback = new CountingCallback();
    StormRead* self = read.get();
    read->callback->onReport = [self](CacheSource::Result_t result, BufferList*) {
        if (result == CacheSource::kResultSuccess) {
            const uint32_t at =
                FirstPatternMismatch(self->buffer->GetAddress(), self->length, self->offset, kSeed);
            self->dataOk = at == self->length;
            if (at != self->length) {
                const auto* got = static_cast<const uint8_t*>(self->buffer->GetAddress());
                uint32_t wrong = 0;
                for (uint32_t i = at; i < self->length; ++i) {
                    wrong += got[i] != PatternByte(self->offset + i, kSeed);
                }
                self->firstWrong = at;
                self->wrongBytes = wrong;
                self->wrongValue = got[at];
            }
        }
        // The buffer is the caller's again: anything the library writes now shows at the end.
        std::memset(self->buffer->GetAddress(), kCanary, self->length);
    };
    if (source->ReadAsyncWithList(read->offset, read->list, read->callback, 0) !=
        CacheSource::kResultPending) {
        return nullptr;
    }
    return read;
}

// Each read reported once, success with verified data or cancelled with 0 bytes, and its buffer
// still holds the canary its callback wrote.
void CheckStormReads(const std::vector<std::unique_ptr<StormRead>>& reads, int* succeeded, int* cancelled) {
    int touchedAfterReturn = 0;
    for (auto& read : reads) {
        SCOPED_TRACE("read at " + std::to_string(read->offset) + ", " + std::to_string(read->length) +
                     " bytes");
        const ListReport report = read->callback->Last();
        EXPECT_EQ(report.calls, 1);
        EXPECT_EQ(report.offset, read->offset);
        if (report.result == CacheSource::kResultSuccess) {
            EXPECT_EQ(report.bytes, read->length);
            EXPECT_TRUE(read->dataOk.load())
                << "wrong data reported as success: " << read->wrongBytes << " wrong bytes from byte "
                << read->firstWrong << " (file offset " << read->offset + read->firstWrong
                << "), the first 0x" << std::hex << int{read->wrongValue};
            ++*succeeded;
        } else {
            EXPECT_EQ(report.result, CacheSource::kResultCancelled) << ResultName(report.result);
            EXPECT_EQ(report.bytes, 0u);
            ++*cancelled;
        }
        const auto* bytes = static_cast<const uint8_t*>(read->buffer->GetAddress());
        for (uint32_t i = 0; i < read->length; ++i) {
            if (bytes[i] != kCanary) {
                ++touchedAfterReturn;
                break;
            }
        }
    }
    EXPECT_EQ(touchedAfterReturn, 0) << "buffers written after their callback";
}

void ReleaseStormReads(const std::vector<std::unique_ptr<StormRead>>& reads) {
    for (auto& read : reads) {
        Release(read->callback);
        EXPECT_TRUE(WaitUntil([&] { return read->list->GetRefCount() == 1; }));
        Release(read->list);
        Release(read->buffer);
    }
}

class CancellationStormTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (dir.path.empty()) {
            GTEST_SKIP() << "no temporary directory";
        }
        if (!faulty.Start(GetParam(), 99)) {
            GTEST_SKIP() << GetParam() << " cannot run here: " << faulty.reason;
        }
        path = dir.MakeFile("f", uint64_t{kFilePages} * Page(), kSeed);
    }

    // A cached source over the file, a cache of 8 one-page blocks, and short delays on some reads,
    // which widen the windows in which a cancel meets a read in flight.
    void StartCachedSource() {
        IOFaultRule delay;
        delay.operations = kFaultOnRead;
        delay.nth = 0;
        delay.probability = 0.2;
        delay.kind = kFaultDelay;
        delay.delayMs = 1;
        faulty.injector->AddRule(delay);
        factory = new BufferFactoryPhysMem();
        ASSERT_TRUE(factory->Initialize(Page(), 8, 8, 0));
        cache = new Cache(factory);
        source = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
        ASSERT_TRUE(source->Open(true, false, false));
        ASSERT_TRUE(source->UseCache(cache));
    }

    // Every read has reported, every block is free and no engine slot is busy.
    void WaitUntilQuiet(const std::vector<std::unique_ptr<StormRead>>& reads) {
        for (auto& read : reads) {
            ASSERT_TRUE(WaitUntil([&] { return read->callback->calls.load() >= 1; }))
                << "no report for the read at " << read->offset;
        }
        ASSERT_TRUE(WaitUntil([&] {
            return CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache);
        })) << "blocks still held";
        ASSERT_TRUE(WaitUntil([&] { return faulty.engine->GetBusySlotCount() == 0; }));
    }

    // Lets go of source, cache and factory; every factory buffer must be back.
    void ReleaseCachedSource() {
        Release(source);
        EXPECT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; }));
        Release(cache);
        EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers());
        Release(factory);
    }

    TempDir dir;
    FaultyEngine faulty;
    std::string path;
    BufferFactoryPhysMem* factory = nullptr;
    Cache* cache = nullptr;
    PlatformNativeFileSource* source = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, CancellationStormTest, testing::ValuesIn(PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(CancellationStormTest, EveryReadEndsOnceAndReturnedBuffersStayUntouched) {
    constexpr int kRounds = 60;
    constexpr int kPerRound = 40;
    const uint32_t page = Page();
    ASSERT_NO_FATAL_FAILURE(StartCachedSource());
    const uint64_t fileSize = uint64_t{kFilePages} * page;

    std::mt19937 random(5);
    std::vector<std::unique_ptr<StormRead>> reads;
    int cancels = 0;
    for (int round = 0; round < kRounds; ++round) {
        const size_t first = reads.size();
        for (int i = 0; i < kPerRound; ++i) {
            if (random() % 8 == 0) {
                source->PreRead(uint64_t{random() % kFilePages} * page, 2 * page, 0);
            }
            auto read = StartStormRead(source, random, fileSize);
            ASSERT_NE(read, nullptr);
            reads.push_back(std::move(read));
        }
        switch (random() % 5) {
            case 0:  // at once: most reads are still queued
                source->Cancel();
                ++cancels;
                break;
            case 1:  // twice in a row
                source->Cancel();
                source->Cancel();
                cancels += 2;
                break;
            case 2: {  // once some have completed
                const size_t some = first + random() % kPerRound;
                WaitUntil([&] { return reads[some]->callback->calls.load() >= 1; });
                source->Cancel();
                ++cancels;
                break;
            }
            case 3:  // after all completed: nothing left to cancel
                for (size_t i = first; i < reads.size(); ++i) {
                    ASSERT_TRUE(WaitUntil([&] { return reads[i]->callback->calls.load() >= 1; }));
                }
                source->Cancel();
                ++cancels;
                break;
            default:
                break;
        }
    }
    ASSERT_NO_FATAL_FAILURE(WaitUntilQuiet(reads));
    int succeeded = 0;
    int cancelled = 0;
    CheckStormReads(reads, &succeeded, &cancelled);
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(cancels, 0);
    RecordProperty("cancelled", cancelled);
    ReleaseStormReads(reads);
    ReleaseCachedSource();
}

// The same from four threads at once over one cached source: each thread issues its reads and
// pre-reads and cancels the shared source at random moments, so cancels meet reads of other threads
// anywhere in their lives.
TEST_P(CancellationStormTest, ThreadsCancellingEachOthersReadsStillEndEveryReadOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    const uint32_t page = Page();
    ASSERT_NO_FATAL_FAILURE(StartCachedSource());
    const uint64_t fileSize = uint64_t{kFilePages} * page;

    std::vector<std::vector<std::unique_ptr<StormRead>>> perThread(kThreads);
    std::atomic<int> cancels{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(100 + t);
            for (int i = 0; i < kPerThread; ++i) {
                if (random() % 6 == 0) {
                    source->PreRead(uint64_t{random() % kFilePages} * page, 2 * page, random() % 4);
                }
                auto read = StartStormRead(source, random, fileSize);
                if (read == nullptr) {
                    ++refused;
                } else {
                    perThread[t].push_back(std::move(read));
                }
                if (random() % 80 == 0) {
                    source->Cancel();
                    ++cancels;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::vector<std::unique_ptr<StormRead>> reads;
    for (auto& list : perThread) {
        for (auto& read : list) {
            reads.push_back(std::move(read));
        }
    }
    ASSERT_NO_FATAL_FAILURE(WaitUntilQuiet(reads));
    int succeeded = 0;
    int cancelled = 0;
    CheckStormReads(reads, &succeeded, &cancelled);
    EXPECT_EQ(refused.load(), 0);
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(cancels.load(), 0);
    RecordProperty("cancelled", cancelled);
    ReleaseStormReads(reads);
    ReleaseCachedSource();
}

}  // namespace
