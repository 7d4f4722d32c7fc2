// A file source in front of a real block cache, over memory: the ordering of a write against reads
// of the same range.
#include <gtest/gtest.h>

#include <cstring>

#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Support/MemoryFileSource.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/Cache.h"

using namespace Tarvos;
using TarvosTest::FirstPatternMismatch;
using TarvosTest::MemoryFileSource;
using TarvosTest::WaitUntil;

namespace {

constexpr uint32_t kBlock = 4096;

class WriteReport : public FileSource::ResultCallbackBuffer {
  public:
    void Callback(CacheSource::Result_t r, uint64_t, Buffer*, uint32_t) override {
        result = r;
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<CacheSource::Result_t> result{CacheSource::kResultNone};

  protected:
    ~WriteReport() override = default;
};

// A read that starts while a write of its range is still on its way fetches the old bytes into the
// cache; once the write has reported, the cache must not serve them any more.
TEST(CachedFileSourceTest, ReadRacingAWriteLeavesNoStaleBlockBehind) {
    auto* factory = new BufferFactoryHeap();
    ASSERT_TRUE(factory->Initialize(kBlock, 4, 4, 0));
    auto* cache = new Cache(factory);
    auto* source = new MemoryFileSource(false);
    source->FillWithPattern(4 * kBlock, 0);
    ASSERT_TRUE(source->UseCache(cache));

    source->SetAnswer(MemoryFileSource::Answer::kHold);
    auto* fresh = new HeapBuffer(kBlock);
    TarvosTest::FillPattern(fresh->GetAddress(), kBlock, kBlock, 9);
    auto* report = new WriteReport();
    ASSERT_EQ(source->WriteAsync(kBlock, fresh, report, Cache::kDueASAP), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return source->HeldCount() == 1; }));

    source->SetAnswer(MemoryFileSource::Answer::kTransfer);
    auto* before = new HeapBuffer(kBlock);
    uint32_t bytes = 0;
    ASSERT_EQ(source->Read(kBlock, before, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(before->GetAddress(), kBlock, kBlock, 0), kBlock)
        << "the write has not happened yet: old bytes";

    EXPECT_EQ(source->ReleaseHeld(), 1);
    ASSERT_TRUE(WaitUntil([&] { return report->calls.load() == 1; }));
    EXPECT_EQ(report->result.load(), CacheSource::kResultSuccess);
    auto* after = new HeapBuffer(kBlock);
    ASSERT_EQ(source->Read(kBlock, after, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(after->GetAddress(), kBlock, kBlock, 9), kBlock)
        << "the cache served the bytes from before the write";

    for (SharedObject* object : {static_cast<SharedObject*>(fresh), static_cast<SharedObject*>(before),
                                 static_cast<SharedObject*>(after), static_cast<SharedObject*>(report)}) {
        object->DecRef(TARVOS_CALL_SITE);
    }
    ASSERT_TRUE(source->WaitIdle());
    ASSERT_TRUE(WaitUntil([&] { return source->GetRefCount() == 1; }));
    source->DecRef(TARVOS_CALL_SITE);
    ASSERT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; }));
    cache->DecRef(TARVOS_CALL_SITE);
    EXPECT_EQ(factory->GetNumberOfBuffersFree(), 4u);
    factory->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
