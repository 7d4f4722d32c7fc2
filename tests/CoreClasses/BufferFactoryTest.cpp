#include "Tarvos/BufferFactory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Support/ThreadGroup.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;
using TarvosTest::FillPattern;
using TarvosTest::FirstPatternMismatch;

namespace {

enum class Kind { kHeap, kPhysMem };

std::string KindName(const testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::kHeap ? "Heap" : "PhysMem";
}

BufferFactory* NewFactory(Kind kind) {
    if (kind == Kind::kHeap) {
        return new BufferFactoryHeap();
    }
    return new BufferFactoryPhysMem();
}

class BufferFactoryTest : public testing::TestWithParam<Kind> {
  protected:
    void SetUp() override { factory = NewFactory(GetParam()); }
    void TearDown() override {
        if (factory != nullptr) {
            factory->DecRef(TARVOS_CALL_SITE);
        }
    }
    void ExpectCounts(uint32_t free, uint32_t inUse) {
        EXPECT_EQ(factory->GetNumberOfBuffersFree(), free);
        EXPECT_EQ(factory->GetNumberOfBuffersInUse(), inUse);
        EXPECT_EQ(factory->GetTotalNumberOfBuffers(), free + inUse);
    }
    // Takes every free buffer, then gives them all back in the order taken.
    std::vector<Buffer*> TakeAll() {
        std::vector<Buffer*> taken;
        while (Buffer* buffer = factory->GetBufferFromFactory()) {
            taken.push_back(buffer);
        }
        return taken;
    }
    void ReturnAll(const std::vector<Buffer*>& taken) {
        for (Buffer* buffer : taken) {
            EXPECT_TRUE(factory->ReturnBufferToFactory(buffer));
        }
    }

    BufferFactory* factory = nullptr;
};

TEST_P(BufferFactoryTest, AnswersNothingBeforeInitialisation) {
    EXPECT_EQ(factory->GetBufferSize(), 0u);
    ExpectCounts(0, 0);
    EXPECT_EQ(factory->GetBufferFromFactory(), nullptr);
    auto* stranger = new HeapBuffer(16);
    EXPECT_FALSE(factory->ReturnBufferToFactory(stranger));
    stranger->DecRef(TARVOS_CALL_SITE);
}

TEST_P(BufferFactoryTest, MakesTheMaximumOfFreeBuffers) {
    ASSERT_TRUE(factory->Initialize(4096, 2, 8, 0));
    EXPECT_EQ(factory->GetBufferSize(), 4096u);
    ExpectCounts(8, 0);
    const std::vector<Buffer*> taken = TakeAll();
    ASSERT_EQ(taken.size(), 8u);
    for (Buffer* buffer : taken) {
        EXPECT_EQ(buffer->GetSize(), 4096u);
        EXPECT_EQ(buffer->GetRefCount(), 2) << "the factory's own reference and the pool's";
        EXPECT_EQ(buffer->GetAddress(), buffer->GetVirtualAddress());
    }
    ReturnAll(taken);
}

TEST_P(BufferFactoryTest, MaximumIsRaisedToTheMinimum) {
    ASSERT_TRUE(factory->Initialize(4096, 8, 2, 0));
    ExpectCounts(8, 0);
}

TEST_P(BufferFactoryTest, BuffersAreDistinctMemory) {
    ASSERT_TRUE(factory->Initialize(1000, 1, 6, 0));
    const std::vector<Buffer*> taken = TakeAll();
    ASSERT_EQ(taken.size(), 6u);
    for (uint32_t i = 0; i < taken.size(); ++i) {
        FillPattern(taken[i]->GetVirtualAddress(), 1000, 0, i);
    }
    for (uint32_t i = 0; i < taken.size(); ++i) {
        EXPECT_EQ(FirstPatternMismatch(taken[i]->GetVirtualAddress(), 1000, 0, i), 1000u) << "buffer " << i;
    }
    ReturnAll(taken);
}

TEST_P(BufferFactoryTest, TakingAndReturningMoveOneBuffer) {
    ASSERT_TRUE(factory->Initialize(4096, 2, 8, 0));
    Buffer* buffer = factory->GetBufferFromFactory();
    ASSERT_NE(buffer, nullptr);
    ExpectCounts(7, 1);
    EXPECT_TRUE(factory->ReturnBufferToFactory(buffer));
    ExpectCounts(8, 0);
    EXPECT_FALSE(factory->ReturnBufferToFactory(buffer));
    EXPECT_FALSE(factory->ReturnBufferToFactory(nullptr));
    ExpectCounts(8, 0);
    EXPECT_EQ(buffer->GetRefCount(), 2);
}

TEST_P(BufferFactoryTest, TheBufferReturnedLastIsTakenNext) {
    ASSERT_TRUE(factory->Initialize(512, 1, 4, 0));
    Buffer* first = factory->GetBufferFromFactory();
    Buffer* second = factory->GetBufferFromFactory();
    ASSERT_NE(first, second);
    ASSERT_TRUE(factory->ReturnBufferToFactory(first));
    ASSERT_TRUE(factory->ReturnBufferToFactory(second));
    EXPECT_EQ(factory->GetBufferFromFactory(), second);
    EXPECT_EQ(factory->GetBufferFromFactory(), first);
    ASSERT_TRUE(factory->ReturnBufferToFactory(first));
    EXPECT_EQ(factory->GetBufferFromFactory(), first);
    EXPECT_TRUE(factory->ReturnBufferToFactory(first));
    EXPECT_TRUE(factory->ReturnBufferToFactory(second));
    ExpectCounts(4, 0);
}

TEST_P(BufferFactoryTest, ABufferFromAnotherFactoryCannotBeReturned) {
    ASSERT_TRUE(factory->Initialize(512, 1, 2, 0));
    BufferFactory* other = NewFactory(GetParam());
    ASSERT_TRUE(other->Initialize(512, 1, 2, 0));
    Buffer* foreign = other->GetBufferFromFactory();
    EXPECT_FALSE(factory->ReturnBufferToFactory(foreign));
    ExpectCounts(2, 0);
    EXPECT_TRUE(other->ReturnBufferToFactory(foreign));
    other->DecRef(TARVOS_CALL_SITE);
}

TEST_P(BufferFactoryTest, BufferSizeZeroIsRefused) {
    EXPECT_FALSE(factory->Initialize(0, 1, 4, 0));
    EXPECT_EQ(factory->GetBufferSize(), 0u);
    ExpectCounts(0, 0);
    EXPECT_TRUE(factory->Initialize(256, 1, 4, 0)) << "the refusal fixed nothing";
}

TEST_P(BufferFactoryTest, ASecondInitialisationCannotChangeTheSize) {
    ASSERT_TRUE(factory->Initialize(4096, 1, 4, 0));
    EXPECT_FALSE(factory->Initialize(8192, 1, 4, 0));
    EXPECT_EQ(factory->GetBufferSize(), 4096u);
    ExpectCounts(4, 0);
    const std::vector<Buffer*> taken = TakeAll();
    for (Buffer* buffer : taken) {
        EXPECT_EQ(buffer->GetSize(), 4096u);
    }
    ReturnAll(taken);
}

TEST_P(BufferFactoryTest, ASecondInitialisationTopsUpOnlyToThePoolLimit) {
    ASSERT_TRUE(factory->Initialize(1024, 1, 4, 0));
    Buffer* held = factory->GetBufferFromFactory();
    const bool second = factory->Initialize(1024, 1, 8, 0);
    // The stock was full: the heap factory counts what it made and succeeds, the physical-memory one
    // fails at the first window the pool refuses. Either way the earlier stock stays as it was.
    EXPECT_EQ(second, GetParam() == Kind::kHeap);
    ExpectCounts(3, 1);
    EXPECT_EQ(held->GetRefCount(), 2);
    EXPECT_TRUE(factory->ReturnBufferToFactory(held));
    ExpectCounts(4, 0);
}

TEST_P(BufferFactoryTest, ConcurrentUsersNeverShareABuffer) {
    constexpr uint32_t kBuffers = 8;
    constexpr uint32_t kBufferSize = 256;
    ASSERT_TRUE(factory->Initialize(kBufferSize, kBuffers, kBuffers, 0));
    std::atomic<int> wrongContent{0};
    std::atomic<int> refusedReturns{0};
    std::atomic<int> emptyHanded{0};
    TarvosTest::RunOnThreads(6, [&](int thread) {
        for (int n = 0; n < 3000; ++n) {
            Buffer* held[2] = {factory->GetBufferFromFactory(), factory->GetBufferFromFactory()};
            for (uint32_t k = 0; k < 2; ++k) {
                if (held[k] == nullptr) {
                    ++emptyHanded;
                    continue;
                }
                FillPattern(held[k]->GetVirtualAddress(), kBufferSize, n, thread * 2 + k);
            }
            for (uint32_t k = 0; k < 2; ++k) {
                if (held[k] == nullptr) {
                    continue;
                }
                // Another holder of the same buffer would have written its own pattern over ours.
                if (FirstPatternMismatch(held[k]->GetVirtualAddress(), kBufferSize, n, thread * 2 + k) !=
                    kBufferSize) {
                    ++wrongContent;
                }
                if (!factory->ReturnBufferToFactory(held[k])) {
                    ++refusedReturns;
                }
            }
        }
    });
    EXPECT_EQ(wrongContent.load(), 0);
    EXPECT_EQ(refusedReturns.load(), 0);
    ExpectCounts(kBuffers, 0);
    const std::vector<Buffer*> taken = TakeAll();
    EXPECT_EQ(std::set<Buffer*>(taken.begin(), taken.end()).size(), kBuffers);
    for (Buffer* buffer : taken) {
        EXPECT_EQ(buffer->GetRefCount(), 2);
    }
    ReturnAll(taken);
    RecordProperty("EmptyHanded", emptyHanded.load());
}

INSTANTIATE_TEST_SUITE_P(Factories, BufferFactoryTest, testing::Values(Kind::kHeap, Kind::kPhysMem),
                         KindName);

TEST(BufferFactoryHeapTest, NoBuffersWantedIsAFailure) {
    auto* factory = new BufferFactoryHeap();
    EXPECT_FALSE(factory->Initialize(4096, 0, 0, 0));
    EXPECT_EQ(factory->GetTotalNumberOfBuffers(), 0u);
    factory->DecRef(TARVOS_CALL_SITE);
}

TEST(BufferFactoryPhysMemTest, NoBuffersWantedIsASuccess) {
    auto* factory = new BufferFactoryPhysMem();
    EXPECT_TRUE(factory->Initialize(4096, 0, 0, 0));
    EXPECT_EQ(factory->GetTotalNumberOfBuffers(), 0u);
    EXPECT_EQ(factory->GetBufferSize(), 4096u);
    factory->DecRef(TARVOS_CALL_SITE);
}

TEST(BufferFactoryPhysMemTest, WindowsCoverOneLockedPageAlignedChunk) {
    const uint32_t page = PhysMemInterface::GetPageSize();
    auto* factory = new BufferFactoryPhysMem();
    ASSERT_TRUE(factory->Initialize(page, 1, 8, 0));
    std::vector<Buffer*> taken;
    while (Buffer* buffer = factory->GetBufferFromFactory()) {
        taken.push_back(buffer);
    }
    ASSERT_EQ(taken.size(), 8u);
    std::sort(taken.begin(), taken.end(),
              [](Buffer* a, Buffer* b) { return a->GetAddress() < b->GetAddress(); });
    auto* list = new BufferList(8);
    for (Buffer* buffer : taken) {
        ASSERT_TRUE(list->AddBuffer(buffer, false));
    }
    uint32_t pages = 0, contiguous = 0;
    void* token = list->LockAllBuffers(true, &pages, &contiguous);
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(pages, 8u);
    EXPECT_EQ(contiguous, 8 * page) << "all windows are cut from one chunk";
    list->UnlockAllBuffers(token);
    list->DecRef(TARVOS_CALL_SITE);

    Buffer* chunk = static_cast<BufferPartOfBuffer*>(taken[0])->GetParent();
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->GetAddress(), taken[0]->GetAddress());
    EXPECT_EQ(chunk->GetSize(), 8 * page);
    EXPECT_EQ(chunk->GetLockState(), Buffer::kLockStateLocked) << "a chunk stays locked while it exists";
    EXPECT_EQ(chunk->GetRefCount(), 9) << "the chunk list and each of the 8 windows";
    for (Buffer* buffer : taken) {
        EXPECT_TRUE(factory->ReturnBufferToFactory(buffer));
    }
    factory->DecRef(TARVOS_CALL_SITE);
}

TEST(BufferFactoryPhysMemTest, AStockBeyondThirtyTwoBitsIsRefusedUntouched) {
    auto* factory = new BufferFactoryPhysMem();
    EXPECT_FALSE(factory->Initialize(65536, 1, 65537, 0));
    EXPECT_FALSE(factory->Initialize(0x80000000u, 2, 2, 0));
    EXPECT_EQ(factory->GetBufferSize(), 0u) << "nothing was fixed";
    EXPECT_EQ(factory->GetTotalNumberOfBuffers(), 0u);
    EXPECT_TRUE(factory->Initialize(65536, 1, 2, 0));
    EXPECT_EQ(factory->GetTotalNumberOfBuffers(), 2u);
    factory->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
