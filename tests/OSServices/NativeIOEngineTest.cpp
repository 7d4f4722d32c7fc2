#include "OSServices/NativeIOEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "PlatformIO.h"
#include "Support/BufferChecks.h"
#include "Support/CountedObject.h"
#include "Support/ThreadGroup.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;
using TarvosTest::WaitUntil;

namespace {

using Result = CacheSource::Result_t;

// Records every call; checks on the I/O thread that the list is still locked while it runs. An
// optional hook runs inside the callback, after the record is made.
class RecordingCallback : public FileSource::ResultCallbackBufferList {
  public:
    explicit RecordingCallback(NativeIOEngine* engine) : engine(engine) {}

    void Callback(Result result, uint64_t offset, BufferList* list, uint32_t bytes) override {
        bool locked = list != nullptr && list->GetNumberOfBuffers() > 0;
        for (uint32_t i = 0; list != nullptr && i < list->GetNumberOfBuffers(); ++i) {
            locked = locked && list->GetBuffer(i)->GetLockState() == Buffer::kLockStateLocked;
        }
        {
            std::lock_guard<std::mutex> guard(mutex);
            lastResult = result;
            lastOffset = offset;
            lastList = list;
            lastBytes = bytes;
            lockedDuringCallback = locked;
            onIOThread = engine->IsIOThread();
        }
        calls.fetch_add(1);
        if (hook) {
            hook(result);
        }
    }

    Result GetResult() {
        std::lock_guard<std::mutex> guard(mutex);
        return lastResult;
    }
    uint32_t GetBytes() {
        std::lock_guard<std::mutex> guard(mutex);
        return lastBytes;
    }
    uint64_t GetOffset() {
        std::lock_guard<std::mutex> guard(mutex);
        return lastOffset;
    }
    bool WasLocked() {
        std::lock_guard<std::mutex> guard(mutex);
        return lockedDuringCallback;
    }
    bool WasOnIOThread() {
        std::lock_guard<std::mutex> guard(mutex);
        return onIOThread;
    }
    BufferList* GetList() {
        std::lock_guard<std::mutex> guard(mutex);
        return lastList;
    }

    std::atomic<int> calls{0};
    std::function<void(Result)> hook;  // set before submission

  private:
    NativeIOEngine* engine;
    std::mutex mutex;
    Result lastResult = CacheSource::kResultNone;
    uint64_t lastOffset = 0;
    BufferList* lastList = nullptr;
    uint32_t lastBytes = 0;
    bool lockedDuringCallback = false;
    bool onIOThread = false;
};

class NativeIOEngineTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        page = PhysMemInterface::GetPageSize();
        std::string reason;
        std::unique_ptr<IOMechanism> mechanism = TarvosTest::NewPlatformMechanism(GetParam(), &reason);
        if (mechanism == nullptr) {
            GTEST_SKIP() << GetParam() << " cannot run here: " << reason;
        }
        engine = std::make_unique<NativeIOEngine>(std::move(mechanism), reason);
        ASSERT_TRUE(engine->IsRunning());
        ASSERT_STREQ(engine->GetMechanismName(), GetParam().c_str());
    }

    void TearDown() override {
        files.CloseWriteEnds();
        if (engine != nullptr) {
            EXPECT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }, std::chrono::seconds(30)));
            engine.reset();
        }
        for (RecordingCallback* callback : callbacks) {
            callback->DecRef(TARVOS_CALL_SITE);
        }
        for (BufferList* list : lists) {
            list->DecRef(TARVOS_CALL_SITE);
        }
        for (Buffer* buffer : buffers) {
            buffer->DecRef(TARVOS_CALL_SITE);
        }
    }

    IOFileHandle NewFile(uint32_t size, uint32_t seed = 0) { return files.NewFile(size, seed); }
    IOFileHandle NewPipe(IOFileHandle* writeEnd) { return files.NewPipe(writeEnd); }
    void CloseWriteEnd(IOFileHandle writeEnd) { files.CloseWriteEnd(writeEnd); }
    // The whole content of the file at path, read through the C++ library.
    static std::vector<uint8_t> Content(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    uint8_t* Pages(uint32_t pages) {
        Buffer* buffer = PhysMemInterface::Allocate(pages * page);
        EXPECT_NE(buffer, nullptr);
        buffers.push_back(buffer);
        return static_cast<uint8_t*>(buffer->GetAddress());
    }
    // One contiguous buffer of pages pages.
    BufferList* Contiguous(uint32_t pages) { return ListOf({Window(Pages(pages), pages * page)}); }
    // pieces separate one-page buffers, never adjacent in memory.
    BufferList* Separate(uint32_t pieces) {
        uint8_t* memory = Pages(2 * pieces);
        std::vector<Buffer*> windows;
        for (uint32_t i = 0; i < pieces; ++i) {
            windows.push_back(Window(memory + (2 * i + 1) * page, page));
        }
        return ListOf(windows);
    }
    Buffer* Window(uint8_t* address, uint32_t size) {
        Buffer* window = new BufferPartOfBuffer(address, size, nullptr);
        buffers.push_back(window);
        return window;
    }
    BufferList* ListOf(const std::vector<Buffer*>& members) {
        auto* list = new BufferList();
        for (Buffer* member : members) {
            EXPECT_TRUE(list->AddBuffer(member, false));
        }
        lists.push_back(list);
        return list;
    }
    RecordingCallback* NewCallback() {
        auto* callback = new RecordingCallback(engine.get());
        callbacks.push_back(callback);
        return callback;
    }
    static bool Called(RecordingCallback* callback) { return callback->calls.load() == 1; }
    bool WaitCalled(RecordingCallback* callback) {
        return WaitUntil([&] { return callback->calls.load() >= 1; });
    }
    // Waits for the issue counters to reach at least the given totals.
    bool WaitIssued(uint64_t total) {
        return WaitUntil(
            [&] { return engine->GetPlainTransferCount() + engine->GetVectoredTransferCount() >= total; });
    }
    // Blocks the I/O thread inside a callback until Open, so that later submissions stay queued.
    struct Gate {
        std::atomic<bool> entered{false};
        std::atomic<bool> open{false};
        void Block() {
            entered.store(true);
            WaitUntil([&] { return open.load(); }, std::chrono::seconds(60));
        }
    };
    static void CopyList(BufferList* list, std::vector<uint8_t>* out) {
        out->clear();
        for (uint32_t i = 0; i < list->GetNumberOfBuffers(); ++i) {
            Buffer* buffer = list->GetBuffer(i);
            auto* bytes = static_cast<uint8_t*>(buffer->GetAddress());
            out->insert(out->end(), bytes, bytes + buffer->GetSize());
        }
    }
    static void FillList(BufferList* list, uint64_t offset, uint32_t seed) {
        for (uint32_t i = 0; i < list->GetNumberOfBuffers(); ++i) {
            Buffer* buffer = list->GetBuffer(i);
            TarvosTest::FillPattern(buffer->GetAddress(), buffer->GetSize(), offset, seed);
            offset += buffer->GetSize();
        }
    }

    TarvosTest::PlatformFiles files;  // destroyed after the engine
    uint32_t page = 0;
    std::unique_ptr<NativeIOEngine> engine;
    std::vector<RecordingCallback*> callbacks;
    std::vector<BufferList*> lists;
    std::vector<Buffer*> buffers;
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, NativeIOEngineTest,
                         testing::ValuesIn(TarvosTest::PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return std::string(info.param);
                         });

TEST_P(NativeIOEngineTest, WritesThenReadsGiveExactBytes) {
    const IOFileHandle fd = NewFile(8 * page, 1);
    BufferList* out = Separate(3);
    FillList(out, 2 * page, 9);
    RecordingCallback* wrote = NewCallback();
    ASSERT_EQ(engine->Write(fd, out, 2 * page, NativeIOEngine::kNativeIODeadlineMs, wrote),
              CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(wrote));
    EXPECT_EQ(wrote->GetResult(), CacheSource::kResultSuccess);
    EXPECT_EQ(wrote->GetBytes(), 3 * page);
    EXPECT_EQ(wrote->GetOffset(), 2 * page);
    EXPECT_EQ(wrote->GetList(), out);
    EXPECT_TRUE(wrote->WasOnIOThread());

    const std::vector<uint8_t> file = Content(files.LastPath());
    ASSERT_EQ(file.size(), 8 * page);
    EXPECT_EQ(TarvosTest::FirstPatternMismatch(file.data(), 2 * page, 0, 1), 2 * page);
    EXPECT_EQ(TarvosTest::FirstPatternMismatch(file.data() + 2 * page, 3 * page, 2 * page, 9), 3 * page);
    EXPECT_EQ(TarvosTest::FirstPatternMismatch(file.data() + 5 * page, 3 * page, 5 * page, 1), 3 * page);

    // Read back across the written range's edges, in a different shape.
    BufferList* in = ListOf({Window(Pages(2), 2 * page), Window(Pages(2), 2 * page)});
    RecordingCallback* read = NewCallback();
    ASSERT_EQ(engine->Read(fd, in, page, NativeIOEngine::kNativeIODeadlineMs, read),
              CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(read));
    EXPECT_EQ(read->GetResult(), CacheSource::kResultSuccess);
    EXPECT_EQ(read->GetBytes(), 4 * page);
    std::vector<uint8_t> got;
    CopyList(in, &got);
    EXPECT_EQ(std::memcmp(got.data(), file.data() + page, 4 * page), 0);
}

TEST_P(NativeIOEngineTest, ContiguousListUsesOnePlainTransferAndSeparateBuffersOneVectored) {
    const IOFileHandle fd = NewFile(16 * page, 2);
    const uint64_t plain = engine->GetPlainTransferCount();
    const uint64_t vectored = engine->GetVectoredTransferCount();
    RecordingCallback* whole = NewCallback();
    BufferList* contiguous = ListOf({Window(Pages(3), 3 * page)});
    ASSERT_EQ(engine->Read(fd, contiguous, 0, 1000, whole), CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(whole));
    EXPECT_EQ(whole->GetResult(), CacheSource::kResultSuccess);
    EXPECT_EQ(engine->GetPlainTransferCount(), plain + 1);
    EXPECT_EQ(engine->GetVectoredTransferCount(), vectored);

    RecordingCallback* pieces = NewCallback();
    BufferList* separate = Separate(4);
    ASSERT_EQ(engine->Read(fd, separate, 5 * page, 1000, pieces), CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(pieces));
    EXPECT_EQ(pieces->GetResult(), CacheSource::kResultSuccess);
    EXPECT_EQ(pieces->GetBytes(), 4 * page);
    EXPECT_EQ(engine->GetPlainTransferCount(), plain + 1);
    EXPECT_EQ(engine->GetVectoredTransferCount(), vectored + 1);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(
            TarvosTest::FirstPatternMismatch(separate->GetBuffer(i)->GetAddress(), page, (5 + i) * page, 2),
            page);
    }
}

TEST_P(NativeIOEngineTest, ReadPastTheEndIsPartialWithTheBytesRead) {
    const uint32_t fileSize = 2 * page + 100;
    const IOFileHandle fd = NewFile(fileSize, 3);
    BufferList* list = Separate(3);
    FillList(list, 0, 77);
    RecordingCallback* callback = NewCallback();
    ASSERT_EQ(engine->Read(fd, list, page, 1000, callback), CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(callback));
    EXPECT_EQ(callback->GetResult(), CacheSource::kResultPartial);
    EXPECT_EQ(callback->GetBytes(), page + 100);
    std::vector<uint8_t> got;
    CopyList(list, &got);
    EXPECT_EQ(TarvosTest::FirstPatternMismatch(got.data(), page + 100, page, 3), page + 100);
}

TEST_P(NativeIOEngineTest, ReadAtTheEndIsEndOfFile) {
    const IOFileHandle fd = NewFile(2 * page, 4);
    for (uint64_t offset : {uint64_t{2} * page, uint64_t{10} * page}) {
        RecordingCallback* callback = NewCallback();
        ASSERT_EQ(engine->Read(fd, Contiguous(1), offset, 1000, callback), CacheSource::kResultPending);
        ASSERT_TRUE(WaitCalled(callback));
        EXPECT_EQ(callback->GetResult(), CacheSource::kResultEndOfFile) << offset;
        EXPECT_EQ(callback->GetBytes(), 0u);
    }
}

TEST_P(NativeIOEngineTest, ErrorsFailTheRequest) {
    const IOFileHandle fd = NewFile(page, 5);
    const IOFileHandle readOnly = files.Open(files.LastPath(), false);
    RecordingCallback* write = NewCallback();
    ASSERT_EQ(engine->Write(readOnly, Contiguous(1), 0, 1000, write), CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(write));
    EXPECT_EQ(write->GetResult(), CacheSource::kResultFailed);
    EXPECT_EQ(write->GetBytes(), 0u);
    (void)fd;
}

TEST_P(NativeIOEngineTest, RefusesListsThatCannotBePreparedAndHugeOffsets) {
    const IOFileHandle fd = NewFile(page, 6);
    RecordingCallback* callback = NewCallback();
    Buffer* heap = new HeapBuffer(page + 16);  // never whole pages, wherever the heap puts it
    buffers.push_back(heap);
    EXPECT_EQ(engine->Read(fd, ListOf({heap}), 0, 1000, callback), CacheSource::kResultFailed);
    EXPECT_EQ(engine->Read(fd, ListOf({}), 0, 1000, callback), CacheSource::kResultFailed);
    EXPECT_EQ(engine->Read(fd, nullptr, 0, 1000, callback), CacheSource::kResultFailed);
    BufferList* list = Contiguous(1);
    EXPECT_EQ(engine->Read(fd, list, 0x8000000000000000ull, 1000, callback), CacheSource::kResultFailed);
    EXPECT_EQ(engine->Read(fd, list, UINT64_MAX, 1000, callback), CacheSource::kResultFailed);
    EXPECT_EQ(list->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(heap), 0);
    EXPECT_EQ(engine->GetBusySlotCount(), 0u);
    EXPECT_EQ(callback->calls.load(), 0);
}

TEST_P(NativeIOEngineTest, ListStaysLockedDuringTheCallbackAndIsReleasedAfter) {
    const IOFileHandle fd = NewFile(4 * page, 7);
    BufferList* list = Separate(2);
    Buffer* first = list->GetBuffer(0);
    RecordingCallback* callback = NewCallback();
    std::atomic<int> refsDuringCallback{0};
    std::atomic<int> locksDuringCallback{0};
    callback->hook = [&](Result) {
        refsDuringCallback.store(list->GetRefCount());
        locksDuringCallback.store(TarvosTest::LockCountOf(first));
    };
    ASSERT_EQ(engine->Read(fd, list, 0, 1000, callback), CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(callback));
    ASSERT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }));
    EXPECT_TRUE(callback->WasLocked());
    EXPECT_EQ(refsDuringCallback.load(), 2);
    EXPECT_EQ(locksDuringCallback.load(), 1);
    EXPECT_EQ(list->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(first), 0);
    EXPECT_EQ(TarvosTest::LockCountOf(list->GetBuffer(1)), 0);
}

class CountingListener : public NativeIOEngine::SlotFreedListener {
  public:
    void SlotFreed(NativeIOEngine*) override { freed.fetch_add(1); }
    std::atomic<int> freed{0};
};

TEST_P(NativeIOEngineTest, AllSlotsInFlightMakeTheNextSubmissionBusyUntilOneCompletes) {
    IOFileHandle writeEnd = -1;
    const IOFileHandle pipe = NewPipe(&writeEnd);
    CountingListener listener;
    engine->AddSlotFreedListener(&listener);
    std::vector<RecordingCallback*> reads;
    for (uint32_t i = 0; i < NativeIOEngine::kNativeIORequestSlots; ++i) {
        reads.push_back(NewCallback());
        ASSERT_EQ(engine->Read(pipe, Contiguous(1), 0, 60000, reads.back()), CacheSource::kResultPending)
            << i;
    }
    // As many as the engine hands the system at once are issued; the rest wait in its queue.
    ASSERT_TRUE(WaitIssued(engine->GetInKernelLimit()));
    RecordingCallback* extra = NewCallback();
    BufferList* extraList = Contiguous(1);
    EXPECT_EQ(engine->Read(pipe, extraList, 0, 60000, extra), CacheSource::kResultBusy);
    // Nothing has ended, so nothing beyond the limit was handed to the system.
    EXPECT_EQ(engine->GetPlainTransferCount(), engine->GetInKernelLimit());
    EXPECT_EQ(extraList->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(extraList->GetBuffer(0)), 0);
    EXPECT_EQ(listener.freed.load(), 0);

    std::vector<uint8_t> data(page);
    TarvosTest::FillPattern(data.data(), page, 0, 8);
    ASSERT_TRUE(TarvosTest::PlatformFiles::WriteAll(writeEnd, data.data(), page));
    ASSERT_TRUE(WaitUntil([&] { return listener.freed.load() >= 1; }));
    int done = 0;
    for (RecordingCallback* read : reads) {
        if (read->calls.load() == 1) {
            ++done;
            EXPECT_EQ(read->GetResult(), CacheSource::kResultSuccess);
            EXPECT_EQ(read->GetBytes(), page);
            std::vector<uint8_t> got;
            CopyList(read->GetList(), &got);
            EXPECT_EQ(TarvosTest::FirstPatternMismatch(got.data(), page, 0, 8), page);
        }
    }
    EXPECT_EQ(done, 1);
    EXPECT_EQ(engine->Read(pipe, extraList, 0, 60000, extra), CacheSource::kResultPending);

    // Closing the write end ends every waiting read (end of file, or an error where a broken pipe is
    // one), each exactly once.
    CloseWriteEnd(writeEnd);
    reads.push_back(extra);
    ASSERT_TRUE(WaitUntil([&] {
        for (RecordingCallback* read : reads) {
            if (read->calls.load() == 0) {
                return false;
            }
        }
        return true;
    }));
    ASSERT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }));
    engine->RemoveSlotFreedListener(&listener);
    int ended = 0;
    for (RecordingCallback* read : reads) {
        EXPECT_EQ(read->calls.load(), 1);
        ended += read->GetResult() == TarvosTest::kResultOfReadAtClosedPipe ? 1 : 0;
    }
    EXPECT_EQ(ended, static_cast<int>(NativeIOEngine::kNativeIORequestSlots));
    EXPECT_EQ(listener.freed.load(), static_cast<int>(NativeIOEngine::kNativeIORequestSlots) + 1);
}

TEST_P(NativeIOEngineTest, CancelEndsQueuedAndInFlightRequestsOfOneFileOnly) {
    IOFileHandle writeEnd = -1;
    const IOFileHandle pipe = NewPipe(&writeEnd);
    const IOFileHandle other = NewFile(4 * page, 10);
    std::vector<RecordingCallback*> cancelled;
    std::vector<BufferList*> cancelledLists;
    for (int i = 0; i < 3; ++i) {
        cancelled.push_back(NewCallback());
        cancelledLists.push_back(Contiguous(1));
        ASSERT_EQ(engine->Read(pipe, cancelledLists.back(), 0, 60000, cancelled.back()),
                  CacheSource::kResultPending);
    }
    ASSERT_TRUE(WaitIssued(3));

    // Hold the I/O thread in a callback of the other file while more requests are queued behind it;
    // the callback then cancels the pipe's requests inline.
    Gate gate;
    RecordingCallback* blocker = NewCallback();
    blocker->hook = [&](Result) {
        gate.Block();
        engine->Cancel(pipe);
    };
    ASSERT_EQ(engine->Read(other, Contiguous(1), 0, 60000, blocker), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return gate.entered.load(); }));
    for (int i = 0; i < 2; ++i) {
        cancelled.push_back(NewCallback());
        cancelledLists.push_back(Separate(2));
        ASSERT_EQ(engine->Read(pipe, cancelledLists.back(), 0, 60000, cancelled.back()),
                  CacheSource::kResultPending);
    }
    std::vector<RecordingCallback*> untouched;
    for (int i = 0; i < 2; ++i) {
        untouched.push_back(NewCallback());
        ASSERT_EQ(engine->Read(other, Contiguous(1), page * (i + 1), 60000, untouched.back()),
                  CacheSource::kResultPending);
    }
    const uint64_t issuedBefore = engine->GetPlainTransferCount() + engine->GetVectoredTransferCount();
    gate.open.store(true);
    ASSERT_TRUE(WaitUntil([&] {
        for (RecordingCallback* callback : untouched) {
            if (callback->calls.load() == 0) {
                return false;
            }
        }
        return true;
    }));
    for (RecordingCallback* callback : cancelled) {
        EXPECT_EQ(callback->calls.load(), 1);
        EXPECT_EQ(callback->GetResult(), CacheSource::kResultCancelled);
        EXPECT_EQ(callback->GetBytes(), 0u);
    }
    for (RecordingCallback* callback : untouched) {
        EXPECT_EQ(callback->calls.load(), 1);
        EXPECT_EQ(callback->GetResult(), CacheSource::kResultSuccess);
    }
    // The queued pipe reads were never issued: only the two reads of the other file were.
    EXPECT_EQ(engine->GetPlainTransferCount() + engine->GetVectoredTransferCount(), issuedBefore + 2);

    // Now a Cancel from another thread, of reads in flight: every callback has run when it returns.
    std::vector<RecordingCallback*> second;
    for (int i = 0; i < 4; ++i) {
        second.push_back(NewCallback());
        // Slow callbacks: a Cancel that returned before they all ran would be caught every time.
        second.back()->hook = [](Result) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };
        ASSERT_EQ(engine->Read(pipe, Contiguous(1), 0, 60000, second.back()), CacheSource::kResultPending);
    }
    RecordingCallback* otherRead = NewCallback();
    ASSERT_EQ(engine->Read(other, Contiguous(2), 0, 60000, otherRead), CacheSource::kResultPending);
    engine->Cancel(pipe);
    for (RecordingCallback* callback : second) {
        EXPECT_EQ(callback->calls.load(), 1);
        EXPECT_EQ(callback->GetResult(), CacheSource::kResultCancelled);
    }
    ASSERT_TRUE(WaitCalled(otherRead));
    EXPECT_EQ(otherRead->GetResult(), CacheSource::kResultSuccess);
    EXPECT_EQ(otherRead->GetBytes(), 2 * page);

    // Reads still blocked in a worker only give their memory back once the pipe ends.
    CloseWriteEnd(writeEnd);
    ASSERT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }));
    for (RecordingCallback* callback : cancelled) {
        EXPECT_EQ(callback->calls.load(), 1);
    }
    for (RecordingCallback* callback : second) {
        EXPECT_EQ(callback->calls.load(), 1);
    }
    for (BufferList* list : cancelledLists) {
        EXPECT_EQ(list->GetRefCount(), 1);
        EXPECT_EQ(TarvosTest::LockCountOf(list->GetBuffer(0)), 0);
    }
}

TEST_P(NativeIOEngineTest, CancelledSlotIsNotReusedBeforeTheKernelLetsGo) {
    IOFileHandle writeEnd = -1;
    const IOFileHandle pipe = NewPipe(&writeEnd);
    RecordingCallback* first = NewCallback();
    BufferList* firstList = Contiguous(1);
    ASSERT_EQ(engine->Read(pipe, firstList, 0, 60000, first), CacheSource::kResultPending);
    ASSERT_TRUE(WaitIssued(1));
    engine->Cancel(pipe);
    EXPECT_EQ(first->calls.load(), 1);
    EXPECT_EQ(first->GetResult(), CacheSource::kResultCancelled);
    // A new read of the same pipe must get the data; the cancelled one never sees a second report.
    RecordingCallback* next = NewCallback();
    BufferList* nextList = Contiguous(1);
    ASSERT_EQ(engine->Read(pipe, nextList, 0, 60000, next), CacheSource::kResultPending);
    ASSERT_TRUE(WaitIssued(2));
    std::vector<uint8_t> data(page);
    TarvosTest::FillPattern(data.data(), page, 0, 12);
    ASSERT_TRUE(TarvosTest::PlatformFiles::WriteAll(writeEnd, data.data(), page));
    if (GetParam() == "threads") {
        // The cancelled read is still blocked in a worker and may be the one that takes the data.
        CloseWriteEnd(writeEnd);
    }
    ASSERT_TRUE(WaitCalled(next));
    ASSERT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }));
    EXPECT_EQ(first->calls.load(), 1);
    EXPECT_EQ(next->calls.load(), 1);
    if (GetParam() != "threads") {
        EXPECT_EQ(next->GetResult(), CacheSource::kResultSuccess);
        EXPECT_EQ(TarvosTest::FirstPatternMismatch(nextList->GetBuffer(0)->GetAddress(), page, 0, 12), page);
    }
    EXPECT_EQ(firstList->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(firstList->GetBuffer(0)), 0);
}

TEST_P(NativeIOEngineTest, OverdueRequestFailsWithEveryLiveRequestOfItsFile) {
    IOFileHandle writeEnd = -1;
    const IOFileHandle pipe = NewPipe(&writeEnd);
    const IOFileHandle other = NewFile(2 * page, 11);
    RecordingCallback* inFlight = NewCallback();
    ASSERT_EQ(engine->Read(pipe, Contiguous(1), 0, 60000, inFlight), CacheSource::kResultPending);
    ASSERT_TRUE(WaitIssued(1));

    Gate gate;
    RecordingCallback* blocker = NewCallback();
    blocker->hook = [&](Result) { gate.Block(); };
    ASSERT_EQ(engine->Read(other, Contiguous(1), 0, 60000, blocker), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return gate.entered.load(); }));
    RecordingCallback* overdue = NewCallback();
    RecordingCallback* queuedAfter = NewCallback();
    RecordingCallback* otherFile = NewCallback();
    ASSERT_EQ(engine->Read(pipe, Contiguous(1), 0, 0, overdue), CacheSource::kResultPending);
    ASSERT_EQ(engine->Read(pipe, Contiguous(1), 0, 60000, queuedAfter), CacheSource::kResultPending);
    ASSERT_EQ(engine->Read(other, Contiguous(1), page, 0 + 60000, otherFile), CacheSource::kResultPending);
    gate.open.store(true);
    ASSERT_TRUE(WaitCalled(otherFile));
    ASSERT_TRUE(WaitCalled(overdue));
    ASSERT_TRUE(WaitCalled(queuedAfter));
    ASSERT_TRUE(WaitCalled(inFlight));
    for (RecordingCallback* callback : {inFlight, overdue, queuedAfter}) {
        EXPECT_EQ(callback->calls.load(), 1);
        EXPECT_EQ(callback->GetResult(), CacheSource::kResultFailed);
        EXPECT_EQ(callback->GetBytes(), 0u);
    }
    EXPECT_EQ(otherFile->GetResult(), CacheSource::kResultSuccess);
    CloseWriteEnd(writeEnd);
}

// Records the offsets in the order the engine hands their transfers to the system.
class IssueRecorder : public NativeIOEngine::IssueObserver {
  public:
    void Issuing(IOFileHandle, uint64_t offset, uint32_t) override {
        std::lock_guard<std::mutex> guard(mutex);
        offsets.push_back(offset);
    }
    std::vector<uint64_t> Get() {
        std::lock_guard<std::mutex> guard(mutex);
        return offsets;
    }

  private:
    std::mutex mutex;
    std::vector<uint64_t> offsets;
};

TEST_P(NativeIOEngineTest, QueuedRequestsAreIssuedSoonestDueFirstAndEqualDueTimesInArrivalOrder) {
    IssueRecorder recorder;
    engine->SetIssueObserver(&recorder);
    const uint32_t due[] = {40, 10, 30, CacheSource::kDueASAP, 10, 20, 40, 10, 5};
    constexpr uint32_t kReads = sizeof(due) / sizeof(due[0]);
    const IOFileHandle fd = NewFile((kReads + 1) * page, 16);
    Gate gate;
    RecordingCallback* blocker = NewCallback();
    blocker->hook = [&](Result) { gate.Block(); };
    ASSERT_EQ(engine->Read(fd, Contiguous(1), 0, 60000, blocker, 1000), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return gate.entered.load(); }));
    // The I/O thread waits inside that callback: everything below queues.
    std::vector<RecordingCallback*> reads;
    std::vector<BufferList*> readLists;
    for (uint32_t i = 0; i < kReads; ++i) {
        reads.push_back(NewCallback());
        readLists.push_back(Contiguous(1));
        ASSERT_EQ(engine->Read(fd, readLists.back(), uint64_t{i + 1} * page, 60000, reads.back(), due[i]),
                  CacheSource::kResultPending);
    }
    gate.open.store(true);
    for (uint32_t i = 0; i < kReads; ++i) {
        ASSERT_TRUE(WaitCalled(reads[i]));
        EXPECT_EQ(reads[i]->GetResult(), CacheSource::kResultSuccess);
        EXPECT_EQ(TarvosTest::FirstPatternMismatch(readLists[i]->GetBuffer(0)->GetAddress(), page,
                                                   uint64_t{i + 1} * page, 16),
                  page);
    }
    std::vector<uint32_t> byDue(kReads);
    for (uint32_t i = 0; i < kReads; ++i) {
        byDue[i] = i;
    }
    std::stable_sort(byDue.begin(), byDue.end(), [&](uint32_t a, uint32_t b) { return due[a] < due[b]; });
    std::vector<uint64_t> expected{0};
    for (uint32_t i : byDue) {
        expected.push_back(uint64_t{i + 1} * page);
    }
    EXPECT_EQ(recorder.Get(), expected);
}

TEST_P(NativeIOEngineTest, CallbacksMaySubmitNewRequests) {
    const IOFileHandle fd = NewFile(8 * page, 13);
    std::vector<RecordingCallback*> chain;
    std::vector<BufferList*> chainLists;
    for (uint32_t i = 0; i < 8; ++i) {
        chain.push_back(NewCallback());
        chainLists.push_back(Contiguous(1));
    }
    for (uint32_t i = 0; i + 1 < 8; ++i) {
        chain[i]->hook = [&, i](Result) {
            EXPECT_EQ(engine->Read(fd, chainLists[i + 1], uint64_t{i + 1} * page, 1000, chain[i + 1]),
                      CacheSource::kResultPending);
        };
    }
    ASSERT_EQ(engine->Read(fd, chainLists[0], 0, 1000, chain[0]), CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(chain.back()));
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(chain[i]->calls.load(), 1);
        EXPECT_EQ(chain[i]->GetResult(), CacheSource::kResultSuccess);
        EXPECT_EQ(
            TarvosTest::FirstPatternMismatch(chainLists[i]->GetBuffer(0)->GetAddress(), page, i * page, 13),
            page);
    }
}

// Drops, inside the callback, the last reference of an object whose destructor cancels the file: the
// cancellation runs inline on the I/O thread.
TEST_P(NativeIOEngineTest, CallbackDroppingALastReferenceThatCancelsRunsTheCancellationInline) {
    IOFileHandle writeEnd = -1;
    const IOFileHandle pipe = NewPipe(&writeEnd);
    const IOFileHandle fd = NewFile(page, 14);
    std::vector<RecordingCallback*> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(NewCallback());
        ASSERT_EQ(engine->Read(pipe, Contiguous(1), 0, 60000, waiting.back()), CacheSource::kResultPending);
    }
    ASSERT_TRUE(WaitIssued(3));
    std::atomic<int> destroyed{0};
    std::atomic<bool> destroyedOnIOThread{false};
    auto* owner = new TarvosTest::CountedObject(&destroyed);
    owner->onDestroy = [&](TarvosTest::CountedObject*) {
        destroyedOnIOThread.store(engine->IsIOThread());
        engine->Cancel(pipe);
    };
    RecordingCallback* dropper = NewCallback();
    std::atomic<int> cancelledSeenInCallback{0};
    dropper->hook = [&](Result) {
        owner->DecRef(TARVOS_CALL_SITE);
        for (RecordingCallback* callback : waiting) {
            cancelledSeenInCallback += callback->calls.load() == 1 ? 1 : 0;
        }
    };
    ASSERT_EQ(engine->Read(fd, Contiguous(1), 0, 1000, dropper), CacheSource::kResultPending);
    ASSERT_TRUE(WaitCalled(dropper));
    ASSERT_TRUE(WaitUntil([&] { return destroyed.load() == 1; }));
    EXPECT_TRUE(destroyedOnIOThread.load());
    ASSERT_TRUE(WaitUntil([&] { return cancelledSeenInCallback.load() == 3; }));
    for (RecordingCallback* callback : waiting) {
        EXPECT_EQ(callback->calls.load(), 1);
        EXPECT_EQ(callback->GetResult(), CacheSource::kResultCancelled);
    }
    CloseWriteEnd(writeEnd);
}

TEST_P(NativeIOEngineTest, ConcurrentSubmittersGetEveryByteRight) {
    constexpr int kThreads = 4;
    constexpr uint32_t kChunksPerThread = 24;
    const uint32_t chunk = 3 * page;
    const IOFileHandle fd = NewFile(kThreads * kChunksPerThread * chunk, 0);
    struct Job {
        BufferList* list;
        RecordingCallback* callback;
    };
    std::vector<std::vector<Job>> jobs(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        for (uint32_t c = 0; c < 2 * kChunksPerThread; ++c) {
            jobs[t].push_back(Job{c % 2 == 0 ? Contiguous(3) : Separate(3), NewCallback()});
        }
    }
    CountingListener listener;
    engine->AddSlotFreedListener(&listener);
    // Submits, retrying while every slot is taken until the listener reports a freed slot.
    const auto submit = [&](bool write, BufferList* list, uint64_t offset, RecordingCallback* callback) {
        while (true) {
            const int freedBefore = listener.freed.load();
            const Result result = write ? engine->Write(fd, list, offset, 60000, callback)
                                        : engine->Read(fd, list, offset, 60000, callback);
            if (result != CacheSource::kResultBusy) {
                EXPECT_EQ(result, CacheSource::kResultPending);
                return;
            }
            EXPECT_TRUE(WaitUntil([&] { return listener.freed.load() != freedBefore; }));
        }
    };
    TarvosTest::RunOnThreads(kThreads, [&](int t) {
        // Writes of this thread's chunks, seeded by the thread, then reads of them in reverse order.
        for (uint32_t c = 0; c < kChunksPerThread; ++c) {
            const uint64_t offset = uint64_t{t * kChunksPerThread + c} * chunk;
            FillList(jobs[t][c].list, offset, 100 + t);
            submit(true, jobs[t][c].list, offset, jobs[t][c].callback);
        }
        for (uint32_t c = 0; c < kChunksPerThread; ++c) {
            EXPECT_TRUE(WaitCalled(jobs[t][c].callback));
            EXPECT_EQ(jobs[t][c].callback->GetResult(), CacheSource::kResultSuccess);
        }
        for (uint32_t c = kChunksPerThread; c-- > 0;) {
            const uint64_t offset = uint64_t{t * kChunksPerThread + c} * chunk;
            Job& job = jobs[t][kChunksPerThread + c];
            submit(false, job.list, offset, job.callback);
        }
    });
    for (int t = 0; t < kThreads; ++t) {
        for (uint32_t c = 0; c < kChunksPerThread; ++c) {
            Job& job = jobs[t][kChunksPerThread + c];
            ASSERT_TRUE(WaitCalled(job.callback));
            EXPECT_EQ(job.callback->calls.load(), 1);
            EXPECT_EQ(job.callback->GetResult(), CacheSource::kResultSuccess);
            EXPECT_EQ(job.callback->GetBytes(), chunk);
            std::vector<uint8_t> got;
            CopyList(job.list, &got);
            const uint64_t offset = uint64_t{t * kChunksPerThread + c} * chunk;
            EXPECT_EQ(TarvosTest::FirstPatternMismatch(got.data(), chunk, offset, 100 + t), chunk)
                << "thread " << t << " chunk " << c;
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return engine->GetBusySlotCount() == 0; }));
    engine->RemoveSlotFreedListener(&listener);
}

TEST_P(NativeIOEngineTest, DestructionFailsRequestsStillQueued) {
    const IOFileHandle fd = NewFile(page, 15);
    Gate gate;
    RecordingCallback* blocker = NewCallback();
    blocker->hook = [&](Result) { gate.Block(); };
    ASSERT_EQ(engine->Read(fd, Contiguous(1), 0, 60000, blocker), CacheSource::kResultPending);
    ASSERT_TRUE(WaitUntil([&] { return gate.entered.load(); }));
    RecordingCallback* queued = NewCallback();
    BufferList* list = Contiguous(1);
    ASSERT_EQ(engine->Read(fd, list, 0, 60000, queued), CacheSource::kResultPending);
    NativeIOEngine* stopping = engine.get();
    std::thread opener([&] {
        // Opens the gate once the destructor has asked the thread to stop.
        EXPECT_TRUE(WaitUntil([&] { return stopping->IsStopping(); }));
        gate.open.store(true);
    });
    engine.reset();
    opener.join();
    EXPECT_EQ(queued->calls.load(), 1);
    EXPECT_EQ(queued->GetResult(), CacheSource::kResultFailed);
    EXPECT_EQ(list->GetRefCount(), 1);
}

TEST(NativeIOEngineWithoutThread, RefusesSubmissionsAndCancelReturns) {
    NativeIOEngine engine(nullptr, "none");
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_FALSE(engine.IsIOThread());
    Buffer* buffer = PhysMemInterface::Allocate(PhysMemInterface::GetPageSize());
    auto* list = new BufferList(buffer, true);
    EXPECT_EQ(engine.Read(0, list, 0, 1000, nullptr), CacheSource::kResultFailed);
    EXPECT_EQ(engine.Write(0, list, 0, 1000, nullptr), CacheSource::kResultFailed);
    engine.Cancel(0);
    EXPECT_EQ(list->GetRefCount(), 1);
    EXPECT_EQ(TarvosTest::LockCountOf(buffer), 0);
    list->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
