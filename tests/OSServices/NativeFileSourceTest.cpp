// Native file sources on real files, on every file system the platform's tests use (Linux: the
// machine's disk, where direct I/O works, and /dev/shm, tmpfs, which older kernels refuse direct I/O
// on; Windows: the temporary directory). Transfers use whole-page buffers, as direct I/O requires.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "OSServices/FileIdentityRegistry.h"
#include "OSServices/NativeIOEngine.h"
#include "PlatformIO.h"
#include "Support/BufferChecks.h"
#include "Support/ThreadGroup.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/NativeFileSysInterface.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;
using TarvosTest::FillPattern;
using TarvosTest::FirstPatternMismatch;
using TarvosTest::PlatformNativeFileSource;
using TarvosTest::WaitUntil;

namespace {

constexpr uint32_t kUntouched = 0xABCDEF;

template <typename T>
void Release(T* object) {
    object->DecRef(TARVOS_CALL_SITE);
}

// Records every completion; the number of calls is counted last.
class Completions : public FileSource::ResultCallbackBufferList {
  public:
    std::function<void(CacheSource::Result_t)> onCallback;
    std::atomic<int> calls{0};
    std::atomic<int> cancelled{0};
    std::atomic<int> onIOThread{0};
    std::vector<CacheSource::Result_t> Results() {
        std::lock_guard<std::mutex> hold(mutex);
        return results;
    }
    void Callback(CacheSource::Result_t result, uint64_t, BufferList*, uint32_t) override {
        NativeIOEngine* engine = NativeIOEngine::GetEngine();
        if (engine != nullptr && engine->IsIOThread()) {
            ++onIOThread;
        }
        {
            std::lock_guard<std::mutex> hold(mutex);
            results.push_back(result);
        }
        if (result == CacheSource::kResultCancelled) {
            ++cancelled;
        }
        if (onCallback) {
            onCallback(result);
        }
        ++calls;
    }

  private:
    std::mutex mutex;
    std::vector<CacheSource::Result_t> results;
};

// A native source that says when it is destroyed.
class WatchedSource : public PlatformNativeFileSource {
  public:
    WatchedSource(const char* path, std::atomic<bool>* destroyed)
        : PlatformNativeFileSource(path, NativeIOEngine::GetEngine()), destroyed(destroyed) {}

  protected:
    ~WatchedSource() override {
        // Closing here, before the base destructor, is what the base would do too; doing it first lets
        // the flag mean "the descriptor's requests are over".
        Close();
        *destroyed = true;
    }

  private:
    std::atomic<bool>* destroyed;
};

class NativeFileSourceTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        const std::string base = TarvosTest::PlatformFileSystemDirectory(GetParam());
        if (!std::filesystem::is_directory(base)) {
            GTEST_SKIP() << base << " is not available";
        }
        if (NativeIOEngine::GetEngine() == nullptr) {
            GTEST_SKIP() << "no I/O engine";
        }
        std::random_device random;
        for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
            const std::string name = base + "/tarvos-native-" + std::to_string(random());
            std::error_code error;
            if (std::filesystem::create_directory(name, error)) {
                dir = name;
            }
        }
        ASSERT_FALSE(dir.empty());
        page = PhysMemInterface::GetPageSize();
    }
    void TearDown() override {
        // A cache dispatcher may hold a cached source a moment longer; closed, it no longer keeps the file
        // open (Windows cannot remove the directory of an open file).
        for (NativeFileSource* source : cachedSources) {
            source->Close();
        }
        for (NativeFileSource* source : sources) {
            Release(source);
        }
        for (SharedObject* object : owned) {
            Release(object);
        }
        if (!dir.empty()) {
            std::filesystem::remove_all(dir);
        }
    }
    std::string PathOf(const std::string& name) { return dir + "/" + name; }
    PlatformNativeFileSource* NewSource(const std::string& name) {
        NativeFileSource* source = NativeFileSysInterface::NewNativeFileSource(PathOf(name).c_str());
        sources.push_back(source);
        return dynamic_cast<PlatformNativeFileSource*>(source);
    }
    Buffer* NewPages(uint32_t pages) {
        Buffer* buffer = PhysMemInterface::Allocate(pages * page);
        owned.push_back(buffer);
        std::memset(buffer->GetAddress(), 0xEE, buffer->GetSize());
        return buffer;
    }
    // Writes size bytes of the offset pattern with ordinary buffered I/O.
    void MakeFile(const std::string& name, uint32_t size, uint32_t seed = 0) {
        std::vector<uint8_t> bytes(size);
        FillPattern(bytes.data(), size, 0, seed);
        std::ofstream out(PathOf(name), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<char*>(bytes.data()), size);
    }
    // A cache of `blocks` blocks of 16 pages, released after the sources.
    Cache* NewCache(uint32_t blocks) {
        auto* factory = new BufferFactoryPhysMem();
        owned.push_back(factory);
        EXPECT_TRUE(factory->Initialize(16 * page, blocks, blocks, 0));
        auto* cache = new Cache(factory);
        owned.push_back(cache);
        return cache;
    }
    // A source of the file, open for reading (and writing), attached to the cache.
    PlatformNativeFileSource* NewCachedSource(const std::string& name, Cache* cache, bool write = false) {
        PlatformNativeFileSource* source = NewSource(name);
        EXPECT_TRUE(source->Open(true, write, false));
        EXPECT_TRUE(source->UseCache(cache));
        cachedSources.push_back(source);
        return source;
    }
    std::vector<uint8_t> ReadFile(const std::string& name) {
        std::ifstream in(PathOf(name), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

    std::string dir;
    uint32_t page = 0;
    std::vector<NativeFileSource*> sources;
    std::vector<NativeFileSource*> cachedSources;  // also in `sources`
    std::vector<SharedObject*> owned;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, NativeFileSourceTest,
                         testing::ValuesIn(TarvosTest::PlatformFileSystems()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(NativeFileSourceTest, SourceWithoutANameCannotOpenUntilNamed) {
    NativeFileSource* source = NativeFileSysInterface::NewNativeFileSource(nullptr);
    sources.push_back(source);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->GetName(), nullptr);
    EXPECT_FALSE(source->Open(true, true, true));
    EXPECT_FALSE(source->Delete());
    EXPECT_FALSE(source->SetName(nullptr));
    const std::string path = PathOf("named-later");
    EXPECT_TRUE(source->SetName(path.c_str()));
    EXPECT_STREQ(source->GetName(), path.c_str());
    EXPECT_NE(source->GetName(), path.c_str());  // a copy
    EXPECT_TRUE(source->Open(true, true, true));
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_P(NativeFileSourceTest, OpenWithoutCreateNeedsAnExistingFileAndCreateMakesOne) {
    PlatformNativeFileSource* source = NewSource("missing");
    EXPECT_FALSE(source->Open(true, false, false));
    EXPECT_FALSE(source->Close());  // still closed
    EXPECT_FALSE(std::filesystem::exists(PathOf("missing")));
    EXPECT_FALSE(source->OpenedForRead());
    EXPECT_TRUE(source->Open(true, true, true));
    EXPECT_TRUE(std::filesystem::exists(PathOf("missing")));
    EXPECT_EQ(std::filesystem::file_size(PathOf("missing")), 0u);
    EXPECT_TRUE(source->Close());

    // Create opens an existing file without truncating it.
    MakeFile("existing", 5000);
    PlatformNativeFileSource* other = NewSource("existing");
    EXPECT_TRUE(other->Open(true, true, true));
    EXPECT_EQ(std::filesystem::file_size(PathOf("existing")), 5000u);
}

TEST_P(NativeFileSourceTest, SecondOpenFailsUntilClosed) {
    MakeFile("f", 100);
    PlatformNativeFileSource* source = NewSource("f");
    EXPECT_TRUE(source->Open(true, false, false));
    EXPECT_FALSE(source->Open(true, false, false));
    EXPECT_FALSE(source->Open(true, true, true));
    EXPECT_TRUE(source->Close());
    EXPECT_FALSE(source->Close());
    EXPECT_TRUE(source->Open(false, true, false));
    EXPECT_FALSE(source->OpenedForRead());
    EXPECT_TRUE(source->OpenedForWrite());
}

TEST_P(NativeFileSourceTest, AccessFlagsOutliveCloseAndFreezeTheName) {
    MakeFile("f", 100);
    PlatformNativeFileSource* source = NewSource("f");
    const std::string before = source->GetName();
    EXPECT_TRUE(source->SetName(before.c_str()));  // not opened yet
    EXPECT_TRUE(source->Open(true, false, false));
    EXPECT_TRUE(source->OpenedForRead());
    EXPECT_FALSE(source->OpenedForWrite());
    EXPECT_TRUE(source->Close());
    EXPECT_TRUE(source->OpenedForRead());
    EXPECT_FALSE(source->SetName(PathOf("other").c_str()));
    EXPECT_EQ(source->GetName(), before);
}

TEST_P(NativeFileSourceTest, DirectoryIsNoFile) {
    NativeFileSource* source = NativeFileSysInterface::NewNativeFileSource(dir.c_str());
    sources.push_back(source);
    EXPECT_FALSE(source->Open(true, false, false));
    EXPECT_FALSE(source->Open(true, true, true));
}

TEST_P(NativeFileSourceTest, TransfersAreRefusedInADirectionNotOpened) {
    MakeFile("f", 3 * page);
    PlatformNativeFileSource* source = NewSource("f");
    Buffer* buffer = NewPages(1);
    Completions callback;
    uint32_t bytes = kUntouched;
    // Closed: both directions refused.
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(source->Write(0, buffer, &bytes), CacheSource::kResultInvalidArgument);

    ASSERT_TRUE(source->Open(true, false, false));
    auto* list = new BufferList(buffer, false);
    owned.push_back(list);
    EXPECT_EQ(source->WriteAsyncWithListNonCached(0, list, &callback, 0),
              CacheSource::kResultInvalidArgument);
    EXPECT_EQ(source->Write(0, buffer, &bytes), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, page);
    ASSERT_TRUE(source->Close());

    ASSERT_TRUE(source->Open(false, true, false));
    bytes = kUntouched;
    EXPECT_EQ(source->ReadAsyncWithListNonCached(0, list, &callback, 0), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultInvalidArgument);
    EXPECT_EQ(bytes, kUntouched);
    EXPECT_EQ(callback.calls.load(), 0);
}

TEST_P(NativeFileSourceTest, WrittenPagesReadBack) {
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, true, true));
    Buffer* three = NewPages(3);
    FillPattern(three->GetAddress(), 3 * page, page, 1);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Write(page, three, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 3 * page);

    // Two separate buffers in one list: one vectored write.
    auto* list = new BufferList(2);
    owned.push_back(list);
    Buffer* a = NewPages(1);
    Buffer* b = NewPages(2);
    FillPattern(a->GetAddress(), page, 4 * page, 1);
    FillPattern(b->GetAddress(), 2 * page, 5 * page, 1);
    list->AddBuffer(a, false);
    list->AddBuffer(b, false);
    EXPECT_EQ(source->WriteWithList(4 * page, list, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 3 * page);
    EXPECT_EQ(std::filesystem::file_size(PathOf("f")), 7u * page);

    Buffer* back = NewPages(7);
    EXPECT_EQ(source->Read(0, back, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, 7 * page);
    const auto* data = static_cast<uint8_t*>(back->GetAddress());
    for (uint32_t i = 0; i < page; ++i) {
        ASSERT_EQ(data[i], 0) << "the hole before the first write reads as zeros, byte " << i;
    }
    EXPECT_EQ(FirstPatternMismatch(data + page, 6 * page, page, 1), 6 * page);
    // Another opener sees the same bytes (write-through, nothing left in a private cache).
    const std::vector<uint8_t> seen = ReadFile("f");
    ASSERT_EQ(seen.size(), 7u * page);
    EXPECT_EQ(FirstPatternMismatch(seen.data() + page, 6 * page, page, 1), 6 * page);
}

TEST_P(NativeFileSourceTest, ReadOfThePartialLastBlockReportsTheBytesThere) {
    const uint32_t size = 2 * page + 904;
    MakeFile("f", size, 3);
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, false, false));
    Buffer* buffer = NewPages(4);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultPartial);
    EXPECT_EQ(bytes, size);
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), size, 0, 3), size);

    Buffer* one = NewPages(1);
    EXPECT_EQ(source->Read(2 * page, one, &bytes), CacheSource::kResultPartial);
    EXPECT_EQ(bytes, 904u);
    EXPECT_EQ(FirstPatternMismatch(one->GetAddress(), 904, 2 * page, 3), 904u);

    bytes = kUntouched;
    EXPECT_EQ(source->Read(3 * page, one, &bytes), CacheSource::kResultEndOfFile);
    EXPECT_EQ(bytes, 0u);
}

TEST_P(NativeFileSourceTest, MemoryThatIsNotWholePagesIsRefused) {
    MakeFile("f", page);
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, false, false));
    Buffer* heap = new HeapBuffer(100);
    owned.push_back(heap);
    uint32_t bytes = kUntouched;
    EXPECT_EQ(source->Read(0, heap, &bytes), CacheSource::kResultFailed);
    EXPECT_EQ(bytes, kUntouched);
    EXPECT_EQ(source->Read(0, nullptr, &bytes), CacheSource::kResultInvalidArgument)
        << "nothing to read into";
    EXPECT_EQ(heap->GetRefCount(), 1);
}

TEST_P(NativeFileSourceTest, AsyncCompletionsRunOnTheIOThread) {
    MakeFile("f", 4 * page, 2);
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, false, false));
    Completions callback;
    std::vector<BufferList*> lists;
    for (uint32_t i = 0; i < 4; ++i) {
        auto* list = new BufferList(NewPages(1), false);
        owned.push_back(list);
        lists.push_back(list);
        ASSERT_EQ(source->ReadAsyncWithList(i * page, list, &callback, 0), CacheSource::kResultPending);
    }
    ASSERT_TRUE(WaitUntil([&] { return callback.calls.load() == 4; }));
    EXPECT_EQ(callback.onIOThread.load(), 4);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(callback.Results()[i], CacheSource::kResultSuccess);
        EXPECT_EQ(FirstPatternMismatch(lists[i]->GetBuffer(0)->GetAddress(), page, i * page, 2), page);
    }
    // The engine lets go of each list after its callback.
    EXPECT_TRUE(WaitUntil([&] {
        for (BufferList* list : lists) {
            if (list->GetRefCount() != 1) {
                return false;
            }
        }
        return true;
    }));
}

TEST_P(NativeFileSourceTest, OtherOpenersMayReadWriteAndDeleteTheFile) {
    MakeFile("f", page, 4);
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, true, false));
    EXPECT_EQ(ReadFile("f").size(), page);
    {
        std::fstream out(PathOf("f"), std::ios::binary | std::ios::in | std::ios::out);
        ASSERT_TRUE(out.is_open());
        out.write("xyz", 3);
    }
    Buffer* buffer = NewPages(1);
    uint32_t bytes = 0;
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(std::memcmp(buffer->GetAddress(), "xyz", 3), 0);
    EXPECT_EQ(FirstPatternMismatch(static_cast<uint8_t*>(buffer->GetAddress()) + 3, page - 3, 3, 4),
              page - 3);
    EXPECT_TRUE(std::filesystem::remove(PathOf("f")));
    // The open source keeps working on the removed file.
    EXPECT_EQ(source->Write(0, buffer, &bytes), CacheSource::kResultSuccess);
}

TEST_P(NativeFileSourceTest, DeleteClosesAnOpenSourceAndRemovesTheFile) {
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, true, true));
    EXPECT_TRUE(source->Delete());
    EXPECT_FALSE(std::filesystem::exists(PathOf("f")));
    EXPECT_FALSE(source->Close());   // Delete closed it
    EXPECT_FALSE(source->Delete());  // nothing left to remove
    // Its name is frozen by the earlier open; a fresh open recreates the file.
    EXPECT_TRUE(source->Open(true, true, true));
    EXPECT_TRUE(std::filesystem::exists(PathOf("f")));
}

// Submits as many page writes as the engine takes, then ends the source by the given means; every
// request must have reported, exactly once, by the time that returns.
void ExpectEndingReportsEveryRequest(NativeFileSourceTest* test, PlatformNativeFileSource* source,
                                     Completions* callback, const std::function<void()>& end,
                                     std::vector<BufferList*>* lists) {
    int submitted = 0;
    for (uint32_t i = 0; i < NativeIOEngine::kNativeIORequestSlots; ++i) {
        auto* list = new BufferList(PhysMemInterface::Allocate(16 * PhysMemInterface::GetPageSize()), true);
        lists->push_back(list);
        const CacheSource::Result_t result =
            source->WriteAsyncWithList(uint64_t{i} * list->GetTotalSizeOfBuffers(), list, callback, 0);
        if (result == CacheSource::kResultPending) {
            ++submitted;
        } else {
            EXPECT_EQ(result, CacheSource::kResultBusy);
        }
    }
    (void)test;
    end();
    EXPECT_EQ(callback->calls.load(), submitted);
    for (CacheSource::Result_t result : callback->Results()) {
        EXPECT_TRUE(result == CacheSource::kResultSuccess || result == CacheSource::kResultCancelled ||
                    result == CacheSource::kResultPartial)
            << result;
    }
    testing::Test::RecordProperty("cancelled", callback->cancelled.load());
}

TEST_P(NativeFileSourceTest, CloseWithRequestsInFlightReportsThemAllFirst) {
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, true, true));
    Completions callback;
    std::vector<BufferList*> lists;
    ExpectEndingReportsEveryRequest(
        this, source, &callback, [&] { EXPECT_TRUE(source->Close()); }, &lists);
    for (BufferList* list : lists) {
        EXPECT_TRUE(WaitUntil([&] { return list->GetRefCount() == 1; }));
        Release(list);
    }
}

TEST_P(NativeFileSourceTest, DeleteWithRequestsInFlightReportsThemAllFirst) {
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, true, true));
    Completions callback;
    std::vector<BufferList*> lists;
    ExpectEndingReportsEveryRequest(
        this, source, &callback, [&] { EXPECT_TRUE(source->Delete()); }, &lists);
    EXPECT_FALSE(std::filesystem::exists(PathOf("f")));
    for (BufferList* list : lists) {
        EXPECT_TRUE(WaitUntil([&] { return list->GetRefCount() == 1; }));
        Release(list);
    }
}

TEST_P(NativeFileSourceTest, DestroyingASourceWithRequestsInFlightReportsThemAllFirst) {
    std::atomic<bool> destroyed{false};
    auto* source = new WatchedSource(PathOf("f").c_str(), &destroyed);
    ASSERT_TRUE(source->Open(true, true, true));
    Completions callback;
    std::vector<BufferList*> lists;
    ExpectEndingReportsEveryRequest(
        this, source, &callback, [&] { Release(source); }, &lists);
    EXPECT_TRUE(destroyed.load());
    for (BufferList* list : lists) {
        EXPECT_TRUE(WaitUntil([&] { return list->GetRefCount() == 1; }));
        Release(list);
    }
}

// The last reference dropped inside a completion callback destroys the source on the I/O thread; its
// cancellation of the requests still live then runs there inline instead of waiting for that thread.
TEST_P(NativeFileSourceTest, SourceReleasedInsideItsOwnCompletionIsDestroyedWithoutWaiting) {
    MakeFile("f", 8 * page);
    std::atomic<bool> destroyed{false};
    auto* source = new WatchedSource(PathOf("f").c_str(), &destroyed);
    ASSERT_TRUE(source->Open(true, false, false));
    std::vector<BufferList*> lists;
    for (uint32_t i = 0; i < 8; ++i) {
        lists.push_back(new BufferList(NewPages(1), false));
        owned.push_back(lists.back());
    }
    Completions callback;
    std::atomic<bool> first{true};
    std::atomic<int> submitted{1};
    std::atomic<int> reportedBeforeDestroyed{-1};
    // The first completion submits more reads and then drops the only reference on the source.
    callback.onCallback = [&](CacheSource::Result_t) {
        if (!first.exchange(false)) {
            return;
        }
        for (uint32_t i = 1; i < 8; ++i) {
            if (source->ReadAsyncWithList(i * page, lists[i], &callback, 0) == CacheSource::kResultPending) {
                ++submitted;
            }
        }
        Release(source);
        reportedBeforeDestroyed = callback.calls.load();
    };
    ASSERT_EQ(source->ReadAsyncWithList(0, lists[0], &callback, 0), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return destroyed.load(); }));
    ASSERT_TRUE(WaitUntil([&] { return callback.calls.load() == submitted.load(); }));
    // Every nested request had reported by the time the destruction returned (the first one counts
    // itself only after its callback).
    EXPECT_EQ(reportedBeforeDestroyed.load(), submitted.load() - 1);
    EXPECT_EQ(callback.onIOThread.load(), submitted.load());
    for (CacheSource::Result_t result : callback.Results()) {
        EXPECT_TRUE(result == CacheSource::kResultSuccess || result == CacheSource::kResultCancelled)
            << result;
    }
}

// Reads of an idle pipe stay outstanding, which keeps every engine slot taken; closing the source
// cancels them all.
TEST_P(NativeFileSourceTest, ReadWhileEveryEngineSlotIsTakenIsBusyAtOnce) {
    NativeIOEngine* engine = NativeIOEngine::GetEngine();
    const char* unsupported = TarvosTest::IdlePipe::Unsupported(engine);
    if (unsupported != nullptr) {
        GTEST_SKIP() << unsupported;
    }
    if (GetParam() != "disk") {
        GTEST_SKIP() << "a pipe is the same on every file system";
    }
    ASSERT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }));
    TarvosTest::IdlePipe pipe(dir);
    NativeFileSource* source = NativeFileSysInterface::NewNativeFileSource(pipe.GetPath().c_str());
    sources.push_back(source);
    ASSERT_TRUE(pipe.OpenForReading(source));
    Completions callback;
    std::vector<BufferList*> lists;
    for (uint32_t i = 0; i < NativeIOEngine::kNativeIORequestSlots; ++i) {
        lists.push_back(new BufferList(NewPages(1), false));
        owned.push_back(lists.back());
        ASSERT_EQ(source->ReadAsyncWithList(0, lists.back(), &callback, 0), CacheSource::kResultPending);
    }
    Buffer* buffer = NewPages(1);
    uint32_t bytes = kUntouched;
    const CacheSource::Result_t result = source->Read(0, buffer, &bytes);
    if (callback.calls.load() != 0) {
        source->Close();
        GTEST_SKIP() << "this I/O mechanism does not keep pipe reads outstanding";
    }
    EXPECT_EQ(result, CacheSource::kResultBusy);
    EXPECT_EQ(bytes, kUntouched);
    EXPECT_TRUE(source->Close());
    EXPECT_EQ(callback.calls.load(), static_cast<int>(NativeIOEngine::kNativeIORequestSlots));
    EXPECT_EQ(callback.cancelled.load(), static_cast<int>(NativeIOEngine::kNativeIORequestSlots));
    EXPECT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }));
}

TEST_P(NativeFileSourceTest, ManyThreadsTransferSynchronouslyAtOnce) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 20;
    MakeFile("f", 2 * kThreads * page);
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, true, false));
    std::atomic<int> failures{0};
    TarvosTest::RunOnThreads(kThreads, [&](int index) {
        Buffer* buffer = PhysMemInterface::Allocate(page);
        // Each thread rewrites its own page and reads it back; the page after the threads' pages keeps
        // the original pattern.
        const uint64_t own = uint64_t{static_cast<uint32_t>(index)} * page;
        const uint64_t untouched = own + uint64_t{kThreads} * page;
        for (int round = 0; round < kRounds; ++round) {
            uint32_t bytes = 0;
            FillPattern(buffer->GetAddress(), page, own, round + 1);
            if (source->Write(own, buffer, &bytes) != CacheSource::kResultSuccess || bytes != page) {
                ++failures;
            }
            std::memset(buffer->GetAddress(), 0, page);
            if (source->Read(own, buffer, &bytes) != CacheSource::kResultSuccess ||
                FirstPatternMismatch(buffer->GetAddress(), page, own, round + 1) != page) {
                ++failures;
            }
            if (source->Read(untouched, buffer, &bytes) != CacheSource::kResultSuccess ||
                FirstPatternMismatch(buffer->GetAddress(), page, untouched) != page) {
                ++failures;
            }
        }
        if (!WaitUntil([&] { return buffer->GetRefCount() == 1; })) {
            ++failures;
        }
        Release(buffer);
    });
    EXPECT_EQ(failures.load(), 0);
}

// How a cache reads a block range: a transaction handed back to its native source.
class StatusRecorder : public CacheTransaction::StatusCallback {
  public:
    std::atomic<int> calls{0};
    std::atomic<int> result{CacheSource::kResultNone};
    std::atomic<uint32_t> bytes{0};
    void Callback(CacheSource::Result_t newResult, CacheTransaction*, uint32_t newBytes) override {
        result = newResult;
        bytes = newBytes;
        ++calls;
    }
};

TEST_P(NativeFileSourceTest, ReadTransactionFillsTheTransactionsBuffers) {
    MakeFile("f", 4 * page + 10, 8);
    PlatformNativeFileSource* source = NewSource("f");
    ASSERT_TRUE(source->Open(true, false, false));
    auto* list = new BufferList(2);
    owned.push_back(list);
    list->AddBuffer(NewPages(1), false);
    list->AddBuffer(NewPages(2), false);
    auto* status = new StatusRecorder();
    auto* transaction = new CacheTransaction(source, page, list, status, 0);
    EXPECT_EQ(transaction->ReadDirect(), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return status->calls.load() == 1; }));
    EXPECT_EQ(status->result.load(), CacheSource::kResultSuccess);
    EXPECT_EQ(status->bytes.load(), 3 * page);
    EXPECT_EQ(FirstPatternMismatch(list->GetBuffer(0)->GetAddress(), page, page, 8), page);
    EXPECT_EQ(FirstPatternMismatch(list->GetBuffer(1)->GetAddress(), 2 * page, 2 * page, 8), 2 * page);
    EXPECT_TRUE(WaitUntil([&] { return transaction->GetRefCount() == 1; }));
    Release(transaction);
    Release(status);
}

// Two sources of one file attached to one cache find each other's blocks; a write through either
// is seen through the other; closing one leaves the other's blocks, and the last close forgets them.
TEST_P(NativeFileSourceTest, SourcesOfOneFileShareCachedBlocksAndWrites) {
    const uint32_t block = 16 * page;
    MakeFile("f", 8 * block, 1);
    MakeFile("g", block, 2);
    Cache* cache = NewCache(16);
    PlatformNativeFileSource* writer = NewCachedSource("f", cache, true);
    PlatformNativeFileSource* reader = NewCachedSource("f", cache);
    PlatformNativeFileSource* elsewhere = NewCachedSource("g", cache);
    EXPECT_EQ(writer->GetSourceKey(), reader->GetSourceKey());
    EXPECT_NE(writer->GetSourceKey(), elsewhere->GetSourceKey());
    cache->CollectCacheStats(true);

    Buffer* buffer = NewPages(4 * 16);
    uint32_t bytes = 0;
    ASSERT_EQ(writer->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), 4 * block, 0, 1), 4 * block);
    const uint32_t misses = cache->GetCacheMisses();
    EXPECT_GT(misses, 0u);
    std::memset(buffer->GetAddress(), 0xEE, 4 * block);
    ASSERT_EQ(reader->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), 4 * block, 0, 1), 4 * block);
    EXPECT_EQ(cache->GetCacheMisses(), misses) << "the second reader of the file read the device";

    // New bytes for one page of block 1, written through the other source.
    Buffer* fresh = NewPages(1);
    FillPattern(fresh->GetAddress(), page, block + page, 7);
    ASSERT_EQ(writer->Write(block + page, fresh, &bytes), CacheSource::kResultSuccess);
    ASSERT_EQ(reader->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    const auto* data = static_cast<const uint8_t*>(buffer->GetAddress());
    EXPECT_EQ(FirstPatternMismatch(data, block + page, 0, 1), block + page);
    EXPECT_EQ(FirstPatternMismatch(data + block + page, page, block + page, 7), page) << "stale bytes";
    EXPECT_EQ(FirstPatternMismatch(data + block + 2 * page, 3 * block - 2 * page, block + 2 * page, 1),
              3 * block - 2 * page);

    // Closing one source keeps the blocks the other still uses.
    ASSERT_TRUE(writer->Close());
    EXPECT_NE(writer->GetSourceKey(), reader->GetSourceKey());
    const uint32_t missesBeforeClose = cache->GetCacheMisses();
    Buffer* half = NewPages(2 * 16);
    ASSERT_EQ(reader->Read(2 * block, half, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(half->GetAddress(), 2 * block, 2 * block, 1), 2 * block);
    EXPECT_EQ(cache->GetCacheMisses(), missesBeforeClose) << "a close forgot blocks another source uses";

    // The last close retires the key: the file opened again is read afresh.
    const uint32_t oldKey = reader->GetSourceKey();
    ASSERT_TRUE(reader->Close());
    ASSERT_TRUE(reader->Open(true, false, false));
    EXPECT_NE(reader->GetSourceKey(), oldKey);
    ASSERT_EQ(reader->Read(2 * block, half, &bytes), CacheSource::kResultSuccess);
    EXPECT_GT(cache->GetCacheMisses(), missesBeforeClose);
}

// A file removed and created again at once (likely with the same inode or file index) after its
// sources are gone is read afresh, whether they were closed or destroyed while open.
TEST_P(NativeFileSourceTest, ARecreatedFileIsNeverServedTheOldFilesBytes) {
    const uint32_t block = 16 * page;
    // Sources of earlier tests may still be on their way out through the release thread.
    ASSERT_TRUE(WaitUntil([] { return FileIdentityRegistry::GetNumberOfFiles() == 0; }));
    MakeFile("f", 4 * block, 1);
    Cache* cache = NewCache(16);
    Buffer* buffer = NewPages(4 * 16);
    uint32_t bytes = 0;
    for (int i = 0; i < 2; ++i) {
        NativeFileSource* source = NativeFileSysInterface::NewNativeFileSource(PathOf("f").c_str());
        ASSERT_TRUE(source->Open(true, false, false));
        ASSERT_TRUE(source->UseCache(cache));
        EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
        // Destroyed while open: its blocks stay in the cache under the file's key.
        EXPECT_TRUE(WaitUntil([&] { return source->GetRefCount() == 1; }));
        Release(source);
    }
    EXPECT_EQ(FileIdentityRegistry::GetNumberOfFiles(), 0u) << "a destroyed source kept its file's key";
    ASSERT_TRUE(std::filesystem::remove(PathOf("f")));
    MakeFile("f", 4 * block, 9);
    PlatformNativeFileSource* source = NewCachedSource("f", cache, true);
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), 4 * block, 0, 9), 4 * block) << "old bytes";

    // The same through Close, and a source that opens the new file again.
    ASSERT_TRUE(source->Close());
    ASSERT_TRUE(std::filesystem::remove(PathOf("f")));
    MakeFile("f", 4 * block, 11);
    ASSERT_TRUE(source->Open(true, false, false));
    ASSERT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(buffer->GetAddress(), 4 * block, 0, 11), 4 * block) << "old bytes";
}

// Cancel of one source of a file ends its own reads only; the other source's reads, on blocks under
// the same key, all complete with the right bytes.
TEST_P(NativeFileSourceTest, CancelOfOneSourceOfAFileLeavesTheOthersReadsAlone) {
    const uint32_t block = 16 * page;
    MakeFile("f", 16 * block, 3);
    Cache* cache = NewCache(16);
    PlatformNativeFileSource* cancelled = NewCachedSource("f", cache);
    PlatformNativeFileSource* other = NewCachedSource("f", cache);
    auto* ofCancelled = new Completions();
    auto* ofOther = new Completions();
    owned.push_back(ofCancelled);
    owned.push_back(ofOther);
    std::vector<BufferList*> lists;
    int started = 0;
    for (uint32_t i = 0; i < 8; ++i) {
        // Disjoint halves of the file: neither source's read waits on a read of the other.
        auto* list = new BufferList(NewPages(16), false);
        owned.push_back(list);
        lists.push_back(list);
        ASSERT_EQ(other->ReadAsyncWithList(uint64_t{8 + i} * block, list, ofOther, 0),
                  CacheSource::kResultPending);
        auto* mine = new BufferList(NewPages(16), false);
        owned.push_back(mine);
        const CacheSource::Result_t result =
            cancelled->ReadAsyncWithList(uint64_t{i} * block, mine, ofCancelled, 0);
        if (result == CacheSource::kResultPending) {
            ++started;
        }
    }
    cancelled->Cancel();
    EXPECT_EQ(ofCancelled->calls.load(), started) << "reported by the time Cancel returns";
    ASSERT_TRUE(WaitUntil([&] { return ofOther->calls.load() == 8; }));
    for (CacheSource::Result_t result : ofOther->Results()) {
        EXPECT_EQ(result, CacheSource::kResultSuccess);
    }
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(
            FirstPatternMismatch(lists[i]->GetBuffer(0)->GetAddress(), block, uint64_t{8 + i} * block, 3),
            block);
    }
}

// Sources of one file opened and closed on several threads at once: while one source keeps the file
// open, every source that opens it takes that source's key; when all are closed the file has no key.
TEST_P(NativeFileSourceTest, SourcesOpeningOneFileAtOnceTakeOneKey) {
    MakeFile("f", page, 4);
    ASSERT_TRUE(WaitUntil([] { return FileIdentityRegistry::GetNumberOfFiles() == 0; }));
    PlatformNativeFileSource* holder = NewSource("f");
    ASSERT_TRUE(holder->Open(true, false, false));
    const uint32_t key = holder->GetSourceKey();
    std::atomic<int> wrongKeys{0};
    std::atomic<int> failedOpens{0};
    std::vector<PlatformNativeFileSource*> mine;
    for (int i = 0; i < 4; ++i) {
        mine.push_back(NewSource("f"));
    }
    TarvosTest::RunOnThreads(4, [&](int thread) {
        for (int round = 0; round < 200; ++round) {
            if (!mine[thread]->Open(true, false, false)) {
                ++failedOpens;
                continue;
            }
            if (mine[thread]->GetSourceKey() != key) {
                ++wrongKeys;
            }
            mine[thread]->Close();
        }
    });
    EXPECT_EQ(failedOpens.load(), 0);
    EXPECT_EQ(wrongKeys.load(), 0);
    ASSERT_TRUE(holder->Close());
    // Without a holder the threads race to make the file's entry; none may be left behind.
    TarvosTest::RunOnThreads(4, [&](int thread) {
        for (int round = 0; round < 200; ++round) {
            if (mine[thread]->Open(true, false, false)) {
                mine[thread]->Close();
            }
        }
    });
    EXPECT_EQ(FileIdentityRegistry::GetNumberOfFiles(), 0u);
}

}  // namespace
