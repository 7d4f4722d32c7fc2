#include "Tarvos/CacheSource.h"

#include <gtest/gtest.h>

#include "CoreClasses/CallSite.h"
#include "Support/StubCacheSource.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;
using TarvosTest::StubCacheSource;

namespace {

struct Intersection {
    uint64_t offset;
    uint32_t size;
    uint64_t otherOffset;
    uint32_t otherSize;
    bool meets;
    uint64_t clippedOffset;
    uint32_t clippedSize;
};

TEST(CacheSourceTest, RangeIntersectionCases) {
    const Intersection cases[] = {
        {100, 300, 120, 100, true, 120, 100},  // covers the other range on both sides
        {100, 50, 120, 100, true, 120, 30},    // starts before, reaches in
        {130, 200, 120, 100, true, 130, 90},   // starts inside, runs past the end
        {100, 10, 110, 5, false, 100, 10},     // ends exactly where the other starts
        {150, 0, 120, 100, true, 150, 0},      // empty range inside
        {220, 10, 120, 100, false, 220, 10},   // starts at the other's end
        {220, 0, 120, 100, false, 220, 0},     // empty range exactly at the other's end
        {130, 20, 120, 100, true, 130, 20},    // wholly inside
        {(1ull << 40) + 5, 100, 1ull << 40, 50, true, (1ull << 40) + 5, 45},
    };
    for (const auto& c : cases) {
        uint64_t offset = c.offset;
        uint32_t size = c.size;
        EXPECT_EQ(CacheSource::GetRangeIntersection(offset, size, c.otherOffset, c.otherSize), c.meets)
            << c.offset << "+" << c.size;
        EXPECT_EQ(offset, c.clippedOffset) << c.offset << "+" << c.size;
        EXPECT_EQ(size, c.clippedSize) << c.offset << "+" << c.size;
    }
}

TEST(CacheSourceTest, KeysAlignmentAndDefaults) {
    auto* first = new StubCacheSource();
    auto* second = new StubCacheSource();
    EXPECT_NE(first->GetSourceKey(), CacheSource::kInvalidKey);
    EXPECT_NE(first->GetSourceKey(), second->GetSourceKey());
    const uint32_t page = PhysMemInterface::GetPageSize();
    EXPECT_EQ(first->GetAlignmentRequirement(), page);
    if (page == 4096) {
        EXPECT_EQ(first->Align(12345), 12288u);
        EXPECT_EQ(first->Align((1ull << 33) + 12345), (1ull << 33) + 12288);
    }
    EXPECT_EQ(first->GetCache(), nullptr);
    EXPECT_FALSE(first->UseCache(nullptr));
    EXPECT_EQ(first->GetCache(), nullptr);
    first->DecRef(TARVOS_CALL_SITE);
    second->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
