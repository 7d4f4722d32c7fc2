// Windows-only behaviour of the native file source: the exact access, sharing and flags it opens with.
#include "OSServices/Win/NativeFileSourceWin.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>

#include "CoreClasses/CallSite.h"
#include "OSServices/NativeIOEngine.h"
#include "OSServices/Win/WinHeaders.h"

using namespace Tarvos;

namespace {

TEST(NativeFileSourceWinFlagsTest, OpenAsksForTheAccessSharingAndFlagsOfUnbufferedOverlappedIO) {
    EXPECT_EQ(NativeFileSourceWin::kShareMode, 7u);
    EXPECT_EQ(NativeFileSourceWin::kReadFlags, 0x60000000u);
    EXPECT_EQ(NativeFileSourceWin::kWriteFlags, 0xE0000000u);
    // The sharing lets another opener write and delete while the source is open for reading.
    std::random_device random;
    const std::string path = testing::TempDir() + "tarvos-flags-" + std::to_string(random());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << std::string(4096, 'x');
    }
    auto* source = new NativeFileSourceWin(path.c_str(), NativeIOEngine::GetEngine());
    ASSERT_TRUE(source->Open(true, false, false));
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 7, nullptr, OPEN_EXISTING,
                               0, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
    if (other != INVALID_HANDLE_VALUE) {
        CloseHandle(other);
    }
    EXPECT_TRUE(source->Delete());
    source->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
