#include "OSServices/Win/PhysMemInterfaceImpWin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "OSServices/Win/WinHeaders.h"
#include "Support/BufferChecks.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;

namespace {

uint32_t SystemPageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// The state of the region at address: MEM_COMMIT, MEM_RESERVE or MEM_FREE, and its protection.
MEMORY_BASIC_INFORMATION RegionAt(void* address) {
    MEMORY_BASIC_INFORMATION information{};
    EXPECT_EQ(VirtualQuery(address, &information, sizeof(information)), sizeof(information));
    return information;
}

class PhysMemInterfaceImpWinTest : public testing::Test {
  protected:
    // Allocates, checks that the buffer is page-aligned, of the expected size, committed read-write and
    // usable throughout, then releases it and checks that the region is gone.
    void ExpectWholePages(uint32_t requested, uint32_t expectedSize) {
        Buffer* buffer = imp.Allocate(requested);
        ASSERT_NE(buffer, nullptr) << requested;
        EXPECT_EQ(buffer->GetSize(), expectedSize) << requested;
        void* address = buffer->GetAddress();
        EXPECT_EQ(address, buffer->GetVirtualAddress());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(address) % page, 0u) << requested;
        const MEMORY_BASIC_INFORMATION region = RegionAt(address);
        EXPECT_EQ(region.State, static_cast<DWORD>(MEM_COMMIT));
        EXPECT_EQ(region.Protect, static_cast<DWORD>(PAGE_READWRITE));
        EXPECT_EQ(region.AllocationBase, address);
        EXPECT_GE(region.RegionSize, expectedSize);
        std::vector<uint8_t> data(expectedSize);
        TarvosTest::FillPattern(data.data(), expectedSize, 0, requested);
        uint32_t moved = 0;
        EXPECT_EQ(buffer->CopyInto(data.data(), expectedSize, 0, &moved), Buffer::kBufferResultSuccess);
        EXPECT_EQ(TarvosTest::FirstPatternMismatch(address, expectedSize, 0, requested), expectedSize);
        EXPECT_EQ(buffer->GetRefCount(), 1);
        buffer->DecRef(TARVOS_CALL_SITE);
        EXPECT_EQ(RegionAt(address).State, static_cast<DWORD>(MEM_FREE))
            << "the region is released with the buffer";
    }

    PhysMemInterfaceImpWin imp;
    const uint32_t page = SystemPageSize();
};

TEST_F(PhysMemInterfaceImpWinTest, ReportsTheSystemPageSize) {
    EXPECT_EQ(imp.GetPageSize(), page);
    EXPECT_EQ(PhysMemInterface::GetPageSize(), page) << "start-up installed this implementation";
}

TEST_F(PhysMemInterfaceImpWinTest, SizesAreRoundedUpToWholePages) {
    ExpectWholePages(1, page);
    ExpectWholePages(page - 1, page);
    ExpectWholePages(page, page);
    ExpectWholePages(page + 1, 2 * page);
    ExpectWholePages(5 * page, 5 * page);
}

TEST_F(PhysMemInterfaceImpWinTest, ZeroBytesGiveNoBuffer) {
    EXPECT_EQ(imp.Allocate(0), nullptr);
}

TEST_F(PhysMemInterfaceImpWinTest, AWholePageSizeBeyondThirtyTwoBitsIsRefused) {
    EXPECT_EQ(PhysMemInterfaceImpWin::WholePageSize(UINT32_MAX, 4096), 0u);
    EXPECT_EQ(PhysMemInterfaceImpWin::WholePageSize(0xFFFFF001u, 4096), 0u);
    EXPECT_EQ(PhysMemInterfaceImpWin::WholePageSize(0xFFFFF000u, 4096), 0xFFFFF000u);
    EXPECT_EQ(PhysMemInterfaceImpWin::WholePageSize(1, 65536), 65536u);
    EXPECT_EQ(imp.Allocate(UINT32_MAX), nullptr);
}

TEST_F(PhysMemInterfaceImpWinTest, MemoryTheSystemRefusesGivesNull) {
    // Nearly 4 GiB at once, many times over, exhausts any address space a test machine gives a
    // process long before the loop ends; each failure must be a null, never a half-made buffer.
    std::vector<Buffer*> held;
    bool refused = false;
    for (int i = 0; i < 64 && !refused; ++i) {
        Buffer* buffer = imp.Allocate(0xFFFFF000u);
        if (buffer == nullptr) {
            refused = true;
        } else {
            EXPECT_EQ(buffer->GetSize(), 0xFFFFF000u);
            held.push_back(buffer);
        }
    }
    for (Buffer* buffer : held) {
        buffer->DecRef(TARVOS_CALL_SITE);
    }
    if (!refused) {
        GTEST_SKIP() << "the system committed 64 regions of 4 GiB; nothing was refused";
    }
    Buffer* small = imp.Allocate(page);
    ASSERT_NE(small, nullptr) << "a refusal leaves the allocator usable";
    small->DecRef(TARVOS_CALL_SITE);
}

TEST_F(PhysMemInterfaceImpWinTest, ABufferMayDieOnAnotherThread) {
    Buffer* buffer = imp.Allocate(3 * page);
    ASSERT_NE(buffer, nullptr);
    void* address = buffer->GetAddress();
    bool released = false;
    std::thread([&] {
        buffer->DecRef(TARVOS_CALL_SITE);
        released = RegionAt(address).State == MEM_FREE;
    }).join();
    EXPECT_TRUE(released);
}

TEST(PhysMemInterfaceWinTest, CountsWholePagesOfAlignedRanges) {
    const uint32_t page = PhysMemInterface::GetPageSize();
    Buffer* buffer = PhysMemInterface::Allocate(2 * page);
    ASSERT_NE(buffer, nullptr);
    auto* address = static_cast<uint8_t*>(buffer->GetAddress());
    EXPECT_EQ(PhysMemInterface::GetNumberOfValidPagesForBuffer(address, 2 * page), 2u);
    EXPECT_EQ(PhysMemInterface::GetNumberOfValidPagesForBuffer(address, 0), 0u);
    EXPECT_EQ(PhysMemInterface::GetNumberOfValidPagesForBuffer(address, page - 96), 0u);
    EXPECT_EQ(PhysMemInterface::GetNumberOfValidPagesForBuffer(address + 16, 2 * page), 0u);
    EXPECT_EQ(PhysMemInterface::GetNumberOfValidPagesForBuffer(nullptr, 2 * page), 0u);
    buffer->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
