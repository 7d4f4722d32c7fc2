// Allocation failures: for N = 1, 2, ... the Nth threading object (critical section, semaphore,
// counter, thread) or the Nth whole-page allocation made during a round of cached and uncached work
// fails, once or from then on, until a round runs with no failure left to hit. The library may refuse
// the work (a constructor throws std::bad_alloc, an initialisation or a call reports failure), but it
// must never crash, hang, report success with wrong bytes or keep anything once the round is over.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "Allocation/AllocationHooks.h"
#include "Cache/CacheBlockList.h"
#include "CoreClasses/CallSite.h"
#include "OSServices/Linux/NativeFileSourcePosix.h"
#include "OSServices/NativeIOEngine.h"
#include "Support/BufferChecks.h"
#include "Support/CacheTestAccess.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;
using namespace TarvosTest;

namespace {

constexpr uint32_t kFilePages = 16;
constexpr uint32_t kMaxRounds = 3000;

template <typename T>
void Release(T*& object) {
    if (object != nullptr) {
        object->DecRef(TARVOS_CALL_SITE);
        object = nullptr;
    }
}

// What one round saw.
struct RoundOutcome {
    int refusals = 0;  // constructors that threw, initialisations or calls that failed
    int successes = 0;
    std::string wrong;  // the first success with wrong bytes or count
};

class AllocationFailureTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "/tarvos-alloc-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(::mkdtemp(name.data()), nullptr);
        dir = name.data();
        path = dir + "/f";
        std::vector<uint8_t> bytes(kFilePages * Page());
        FillPattern(bytes.data(), static_cast<uint32_t>(bytes.size()), 0);
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        std::fclose(file);
    }
    void TearDown() override {
        Hooks().threading->Disarm();
        Hooks().memory->Disarm();
        std::remove(path.c_str());
        ::rmdir(dir.c_str());
    }

    static uint32_t Page() { return PhysMemInterface::GetPageSize(); }

    // Runs step, counting a thrown std::bad_alloc as a refusal. False when it threw.
    static bool Attempt(RoundOutcome* outcome, const std::function<void()>& step) {
        try {
            step();
            return true;
        } catch (const std::bad_alloc&) {
            ++outcome->refusals;
            return false;
        }
    }

    // A synchronous read of [offset, offset + length) into fresh heap memory, checked when it succeeds.
    static void CheckedRead(RoundOutcome* outcome, FileSource* source, uint64_t offset, uint32_t length,
                            bool cached) {
        Buffer* buffer = nullptr;
        BufferList* list = nullptr;
        if (!Attempt(outcome,
                     [&] {
                         buffer = cached ? static_cast<Buffer*>(new HeapBuffer(length))
                                         : PhysMemInterface::Allocate(length);
                     }) ||
            buffer == nullptr) {
            ++outcome->refusals;
            return;
        }
        std::memset(buffer->GetAddress(), 0xEE, length);
        uint32_t bytes = 0;
        CacheSource::Result_t result = CacheSource::kResultNone;
        const bool ran = Attempt(outcome, [&] {
            if (cached) {
                result = source->Read(offset, buffer, &bytes);
            } else {
                list = new BufferList(buffer, false);
                result = source->ReadWithList(offset, list, &bytes);
            }
        });
        if (ran) {
            if (result == CacheSource::kResultSuccess) {
                ++outcome->successes;
                const uint32_t at = FirstPatternMismatch(buffer->GetAddress(), length, offset);
                if ((bytes != length || at != length) && outcome->wrong.empty()) {
                    outcome->wrong = "read at " + std::to_string(offset) + ": " + std::to_string(bytes) +
                                     " bytes, first wrong byte " + std::to_string(at);
                }
            } else {
                ++outcome->refusals;
            }
        }
        Release(list);
        Release(buffer);
    }

    // One round: a cache over a native file, cached reads over several blocks, a pre-read, a write of
    // the bytes already there, an uncached read; then everything is let go and must come back.
    RoundOutcome Round() {
        RoundOutcome outcome;
        const uint32_t page = Page();
        BufferFactoryPhysMem* factory = nullptr;
        Cache* cache = nullptr;
        NativeFileSourcePosix* source = nullptr;
        bool ready = Attempt(&outcome, [&] { factory = new BufferFactoryPhysMem(); }) &&
                     Attempt(&outcome,
                             [&] {
                                 if (!factory->Initialize(2 * page, 4, 4, 0)) {
                                     ++outcome.refusals;
                                 }
                             }) &&
                     Attempt(&outcome, [&] { cache = new Cache(factory); }) &&
                     Attempt(&outcome, [&] { source = new NativeFileSourcePosix(path.c_str(), engine); });
        if (ready && !source->Open(true, true, false)) {
            ++outcome.refusals;
            ready = false;
        }
        if (ready && !source->UseCache(cache)) {
            ++outcome.refusals;
            ready = false;
        }
        if (ready) {
            CheckedRead(&outcome, source, page / 2, 5 * page, true);
            Attempt(&outcome, [&] { source->PreRead(8 * page, 4 * page, 0); });
            CheckedRead(&outcome, source, 8 * page + 3, 3 * page, true);
            Buffer* page0 = PhysMemInterface::Allocate(page);
            if (page0 != nullptr) {
                FillPattern(page0->GetAddress(), page, 2 * page);
                uint32_t written = 0;
                Attempt(&outcome, [&] {
                    if (source->Write(2 * page, page0, &written) != CacheSource::kResultSuccess) {
                        ++outcome.refusals;
                    }
                });
                Release(page0);
            } else {
                ++outcome.refusals;
            }
            CheckedRead(&outcome, source, page, 3 * page, true);
            CheckedRead(&outcome, source, 4 * page, 2 * page, false);
        }
        // Nothing more may fail: what was made must be let go in full.
        Hooks().threading->Disarm();
        Hooks().memory->Disarm();
        Release(source);
        if (cache != nullptr) {
            EXPECT_TRUE(WaitUntil([&] {
                return CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache) &&
                       cache->GetRefCount() == 1;
            })) << "the cache still holds blocks or references";
        }
        Release(cache);
        if (factory != nullptr) {
            EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers());
        }
        Release(factory);
        EXPECT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }));
        return outcome;
    }

    // Sweeps N = 1, 2, ... with arm(N) before each round until a round runs without the failure firing.
    void Sweep(const std::function<void(uint32_t)>& arm, const std::function<bool()>& fired) {
        const int liveChunks = Hooks().memory->LiveChunks();
        uint32_t n = 1;
        for (; n <= kMaxRounds; ++n) {
            SCOPED_TRACE("failing allocation " + std::to_string(n));
            arm(n);
            const RoundOutcome outcome = Round();
            const bool hit = fired();
            EXPECT_TRUE(outcome.wrong.empty()) << outcome.wrong;
            EXPECT_TRUE(WaitUntil([&] { return Hooks().memory->LiveChunks() == liveChunks; }))
                << "whole-page memory still held";
            if (::testing::Test::HasFailure()) {
                return;
            }
            if (!hit) {
                EXPECT_GT(outcome.successes, 0);
                EXPECT_EQ(outcome.refusals, 0);
                break;
            }
        }
        EXPECT_LT(n, kMaxRounds) << "the round never ran free of the failure";
        RecordProperty("rounds", static_cast<int>(n));
    }

    std::string dir;
    std::string path;
    NativeIOEngine* engine = NativeIOEngine::GetEngine();
};

TEST_F(AllocationFailureTest, NthThreadingObjectFailsOnce) {
    Sweep([](uint32_t n) { Hooks().threading->Arm(n, false); }, [] { return Hooks().threading->Fired(); });
}

TEST_F(AllocationFailureTest, EveryThreadingObjectFromTheNthFails) {
    Sweep([](uint32_t n) { Hooks().threading->Arm(n, true); }, [] { return Hooks().threading->Fired(); });
}

TEST_F(AllocationFailureTest, NthPageAllocationFailsOnce) {
    Sweep([](uint32_t n) { Hooks().memory->Arm(n, false); }, [] { return Hooks().memory->Fired(); });
}

TEST_F(AllocationFailureTest, EveryPageAllocationFromTheNthFails) {
    Sweep([](uint32_t n) { Hooks().memory->Arm(n, true); }, [] { return Hooks().memory->Fired(); });
}

}  // namespace
