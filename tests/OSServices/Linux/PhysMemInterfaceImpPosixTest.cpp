#include "OSServices/Linux/PhysMemInterfaceImpPosix.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;

namespace {

uint32_t SystemPageSize() {
    return static_cast<uint32_t>(::sysconf(_SC_PAGESIZE));
}

bool IsMapped(void* address, uint32_t length) {
    std::vector<unsigned char> residency((length + SystemPageSize() - 1) / SystemPageSize());
    return ::mincore(address, length, residency.data()) == 0;
}

// The flags the kernel shows for the mapping that holds `address` (the VmFlags line of
// /proc/self/smaps, e.g. "rd wr mr mw me ac hg"); empty when no mapping holds it.
std::string VmFlagsOf(const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool holds = false;
    while (std::getline(smaps, line)) {
        unsigned long long start = 0;
        unsigned long long end = 0;
        char dash = 0;
        std::istringstream fields(line);
        if (line.find(':') == std::string::npos || line.find('-') < line.find(':')) {
            if (fields >> std::hex >> start >> dash >> end && dash == '-') {
                holds = at >= start && at < end;
            }
        } else if (holds && line.rfind("VmFlags:", 0) == 0) {
            return line.substr(8);
        }
    }
    return "";
}

class PhysMemInterfaceImpPosixTest : public testing::Test {
  protected:
    // Allocates, checks that the buffer is page-aligned, of the expected size, mapped and usable
    // throughout, then releases it and checks that the mapping is gone.
    void ExpectWholePages(uint32_t requested, uint32_t expectedSize) {
        Buffer* buffer = imp.Allocate(requested);
        ASSERT_NE(buffer, nullptr) << requested;
        EXPECT_EQ(buffer->GetSize(), expectedSize) << requested;
        void* address = buffer->GetAddress();
        EXPECT_EQ(address, buffer->GetVirtualAddress());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(address) % page, 0u) << requested;
        EXPECT_TRUE(IsMapped(address, expectedSize));
        std::vector<uint8_t> data(expectedSize);
        TarvosTest::FillPattern(data.data(), expectedSize, 0, requested);
        uint32_t moved = 0;
        EXPECT_EQ(buffer->CopyInto(data.data(), expectedSize, 0, &moved), Buffer::kBufferResultSuccess);
        EXPECT_EQ(TarvosTest::FirstPatternMismatch(address, expectedSize, 0, requested), expectedSize);
        EXPECT_EQ(buffer->GetRefCount(), 1);
        buffer->DecRef(TARVOS_CALL_SITE);
        EXPECT_FALSE(IsMapped(address, expectedSize)) << "the mapping is released with the buffer";
        EXPECT_EQ(errno, ENOMEM);
    }

    PhysMemInterfaceImpPosix imp;
    const uint32_t page = SystemPageSize();
};

TEST_F(PhysMemInterfaceImpPosixTest, ReportsTheSystemPageSize) {
    EXPECT_EQ(imp.GetPageSize(), page);
    EXPECT_EQ(PhysMemInterface::GetPageSize(), page) << "start-up installed this implementation";
}

TEST_F(PhysMemInterfaceImpPosixTest, SizesAreRoundedUpToWholePages) {
    ExpectWholePages(1, page);
    ExpectWholePages(page - 1, page);
    ExpectWholePages(page, page);
    ExpectWholePages(page + 1, 2 * page);
    ExpectWholePages(5 * page, 5 * page);
}

TEST_F(PhysMemInterfaceImpPosixTest, BuffersOfAHugePageOrMoreStartOnOneAndAskForThem) {
    const uint32_t huge = imp.GetHugePageSize();
    if (huge == 0) {
        GTEST_SKIP() << "the kernel offers no transparent huge pages";
    }
    ExpectWholePages(huge, huge);
    ExpectWholePages(2 * huge + 5 * page - 1, 2 * huge + 5 * page);
    for (uint32_t size : {huge, huge + page, 3 * huge - page}) {
        Buffer* buffer = imp.Allocate(size);
        ASSERT_NE(buffer, nullptr) << size;
        auto* address = static_cast<uint8_t*>(buffer->GetAddress());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(address) % huge, 0u) << size;
        EXPECT_NE((" " + VmFlagsOf(address) + " ").find(" hg "), std::string::npos)
            << size << ": flags " << VmFlagsOf(address);
        // What was mapped beyond the buffer to align it was given back: the page after it is free.
        EXPECT_FALSE(IsMapped(address + size, page)) << size;
        buffer->DecRef(TARVOS_CALL_SITE);
    }
}

// Every page is backed as the buffer is made, so a first direct read into it faults nothing in.
TEST_F(PhysMemInterfaceImpPosixTest, BuffersAreBackedByMemoryWhenMade) {
    void* probe = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(probe, MAP_FAILED);
    const bool populates = ::madvise(probe, page, MADV_POPULATE_WRITE) == 0;
    ::munmap(probe, page);
    if (!populates) {
        GTEST_SKIP() << "the kernel cannot back a mapping in advance";
    }
    const uint32_t huge = imp.GetHugePageSize();
    for (uint32_t size : {3 * page, huge == 0 ? 7 * page : huge + page}) {
        Buffer* buffer = imp.Allocate(size);
        ASSERT_NE(buffer, nullptr) << size;
        std::vector<unsigned char> residency(size / page);
        ASSERT_EQ(::mincore(buffer->GetAddress(), size, residency.data()), 0) << size;
        EXPECT_EQ(
            std::count_if(residency.begin(), residency.end(), [](unsigned char r) { return (r & 1) != 0; }),
            static_cast<long>(residency.size()))
            << size;
        buffer->DecRef(TARVOS_CALL_SITE);
    }
}

TEST_F(PhysMemInterfaceImpPosixTest, ZeroBytesGiveNoBuffer) {
    EXPECT_EQ(imp.Allocate(0), nullptr);
}

TEST_F(PhysMemInterfaceImpPosixTest, AWholePageSizeBeyondThirtyTwoBitsIsRefused) {
    EXPECT_EQ(PhysMemInterfaceImpPosix::WholePageSize(UINT32_MAX, 4096), 0u);
    EXPECT_EQ(PhysMemInterfaceImpPosix::WholePageSize(0xFFFFF001u, 4096), 0u);
    EXPECT_EQ(PhysMemInterfaceImpPosix::WholePageSize(0xFFFFF000u, 4096), 0xFFFFF000u);
    EXPECT_EQ(PhysMemInterfaceImpPosix::WholePageSize(0xFFFFEFFFu, 4096), 0xFFFFF000u);
    EXPECT_EQ(PhysMemInterfaceImpPosix::WholePageSize(1, 65536), 65536u);
    EXPECT_EQ(imp.Allocate(UINT32_MAX), nullptr);
    EXPECT_EQ(imp.Allocate(UINT32_MAX - page + 2), nullptr);
}

TEST_F(PhysMemInterfaceImpPosixTest, BuffersLockLikeAnyHostBuffer) {
    Buffer* buffer = PhysMemInterface::Allocate(100);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->Lock(), Buffer::kLockStateLocked);
    EXPECT_EQ(TarvosTest::LockCountOf(buffer), 1);
    EXPECT_EQ(buffer->Unlock(), Buffer::kLockStateUnlocked);
    buffer->DecRef(TARVOS_CALL_SITE);
}

TEST_F(PhysMemInterfaceImpPosixTest, ABufferMayDieOnAnotherThread) {
    // Other threads of the process (the I/O thread, the sanitizer's own) may map memory at any time
    // and can be handed the address just freed, so the check looks right after the release and is
    // given a few tries; a mapping that is never released fails every one of them.
    bool released = false;
    for (int attempt = 0; attempt < 5 && !released; ++attempt) {
        Buffer* buffer = imp.Allocate(3 * page);
        ASSERT_NE(buffer, nullptr);
        void* address = buffer->GetAddress();
        std::thread([&] {
            buffer->DecRef(TARVOS_CALL_SITE);
            released = !IsMapped(address, 3 * page);
        }).join();
    }
    EXPECT_TRUE(released);
}

TEST(PhysMemInterfaceTest, CountsWholePagesOfAlignedRanges) {
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(PhysMemInterfaceImpPosixDeathTest, MemoryTheSystemRefusesGivesNull) {
    if (kSanitized) {
        GTEST_SKIP() << "sanitizers reserve address space that an address-space limit would break";
    }
    EXPECT_EXIT(
        {
            PhysMemInterfaceImpPosix imp;
            // Leave room for what the process already uses, but not for a gigabyte more.
            rlimit limit{};
            ::getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = 512ull << 20;
            if (::setrlimit(RLIMIT_AS, &limit) != 0) {
                std::exit(2);
            }
            Buffer* huge = imp.Allocate(0x40000000u);
            Buffer* small = imp.Allocate(4096);
            const bool ok = huge == nullptr && small != nullptr;
            if (small != nullptr) {
                small->DecRef(TARVOS_CALL_SITE);
            }
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
