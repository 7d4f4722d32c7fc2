// Start-up can happen once per process and cannot be retried, so every scenario runs in a forked
// child (a death test that expects a clean exit); a failed check in the child prints and exits 1.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "OSServices/Posix/MTInterfaceImpPosix.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/NativeFileSysInterface.h"
#include "Tarvos/OSServices.h"
#include "Tarvos/PhysMemInterface.h"
#include "Tarvos/SharedObject.h"

using namespace Tarvos;

namespace {

#define CHILD_CHECK(condition)                                                          \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
            std::exit(1);                                                               \
        }                                                                               \
    } while (0)

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

// A threading implementation that records what start-up asks of it and forwards to the default.
class RecordingImp : public MTInterfaceImpPosix {
  public:
    std::vector<std::string> calls;
    bool semaphoreFails = false;
    uint32_t counterStart = 0;
    bool overrideCounterStart = false;

    MTSemaphore* NewSemaphore(uint32_t maximumCount, uint32_t initialCount) override {
        calls.push_back("NewSemaphore(" + std::to_string(maximumCount) + "," + std::to_string(initialCount) +
                        ")");
        return semaphoreFails ? nullptr : MTInterfaceImpPosix::NewSemaphore(maximumCount, initialCount);
    }
    MTAtomicUnsigned32* NewAtomicUnsigned32(uint32_t initial) override {
        calls.push_back("NewAtomicUnsigned32(" + std::to_string(initial) + ")");
        return MTInterfaceImpPosix::NewAtomicUnsigned32(overrideCounterStart ? counterStart : initial);
    }
    uint32_t GetCPUCount() override {
        calls.push_back("GetCPUCount");
        return 3;
    }
};

const std::vector<std::string> kInstallationCalls = {"GetCPUCount", "NewSemaphore(1,0)",
                                                     "NewAtomicUnsigned32(0)"};

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
            CHILD_CHECK(imp->calls == kInstallationCalls);
            CHILD_CHECK(MTInterface::GetCPUCount() == 3);
            delete MTInterface::NewSemaphore(4, 2);
            CHILD_CHECK(imp->calls.back() == "NewSemaphore(4,2)");
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

}  // namespace
