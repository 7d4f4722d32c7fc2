#include "OSServices/Linux/IOMechanismLinux.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "OSServices/NativeIOEngine.h"

using namespace Tarvos;

namespace {

TEST(NativeIOMechanismSelection, SettingForcesOrPrefersAMechanism) {
    std::string reason;
    std::unique_ptr<IOMechanism> threads = NewIOMechanismFor("threads", &reason);
    ASSERT_NE(threads, nullptr);
    EXPECT_STREQ(threads->GetName(), "threads");
    EXPECT_EQ(reason, "TARVOS_IO_BACKEND=threads");

    std::string uringReason;
    const bool uringRuns = NewIOMechanismUring(&uringReason) != nullptr;
    std::unique_ptr<IOMechanism> forced = NewIOMechanismFor("uring", &reason);
    ASSERT_NE(forced, nullptr);
    if (uringRuns) {
        EXPECT_STREQ(forced->GetName(), "uring");
        EXPECT_EQ(reason, "TARVOS_IO_BACKEND=uring");
    } else {
        EXPECT_STREQ(forced->GetName(), "threads");
        EXPECT_EQ(reason, "TARVOS_IO_BACKEND=uring, but " + uringReason);
    }
    for (const char* setting : {static_cast<const char*>(nullptr), "", "something else"}) {
        std::unique_ptr<IOMechanism> chosen = NewIOMechanismFor(setting, &reason);
        ASSERT_NE(chosen, nullptr);
        EXPECT_STREQ(chosen->GetName(), uringRuns ? "uring" : "threads");
        EXPECT_EQ(reason, uringRuns ? std::string("io_uring available") : uringReason);
    }
}

// Run in a fresh process by the test below, with TARVOS_IO_BACKEND set: the process-wide engine must
// follow it. In a plain run (the variable unset) it checks the default.
TEST(NativeIOMechanismSelection, ProcessEngineFollowsTheEnvironment) {
    NativeIOEngine* engine = NativeIOEngine::GetEngine();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(NativeIOEngine::GetEngine(), engine);
    EXPECT_TRUE(engine->IsRunning());
    const char* setting = std::getenv("TARVOS_IO_BACKEND");
    std::string uringReason;
    const bool uringRuns = NewIOMechanismUring(&uringReason) != nullptr;
    if (setting != nullptr && std::string(setting) == "threads") {
        EXPECT_STREQ(engine->GetMechanismName(), "threads");
        EXPECT_STREQ(engine->GetMechanismReason(), "TARVOS_IO_BACKEND=threads");
    } else if (setting != nullptr && std::string(setting) == "uring" && uringRuns) {
        EXPECT_STREQ(engine->GetMechanismName(), "uring");
        EXPECT_STREQ(engine->GetMechanismReason(), "TARVOS_IO_BACKEND=uring");
    } else if (setting == nullptr) {
        EXPECT_STREQ(engine->GetMechanismName(), uringRuns ? "uring" : "threads");
    }
}

int RunSelfWithBackend(const char* backend) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("TARVOS_IO_BACKEND", backend, 1);
        ::execl("/proc/self/exe", "/proc/self/exe",
                "--gtest_filter=NativeIOMechanismSelection.ProcessEngineFollowsTheEnvironment", nullptr);
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NativeIOMechanismSelection, EnvironmentVariableChoosesTheProcessEngine) {
    EXPECT_EQ(RunSelfWithBackend("threads"), 0);
    EXPECT_EQ(RunSelfWithBackend("uring"), 0);
}

}  // namespace
