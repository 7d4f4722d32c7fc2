// More fault sweeps (N = 1, 2, ... until a round runs with no fault left to hit, every fault kind,
// once and from then on): pre-reads alone, after which a clean read of the same range must get the
// file's bytes, or where a fault cut a block read short, no more than that read delivered (and every
// byte after a purge);
// and a Cancel issued while cached and uncached reads are in flight, where each read reports exactly
// once, with verified data, cancelled, or the result its fault calls for, and never success over a
// fault that withheld its bytes. Afterwards every block, slot and factory buffer is back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FaultCases.h"
#include "ReliabilitySupport.h"

using namespace Tarvos;
using namespace TarvosTest;

namespace {

constexpr uint32_t kFilePages = 16;
constexpr uint32_t kMaxNth = 16;

// Whether the fault keeps bytes from the caller (an error the engine retries does not, once a later
// attempt went through).
bool Withholds(const IOFaultRecord& record) {
    if (IsRetried(record)) {
        return false;
    }
    return record.kind == kFaultError || record.kind == kFaultRefuseSubmit ||
           record.kind == kFaultShortCount || record.kind == kFaultZeroBytes;
}

struct SweepRead {
    bool cached = true;
    uint64_t offset = 0;
    uint32_t length = 0;
    Buffer* buffer = nullptr;
    BufferList* list = nullptr;
    CountingCallback* callback = nullptr;
};

class FaultSweepCancelTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (dir.path.empty()) {
            GTEST_SKIP() << "no temporary directory";
        }
        if (!faulty.Start(GetParam())) {
            GTEST_SKIP() << GetParam() << " cannot run here: " << faulty.reason;
        }
        path = dir.MakeFile("f", uint64_t{kFilePages} * Page());
    }

    // Runs round(label) for every fault kind, once and persistent, N = 1, 2, ...
    template <typename Round>
    void Sweep(Round round) {
        int rounds = 0;
        for (const FaultCase& fault : kFaultCases) {
            for (bool persistent : {false, true}) {
                for (uint32_t nth = 1; nth <= kMaxNth; ++nth) {
                    const std::string label = std::string(fault.name) +
                                              (persistent ? " persistent" : " transient") + " at operation " +
                                              std::to_string(nth);
                    faulty.injector->ClearRules();
                    faulty.injector->ClearLog();
                    faulty.injector->AddRule(RuleFor(fault, nth, persistent));
                    round(label);
                    ++rounds;
                    // No fault fired: the nth operation never came, so no later one will. The first
                    // round is not proof of that when a cancel may end everything before it is issued.
                    if (HasFatalFailure() || (nth > 1 && faulty.injector->GetLog().empty())) {
                        break;
                    }
                }
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
        EXPECT_GE(rounds, static_cast<int>(kFaultCases.size()) * 2 * 2);
    }

    SweepRead Start(PlatformNativeFileSource* source, bool cached, uint64_t offset, uint32_t length) {
        SweepRead read;
        read.cached = cached;
        read.offset = offset;
        read.length = length;
        read.buffer = cached ? static_cast<Buffer*>(new HeapBuffer(length)) : NewPages(length / Page());
        std::memset(read.buffer->GetAddress(), 0xEE, length);
        read.list = new BufferList(read.buffer, false);
        read.callback = new CountingCallback();
        const CacheSource::Result_t started =
            cached ? source->ReadAsyncWithList(offset, read.list, read.callback, 0)
                   : source->ReadAsyncWithListNonCached(offset, read.list, read.callback, 0);
        EXPECT_TRUE(started == CacheSource::kResultPending || started == CacheSource::kResultFailed)
            << ResultName(started);
        if (started != CacheSource::kResultPending) {
            read.callback->calls = -1;  // refused at once: no report may come
        }
        return read;
    }

    static void Finish(SweepRead& read) {
        Release(read.callback);
        EXPECT_TRUE(WaitUntil([&] { return read.list->GetRefCount() == 1; })) << "the list was kept";
        Release(read.list);
        Release(read.buffer);
    }

    // Waits until nothing is held: blocks, slots.
    void Quiet(Cache* cache, const std::string& label) {
        ASSERT_TRUE(WaitUntil([&] {
            return CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache);
        })) << label
            << ": blocks still held";
        ASSERT_TRUE(WaitUntil([&] { return faulty.engine->GetBusySlotCount() == 0; })) << label;
        for (const IOFaultRecord& record : faulty.injector->GetLog()) {
            EXPECT_TRUE(record.delivered) << label << ": a fault that never surfaced, at " << record.offset;
        }
    }

    TempDir dir;
    FaultyEngine faulty;
    std::string path;
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, FaultSweepCancelTest, testing::ValuesIn(PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(FaultSweepCancelTest, PreReadsCutShortLeaveNoBlockClaimingBytesItLacks) {
    const uint32_t page = Page();
    Sweep([&](const std::string& label) {
        auto* factory = new BufferFactoryPhysMem();
        ASSERT_TRUE(factory->Initialize(2 * page, 8, 8, 0));
        auto* cache = new Cache(factory);
        auto* source = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
        ASSERT_TRUE(source->Open(true, false, false));
        ASSERT_TRUE(source->UseCache(cache));
        source->PreRead(page, 7 * page, 0);
        source->PreRead(12ull * page, page, 0);
        // The pre-reads' reads (and their faults) are over before the clean read starts: the
        // injector's operation count stops moving once the cache is quiet.
        uint64_t operations = 0;
        ASSERT_TRUE(WaitUntil([&] {
            const uint64_t now = faulty.injector->GetOperationCount();
            const bool settled = now == operations && faulty.engine->GetBusySlotCount() == 0 &&
                                 CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache);
            operations = now;
            if (!settled) {
                MTInterface::Sleep(20);
            }
            return settled;
        })) << label;
        Quiet(cache, label);
        faulty.injector->ClearRules();
        // A block read that came back short is believed, as a short read of a regular file means its
        // end: the block keeps the bytes and the end it reported until it is purged or reused. Any
        // other fault must leave no trace, so the clean read gets every byte.
        bool cutShort = false;
        for (const IOFaultRecord& record : faulty.injector->GetLog()) {
            cutShort = cutShort || record.kind == kFaultShortCount || record.kind == kFaultZeroBytes;
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            SweepRead reads[] = {Start(source, true, page + 17, 8 * page),
                                 Start(source, true, 12ull * page, page)};
            for (SweepRead& read : reads) {
                SCOPED_TRACE(label + ", read at " + std::to_string(read.offset) +
                             (attempt ? " after a purge" : ""));
                ASSERT_TRUE(WaitUntil([&] { return read.callback->calls.load() >= 1; })) << "no report";
                const ListReport report = read.callback->Last();
                EXPECT_EQ(report.calls, 1);
                if (cutShort && attempt == 0 && report.result != CacheSource::kResultSuccess) {
                    EXPECT_TRUE(report.result == CacheSource::kResultPartial ||
                                report.result == CacheSource::kResultEndOfFile)
                        << ResultName(report.result);
                    EXPECT_LT(report.bytes, read.length);
                } else {
                    EXPECT_EQ(report.result, CacheSource::kResultSuccess) << ResultName(report.result);
                    EXPECT_EQ(report.bytes, read.length);
                }
                const uint32_t checked = std::min(report.bytes, read.length);
                EXPECT_EQ(FirstPatternMismatch(read.buffer->GetAddress(), checked, read.offset), checked);
                Finish(read);
            }
            if (!cutShort) {
                break;
            }
            Quiet(cache, label);
            cache->Purge(source);
        }
        Quiet(cache, label);
        Release(source);
        EXPECT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; })) << label;
        Release(cache);
        EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers()) << label;
        Release(factory);
    });
}

TEST_P(FaultSweepCancelTest, CancelDuringFaultedReadsEndsEachReadOnceAndNeverOverAFault) {
    const uint32_t page = Page();
    int cancelled = 0;
    Sweep([&](const std::string& label) {
        auto* factory = new BufferFactoryPhysMem();
        ASSERT_TRUE(factory->Initialize(page, 8, 8, 0));
        auto* cache = new Cache(factory);
        auto* source = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
        ASSERT_TRUE(source->Open(true, false, false));
        ASSERT_TRUE(source->UseCache(cache));
        std::vector<SweepRead> reads;
        reads.push_back(Start(source, false, 14ull * page, 2 * page));
        reads.push_back(Start(source, true, 100, 3 * page));
        source->PreRead(8ull * page, 2 * page, 0);
        reads.push_back(Start(source, true, 8ull * page + 9, page));
        reads.push_back(Start(source, false, 12ull * page, page));
        reads.push_back(Start(source, true, 4ull * page, 2 * page + 1));
        // Cancel once the engine has met the fault (or after a short bound): on a loaded machine the
        // cancel could otherwise beat every transfer to the engine and the sweep would meet no fault.
        WaitUntil([&] { return !faulty.injector->GetLog().empty(); }, std::chrono::milliseconds(50));
        source->Cancel();
        for (SweepRead& read : reads) {
            if (read.callback->calls.load() >= 0) {
                ASSERT_TRUE(WaitUntil([&] { return read.callback->calls.load() >= 1; }))
                    << label << ": no report for the read at " << read.offset;
            }
        }
        Quiet(cache, label);
        const std::vector<IOFaultRecord> log = faulty.injector->GetLog();
        for (SweepRead& read : reads) {
            SCOPED_TRACE(label + (read.cached ? ", cached" : ", uncached") + " read at " +
                         std::to_string(read.offset));
            if (read.callback->calls.load() < 0) {
                Finish(read);
                continue;
            }
            const ListReport report = read.callback->Last();
            EXPECT_EQ(report.calls, 1) << "reported more than once";
            if (report.result == CacheSource::kResultCancelled) {
                EXPECT_EQ(report.bytes, 0u);
                ++cancelled;
            } else if (report.result == CacheSource::kResultSuccess) {
                EXPECT_EQ(report.bytes, read.length);
                // No fault may have withheld bytes of an uncached read that reports success.
                for (const IOFaultRecord& record : log) {
                    if (!read.cached && !record.cancel && record.offset == read.offset && Withholds(record)) {
                        ADD_FAILURE() << "success over a " << record.kind << " fault";
                    }
                }
            } else {
                EXPECT_TRUE(report.result == CacheSource::kResultFailed ||
                            report.result == CacheSource::kResultPartial ||
                            report.result == CacheSource::kResultEndOfFile)
                    << ResultName(report.result);
                EXPECT_LT(report.bytes, read.length);
            }
            // Whatever the outcome, the bytes reported are the file's.
            const uint32_t checked = std::min(report.bytes, read.length);
            EXPECT_EQ(FirstPatternMismatch(read.buffer->GetAddress(), checked, read.offset), checked);
            Finish(read);
        }
        Release(source);
        EXPECT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; })) << label;
        Release(cache);
        EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers()) << label;
        Release(factory);
    });
    RecordProperty("cancelled", cancelled);
}

}  // namespace
