#include "OSServices/ScatterGatherManager.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;

// The most runs an operation may have here: Linux's IOV_MAX.
constexpr uint32_t kMaxRuns = 1024;

namespace {

class ScatterGatherManagerTest : public testing::Test {
  protected:
    void SetUp() override {
        page = PhysMemInterface::GetPageSize();
        ASSERT_NE(page, 0u);
    }
    void TearDown() override {
        for (BufferList* list : lists) {
            list->DecRef(TARVOS_CALL_SITE);
        }
        for (Buffer* buffer : owned) {
            buffer->DecRef(TARVOS_CALL_SITE);
        }
    }

    // Whole-page memory of pages pages, kept until the end of the test.
    uint8_t* Pages(uint32_t pages) {
        Buffer* buffer = PhysMemInterface::Allocate(pages * page);
        EXPECT_NE(buffer, nullptr);
        owned.push_back(buffer);
        return static_cast<uint8_t*>(buffer->GetAddress());
    }
    // A window onto memory from Pages, owned by the test.
    Buffer* Window(uint8_t* address, uint32_t size) {
        Buffer* window = new BufferPartOfBuffer(address, size, nullptr);
        owned.push_back(window);
        return window;
    }
    BufferList* ListOf(const std::vector<Buffer*>& buffers) {
        auto* list = new BufferList();
        for (Buffer* buffer : buffers) {
            EXPECT_TRUE(list->AddBuffer(buffer, false));
        }
        lists.push_back(list);
        return list;
    }
    static uint64_t AddressOf(const uint8_t* address) { return reinterpret_cast<uintptr_t>(address); }

    uint32_t page = 0;
    std::vector<Buffer*> owned;
    std::vector<BufferList*> lists;
};

TEST_F(ScatterGatherManagerTest, OneBufferOfThreePagesIsContiguous) {
    uint8_t* memory = Pages(3);
    Buffer* buffer = Window(memory, 3 * page);
    BufferList* list = ListOf({buffer});
    ScatterGatherManager manager;
    ASSERT_TRUE(manager.StartUsingBufferList(list, kMaxRuns));
    EXPECT_EQ(list->GetRefCount(), 2);
    EXPECT_EQ(TarvosTest::LockCountOf(buffer), 1);

    uint32_t size = 0;
    uint64_t* segments = manager.GetSegmentArray(&size);
    ASSERT_NE(segments, nullptr);
    EXPECT_EQ(size, 3 * page);
    EXPECT_EQ(segments[0], AddressOf(memory));
    EXPECT_EQ(segments[1], AddressOf(memory + page));
    EXPECT_EQ(segments[2], AddressOf(memory + 2 * page));
    EXPECT_EQ(segments[3], 0u);
    EXPECT_EQ(manager.GetTotalSize(), 3 * page);
    uint32_t contiguous = 0;
    EXPECT_EQ(manager.GetContiguousAddress(&contiguous), memory);
    EXPECT_EQ(contiguous, 3 * page);
    uint32_t count = 0;
    const IORun* vecs = manager.GetRunArray(&count);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(vecs[0].base, memory);
    EXPECT_EQ(vecs[0].length, 3 * page);

    EXPECT_TRUE(manager.StopUsingBufferList());
    EXPECT_EQ(list->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(buffer), 0);
}

TEST_F(ScatterGatherManagerTest, SeparateBuffersGivePagesInListOrderAndOneRunEach) {
    uint8_t* memory = Pages(5);
    // Pages 3-4 first, then page 0: neither contiguous nor in address order.
    Buffer* first = Window(memory + 3 * page, 2 * page);
    Buffer* second = Window(memory, page);
    BufferList* list = ListOf({first, second});
    ScatterGatherManager manager;
    ASSERT_TRUE(manager.StartUsingBufferList(list, kMaxRuns));
    uint32_t size = 0;
    uint64_t* segments = manager.GetSegmentArray(&size);
    ASSERT_NE(segments, nullptr);
    EXPECT_EQ(size, 3 * page);
    EXPECT_EQ(segments[0], AddressOf(memory + 3 * page));
    EXPECT_EQ(segments[1], AddressOf(memory + 4 * page));
    EXPECT_EQ(segments[2], AddressOf(memory));
    EXPECT_EQ(segments[3], 0u);
    uint32_t contiguous = 1;
    EXPECT_EQ(manager.GetContiguousAddress(&contiguous), nullptr);
    EXPECT_EQ(contiguous, 0u);
    uint32_t count = 0;
    const IORun* vecs = manager.GetRunArray(&count);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(vecs[0].base, memory + 3 * page);
    EXPECT_EQ(vecs[0].length, 2 * page);
    EXPECT_EQ(vecs[1].base, memory);
    EXPECT_EQ(vecs[1].length, page);
}

TEST_F(ScatterGatherManagerTest, BuffersBackToBackAreOneContiguousRun) {
    uint8_t* memory = Pages(3);
    BufferList* list = ListOf({Window(memory, page), Window(memory + page, 2 * page)});
    ScatterGatherManager manager;
    ASSERT_TRUE(manager.StartUsingBufferList(list, kMaxRuns));
    uint32_t contiguous = 0;
    EXPECT_EQ(manager.GetContiguousAddress(&contiguous), memory);
    EXPECT_EQ(contiguous, 3 * page);
    uint32_t count = 0;
    const IORun* vecs = manager.GetRunArray(&count);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(vecs[0].length, 3 * page);
}

TEST_F(ScatterGatherManagerTest, RefusesPartialPagesAndUnalignedBuffersLeavingLocksAsTheyWere) {
    uint8_t* memory = Pages(4);
    Buffer* good = Window(memory + 2 * page, page);
    Buffer* halfPage = Window(memory, page + page / 2);
    Buffer* unaligned = Window(memory + 64, page);
    Buffer* heap = new HeapBuffer(page + 16);  // never whole pages, wherever the heap puts it
    owned.push_back(heap);
    ScatterGatherManager manager;
    for (Buffer* bad : {halfPage, unaligned, heap}) {
        BufferList* list = ListOf({good, bad});
        EXPECT_FALSE(manager.StartUsingBufferList(list, kMaxRuns));
        EXPECT_EQ(list->GetRefCount(), 1);
        EXPECT_EQ(TarvosTest::LockCountOf(good), 0);
        EXPECT_EQ(TarvosTest::LockCountOf(bad), 0);
        uint32_t size = 1;
        EXPECT_EQ(manager.GetSegmentArray(&size), nullptr);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(manager.GetTotalSize(), 0u);
    }
    EXPECT_FALSE(manager.StartUsingBufferList(nullptr, kMaxRuns));
    EXPECT_FALSE(manager.StartUsingBufferList(ListOf({}), kMaxRuns));
    // Still usable after the refusals.
    EXPECT_TRUE(manager.StartUsingBufferList(ListOf({good}), kMaxRuns));
}

TEST_F(ScatterGatherManagerTest, SecondStartIsRefusedAndTheFirstListStaysInUse) {
    uint8_t* memory = Pages(2);
    Buffer* a = Window(memory, page);
    Buffer* b = Window(memory + page, page);
    BufferList* first = ListOf({a});
    BufferList* second = ListOf({b});
    ScatterGatherManager manager;
    ASSERT_TRUE(manager.StartUsingBufferList(first, kMaxRuns));
    EXPECT_FALSE(manager.StartUsingBufferList(second, kMaxRuns));
    EXPECT_EQ(manager.GetList(), first);
    EXPECT_EQ(second->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(b), 0);
    EXPECT_EQ(TarvosTest::LockCountOf(a), 1);
    uint32_t size = 0;
    EXPECT_EQ(manager.GetSegmentArray(&size)[0], AddressOf(memory));
    EXPECT_EQ(size, page);
}

TEST_F(ScatterGatherManagerTest, StopWhenIdleDoesNothingAndStopClearsEverything) {
    ScatterGatherManager manager;
    EXPECT_TRUE(manager.StopUsingBufferList());
    uint8_t* memory = Pages(1);
    BufferList* list = ListOf({Window(memory, page)});
    ASSERT_TRUE(manager.StartUsingBufferList(list, kMaxRuns));
    EXPECT_TRUE(manager.StopUsingBufferList());
    EXPECT_TRUE(manager.StopUsingBufferList());
    EXPECT_EQ(list->GetRefCount(), 1);
    uint32_t size = 7;
    EXPECT_EQ(manager.GetSegmentArray(&size), nullptr);
    EXPECT_EQ(size, 0u);
    uint32_t count = 7;
    EXPECT_EQ(manager.GetRunArray(&count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(manager.GetContiguousAddress(&size), nullptr);
    EXPECT_EQ(size, 0u);
}

TEST_F(ScatterGatherManagerTest, DestructionReleasesTheListInUse) {
    uint8_t* memory = Pages(1);
    Buffer* buffer = Window(memory, page);
    BufferList* list = ListOf({buffer});
    {
        ScatterGatherManager manager;
        ASSERT_TRUE(manager.StartUsingBufferList(list, kMaxRuns));
    }
    EXPECT_EQ(list->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(buffer), 0);
}

TEST_F(ScatterGatherManagerTest, ReusedArraysDescribeASmallerListExactly) {
    uint8_t* big = Pages(8);
    uint8_t* small = Pages(3);
    ScatterGatherManager manager;
    ASSERT_TRUE(manager.StartUsingBufferList(
        ListOf({Window(big, page), Window(big + 2 * page, page), Window(big + 4 * page, 4 * page)}),
        kMaxRuns));
    manager.StopUsingBufferList();
    ASSERT_TRUE(manager.StartUsingBufferList(ListOf({Window(small + 2 * page, page), Window(small, page)}),
                                             kMaxRuns));
    uint32_t size = 0;
    uint64_t* segments = manager.GetSegmentArray(&size);
    EXPECT_EQ(size, 2 * page);
    EXPECT_EQ(segments[0], AddressOf(small + 2 * page));
    EXPECT_EQ(segments[1], AddressOf(small));
    EXPECT_EQ(segments[2], 0u);
    uint32_t count = 0;
    const IORun* vecs = manager.GetRunArray(&count);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(vecs[0].base, small + 2 * page);
    EXPECT_EQ(vecs[1].base, small);
}

TEST_F(ScatterGatherManagerTest, AcceptsTheMostSeparateRunsAndRefusesOneMore) {
    // Every other page, so that no two windows touch.
    uint8_t* memory = Pages(2 * (kMaxRuns + 1));
    std::vector<Buffer*> windows;
    for (uint32_t i = 0; i < kMaxRuns + 1; ++i) {
        windows.push_back(Window(memory + 2 * i * page, page));
    }
    ScatterGatherManager manager;
    BufferList* fits = ListOf(std::vector<Buffer*>(windows.begin(), windows.end() - 1));
    ASSERT_TRUE(manager.StartUsingBufferList(fits, kMaxRuns));
    uint32_t count = 0;
    manager.GetRunArray(&count);
    EXPECT_EQ(count, static_cast<uint32_t>(kMaxRuns));
    manager.StopUsingBufferList();

    BufferList* tooMany = ListOf(windows);
    EXPECT_FALSE(manager.StartUsingBufferList(tooMany, kMaxRuns));
    EXPECT_EQ(tooMany->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(windows.front()), 0);
    EXPECT_EQ(TarvosTest::LockCountOf(windows.back()), 0);
}

}  // namespace
