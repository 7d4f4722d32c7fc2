// Reads before, across and past the end of files whose sizes sit on and around page boundaries, on
// both I/O mechanisms, uncached (whole pages, as direct I/O needs) and through a cache (any offset and
// size). Every read must report exactly min(requested, size - offset) bytes of the file's own data.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "ReliabilitySupport.h"

using namespace Tarvos;
using namespace TarvosTest;

namespace {

const std::vector<uint64_t> kSizes = {0, 1, 511, 4095, 4096, 4097, (1u << 20) + 3};

// What a read of length bytes at offset of a file of size bytes must report.
void Expected(uint64_t size, uint64_t offset, uint32_t length, CacheSource::Result_t* result,
              uint32_t* bytes) {
    if (offset >= size) {
        *result = CacheSource::kResultEndOfFile;
        *bytes = 0;
        return;
    }
    *bytes = static_cast<uint32_t>(std::min<uint64_t>(length, size - offset));
    *result = *bytes == length ? CacheSource::kResultSuccess : CacheSource::kResultPartial;
}

class ShortReadTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (dir.path.empty()) {
            GTEST_SKIP() << "no temporary directory";
        }
        if (!faulty.Start(GetParam())) {
            GTEST_SKIP() << GetParam() << " cannot run here: " << faulty.reason;
        }
    }
    void TearDown() override {
        for (SharedObject* object : owned) {
            Release(object);
        }
        if (faulty.engine != nullptr) {
            EXPECT_TRUE(WaitUntil([&] { return faulty.engine->GetBusySlotCount() == 0; }));
        }
    }
    PlatformNativeFileSource* OpenSource(const std::string& path) {
        auto* source = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
        EXPECT_TRUE(source->Open(true, false, false));
        return source;
    }

    TempDir dir;
    FaultyEngine faulty;
    std::vector<SharedObject*> owned;
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, ShortReadTest, testing::ValuesIn(PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(ShortReadTest, UncachedReadsReportExactlyTheBytesInTheFile) {
    const uint32_t page = Page();
    int checked = 0;
    for (uint64_t size : kSizes) {
        SCOPED_TRACE("file size " + std::to_string(size));
        const std::string path = dir.MakeFile("f" + std::to_string(size), size, 5);
        PlatformNativeFileSource* source = OpenSource(path);
        const uint64_t last = size / page * page;  // the page holding the end
        std::vector<uint64_t> offsets = {0, page, last, last + page, last + 2 * page};
        if (last >= page) {
            offsets.push_back(last - page);
        }
        for (uint64_t offset : offsets) {
            for (uint32_t pages : {1u, 2u, 3u}) {
                SCOPED_TRACE("offset " + std::to_string(offset) + ", pages " + std::to_string(pages));
                CacheSource::Result_t want = CacheSource::kResultNone;
                uint32_t wantBytes = 0;
                Expected(size, offset, pages * page, &want, &wantBytes);

                // One contiguous buffer: a plain transfer.
                Buffer* buffer = NewPages(pages);
                uint32_t bytes = 0xABCDEF;
                EXPECT_EQ(source->Read(offset, buffer, &bytes), want);
                EXPECT_EQ(bytes, wantBytes);
                EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), std::min(bytes, wantBytes), offset, 5),
                          std::min(bytes, wantBytes));
                Release(buffer);

                // Separate buffers: a vectored transfer that may end in the first or the second one.
                if (pages > 1) {
                    auto* list = new BufferList(2);
                    list->AddBuffer(NewPages(1), true);
                    list->AddBuffer(NewPages(pages - 1), true);
                    bytes = 0xABCDEF;
                    EXPECT_EQ(source->ReadWithList(offset, list, &bytes), want);
                    EXPECT_EQ(bytes, wantBytes);
                    EXPECT_EQ(FirstListMismatch(list, offset, std::min(bytes, wantBytes), 5),
                              std::min(bytes, wantBytes));
                    EXPECT_TRUE(WaitUntil([&] { return list->GetRefCount() == 1; }));
                    Release(list);
                }
                ++checked;
            }
        }
        Release(source);
    }
    EXPECT_GT(checked, 0);
    EXPECT_TRUE(faulty.injector->GetLog().empty());
}

// A short read of the kernel (as at the end of a file) is reported as partial with its real count, and
// one of 0 bytes as end of file: never as the whole buffer with zeros after the data.
TEST_P(ShortReadTest, ShortCountsFromTheKernelAreNeverRoundedUpToTheRequest) {
    const uint32_t page = Page();
    const std::string path = dir.MakeFile("f", 8 * page, 6);
    PlatformNativeFileSource* source = OpenSource(path);
    for (uint32_t shortBy : {1u, 511u, page - 1, page, page + 1}) {
        SCOPED_TRACE("short count " + std::to_string(3 * page - shortBy));
        IOFaultRule rule;
        rule.kind = kFaultShortCount;
        rule.bytes = 3 * page - shortBy;
        faulty.injector->ClearRules();
        faulty.injector->AddRule(rule);
        Buffer* buffer = NewPages(3);
        uint32_t bytes = 0;
        EXPECT_EQ(source->Read(page, buffer, &bytes), CacheSource::kResultPartial);
        EXPECT_EQ(bytes, 3 * page - shortBy);
        EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), bytes, page, 6), bytes);
        Release(buffer);
    }
    faulty.injector->ClearRules();
    IOFaultRule zero;
    zero.kind = kFaultZeroBytes;
    faulty.injector->AddRule(zero);
    Buffer* buffer = NewPages(1);
    uint32_t bytes = 0xABCDEF;
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultEndOfFile);
    EXPECT_EQ(bytes, 0u);
    Release(buffer);
    EXPECT_EQ(faulty.injector->GetLog().size(), 6u);
    for (const IOFaultRecord& record : faulty.injector->GetLog()) {
        EXPECT_TRUE(record.delivered);
    }
    Release(source);
}

TEST_P(ShortReadTest, CachedReadsReportExactlyTheBytesInTheFile) {
    const uint32_t page = Page();
    int checked = 0;
    std::vector<std::string> wrong;
    for (uint64_t size : kSizes) {
        SCOPED_TRACE("file size " + std::to_string(size));
        auto* factory = new BufferFactoryPhysMem();
        ASSERT_TRUE(factory->Initialize(page, 16, 16, 0));
        auto* cache = new Cache(factory);
        const std::string path = dir.MakeFile("c" + std::to_string(size), size, 7);
        PlatformNativeFileSource* source = OpenSource(path);
        ASSERT_TRUE(source->UseCache(cache));
        std::vector<uint64_t> offsets = {0, 1, 100, page - 1, page, page + 1};
        for (uint64_t around : {size, size > 0 ? size - 1 : 0, size + 1, size + page}) {
            offsets.push_back(around);
            if (around >= 300) {
                offsets.push_back(around - 300);
            }
        }
        for (uint64_t offset : offsets) {
            for (uint32_t length : {1u, 300u, page - 1, page, 3 * page + 17}) {
                SCOPED_TRACE("offset " + std::to_string(offset) + ", length " + std::to_string(length));
                CacheSource::Result_t want = CacheSource::kResultNone;
                uint32_t wantBytes = 0;
                Expected(size, offset, length, &want, &wantBytes);
                Buffer* buffer = new HeapBuffer(length);
                std::memset(buffer->GetAddress(), 0xEE, length);
                uint32_t bytes = 0xABCDEF;
                const CacheSource::Result_t got = source->Read(offset, buffer, &bytes);
                const uint32_t compared = std::min(bytes, wantBytes);
                // Through a cache, data that ends on a block boundary is followed by a block that
                // reads as end of file, and the merged result says so while counting the bytes before.
                const bool resultOk = got == want || (want == CacheSource::kResultPartial &&
                                                      got == CacheSource::kResultEndOfFile);
                if (!resultOk || bytes != wantBytes ||
                    FirstPatternMismatch(buffer->GetAddress(), compared, offset, 7) != compared) {
                    wrong.push_back("size " + std::to_string(size) + " offset " + std::to_string(offset) +
                                    " length " + std::to_string(length) + ": " + ResultName(got) + " " +
                                    std::to_string(bytes) + ", want " + ResultName(want) + " " +
                                    std::to_string(wantBytes));
                }
                Release(buffer);
                ++checked;
            }
        }
        EXPECT_TRUE(WaitUntil([&] {
            return CacheTestAccess::FreeBlocks(cache) == CacheTestAccess::Blocks(cache);
        })) << "blocks still held";
        Release(source);
        EXPECT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; }));
        Release(cache);
        EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers());
        Release(factory);
    }
    EXPECT_GT(checked, 0);
    std::string all;
    for (const std::string& line : wrong) {
        all += line + "\n";
    }
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong reads:\n" << all;
}

}  // namespace
