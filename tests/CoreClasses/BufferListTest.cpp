#include "Tarvos/BufferList.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CoreClasses/BufferArray.h"
#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Support/RecordingBuffer.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;
using TarvosTest::EventLog;
using TarvosTest::LockCountOf;
using TarvosTest::RecordingBuffer;

namespace {

// A list over recording buffers cut from one block of memory; each test says where the buffers lie.
class BufferListTest : public testing::Test {
  protected:
    void TearDown() override {
        if (list != nullptr) {
            list->DecRef(TARVOS_CALL_SITE);
        }
        for (auto* buffer : buffers) {
            EXPECT_EQ(buffer->GetRefCount(), 1) << "the list released its reference";
            buffer->DecRef(TARVOS_CALL_SITE);
        }
    }
    RecordingBuffer* Make(uint32_t offset, uint32_t size, const std::string& name) {
        auto* buffer =
            new RecordingBuffer(offset == kNoMemory ? nullptr : memory.data() + offset, size, name, &log);
        buffers.push_back(buffer);
        return buffer;
    }
    // A list of buffers at the given offsets and sizes, named A, B, C, ...
    void MakeList(const std::vector<std::pair<uint32_t, uint32_t>>& layout) {
        list = new BufferList();
        for (const auto& [offset, size] : layout) {
            ASSERT_TRUE(
                list->AddBuffer(Make(offset, size, std::string(1, char('A' + buffers.size()))), false));
        }
    }
    std::vector<int32_t> LockCounts() {
        std::vector<int32_t> counts;
        for (auto* buffer : buffers) {
            counts.push_back(buffer->LockCount());
        }
        return counts;
    }
    uint8_t* At(uint32_t offset) { return memory.data() + offset; }

    static constexpr uint32_t kNoMemory = 0xFFFFFFFFu;
    std::vector<uint8_t> memory = std::vector<uint8_t>(1024);
    std::vector<RecordingBuffer*> buffers;
    EventLog log;
    BufferList* list = nullptr;
    uint32_t pages = 77;
    uint32_t contiguous = 77;
};

TEST_F(BufferListTest, HoldsEachBufferOnce) {
    list = new BufferList();
    auto* a = Make(0, 10, "A");
    EXPECT_TRUE(list->AddBuffer(a, false));
    EXPECT_EQ(a->GetRefCount(), 2);
    EXPECT_FALSE(list->AddBuffer(a, false));
    EXPECT_FALSE(list->AddBuffer(a, true));
    EXPECT_EQ(a->GetRefCount(), 2);
    EXPECT_FALSE(list->AddBuffer(nullptr, false));
    EXPECT_EQ(list->GetNumberOfBuffers(), 1u);
    EXPECT_EQ(list->GetBuffer(0), a);
    EXPECT_EQ(list->GetBuffer(1), nullptr);
}

TEST_F(BufferListTest, AdoptedReferenceIsReleasedWithTheList) {
    auto* a = Make(0, 10, "A");
    a->AddRef(TARVOS_CALL_SITE);  // the reference the list will take over
    list = new BufferList(a, true, 4);
    EXPECT_EQ(a->GetRefCount(), 2);
    EXPECT_EQ(list->GetNumberOfBuffers(), 1u);
    auto* empty = new BufferList(nullptr, false, 1);
    EXPECT_EQ(empty->GetNumberOfBuffers(), 0u);
    empty->DecRef(TARVOS_CALL_SITE);
}

TEST_F(BufferListTest, GrowsPastItsInitialCapacityInOrder) {
    list = new BufferList(1);
    for (uint32_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(list->AddBuffer(Make(i * 10, 10, "x"), false));
    }
    ASSERT_EQ(list->GetNumberOfBuffers(), 20u);
    for (uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(list->GetBuffer(i), buffers[i]);
    }
    EXPECT_EQ(list->GetTotalSizeOfBuffers(), 200u);
}

TEST_F(BufferListTest, TotalSizeIsCachedUntilTheNextAdd) {
    MakeList({{0, 10}, {10, 20}});
    EXPECT_EQ(list->GetTotalSizeOfBuffers(), 30u);
    const int queries = buffers[0]->sizeQueries + buffers[1]->sizeQueries;
    EXPECT_EQ(list->GetTotalSizeOfBuffers(), 30u);
    EXPECT_EQ(buffers[0]->sizeQueries + buffers[1]->sizeQueries, queries) << "no second walk";
    ASSERT_TRUE(list->AddBuffer(Make(30, 5, "C"), false));
    EXPECT_EQ(list->GetTotalSizeOfBuffers(), 35u);
}

TEST_F(BufferListTest, TotalSizeNeverPassesThirtyTwoBits) {
    list = new BufferList();
    auto* big = Make(kNoMemory, 0x80000000u, "A");
    auto* almost = Make(kNoMemory, 0x7FFFFFFFu, "B");
    auto* tooMuch = Make(kNoMemory, 0x80000000u, "C");
    ASSERT_TRUE(list->AddBuffer(big, false));
    ASSERT_TRUE(list->AddBuffer(almost, false));
    EXPECT_EQ(list->GetTotalSizeOfBuffers(), 0xFFFFFFFFu);
    EXPECT_FALSE(list->AddBuffer(tooMuch, false));
    EXPECT_EQ(tooMuch->GetRefCount(), 1);
    EXPECT_EQ(list->GetNumberOfBuffers(), 2u);
    EXPECT_EQ(list->GetTotalSizeOfBuffers(), 0xFFFFFFFFu);
    uint32_t inBuffer = 0, left = 0;
    EXPECT_EQ(list->GetBufferAtOffset(0xFFFFFFFEu, &inBuffer, &left), almost);
    EXPECT_EQ(inBuffer, 0x7FFFFFFEu);
    EXPECT_EQ(left, 1u);
}

TEST_F(BufferListTest, FindsTheBufferHoldingAnOffset) {
    MakeList({{0, 10}, {10, 0}, {100, 20}});
    uint32_t inBuffer = 77, left = 77;
    EXPECT_EQ(list->GetBufferAtOffset(9, &inBuffer, &left), buffers[0]);
    EXPECT_EQ(inBuffer, 9u);
    EXPECT_EQ(left, 1u);
    EXPECT_EQ(list->GetBufferAtOffset(10, &inBuffer, &left), buffers[2]) << "an empty buffer is never chosen";
    EXPECT_EQ(inBuffer, 0u);
    EXPECT_EQ(left, 20u);
    EXPECT_EQ(list->GetBufferAtOffset(29, nullptr, &left), buffers[2]);
    EXPECT_EQ(left, 1u);
    inBuffer = left = 77;
    EXPECT_EQ(list->GetBufferAtOffset(30, &inBuffer, &left), nullptr);
    EXPECT_EQ(inBuffer, 77u);
    EXPECT_EQ(left, 77u);
}

TEST_F(BufferListTest, AdjacentBuffersLockAsOneContiguousBlock) {
    MakeList({{0, 100}, {100, 50}, {150, 6}});
    void* token = list->LockAllBuffers(false, &pages, &contiguous);
    EXPECT_EQ(token, At(0));
    EXPECT_EQ(contiguous, 156u);
    EXPECT_EQ(pages, 0u) << "pages are only counted on request";
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{1, 1, 1}));
    log.clear();
    list->UnlockAllBuffers(token);
    EXPECT_EQ(log, (EventLog{"Unlock C", "Unlock B", "Unlock A"}));
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{0, 0, 0}));
    log.clear();
    list->UnlockAllBuffers(token);
    EXPECT_TRUE(log.empty()) << "the token is spent";
}

TEST_F(BufferListTest, AGapMakesTheBlockNonContiguous) {
    MakeList({{0, 100}, {200, 50}, {250, 50}});
    void* token = list->LockAllBuffers(false, nullptr, &contiguous);
    EXPECT_EQ(token, At(0));
    EXPECT_EQ(contiguous, 0u);
    list->UnlockAllBuffers(token);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(BufferListTest, EmptyListLocksNothing) {
    list = new BufferList();
    EXPECT_EQ(list->LockAllBuffers(true, &pages, &contiguous), nullptr);
    EXPECT_EQ(pages, 0u);
    EXPECT_EQ(contiguous, 0u);
}

TEST_F(BufferListTest, FailureUnlocksEveryBufferItLockedInListOrder) {
    MakeList({{0, 10}, {10, 10}, {kNoMemory, 10}, {30, 10}});
    log.clear();
    EXPECT_EQ(list->LockAllBuffers(false, &pages, &contiguous), nullptr);
    EXPECT_EQ(log, (EventLog{"Lock A", "Lock B", "Lock C", "Unlock A", "Unlock B", "Unlock C"}));
    EXPECT_EQ(pages, 0u);
    EXPECT_EQ(contiguous, 0u);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{0, 0, 0, 0}));
}

TEST_F(BufferListTest, ALockThatDoesNotCountIsUndoneToo) {
    MakeList({{0, 10}, {10, 10}, {20, 10}});
    buffers[1]->refuseLock = true;
    log.clear();
    EXPECT_EQ(list->LockAllBuffers(false, &pages, &contiguous), nullptr);
    EXPECT_EQ(log, (EventLog{"Lock A", "Lock B", "Unlock A", "Unlock B"}));
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(BufferListTest, AnEmptyBufferFailsTheLock) {
    MakeList({{0, 10}, {10, 0}});
    EXPECT_EQ(list->LockAllBuffers(false, &pages, &contiguous), nullptr);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{0, 0}));
}

TEST_F(BufferListTest, CountingPagesRefusesMemoryThatIsNotWholePages) {
    MakeList({{0, 100}, {100, 100}});
    void* token = list->LockAllBuffers(false, nullptr, nullptr);
    ASSERT_EQ(token, At(0));
    EXPECT_EQ(list->LockAllBuffers(true, &pages, &contiguous), nullptr);
    EXPECT_EQ(pages, 0u);
    EXPECT_EQ(contiguous, 0u);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{1, 1})) << "the failed attempt undid its own locks only";
    list->UnlockAllBuffers(token);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{0, 0})) << "a failure leaves the earlier token in place";
}

TEST_F(BufferListTest, LocksNestAndEachUnlockUndoesOne) {
    MakeList({{0, 10}, {10, 10}});
    void* first = list->LockAllBuffers(false, nullptr, nullptr);
    void* second = list->LockAllBuffers(false, nullptr, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{2, 2}));
    list->UnlockAllBuffers(nullptr);
    list->UnlockAllBuffers(At(10));
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{2, 2})) << "only the stored token unlocks";
    list->UnlockAllBuffers(first);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{1, 1}));
    list->UnlockAllBuffers(second);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{0, 0})) << "two locks need two unlocks";
    list->UnlockAllBuffers(first);
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{0, 0})) << "an unlock without a lock does nothing";
}

// Two requests may use one list at once (a new one started from the callback of the last, while the
// engine still lets go of it): locks and unlocks from several threads must balance.
TEST(BufferListLocking, ConcurrentLocksAndUnlocksBalance) {
    auto* first = new HeapBuffer(64);
    auto* second = new HeapBuffer(64);
    auto* shared = new BufferList(first, true, 2);
    ASSERT_TRUE(shared->AddBuffer(second, true));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared] {
            for (int i = 0; i < 5000; ++i) {
                void* token = shared->LockAllBuffers(false, nullptr, nullptr);
                ASSERT_NE(token, nullptr);
                shared->UnlockAllBuffers(token);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(TarvosTest::LockCountOf(shared->GetBuffer(0)), 0);
    EXPECT_EQ(TarvosTest::LockCountOf(shared->GetBuffer(1)), 0);
    shared->DecRef(TARVOS_CALL_SITE);
}

TEST_F(BufferListTest, DestructionReleasesButDoesNotUnlock) {
    MakeList({{0, 10}, {10, 10}});
    ASSERT_NE(list->LockAllBuffers(false, nullptr, nullptr), nullptr);
    list->DecRef(TARVOS_CALL_SITE);
    list = nullptr;
    EXPECT_EQ(LockCounts(), (std::vector<int32_t>{1, 1}));
    for (auto* buffer : buffers) {
        buffer->Unlock();
    }
}

TEST(BufferListPagesTest, WholePageBuffersReportTheirPages) {
    const uint32_t page = PhysMemInterface::GetPageSize();
    ASSERT_GT(page, 0u);
    Buffer* chunk = PhysMemInterface::Allocate(3 * page);
    ASSERT_NE(chunk, nullptr);
    auto* base = static_cast<uint8_t*>(chunk->GetVirtualAddress());
    auto* list = new BufferList(3);
    ASSERT_TRUE(list->AddBuffer(new BufferPartOfBuffer(base, page, chunk), true));
    ASSERT_TRUE(list->AddBuffer(new BufferPartOfBuffer(base + page, 2 * page, chunk), true));
    uint32_t pages = 0, contiguous = 0;
    void* token = list->LockAllBuffers(true, &pages, &contiguous);
    EXPECT_EQ(token, base);
    EXPECT_EQ(pages, 3u);
    EXPECT_EQ(contiguous, 3 * page);
    list->UnlockAllBuffers(token);

    auto* unaligned = new BufferPartOfBuffer(base + 16, page, chunk);
    ASSERT_TRUE(list->AddBuffer(unaligned, false));
    EXPECT_EQ(list->LockAllBuffers(true, &pages, &contiguous), nullptr);
    EXPECT_EQ(LockCountOf(unaligned), 0);
    EXPECT_EQ(LockCountOf(list->GetBuffer(0)), 0);
    unaligned->DecRef(TARVOS_CALL_SITE);
    list->DecRef(TARVOS_CALL_SITE);
    EXPECT_EQ(chunk->GetRefCount(), 1) << "every window released its parent";
    chunk->DecRef(TARVOS_CALL_SITE);
}

TEST(BufferArrayTest, GrowingPastTheMaximumThrowsLengthError) {
    EXPECT_EQ(BufferArray::kMaximumCount, 0x3FFFFFFFu);
    std::vector<uint8_t> memory(8);
    std::vector<Buffer*> held;
    {
        BufferArray array(1, 3);
        for (int i = 0; i < 3; ++i) {
            auto* buffer = new HostBuffer(memory.data(), 8);
            held.push_back(buffer);
            buffer->AddRef(TARVOS_CALL_SITE);  // the array's reference
            array.Append(buffer);
        }
        try {
            array.Append(held[0]);
            FAIL() << "no length error";
        } catch (const std::length_error& error) {
            EXPECT_EQ(std::string(error.what()), "vector<T> too long");
        }
        EXPECT_EQ(array.Count(), 3u);
        EXPECT_THROW(BufferArray(4, 3), std::length_error);
    }
    for (auto* buffer : held) {
        EXPECT_EQ(buffer->GetRefCount(), 1) << "the array released its references";
        buffer->DecRef(TARVOS_CALL_SITE);
    }
}

TEST(BufferArrayTest, ReservingPastTheMaximumThrowsBeforeAllocating) {
    try {
        auto* list = new BufferList(0x40000000u);
        list->DecRef(TARVOS_CALL_SITE);
        FAIL() << "no length error";
    } catch (const std::length_error& error) {
        EXPECT_EQ(std::string(error.what()), "vector<T> too long");
    }
}

}  // namespace
