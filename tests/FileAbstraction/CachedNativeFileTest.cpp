// End to end on real files: native file sources in front of a block cache, against the same file
// read without the cache. Content is a hash of the offset (and of a per-page generation where the
// tests write), so a byte from the wrong place or the wrong time is caught.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/MemoryCacheSource.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"
#include "Tarvos/FileSource.h"
#include "Tarvos/NativeFileSource.h"
#include "Tarvos/NativeFileSysInterface.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;
using TarvosTest::MemoryCacheSource;
using TarvosTest::WaitUntil;

namespace {

constexpr uint32_t kBlock = 65536;
constexpr uint32_t kPage = 4096;

uint8_t ContentAt(uint64_t offset, uint32_t generation = 0) {
    return MemoryCacheSource::ContentAt(offset, generation);
}

int64_t FirstMismatch(const void* data, uint64_t offset, uint32_t size, uint32_t generation = 0) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < size; ++i) {
        if (bytes[i] != ContentAt(offset + i, generation)) {
            return i;
        }
    }
    return -1;
}

// Records the one report of an asynchronous buffer read.
class BufferReport : public FileSource::ResultCallbackBuffer {
  public:
    void Callback(CacheSource::Result_t r, uint64_t, Buffer*, uint32_t n) override {
        result = r;
        bytes = n;
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<CacheSource::Result_t> result{CacheSource::kResultNone};
    std::atomic<uint32_t> bytes{0};

  protected:
    ~BufferReport() override = default;
};

class CachedNativeFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A fresh directory per test; the random part keeps parallel test processes apart.
        std::random_device random;
        directory =
            testing::TempDir() + "cached-native-" + std::to_string(random()) + "-" + std::to_string(random());
        ASSERT_TRUE(std::filesystem::create_directory(directory));
        path = directory + "/data.bin";
        factory = new BufferFactoryPhysMem();
        ASSERT_TRUE(factory->Initialize(kBlock, 16, 16, 0));
        cache = new Cache(factory);
    }

    void TearDown() override {
        for (NativeFileSource* source : sources) {
            source->Close();
            EXPECT_TRUE(WaitUntil([&] { return source->GetRefCount() == 1; }));
            source->DecRef(TARVOS_CALL_SITE);
        }
        if (cache != nullptr) {
            EXPECT_TRUE(WaitUntil([&] { return cache->GetRefCount() == 1; }));
            cache->DecRef(TARVOS_CALL_SITE);
        }
        if (factory != nullptr) {
            EXPECT_EQ(factory->GetNumberOfBuffersFree(), factory->GetTotalNumberOfBuffers());
            factory->DecRef(TARVOS_CALL_SITE);
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    void WriteFile(uint64_t length, uint32_t generation = 0) {
        std::vector<uint8_t> bytes(length);
        for (uint64_t i = 0; i < length; ++i) {
            bytes[i] = ContentAt(i, generation);
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        ASSERT_TRUE(out.is_open());
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        ASSERT_TRUE(out.good());
    }

    NativeFileSource* Open(bool cached, bool write = false, bool open = true) {
        NativeFileSource* source = NativeFileSysInterface::NewNativeFileSource(path.c_str());
        EXPECT_NE(source, nullptr);
        EXPECT_EQ(source->Open(true, write, false), open);
        if (cached) {
            EXPECT_TRUE(source->UseCache(cache));
        }
        sources.push_back(source);
        return source;
    }

    // Whole pages, as direct I/O needs; the caller owns the reference.
    static Buffer* Pages(uint32_t size) {
        Buffer* buffer = PhysMemInterface::Allocate(size);
        EXPECT_NE(buffer, nullptr);
        std::memset(buffer->GetAddress(), 0xEE, size);
        return buffer;
    }

    std::string directory;
    std::string path;
    BufferFactoryPhysMem* factory = nullptr;
    Cache* cache = nullptr;
    std::vector<NativeFileSource*> sources;
};

TEST_F(CachedNativeFileTest, CachedAndUncachedReadersAgreeByteForByte) {
    const uint64_t length = (1u << 20) + 3;
    WriteFile(length);
    NativeFileSource* cached = Open(true);
    NativeFileSource* direct = Open(false);
    std::mt19937 random(11);
    for (int i = 0; i < 60; ++i) {
        // Page-aligned for the direct reader; the last ones reach past the end of the file.
        const uint64_t offset = uint64_t{random() % (length / kPage + 2)} * kPage;
        const uint32_t size = (1 + random() % 40) * kPage;
        Buffer* viaCache = Pages(size);
        Buffer* viaDisk = Pages(size);
        uint32_t cachedBytes = 0xFFFFFFFF;
        uint32_t directBytes = 0xFFFFFFFF;
        const CacheSource::Result_t cachedResult = cached->Read(offset, viaCache, &cachedBytes);
        const CacheSource::Result_t directResult = direct->Read(offset, viaDisk, &directBytes);
        const uint32_t expected =
            offset >= length ? 0 : static_cast<uint32_t>(std::min<uint64_t>(size, length - offset));
        EXPECT_EQ(directBytes, expected) << offset << "+" << size;
        EXPECT_EQ(cachedBytes, expected) << offset << "+" << size;
        if (expected == size) {
            EXPECT_EQ(cachedResult, CacheSource::kResultSuccess);
            EXPECT_EQ(directResult, CacheSource::kResultSuccess);
        } else if (expected > 0) {
            EXPECT_EQ(directResult, CacheSource::kResultPartial);
            EXPECT_TRUE(cachedResult == CacheSource::kResultPartial ||
                        cachedResult == CacheSource::kResultEndOfFile)
                << cachedResult;
        }
        EXPECT_EQ(FirstMismatch(viaCache->GetAddress(), offset, expected), -1) << offset << "+" << size;
        EXPECT_EQ(std::memcmp(viaCache->GetAddress(), viaDisk->GetAddress(), expected), 0);
        viaCache->DecRef(TARVOS_CALL_SITE);
        viaDisk->DecRef(TARVOS_CALL_SITE);
    }
}

// A reader going front to back with read-ahead on, so that pre-reads run past the end of the file:
// every read brings the file's bytes, the one across the end is short, and those after it find the end.
TEST_F(CachedNativeFileTest, ReadAheadPastTheEndOfTheFileKeepsReadsExact) {
    const uint64_t length = 9 * kBlock + 5 * kPage + 123;
    WriteFile(length);
    NativeFileSource* source = Open(true);
    source->SetReadAhead(true);
    const uint32_t size = 3 * kPage;
    Buffer* buffer = Pages(size);
    for (uint64_t offset = 0; offset < length + 4 * size; offset += size) {
        uint32_t bytes = 0xFFFFFFFF;
        const CacheSource::Result_t result = source->Read(offset, buffer, &bytes);
        const uint32_t expected =
            offset >= length ? 0 : static_cast<uint32_t>(std::min<uint64_t>(size, length - offset));
        EXPECT_EQ(bytes, expected) << offset;
        if (expected == size) {
            EXPECT_EQ(result, CacheSource::kResultSuccess) << offset;
        } else if (expected > 0) {
            EXPECT_TRUE(result == CacheSource::kResultPartial || result == CacheSource::kResultEndOfFile)
                << offset << ": " << result;
        } else {
            EXPECT_EQ(result, CacheSource::kResultEndOfFile) << offset;
        }
        EXPECT_EQ(FirstMismatch(buffer->GetAddress(), offset, expected), -1) << offset;
    }
    buffer->DecRef(TARVOS_CALL_SITE);
}

TEST_F(CachedNativeFileTest, UnalignedCachedReadsIntoHeapMemory) {
    const uint64_t length = 5 * kBlock + 777;
    WriteFile(length);
    NativeFileSource* cached = Open(true);
    std::mt19937 random(5);
    for (int i = 0; i < 80; ++i) {
        const uint64_t offset = random() % (length + kBlock);
        const uint32_t size = 1 + random() % (2 * kBlock);
        auto* buffer = new HeapBuffer(size);
        uint32_t bytes = 0;
        cached->Read(offset, buffer, &bytes);
        const uint32_t expected =
            offset >= length ? 0 : static_cast<uint32_t>(std::min<uint64_t>(size, length - offset));
        EXPECT_EQ(bytes, expected) << offset << "+" << size;
        EXPECT_EQ(FirstMismatch(buffer->GetAddress(), offset, bytes), -1) << offset << "+" << size;
        buffer->DecRef(TARVOS_CALL_SITE);
    }
}

TEST_F(CachedNativeFileTest, WriteThroughACachedSourceReplacesTheCachedBytes) {
    WriteFile(4 * kBlock);
    NativeFileSource* source = Open(true, true);
    cache->CollectCacheStats(true);
    auto* warm = new HeapBuffer(2 * kBlock);
    uint32_t bytes = 0;
    ASSERT_EQ(source->Read(0, warm, &bytes), CacheSource::kResultSuccess);
    // New content for two pages inside block 0.
    Buffer* pages = Pages(2 * kPage);
    auto* fresh = static_cast<uint8_t*>(pages->GetAddress());
    for (uint32_t i = 0; i < 2 * kPage; ++i) {
        fresh[i] = ContentAt(kPage + i, 7);
    }
    ASSERT_EQ(source->Write(kPage, pages, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 2 * kPage);
    auto* after = new HeapBuffer(2 * kBlock);
    ASSERT_EQ(source->Read(0, after, &bytes), CacheSource::kResultSuccess);
    const auto* data = static_cast<const uint8_t*>(after->GetAddress());
    EXPECT_EQ(FirstMismatch(data, 0, kPage), -1);
    EXPECT_EQ(FirstMismatch(data + kPage, kPage, 2 * kPage, 7), -1) << "the cache served stale bytes";
    EXPECT_EQ(FirstMismatch(data + 3 * kPage, 3 * kPage, 2 * kBlock - 3 * kPage), -1);
    EXPECT_GE(cache->GetCacheHits(), 1u) << "block 1 stayed cached";
    warm->DecRef(TARVOS_CALL_SITE);
    pages->DecRef(TARVOS_CALL_SITE);
    after->DecRef(TARVOS_CALL_SITE);
}

TEST_F(CachedNativeFileTest, PreReadThroughTheFileSourceFillsTheCache) {
    WriteFile(8 * kBlock);
    NativeFileSource* source = Open(true);
    cache->CollectCacheStats(true);
    source->PreRead(kBlock, 3 * kBlock, Cache::kDueASAP);
    auto* buffer = new HeapBuffer(3 * kBlock);
    uint32_t bytes = 0;
    ASSERT_EQ(source->Read(kBlock, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstMismatch(buffer->GetAddress(), kBlock, 3 * kBlock), -1);
    EXPECT_EQ(cache->GetCacheHits(), 3u) << "the read found the pre-read blocks";
    EXPECT_EQ(cache->GetCacheMisses(), 0u);
    buffer->DecRef(TARVOS_CALL_SITE);
}

TEST_F(CachedNativeFileTest, CancelOfACachedSourceEndsEveryReadOnce) {
    WriteFile(16 * kBlock);
    NativeFileSource* source = Open(true);
    std::vector<BufferReport*> reports;
    std::vector<HeapBuffer*> buffers;
    for (uint32_t i = 0; i < 40; ++i) {
        auto* report = new BufferReport();
        auto* buffer = new HeapBuffer(kBlock);
        const uint64_t offset = uint64_t{i % 16} * kBlock + (i * 97) % kBlock;
        const CacheSource::Result_t started = source->ReadAsync(offset, buffer, report, Cache::kDueASAP);
        EXPECT_TRUE(started == CacheSource::kResultPending || started == CacheSource::kResultCancelled);
        reports.push_back(report);
        buffers.push_back(buffer);
    }
    source->Cancel();
    for (size_t i = 0; i < reports.size(); ++i) {
        ASSERT_TRUE(WaitUntil([&] { return reports[i]->calls.load() == 1; })) << i;
        const CacheSource::Result_t result = reports[i]->result.load();
        const uint64_t offset = uint64_t{i % 16} * kBlock + (i * 97) % kBlock;
        if (result != CacheSource::kResultCancelled) {
            const uint32_t expected = static_cast<uint32_t>(std::min<uint64_t>(kBlock, 16 * kBlock - offset));
            EXPECT_EQ(reports[i]->bytes.load(), expected);
            EXPECT_EQ(FirstMismatch(buffers[i]->GetAddress(), offset, reports[i]->bytes.load()), -1);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i]->calls.load(), 1) << "reported twice";
        reports[i]->DecRef(TARVOS_CALL_SITE);
        buffers[i]->DecRef(TARVOS_CALL_SITE);
    }
}

// Threads each own a region of the file: they read it through the cache, write pages of it with a
// new generation of content, pre-read it, and verify every byte against what they last wrote.
TEST_F(CachedNativeFileTest, StressCachedReadsPreReadsAndWritesOfOwnRanges) {
    constexpr int kThreads = 3;
    constexpr uint32_t kRegion = 6 * kBlock;
    WriteFile(uint64_t{kThreads} * kRegion);
    NativeFileSource* source = Open(true, true);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const uint64_t base = static_cast<uint64_t>(t) * kRegion;
            std::vector<uint32_t> generation(kRegion / kPage, 0);
            std::mt19937 random(900 + t);
            for (int i = 0; i < 60; ++i) {
                const uint32_t op = random() % 4;
                if (op == 0) {
                    const uint32_t firstPage = random() % (kRegion / kPage - 4);
                    const uint32_t pages = 1 + random() % 4;
                    const uint32_t next = static_cast<uint32_t>(i + 1);
                    Buffer* buffer = Pages(pages * kPage);
                    auto* bytes = static_cast<uint8_t*>(buffer->GetAddress());
                    for (uint32_t p = 0; p < pages; ++p) {
                        const uint64_t pageOffset = base + uint64_t{firstPage + p} * kPage;
                        for (uint32_t k = 0; k < kPage; ++k) {
                            bytes[p * kPage + k] = ContentAt(pageOffset + k, next);
                        }
                        generation[firstPage + p] = next;
                    }
                    uint32_t written = 0;
                    if (source->Write(base + uint64_t{firstPage} * kPage, buffer, &written) !=
                            CacheSource::kResultSuccess ||
                        written != pages * kPage) {
                        ++wrong;
                    }
                    buffer->DecRef(TARVOS_CALL_SITE);
                } else if (op == 1) {
                    source->PreRead(base + random() % kRegion, kBlock, Cache::kDueASAP);
                } else {
                    const uint32_t start = random() % (kRegion - 1);
                    const uint32_t size = 1 + random() % std::min<uint32_t>(2 * kBlock, kRegion - start);
                    auto* buffer = new HeapBuffer(size);
                    uint32_t got = 0;
                    const CacheSource::Result_t result = source->Read(base + start, buffer, &got);
                    const auto* bytes = static_cast<const uint8_t*>(buffer->GetAddress());
                    bool right = result == CacheSource::kResultSuccess && got == size;
                    for (uint32_t k = 0; right && k < size; ++k) {
                        const uint32_t page = (start + k) / kPage;
                        right = bytes[k] == ContentAt(base + start + k, generation[page]);
                    }
                    if (!right) {
                        ++wrong;
                        ADD_FAILURE() << "thread " << t << " read " << start << "+" << size << ": " << result
                                      << ", " << got;
                    }
                    buffer->DecRef(TARVOS_CALL_SITE);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

// Every way of reading into nothing, and reading an unopened source: a cached source answers exactly as
// an uncached one does, at once, and never calls back.
TEST_F(CachedNativeFileTest, ReadsThatCannotProceedAreRefusedAlikeCachedAndUncached) {
    WriteFile(4 * kBlock);
    auto* report = new BufferReport();
    auto* empty = new BufferList();
    auto* zero = new HeapBuffer(0);
    auto* zeroList = new BufferList(zero, false);
    using Call = std::function<CacheSource::Result_t(NativeFileSource*)>;
    uint32_t bytes = 0;
    const std::vector<Call> calls = {
        [&](NativeFileSource* s) { return s->Read(0, nullptr, &bytes); },
        [&](NativeFileSource* s) { return s->Read(0, zero, &bytes); },
        [&](NativeFileSource* s) { return s->ReadWithList(0, nullptr, &bytes); },
        [&](NativeFileSource* s) { return s->ReadWithList(0, empty, &bytes); },
        [&](NativeFileSource* s) { return s->ReadAsync(0, nullptr, report, Cache::kDueASAP); },
        [&](NativeFileSource* s) { return s->ReadAsync(0, zero, report, Cache::kDueASAP); },
        [&](NativeFileSource* s) { return s->ReadAsyncWithList(0, nullptr, nullptr, Cache::kDueASAP); },
        [&](NativeFileSource* s) { return s->ReadAsyncWithList(0, zeroList, nullptr, Cache::kDueASAP); },
    };
    NativeFileSource* uncached = Open(false);
    NativeFileSource* cached = Open(true);
    for (size_t i = 0; i < calls.size(); ++i) {
        const CacheSource::Result_t expected = calls[i](uncached);
        EXPECT_NE(expected, CacheSource::kResultPending) << "call " << i;
        EXPECT_EQ(calls[i](cached), expected) << "call " << i;
    }
    // Not opened (the file is missing): a read is refused alike.
    path = directory + "/missing.bin";
    NativeFileSource* closedUncached = Open(false, false, false);
    NativeFileSource* closedCached = Open(true, false, false);
    auto* buffer = new HeapBuffer(kBlock);
    EXPECT_EQ(closedUncached->Read(0, buffer, &bytes), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(closedCached->Read(0, buffer, &bytes), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(report->calls.load(), 0);
    buffer->DecRef(TARVOS_CALL_SITE);
    zeroList->DecRef(TARVOS_CALL_SITE);
    zero->DecRef(TARVOS_CALL_SITE);
    empty->DecRef(TARVOS_CALL_SITE);
    report->DecRef(TARVOS_CALL_SITE);
}

// The cache learns where a file ends; a write, or an invalidation of a range the file grew into,
// must make it forget that.
TEST_F(CachedNativeFileTest, WritesAndInvalidationForgetALearnedEndOfFile) {
    WriteFile(0);
    NativeFileSource* source = Open(true, true);
    auto* buffer = new HeapBuffer(4 * kBlock);
    uint32_t bytes = 0;
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultEndOfFile);
    Buffer* pages = Pages(4 * kPage);
    auto* fresh = static_cast<uint8_t*>(pages->GetAddress());
    for (uint32_t i = 0; i < 4 * kPage; ++i) {
        fresh[i] = ContentAt(i);
    }
    ASSERT_EQ(source->Write(0, pages, &bytes), CacheSource::kResultSuccess);
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultPartial);
    EXPECT_EQ(bytes, 4 * kPage) << "the written bytes are seen";
    EXPECT_EQ(FirstMismatch(buffer->GetAddress(), 0, bytes), -1);

    // A write past the end leaves a hole: the block that held the old end is stale as well.
    ASSERT_EQ(source->Write(3 * kBlock, pages, &bytes), CacheSource::kResultSuccess);
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultPartial);
    EXPECT_EQ(bytes, 3 * kBlock + 4 * kPage);

    // The file grows behind the cache's back from a block boundary; invalidating the grown range is
    // enough to see it.
    WriteFile(2 * kBlock);
    cache->Invalidate(source, 0, 4 * kBlock);
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultPartial);
    ASSERT_EQ(bytes, 2 * kBlock);
    WriteFile(4 * kBlock);
    cache->Invalidate(source, 2 * kBlock, 2 * kBlock);
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 4 * kBlock);
    EXPECT_EQ(FirstMismatch(buffer->GetAddress(), 0, bytes), -1);
    pages->DecRef(TARVOS_CALL_SITE);
    buffer->DecRef(TARVOS_CALL_SITE);
}

// Nothing a source held is served for the file it opens next: after Close and Open of a replaced
// file, and after Delete and Open creating a new one.
TEST_F(CachedNativeFileTest, AReopenedSourceIsNeverServedTheOldFilesBytes) {
    WriteFile(8 * kBlock);
    NativeFileSource* source = Open(true, true);
    auto* buffer = new HeapBuffer(8 * kBlock);
    uint32_t bytes = 0;
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    ASSERT_TRUE(source->Close());
    WriteFile(8 * kBlock, 5);
    ASSERT_TRUE(source->Open(true, true, false));
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstMismatch(buffer->GetAddress(), 0, 8 * kBlock, 5), -1) << "old bytes after reopening";

    ASSERT_TRUE(source->Delete());
    ASSERT_TRUE(source->Open(true, true, true));
    EXPECT_EQ(source->Read(1000, buffer, &bytes), CacheSource::kResultEndOfFile);
    EXPECT_EQ(bytes, 0u);
    buffer->DecRef(TARVOS_CALL_SITE);
}
