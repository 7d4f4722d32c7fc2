// Completions that come late: held past a cancel, delayed, or delivered twice (the second copy after
// the slot may already serve another request). The engine must hand every request exactly one report
// for its own offset and list, with its own data, and never pass an old completion to a slot's next
// request.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"

using namespace Tarvos;
using namespace TarvosTest;

namespace {

constexpr uint32_t kFilePages = 64;
constexpr uint32_t kSeed = 11;

struct LateRead {
    uint64_t offset = 0;
    Buffer* buffer = nullptr;
    BufferList* list = nullptr;
    CountingCallback* callback = nullptr;
};

class LateCompletionTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (dir.path.empty()) {
            GTEST_SKIP() << "no temporary directory";
        }
        if (!faulty.Start(GetParam(), 20261208)) {
            GTEST_SKIP() << GetParam() << " cannot run here: " << faulty.reason;
        }
        path = dir.MakeFile("f", uint64_t{kFilePages} * Page(), kSeed);
    }

    TempDir dir;
    FaultyEngine faulty;
    std::string path;
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, LateCompletionTest, testing::ValuesIn(PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

// 10^5 reads in the optimised build; the sanitizer builds, several times slower, run 10^4.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kLateRounds = 250;
#else
constexpr int kLateRounds = 2500;
#endif

TEST_P(LateCompletionTest, NoOldCompletionEverReachesASlotsNextRequest) {
    constexpr int kRounds = kLateRounds;
    constexpr int kPerRound = 40;  // fewer than the engine's slots at a time
    const uint32_t page = Page();
    IOFaultRule late;
    late.operations = kFaultOnRead;
    late.nth = 0;
    late.probability = 0.25;
    late.kind = kFaultLateAfterCancel;
    late.delayMs = 5;  // when no cancel comes
    faulty.injector->AddRule(late);
    IOFaultRule duplicate = late;
    duplicate.probability = 0.15;
    duplicate.kind = kFaultDuplicate;
    duplicate.delayMs = 1;
    faulty.injector->AddRule(duplicate);
    IOFaultRule delay = late;
    delay.probability = 0.15;
    delay.kind = kFaultDelay;
    delay.delayMs = 1;
    faulty.injector->AddRule(delay);

    auto* source = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
    ASSERT_TRUE(source->Open(true, false, false));
    std::mt19937 random(7);
    std::atomic<int> mismatches{0};
    int reports = 0;
    int cancelled = 0;
    int succeeded = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<LateRead> reads(kPerRound);
        for (LateRead& read : reads) {
            read.offset = uint64_t{random() % kFilePages} * page;
            read.buffer = NewPages(1);
            read.list = new BufferList(read.buffer, false);
            read.callback = new CountingCallback();
            LateRead* self = &read;
            read.callback->onReport = [self, &mismatches, page](CacheSource::Result_t result,
                                                                BufferList* list) {
                if (list != self->list) {
                    ++mismatches;
                    return;
                }
                if (result == CacheSource::kResultSuccess &&
                    FirstPatternMismatch(self->buffer->GetAddress(), page, self->offset, kSeed) != page) {
                    ++mismatches;
                }
            };
            ASSERT_EQ(source->ReadAsyncWithListNonCached(read.offset, read.list, read.callback, 0),
                      CacheSource::kResultPending);
        }
        const uint32_t what = random() % 4;
        if (what == 0) {
            source->CancelNonCached();
        } else if (what == 1) {
            source->CancelNonCached();
            source->CancelNonCached();  // twice: the second finds nothing live
        }
        for (LateRead& read : reads) {
            ASSERT_TRUE(WaitUntil([&] { return read.callback->calls.load() >= 1; })) << "round " << round;
        }
        for (LateRead& read : reads) {
            const ListReport report = read.callback->Last();
            EXPECT_EQ(report.calls, 1);
            EXPECT_EQ(report.offset, read.offset);
            EXPECT_TRUE(report.result == CacheSource::kResultSuccess ||
                        report.result == CacheSource::kResultCancelled)
                << ResultName(report.result);
            if (report.result == CacheSource::kResultSuccess) {
                EXPECT_EQ(report.bytes, page);
                ++succeeded;
            } else {
                EXPECT_EQ(report.bytes, 0u);
                ++cancelled;
            }
            ++reports;
        }
        // A late completion keeps its slot (and its list) until the kernel is done; then both go.
        ASSERT_TRUE(WaitUntil([&] { return faulty.engine->GetBusySlotCount() == 0; })) << "round " << round;
        for (LateRead& read : reads) {
            EXPECT_TRUE(WaitUntil([&] { return read.list->GetRefCount() == 1; }));
            EXPECT_EQ(read.callback->calls.load(), 1) << "a second report after the slot was free";
            Release(read.list);
            Release(read.buffer);
            Release(read.callback);
        }
        if (HasFatalFailure()) {
            break;
        }
    }
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(reports, kRounds * kPerRound);
    EXPECT_GT(succeeded, 0);
    // Every kind of late completion happened, and each one surfaced.
    int lateAfterCancel = 0;
    int duplicates = 0;
    for (const IOFaultRecord& record : faulty.injector->GetLog()) {
        EXPECT_TRUE(record.delivered);
        lateAfterCancel += record.kind == kFaultLateAfterCancel;
        duplicates += record.kind == kFaultDuplicate;
    }
    EXPECT_GT(lateAfterCancel, 0);
    EXPECT_GT(duplicates, 0);
    RecordProperty("cancelled", cancelled);
    Release(source);
}

}  // namespace
