// Start-up can happen once per process and cannot be retried, so every scenario runs in a forked
// child (a death test that expects a clean exit); a failed check in the child prints and exits 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "PlatformImps.h"
#include "Support/LimitingPhysMemImp.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/NativeFileSource.h"
#include "Tarvos/NativeFileSysInterface.h"
#include "Tarvos/OSServices.h"
#include "Tarvos/PhysMemInterface.h"
#include "Tarvos/SharedObject.h"

#include "Startup/ChildCheck.h"

using namespace Tarvos;

namespace {

// Runs the call and returns the char* message it threw, or "" when it threw nothing.
template <typename Call>
std::string MessageThrownBy(Call call) {
    try {
        call();
    } catch (char* message) {
        return message;
    }
    return "";
}

// A threading implementation that records what start-up asks of it and forwards to the default. The
// I/O thread that start-up launches may call it too, so the record is locked and the switches atomic.
class RecordingImp : public TarvosTest::PlatformMTInterfaceImp {
  public:
    std::atomic<bool> semaphoreFails{false};
    uint32_t counterStart = 0;
    bool overrideCounterStart = false;
    std::atomic<bool> zeroCountersFail{false};  // counters created with initial value 0 come back null
    std::atomic<bool> critSecsFail{false};

    void Record(const std::string& call) {
        std::lock_guard<std::mutex> hold(mutex);
        calls.push_back(call);
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> hold(mutex);
        return calls;
    }

    MTCritSec* NewCritSec() override {
        return critSecsFail ? nullptr : TarvosTest::PlatformMTInterfaceImp::NewCritSec();
    }

    MTSemaphore* NewSemaphore(uint32_t maximumCount, uint32_t initialCount) override {
        Record("NewSemaphore(" + std::to_string(maximumCount) + "," + std::to_string(initialCount) + ")");
        return semaphoreFails ? nullptr
                              : TarvosTest::PlatformMTInterfaceImp::NewSemaphore(maximumCount, initialCount);
    }
    MTAtomicUnsigned32* NewAtomicUnsigned32(uint32_t initial) override {
        Record("NewAtomicUnsigned32(" + std::to_string(initial) + ")");
        if (zeroCountersFail && initial == 0) {
            return nullptr;
        }
        return TarvosTest::PlatformMTInterfaceImp::NewAtomicUnsigned32(overrideCounterStart ? counterStart
                                                                                            : initial);
    }
    MTThread* NewThread(MTThreadBody* body, MTThread::MTPriority priority, uint64_t affinity) override {
        Record("NewThread(" + std::to_string(priority) + ")");
        return TarvosTest::PlatformMTInterfaceImp::NewThread(body, priority, affinity);
    }
    uint32_t GetCPUCount() override {
        Record("GetCPUCount");
        return 3;
    }

  private:
    std::mutex mutex;
    std::vector<std::string> calls;
};

// What installing the threading implementation asks of it, before anything else is installed.
const std::vector<std::string> kInstallationCalls = {"GetCPUCount", "NewSemaphore(1,0)",
                                                     "NewAtomicUnsigned32(0)"};
// Installing the native files creates the I/O engine, whose I/O thread runs at time-critical priority.
const std::string kIOThreadStart = "NewThread(1000)";

bool StartsWith(const std::vector<std::string>& calls, const std::vector<std::string>& prefix) {
    return calls.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), calls.begin());
}

// The position of the first call equal to call at or after from, or -1.
int Find(const std::vector<std::string>& calls, const std::string& call, size_t from = 0) {
    for (size_t i = from; i < calls.size(); ++i) {
        if (calls[i] == call) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TEST(StartupTest, InitTwiceFailsTheSecondTime) {
    EXPECT_EXIT(
        {
            OSServices::Init();
            const uint32_t id = MTInterface::GetProcessUniqueID();
            CHILD_CHECK(MessageThrownBy([] { OSServices::Init(); }) == "OSServices Already Initialized");
            CHILD_CHECK(MTInterface::GetProcessUniqueID() == id + 1);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, EverythingFailsBeforeStartUp) {
    EXPECT_EXIT(
        {
            CHILD_CHECK(MessageThrownBy([] { delete MTInterface::NewCritSec(); }) ==
                        "MTInterface No Installed Implementation");
            CHILD_CHECK(MessageThrownBy([] { MTInterface::GetCurrentTimeMilli(); }) ==
                        "MTInterface No Installed Implementation");
            CHILD_CHECK(MessageThrownBy([] { MTInterface::GetCPUCount(); }) ==
                        "MTInterface No Installed Implementation");
            CHILD_CHECK(MessageThrownBy([] { MTInterface::GetProcessUniqueID(); }) ==
                        "MTInterface No Installed Implementation");
            CHILD_CHECK(MessageThrownBy([] { delete MTInterface::NewAtomicPointer(nullptr); }) ==
                        "MTInterface No Installed Implementation");
            CHILD_CHECK(MessageThrownBy([] { NativeFileSysInterface::NewNativeFileSource("x"); }) ==
                        "NativeFileSysInterface No Installed Implementation");
            CHILD_CHECK(MessageThrownBy([] { PhysMemInterface::Allocate(1); }) ==
                        "PhysMemInterface No Installed Implementation");
            CHILD_CHECK(PhysMemInterface::GetPageSize() == 0);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, MessageReachesEveryPointerHandler) {
    EXPECT_EXIT(
        {
            OSServices::Init();
            int received = 0;
            try {
                OSServices::Init();
            } catch (const char* m) {
                received += std::strcmp(m, "OSServices Already Initialized") == 0;
            }
            try {
                OSServices::Init();
            } catch (void* m) {
                received += std::strcmp(static_cast<char*>(m), "OSServices Already Initialized") == 0;
            }
            try {
                OSServices::Init();
            } catch (const void* m) {
                received += m != nullptr;
            }
            try {
                OSServices::Init();
            } catch (char* m) {
                received += m != nullptr;
            }
            CHILD_CHECK(received == 4);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, CustomThreadingImplementationReceivesCallsInOrder) {
    EXPECT_EXIT(
        {
            auto* imp = new RecordingImp();
            OSServices::InitWithExtensions(imp, nullptr, nullptr);
            CHILD_CHECK(StartsWith(imp->Calls(), kInstallationCalls));
            CHILD_CHECK(MTInterface::GetCPUCount() == 3);
            const size_t before = imp->Calls().size();
            delete MTInterface::NewSemaphore(4, 2);
            CHILD_CHECK(Find(imp->Calls(), "NewSemaphore(4,2)", before) >= 0);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, NullSleepSemaphoreFailsStartUpForGood) {
    EXPECT_EXIT(
        {
            auto* imp = new RecordingImp();
            imp->semaphoreFails = true;
            CHILD_CHECK(MessageThrownBy([&] { OSServices::InitWithExtensions(imp, nullptr, nullptr); }) ==
                        "MTInterface Unable To Construct Object");
            CHILD_CHECK(MessageThrownBy([] { PhysMemInterface::Allocate(1); }) ==
                        "PhysMemInterface No Installed Implementation");
            CHILD_CHECK(PhysMemInterface::GetPageSize() == 0);
            CHILD_CHECK(MessageThrownBy([] { NativeFileSysInterface::NewNativeFileSource("x"); }) ==
                        "NativeFileSysInterface No Installed Implementation");
            CHILD_CHECK(MessageThrownBy([] { OSServices::Init(); }) ==
                        "MTInterface Implementation Already Installed");
            CHILD_CHECK(MessageThrownBy([] { MTInterface::Sleep(1); }) ==
                        "MTInterface No Installed Implementation");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, UniqueIdsWrapPastZero) {
    EXPECT_EXIT(
        {
            auto* imp = new RecordingImp();
            imp->overrideCounterStart = true;
            imp->counterStart = 0xFFFFFFFDu;
            OSServices::InitWithExtensions(imp, nullptr, nullptr);
            CHILD_CHECK(MTInterface::GetProcessUniqueID() == 0xFFFFFFFEu);
            CHILD_CHECK(MTInterface::GetProcessUniqueID() == 0xFFFFFFFFu);
            CHILD_CHECK(MTInterface::GetProcessUniqueID() == 1u);
            CHILD_CHECK(MTInterface::GetProcessUniqueID() == 2u);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// A memory implementation that writes its installation query into the threading implementation's log.
class OrderedMemoryImp : public TarvosTest::LimitingPhysMemImp {
  public:
    explicit OrderedMemoryImp(RecordingImp* threading) : threading(threading) {}
    uint32_t GetPageSize() override {
        threading->Record("GetPageSize");
        return LimitingPhysMemImp::GetPageSize();
    }

  private:
    RecordingImp* threading;
};

uint32_t PlatformPageSize() {
    return TarvosTest::PlatformPhysMemInterfaceImp().GetPageSize();
}

TEST(StartupTest, ThreadingThenMemoryThenNativeFilesAreInstalled) {
    EXPECT_EXIT(
        {
            auto* threading = new RecordingImp();
            auto* memory = new OrderedMemoryImp(threading);
            OSServices::InitWithExtensions(threading, memory, nullptr);
            std::vector<std::string> expected = kInstallationCalls;
            expected.push_back("GetPageSize");
            const std::vector<std::string> calls = threading->Calls();
            CHILD_CHECK(StartsWith(calls, expected));
            // The native files come last: their I/O thread starts after the memory query, during Init.
            if (TarvosTest::kIOThreadStartsThroughMTInterface) {
                CHILD_CHECK(Find(calls, kIOThreadStart, expected.size()) >= 0);
                CHILD_CHECK(Find(calls, kIOThreadStart) == Find(calls, kIOThreadStart, expected.size()));
            }
            NativeFileSource* source = NativeFileSysInterface::NewNativeFileSource(nullptr);
            CHILD_CHECK(source != nullptr);
            source->DecRef(TARVOS_CALL_SITE);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, InitInstallsTheDefaultNativeFiles) {
    EXPECT_EXIT(
        {
            OSServices::Init();
            NativeFileSource* source = NativeFileSysInterface::NewNativeFileSource("startup-test-file");
            CHILD_CHECK(source != nullptr);
            CHILD_CHECK(std::strcmp(source->GetName(), "startup-test-file") == 0);
            CHILD_CHECK(!source->OpenedForRead() && !source->OpenedForWrite());
            NativeFileSource* unnamed = NativeFileSysInterface::NewNativeFileSource(nullptr);
            CHILD_CHECK(unnamed != nullptr && unnamed->GetName() == nullptr);
            CHILD_CHECK(!unnamed->Open(true, false, false));
            unnamed->DecRef(TARVOS_CALL_SITE);
            source->DecRef(TARVOS_CALL_SITE);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// A native file system of the application's own, which start-up installs instead of the default.
class RecordingNativeFiles : public NativeFileSysInterfaceImp {
  public:
    std::vector<std::string> paths;
    NativeFileSource* NewNativeFileSource(const char* path) override {
        paths.push_back(path != nullptr ? path : "(null)");
        return nullptr;
    }
};

TEST(StartupTest, CustomNativeFilesImplementationIsUsed) {
    EXPECT_EXIT(
        {
            auto* threading = new RecordingImp();
            auto* files = new RecordingNativeFiles();
            OSServices::InitWithExtensions(threading, nullptr, files);
            CHILD_CHECK(NativeFileSysInterface::NewNativeFileSource("a") == nullptr);
            CHILD_CHECK(NativeFileSysInterface::NewNativeFileSource(nullptr) == nullptr);
            CHILD_CHECK((files->paths == std::vector<std::string>{"a", "(null)"}));
            // No engine without the default native files: no I/O thread was started.
            CHILD_CHECK(Find(threading->Calls(), kIOThreadStart) < 0);
            CHILD_CHECK(MessageThrownBy([] { OSServices::Init(); }) == "OSServices Already Initialized");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, InitInstallsTheDefaultMemory) {
    EXPECT_EXIT(
        {
            auto* threading = new RecordingImp();
            OSServices::InitWithExtensions(threading, nullptr, nullptr);
            CHILD_CHECK(StartsWith(threading->Calls(), kInstallationCalls));
            const uint32_t page = PlatformPageSize();
            CHILD_CHECK(PhysMemInterface::GetPageSize() == page);
            Buffer* buffer = PhysMemInterface::Allocate(1);
            CHILD_CHECK(buffer != nullptr);
            CHILD_CHECK(buffer->GetSize() == page);
            CHILD_CHECK(PhysMemInterface::GetNumberOfValidPagesForBuffer(buffer->GetAddress(), page) == 1);
            buffer->DecRef(TARVOS_CALL_SITE);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, CustomMemoryImplementationIsUsed) {
    EXPECT_EXIT(
        {
            auto* memory = new TarvosTest::LimitingPhysMemImp(8192);
            OSServices::InitWithExtensions(nullptr, memory, nullptr);
            CHILD_CHECK(PhysMemInterface::GetPageSize() == PlatformPageSize());
            Buffer* buffer = PhysMemInterface::Allocate(10);
            CHILD_CHECK(buffer != nullptr && memory->LiveChunks() == 1);
            CHILD_CHECK(PhysMemInterface::Allocate(8193) == nullptr);
            CHILD_CHECK((memory->Requests() == std::vector<uint32_t>{10, 8193}));
            buffer->DecRef(TARVOS_CALL_SITE);
            CHILD_CHECK(memory->LiveChunks() == 0);
            CHILD_CHECK(MessageThrownBy([] { OSServices::Init(); }) == "OSServices Already Initialized");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, HostBufferWithoutALockCounterIsNeverMade) {
    EXPECT_EXIT(
        {
            auto* threading = new RecordingImp();
            OSServices::InitWithExtensions(threading, nullptr, nullptr);
            threading->zeroCountersFail = true;
            bool threw = false;
            try {
                new HostBuffer(nullptr, 16);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            CHILD_CHECK(threw);
            threading->zeroCountersFail = false;
            threading->critSecsFail = true;
            threw = false;
            try {
                new BufferFactoryHeap();
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            CHILD_CHECK(threw);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// Physical-memory factories over a memory implementation that limits how much one allocation may take.
constexpr uint32_t kChunkUnit = 65536;

std::vector<uint32_t> Units(std::vector<uint32_t> counts) {
    for (auto& count : counts) {
        count *= kChunkUnit;
    }
    return counts;
}

std::vector<uint32_t> Descending(uint32_t from, uint32_t to) {
    std::vector<uint32_t> counts;
    for (uint32_t count = from; count >= to; --count) {
        counts.push_back(count);
    }
    return counts;
}

std::vector<uint32_t> Concatenated(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TarvosTest::LimitingPhysMemImp* StartWithMemoryLimit(uint32_t largestUnits, uint32_t failingAllocation = 0) {
    auto* memory = new TarvosTest::LimitingPhysMemImp(largestUnits * kChunkUnit, failingAllocation);
    OSServices::InitWithExtensions(nullptr, memory, nullptr);
    return memory;
}

TEST(StartupTest, PhysMemFactoryTakesOneChunkWhenMemoryAllows) {
    EXPECT_EXIT(
        {
            auto* memory = StartWithMemoryLimit(1000);
            auto* factory = new BufferFactoryPhysMem();
            CHILD_CHECK(factory->Initialize(kChunkUnit, 1, 100, 0));
            CHILD_CHECK(factory->GetNumberOfBuffersFree() == 100);
            CHILD_CHECK(memory->Requests() == Units({100}));
            CHILD_CHECK(memory->LiveChunks() == 1);
            factory->DecRef(TARVOS_CALL_SITE);
            CHILD_CHECK(memory->LiveChunks() == 0);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, PhysMemFactoryTakesTheLargestChunksItCanGet) {
    EXPECT_EXIT(
        {
            auto* memory = StartWithMemoryLimit(60);
            auto* factory = new BufferFactoryPhysMem();
            CHILD_CHECK(factory->Initialize(kChunkUnit, 1, 100, 0));
            CHILD_CHECK(factory->GetNumberOfBuffersFree() == 100);
            CHILD_CHECK(memory->Requests() == Units(Concatenated(Descending(100, 60), {40})));
            CHILD_CHECK(memory->LiveChunks() == 2);
            // Every buffer is a window of one unit; they cover two chunks without overlapping.
            std::vector<Buffer*> taken;
            while (Buffer* buffer = factory->GetBufferFromFactory()) {
                CHILD_CHECK(buffer->GetSize() == kChunkUnit);
                taken.push_back(buffer);
            }
            CHILD_CHECK(taken.size() == 100);
            for (Buffer* buffer : taken) {
                CHILD_CHECK(factory->ReturnBufferToFactory(buffer));
            }
            factory->DecRef(TARVOS_CALL_SITE);
            CHILD_CHECK(memory->LiveChunks() == 0);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, PhysMemFactoryStopsWhenFewerThanTheMinimumAreStillWanted) {
    EXPECT_EXIT(
        {
            auto* memory = StartWithMemoryLimit(6);
            auto* factory = new BufferFactoryPhysMem();
            CHILD_CHECK(factory->Initialize(kChunkUnit, 5, 10, 0));
            CHILD_CHECK(factory->GetNumberOfBuffersFree() == 6);
            CHILD_CHECK(memory->Requests() == Units(Descending(10, 6)));
            factory->DecRef(TARVOS_CALL_SITE);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, PhysMemFactoryWithMinimumEqualToMaximumNeedsOneChunk) {
    EXPECT_EXIT(
        {
            auto* memory = StartWithMemoryLimit(9);
            auto* factory = new BufferFactoryPhysMem();
            CHILD_CHECK(!factory->Initialize(kChunkUnit, 10, 10, 0));
            CHILD_CHECK(memory->Requests() == Units({10, 9}));
            CHILD_CHECK(factory->GetTotalNumberOfBuffers() == 0);
            CHILD_CHECK(memory->LiveChunks() == 0);
            CHILD_CHECK(factory->GetBufferSize() == kChunkUnit);  // the failed attempt fixed the size
            CHILD_CHECK(!factory->Initialize(2 * kChunkUnit, 1, 2, 0));
            CHILD_CHECK(factory->Initialize(kChunkUnit, 9, 9, 0));
            CHILD_CHECK(factory->GetNumberOfBuffersFree() == 9);
            factory->DecRef(TARVOS_CALL_SITE);
            CHILD_CHECK(memory->LiveChunks() == 0);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, PhysMemFactoryWorksAroundAFailedAllocation) {
    EXPECT_EXIT(
        {
            auto* memory = StartWithMemoryLimit(1000, 1);
            auto* factory = new BufferFactoryPhysMem();
            CHILD_CHECK(factory->Initialize(kChunkUnit, 1, 10, 0));
            CHILD_CHECK(factory->GetNumberOfBuffersFree() == 10);
            CHILD_CHECK(memory->Requests() == Units({10, 9, 1}));
            CHILD_CHECK(memory->LiveChunks() == 2);
            factory->DecRef(TARVOS_CALL_SITE);
            CHILD_CHECK(memory->LiveChunks() == 0);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, PhysMemFactoryWithoutMemoryFailsCleanly) {
    EXPECT_EXIT(
        {
            auto* memory = StartWithMemoryLimit(0);
            auto* factory = new BufferFactoryPhysMem();
            CHILD_CHECK(!factory->Initialize(kChunkUnit, 1, 3, 0));
            CHILD_CHECK(memory->Requests() == Units({3, 2, 1}));
            CHILD_CHECK(factory->GetTotalNumberOfBuffers() == 0);
            CHILD_CHECK(factory->GetBufferFromFactory() == nullptr);
            factory->DecRef(TARVOS_CALL_SITE);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, PhysMemFactoryNeverAsksForAWrappedSize) {
    EXPECT_EXIT(
        {
            auto* memory = StartWithMemoryLimit(0xFFFF);
            auto* factory = new BufferFactoryPhysMem();
            CHILD_CHECK(!factory->Initialize(kChunkUnit, 1, 65537, 0));
            CHILD_CHECK(!factory->Initialize(0x10000001u, 16, 16, 0));
            CHILD_CHECK(memory->Requests().empty());
            factory->DecRef(TARVOS_CALL_SITE);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StartupTest, FailedPhysMemTopUpLeavesTheEarlierStock) {
    EXPECT_EXIT(
        {
            auto* memory = StartWithMemoryLimit(4);
            auto* factory = new BufferFactoryPhysMem();
            CHILD_CHECK(factory->Initialize(kChunkUnit, 4, 4, 0));
            Buffer* held = factory->GetBufferFromFactory();
            CHILD_CHECK(!factory->Initialize(kChunkUnit, 8, 8, 0));
            CHILD_CHECK(memory->LiveChunks() == 1);  // the top-up's chunks are gone, the first one stays
            CHILD_CHECK(factory->GetNumberOfBuffersFree() == 3);
            CHILD_CHECK(factory->GetNumberOfBuffersInUse() == 1);
            CHILD_CHECK(factory->ReturnBufferToFactory(held));
            factory->DecRef(TARVOS_CALL_SITE);
            CHILD_CHECK(memory->LiveChunks() == 0);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
