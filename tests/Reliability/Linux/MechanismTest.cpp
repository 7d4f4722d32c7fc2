// The two mechanisms side by side: one seeded workload of writes, uncached reads (plain and vectored,
// some past the end) and cached reads at any offset gives the same digest of results, byte counts and
// data on each. And the choice between them: a forced io_uring set-up failure picks the worker
// threads and says why.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "Reliability/ReliabilitySupport.h"

using namespace Tarvos;
using namespace TarvosTest;

namespace {

constexpr uint32_t kFilePages = 32;

// FNV-1a over everything a workload saw.
class Digest {
  public:
    void Add(const void* data, size_t size) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < size; ++i) {
            value = (value ^ bytes[i]) * 1099511628211ull;
        }
    }
    template <typename T>
    void AddValue(T item) {
        Add(&item, sizeof item);
    }
    uint64_t value = 14695981039346656037ull;
};

// Runs the seeded workload on a fresh copy of the file through an engine over the named mechanism.
// Returns false (with a reason) when the mechanism cannot run here.
bool RunWorkload(const std::string& mechanism, uint64_t seed, uint64_t* digestOut, int* operations,
                 std::string* why) {
    TempDir dir;
    FaultyEngine faulty;
    if (dir.path.empty() || !faulty.Start(mechanism)) {
        *why = faulty.reason;
        return false;
    }
    const uint32_t page = Page();
    const std::string path = dir.MakeFile("f", uint64_t{kFilePages} * page - 777, 3);
    auto* factory = new BufferFactoryPhysMem();
    EXPECT_TRUE(factory->Initialize(page, 8, 8, 0));
    auto* cache = new Cache(factory);
    auto* direct = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
    auto* cached = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
    EXPECT_TRUE(direct->Open(true, true, false));
    EXPECT_TRUE(cached->Open(true, false, false));
    EXPECT_TRUE(cached->UseCache(cache));
    std::mt19937_64 random(seed);
    Digest digest;
    *operations = 0;
    for (int i = 0; i < 300; ++i) {
        const uint32_t kind = random() % 4;
        uint32_t bytes = 0;
        CacheSource::Result_t result = CacheSource::kResultNone;
        if (kind == 0) {
            // A write of whole pages with a pattern of its own, then the cached copy forgets the range.
            const uint32_t pages = 1 + random() % 3;
            const uint64_t at = uint64_t{random() % (kFilePages + 2)} * page;
            Buffer* buffer = NewPages(pages);
            FillPattern(buffer->GetAddress(), pages * page, at, static_cast<uint32_t>(random() % 200));
            result = direct->Write(at, buffer, &bytes);
            cache->Invalidate(cached, at, pages * page);
            Release(buffer);
        } else if (kind == 1 || kind == 2) {
            // Uncached reads: one buffer, or two so that the transfer is vectored.
            const uint32_t pages = 1 + random() % 3;
            const uint64_t at = uint64_t{random() % (kFilePages + 4)} * page;
            auto* list = new BufferList(2);
            list->AddBuffer(NewPages(pages, 0), true);
            if (kind == 2) {
                list->AddBuffer(NewPages(1, 0), true);
            }
            result = direct->ReadWithList(at, list, &bytes);
            // Only the bytes reported: what lies beyond them is not defined.
            uint32_t left = std::min(bytes, list->GetTotalSizeOfBuffers());
            for (uint32_t b = 0; b < list->GetNumberOfBuffers() && left > 0; ++b) {
                const uint32_t n = std::min(left, list->GetBuffer(b)->GetSize());
                digest.Add(list->GetBuffer(b)->GetAddress(), n);
                left -= n;
            }
            WaitUntil([&] { return list->GetRefCount() == 1; });
            Release(list);
        } else {
            // Cached reads at any offset and length.
            const uint32_t length = 1 + random() % (3 * page);
            const uint64_t at = random() % (uint64_t{kFilePages + 2} * page);
            Buffer* buffer = new HeapBuffer(length);
            std::memset(buffer->GetAddress(), 0, length);
            result = cached->Read(at, buffer, &bytes);
            digest.Add(buffer->GetAddress(), std::min(bytes, length));
            Release(buffer);
        }
        digest.AddValue(kind);
        digest.AddValue(static_cast<int32_t>(result));
        digest.AddValue(bytes);
        ++*operations;
    }
    EXPECT_TRUE(
        WaitUntil([&] { return CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache); }));
    Release(cached);
    Release(direct);
    EXPECT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; }));
    Release(cache);
    EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers());
    Release(factory);
    EXPECT_TRUE(faulty.injector->GetLog().empty());
    *digestOut = digest.value;
    return true;
}

TEST(MechanismEquivalenceTest, OneSeededWorkloadGivesTheSameDigestOnBothMechanisms) {
    for (uint64_t seed : {1ull, 2ull, 3ull}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        uint64_t uring = 0;
        uint64_t threads = 0;
        int uringOperations = 0;
        int threadsOperations = 0;
        std::string why;
        ASSERT_TRUE(RunWorkload("threads", seed, &threads, &threadsOperations, &why)) << why;
        if (!RunWorkload("uring", seed, &uring, &uringOperations, &why)) {
            GTEST_SKIP() << "io_uring cannot run here: " << why;
        }
        EXPECT_EQ(uringOperations, threadsOperations);
        EXPECT_EQ(uring, threads);
        // The same workload again gives the same digest: the digest depends on nothing but the seed.
        uint64_t again = 0;
        ASSERT_TRUE(RunWorkload("threads", seed, &again, &threadsOperations, &why));
        EXPECT_EQ(again, threads);
    }
}

// The io_uring set-up error the failing maker below reports (EPERM as under a seccomp filter or
// kernel.io_uring_disabled, ENOSYS, ENOMEM).
int forcedSetupError = 0;

std::unique_ptr<IOMechanism> FailingUringMaker(std::string* reason) {
    *reason = std::string("io_uring_queue_init: ") + std::strerror(forcedSetupError);
    return nullptr;
}

class FallbackTest : public testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Errors, FallbackTest, testing::Values(EPERM, ENOSYS, ENOMEM),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == EPERM    ? "EPERM"
                                                : info.param == ENOSYS ? "ENOSYS"
                                                                       : "ENOMEM");
                         });

TEST_P(FallbackTest, FailedUringSetUpChoosesTheWorkerThreadsAndSaysWhy) {
    const std::string cause = std::string("io_uring_queue_init: ") + std::strerror(GetParam());
    forcedSetupError = GetParam();
    std::string reason;

    // No setting: io_uring is tried first, and the reason is why it could not run.
    std::unique_ptr<IOMechanism> chosen = NewIOMechanismChoosing(nullptr, &reason, &FailingUringMaker);
    ASSERT_NE(chosen, nullptr);
    EXPECT_STREQ(chosen->GetName(), "threads");
    EXPECT_EQ(reason, cause);
    // An engine over it runs, reports the fallback and its reason, and transfers.
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.MakeFile("f", 3 * Page(), 4);
    NativeIOEngine engine(std::move(chosen), reason);
    ASSERT_TRUE(engine.IsRunning());
    EXPECT_STREQ(engine.GetMechanismName(), "threads");
    EXPECT_EQ(std::string(engine.GetMechanismReason()), cause);
    auto* source = new PlatformNativeFileSource(path.c_str(), &engine);
    ASSERT_TRUE(source->Open(true, false, false));
    Buffer* buffer = NewPages(3);
    uint32_t bytes = 0;
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 3 * Page());
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), bytes, 0, 4), bytes);
    Release(source);
    EXPECT_TRUE(WaitUntil([&] { return buffer->GetRefCount() == 1; }));
    Release(buffer);

    // Asked for io_uring by name: still the fallback, and the reason names both.
    reason.clear();
    chosen = NewIOMechanismChoosing("uring", &reason, &FailingUringMaker);
    ASSERT_NE(chosen, nullptr);
    EXPECT_STREQ(chosen->GetName(), "threads");
    EXPECT_EQ(reason, "TARVOS_IO_BACKEND=uring, but " + cause);

    // Asked for threads: io_uring is never tried.
    reason.clear();
    chosen = NewIOMechanismChoosing("threads", &reason, &FailingUringMaker);
    ASSERT_NE(chosen, nullptr);
    EXPECT_STREQ(chosen->GetName(), "threads");
    EXPECT_EQ(reason, "TARVOS_IO_BACKEND=threads");
}

TEST(UringChoiceTest, WithoutAForcedFailureUringRunsWhereTheKernelHasIt) {
    std::string reason;
    std::unique_ptr<IOMechanism> uring = NewIOMechanismUring(&reason);
    if (uring == nullptr) {
        GTEST_SKIP() << "io_uring cannot run here: " << reason;
    }
    std::unique_ptr<IOMechanism> chosen = NewIOMechanismFor(nullptr, &reason);
    ASSERT_NE(chosen, nullptr);
    EXPECT_STREQ(chosen->GetName(), "uring");
    EXPECT_EQ(reason, "io_uring available");
    // And wrapped in the injector, an engine still names the real mechanism.
    auto injector = std::make_shared<IOFaultInjector>();
    NativeIOEngine engine(NewFaultInjectingIOMechanism(std::move(chosen), injector), reason);
    EXPECT_STREQ(engine.GetMechanismName(), "uring");
    EXPECT_STREQ(engine.GetMechanismReason(), "io_uring available");
}

}  // namespace
