// Fault sweeps: for N = 1, 2, ... the Nth I/O operation of a fixed round of work gets one fault (or,
// persistent, every operation from the Nth on), until a round runs with no fault left to hit. Each
// round checks that every request reported exactly once with the result its fault calls for, that
// every fault in the log surfaced, and that nothing (engine slots, lists, cache blocks, factory
// buffers) is still held afterwards.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "FaultCases.h"
#include "ReliabilitySupport.h"

using namespace Tarvos;
using namespace TarvosTest;

namespace {

constexpr uint32_t kFilePages = 16;
// One uncached request of a round.
struct Request {
    bool write;
    uint64_t offset;
    std::vector<uint32_t> pages;  // buffer sizes in pages; more than one makes a vectored transfer
    BufferList* list = nullptr;
    CountingCallback* callback = nullptr;
    uint32_t Size() const {
        uint32_t total = 0;
        for (uint32_t count : pages) {
            total += count * Page();
        }
        return total;
    }
};

class FaultSweepTest : public testing::TestWithParam<std::string> {
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

    // The uncached round: reads of one, two and three pages (the last in two buffers) and a write that
    // puts back the bytes already there, so that every round starts from the same file.
    void UncachedRound(PlatformNativeFileSource* source, const std::string& label) {
        const uint32_t page = Page();
        std::vector<Request> requests = {{false, 0, {2}},
                                         {false, 4ull * page, {1, 2}},
                                         {false, 8ull * page, {1}},
                                         {true, 12ull * page, {2}}};
        for (Request& request : requests) {
            request.list = new BufferList(static_cast<uint32_t>(request.pages.size()));
            uint64_t at = request.offset;
            for (uint32_t count : request.pages) {
                Buffer* buffer = NewPages(count);
                if (request.write) {
                    FillPattern(buffer->GetAddress(), count * page, at);
                }
                at += count * page;
                request.list->AddBuffer(buffer, true);
            }
            request.callback = new CountingCallback();
            const CacheSource::Result_t started =
                request.write
                    ? source->WriteAsyncWithListNonCached(request.offset, request.list, request.callback, 0)
                    : source->ReadAsyncWithListNonCached(request.offset, request.list, request.callback, 0);
            ASSERT_EQ(started, CacheSource::kResultPending) << label;
        }
        for (Request& request : requests) {
            ASSERT_TRUE(WaitUntil([&] { return request.callback->calls.load() >= 1; }))
                << label << ": no report for the request at " << request.offset;
        }
        ASSERT_TRUE(WaitUntil([&] { return faulty.engine->GetBusySlotCount() == 0; })) << label;
        const std::vector<IOFaultRecord> log = faulty.injector->GetLog();
        for (Request& request : requests) {
            SCOPED_TRACE(label + ", " + (request.write ? "write" : "read") + " at " +
                         std::to_string(request.offset));
            const ListReport report = request.callback->Last();
            EXPECT_EQ(report.calls, 1) << "reported more than once";
            EXPECT_EQ(report.offset, request.offset);
            EXPECT_EQ(report.list, request.list);
            // EINTR and EAGAIN make the engine issue the transfer again, a few times: the request's
            // outcome is that of its last attempt.
            const IOFaultRecord* hit = nullptr;
            uint32_t transientHits = 0;
            for (const IOFaultRecord& record : log) {
                if (!record.cancel && record.offset == request.offset && record.write == request.write) {
                    EXPECT_TRUE(hit == nullptr || IsRetried(*hit)) << "two faults on one request";
                    hit = &record;
                    transientHits += IsRetried(record) ? 1 : 0;
                }
            }
            if (hit != nullptr && IsRetried(*hit) && transientHits <= kTransientRetries) {
                EXPECT_TRUE(hit->delivered);
                hit = nullptr;  // a later attempt went through
            }
            CacheSource::Result_t want = CacheSource::kResultSuccess;
            uint32_t wantBytes = request.Size();
            if (hit != nullptr) {
                EXPECT_TRUE(hit->delivered) << "a fault that never surfaced";
                switch (hit->kind) {
                    case kFaultError:
                    case kFaultRefuseSubmit:
                        want = CacheSource::kResultFailed;
                        wantBytes = 0;
                        break;
                    case kFaultShortCount:
                        want = CacheSource::kResultPartial;
                        wantBytes = kShortCount;
                        break;
                    case kFaultZeroBytes:
                        want = request.write ? CacheSource::kResultPartial : CacheSource::kResultEndOfFile;
                        wantBytes = 0;
                        break;
                    default:
                        break;
                }
            }
            EXPECT_EQ(report.result, want) << ResultName(report.result) << " instead of " << ResultName(want);
            EXPECT_EQ(report.bytes, wantBytes);
            if (!request.write) {
                EXPECT_EQ(FirstListMismatch(request.list, request.offset, report.bytes), report.bytes);
            }
            EXPECT_TRUE(WaitUntil([&] { return request.list->GetRefCount() == 1; }))
                << "the engine kept the list";
        }
        for (Request& request : requests) {
            Release(request.list);
            Release(request.callback);
        }
    }

    TempDir dir;
    FaultyEngine faulty;
    std::string path;
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, FaultSweepTest, testing::ValuesIn(PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(FaultSweepTest, EveryUncachedRequestReportsOnceWithItsFaultsResult) {
    auto* source = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
    ASSERT_TRUE(source->Open(true, true, false));
    int rounds = 0;
    for (const FaultCase& fault : kFaultCases) {
        for (bool persistent : {false, true}) {
            for (uint32_t nth = 1;; ++nth) {
                const std::string label = std::string(fault.name) +
                                          (persistent ? " persistent" : " transient") + " at operation " +
                                          std::to_string(nth);
                faulty.injector->ClearRules();
                faulty.injector->ClearLog();
                faulty.injector->AddRule(RuleFor(fault, nth, persistent));
                UncachedRound(source, label);
                ++rounds;
                if (HasFatalFailure() || faulty.injector->GetLog().empty() || nth > 16) {
                    break;
                }
            }
            if (HasFatalFailure()) {
                break;
            }
        }
    }
    EXPECT_GE(rounds, static_cast<int>(kFaultCases.size()) * 2 * 5);
    Release(source);
}

// Cached rounds: a write, a pre-read, then reads that span several blocks (one over the written range)
// and one that shares a block with the pre-read. A faulted operation that no other operation of the round
// covered again must keep every read that needed its bytes from reporting success; every byte reported is the
// file's.
class CachedFaultSweepTest : public FaultSweepTest {
  protected:
    struct CachedRead {
        uint64_t offset;
        uint32_t length;
        Buffer* buffer = nullptr;
        BufferList* list = nullptr;
        CountingCallback* callback = nullptr;
    };

    void CachedRound(const std::string& label) {
        const uint32_t page = Page();
        auto* factory = new BufferFactoryPhysMem();
        ASSERT_TRUE(factory->Initialize(page, 8, 8, 0));
        auto* cache = new Cache(factory);
        auto* source = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
        ASSERT_TRUE(source->Open(true, true, false));
        ASSERT_TRUE(source->UseCache(cache));
        // First a write (of the bytes already there, so that every round reads the same file) over a
        // range that a read below then takes from the cache.
        Buffer* written = NewPages(2);
        FillPattern(written->GetAddress(), 2 * page, 2ull * page);
        uint32_t writtenBytes = 0xABCDEF;
        const CacheSource::Result_t writeResult = source->Write(2ull * page, written, &writtenBytes);
        source->PreRead(10ull * page, 2 * page, 0);
        std::vector<CachedRead> reads = {
            {100, 5 * page}, {10ull * page + 5, page}, {7ull * page, 2 * page + 1}};
        for (CachedRead& read : reads) {
            read.buffer = new HeapBuffer(read.length);
            std::memset(read.buffer->GetAddress(), 0xEE, read.length);
            read.list = new BufferList(read.buffer, false);
            read.callback = new CountingCallback();
            ASSERT_EQ(source->ReadAsyncWithList(read.offset, read.list, read.callback, 0),
                      CacheSource::kResultPending)
                << label;
        }
        for (CachedRead& read : reads) {
            if (!WaitUntil([&] { return read.callback->calls.load() >= 1; })) {
                cache->Dump();
                for (const IOFaultInjector::Operation& operation : faulty.injector->GetOperations()) {
                    fprintf(stderr, "op %llu +%llu\n", (unsigned long long)operation.offset,
                            (unsigned long long)operation.size);
                }
                FAIL() << label << ": no report for the read at " << read.offset;
            }
        }
        ASSERT_TRUE(WaitUntil([&] {
            return CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache);
        })) << label
            << ": blocks still held";
        ASSERT_TRUE(WaitUntil([&] { return faulty.engine->GetBusySlotCount() == 0; })) << label;
        const std::vector<IOFaultRecord> log = faulty.injector->GetLog();
        const std::vector<IOFaultInjector::Operation> operations = faulty.injector->GetOperations();
        for (const IOFaultRecord& record : log) {
            EXPECT_TRUE(record.delivered) << label << ": a fault that never surfaced, at " << record.offset;
        }
        {
            CacheSource::Result_t want = CacheSource::kResultSuccess;
            uint32_t wantBytes = 2 * page;
            uint32_t transientHits = 0;
            for (const IOFaultRecord& record : log) {
                if (!record.write) {
                    continue;
                }
                if (IsRetried(record)) {
                    // Issued again; fails only once the retries are used up.
                    if (++transientHits > kTransientRetries) {
                        want = CacheSource::kResultFailed;
                        wantBytes = 0;
                    }
                } else if (record.kind == kFaultError || record.kind == kFaultRefuseSubmit) {
                    want = CacheSource::kResultFailed;
                    wantBytes = 0;
                } else if (record.kind == kFaultShortCount || record.kind == kFaultZeroBytes) {
                    want = CacheSource::kResultPartial;
                    wantBytes = record.kind == kFaultShortCount ? kShortCount : 0;
                }
            }
            EXPECT_EQ(writeResult, want) << label << ": the write gave " << ResultName(writeResult);
            EXPECT_EQ(writtenBytes, wantBytes) << label;
            EXPECT_TRUE(WaitUntil([&] { return written->GetRefCount() == 1; })) << label;
            Release(written);
        }
        for (CachedRead& read : reads) {
            SCOPED_TRACE(label + ", read at " + std::to_string(read.offset));
            const ListReport report = read.callback->Last();
            EXPECT_EQ(report.calls, 1) << "reported more than once";
            const uint64_t end = read.offset + read.length;
            // Where the data this read needed stops being available: the first byte a faulted
            // operation withheld, when no other operation of the round delivered that byte.
            uint64_t limit = end;
            bool touched = false;
            auto deliveredEnd = [](const IOFaultRecord& record) {
                if (record.kind == kFaultError || record.kind == kFaultRefuseSubmit) {
                    return record.offset;
                }
                if (record.kind == kFaultShortCount || record.kind == kFaultZeroBytes) {
                    return record.offset +
                           static_cast<uint64_t>(std::max<int64_t>(record.deliveredResult, 0));
                }
                return record.offset + record.size;
            };
            for (const IOFaultRecord& record : log) {
                if (record.write) {
                    continue;  // the write put back the bytes already there, whatever it reports
                }
                const uint64_t firstMissing = std::max(deliveredEnd(record), read.offset);
                if (firstMissing >= std::min(end, record.offset + record.size)) {
                    continue;  // the read needed nothing this fault withheld
                }
                touched = true;
                bool deliveredElsewhere = false;
                for (const IOFaultInjector::Operation& operation : operations) {
                    if (operation.write || operation.offset > firstMissing ||
                        firstMissing >= operation.offset + operation.size) {
                        continue;
                    }
                    bool lost = false;
                    for (const IOFaultRecord& other : log) {
                        lost = lost || (other.tag == operation.tag && deliveredEnd(other) <= firstMissing);
                    }
                    deliveredElsewhere = deliveredElsewhere || !lost;
                }
                if (!deliveredElsewhere) {
                    limit = std::min(limit, firstMissing);
                }
            }
            if (limit < end) {
                EXPECT_NE(report.result, CacheSource::kResultSuccess) << "success although a fault hit it";
                EXPECT_LE(report.bytes, limit - read.offset);
            } else if (!touched) {
                EXPECT_EQ(report.result, CacheSource::kResultSuccess) << ResultName(report.result);
                EXPECT_EQ(report.bytes, read.length);
            }
            if (report.result == CacheSource::kResultSuccess) {
                EXPECT_EQ(report.bytes, read.length);
            }
            const uint32_t checked = std::min(report.bytes, read.length);
            EXPECT_EQ(FirstPatternMismatch(read.buffer->GetAddress(), checked, read.offset), checked);
        }
        for (CachedRead& read : reads) {
            Release(read.callback);
            Release(read.list);
            Release(read.buffer);
        }
        Release(source);
        EXPECT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; })) << label;
        Release(cache);
        EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers()) << label;
        Release(factory);
    }
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, CachedFaultSweepTest, testing::ValuesIn(PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(CachedFaultSweepTest, CachedReadsNeverReportSuccessOverAFaultAndGiveEverythingBack) {
    int rounds = 0;
    for (const FaultCase& fault : kFaultCases) {
        for (bool persistent : {false, true}) {
            for (uint32_t nth = 1;; ++nth) {
                const std::string label = std::string(fault.name) +
                                          (persistent ? " persistent" : " transient") + " at operation " +
                                          std::to_string(nth);
                faulty.injector->ClearRules();
                faulty.injector->ClearLog();
                faulty.injector->AddRule(RuleFor(fault, nth, persistent));
                CachedRound(label);
                ++rounds;
                if (HasFatalFailure() || faulty.injector->GetLog().empty() || nth > 16) {
                    break;
                }
            }
            if (HasFatalFailure()) {
                break;
            }
        }
    }
    EXPECT_GE(rounds, static_cast<int>(kFaultCases.size()) * 2 * 2);
}

}  // namespace
