// Synchronous file operations wait on a semaphore of their own; one that cannot block must make them
// fail before anything starts. Semaphores come from the installed threading implementation, so each
// scenario starts the library in a forked child with one whose semaphores can be spoiled.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "CoreClasses/CallSite.h"
#include "PlatformImps.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/FileSource.h"
#include "Tarvos/OSServices.h"

#include "Startup/ChildCheck.h"

using namespace Tarvos;

namespace {

// A semaphore without an operating-system object: every wait fails at once, every signal too.
class DeadSemaphore : public MTSemaphore {
  public:
    DeadSemaphore() : MTSemaphore(1, 0) {}
    bool Signal(uint32_t) override { return false; }
    bool Wait(uint32_t, uint32_t) override { return false; }
};

class SpoilableImp : public TarvosTest::PlatformMTInterfaceImp {
  public:
    enum class Semaphores { kWorking, kDead, kNone };
    std::atomic<Semaphores> semaphores{Semaphores::kWorking};

    MTSemaphore* NewSemaphore(uint32_t maximumCount, uint32_t initialCount) override {
        switch (semaphores.load()) {
            case Semaphores::kDead:
                return new DeadSemaphore();
            case Semaphores::kNone:
                return nullptr;
            default:
                return TarvosTest::PlatformMTInterfaceImp::NewSemaphore(maximumCount, initialCount);
        }
    }
};

// Completes every operation inline with success and counts the operations started.
class InlineSource : public FileSource {
  public:
    int started = 0;
    bool SupportsMultiBlockReads() override { return true; }
    Result_t ReadAsyncWithListNonCached(uint64_t offset, BufferList* list, ResultCallbackBufferList* callback,
                                        uint32_t) override {
        return Complete(offset, list, callback);
    }
    Result_t WriteAsyncWithListNonCached(uint64_t offset, BufferList* list,
                                         ResultCallbackBufferList* callback, uint32_t) override {
        return Complete(offset, list, callback);
    }
    void CancelNonCached() override {}

  private:
    Result_t Complete(uint64_t offset, BufferList* list, ResultCallbackBufferList* callback) {
        ++started;
        callback->Callback(kResultSuccess, offset, list, list->GetTotalSizeOfBuffers());
        return kResultPending;
    }
};

void ExpectEveryWaitingCallFails(SpoilableImp::Semaphores kind) {
    auto* imp = new SpoilableImp();
    OSServices::InitWithExtensions(imp, nullptr, nullptr);
    auto* source = new InlineSource();
    Buffer* buffer = new HeapBuffer(64);
    auto* list = new BufferList(buffer, false);

    uint32_t bytes = 0;
    CHILD_CHECK(source->Read(0, buffer, &bytes) == CacheSource::kResultSuccess && bytes == 64);
    CHILD_CHECK(source->started == 1);

    imp->semaphores = kind;
    bytes = 12345;
    CHILD_CHECK(source->Read(0, buffer, &bytes) == CacheSource::kResultFailed);
    CHILD_CHECK(source->ReadWithList(0, list, &bytes) == CacheSource::kResultFailed);
    CHILD_CHECK(source->Write(0, buffer, &bytes) == CacheSource::kResultFailed);
    CHILD_CHECK(source->WriteWithList(0, list, &bytes) == CacheSource::kResultFailed);
    CHILD_CHECK(bytes == 12345);
    CHILD_CHECK(source->started == 1);
    // The wrappers are gone with their lists: only the test's list still holds the buffer.
    CHILD_CHECK(buffer->GetRefCount() == 2);
    CHILD_CHECK(list->GetRefCount() == 1);

    imp->semaphores = SpoilableImp::Semaphores::kWorking;
    CHILD_CHECK(source->WriteWithList(0, list, &bytes) == CacheSource::kResultSuccess && bytes == 64);
    CHILD_CHECK(source->started == 2);

    list->DecRef(TARVOS_CALL_SITE);
    buffer->DecRef(TARVOS_CALL_SITE);
    source->DecRef(TARVOS_CALL_SITE);
}

TEST(FileSourceSemaphoreTest, SemaphoreThatCannotWaitFailsSynchronousCallsBeforeTheyStart) {
    EXPECT_EXIT(
        {
            ExpectEveryWaitingCallFails(SpoilableImp::Semaphores::kDead);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(FileSourceSemaphoreTest, MissingSemaphoreFailsSynchronousCallsBeforeTheyStart) {
    EXPECT_EXIT(
        {
            ExpectEveryWaitingCallFails(SpoilableImp::Semaphores::kNone);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
