// Linux-only behaviour of the native file source: direct I/O where the file system takes it, and
// character devices that refuse it everywhere.
#include "OSServices/Linux/NativeFileSourcePosix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "CoreClasses/CallSite.h"
#include "OSServices/NativeIOEngine.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;

namespace {

template <typename T>
void Release(T* object) {
    object->DecRef(TARVOS_CALL_SITE);
}

// Whether the file system under dir accepts O_DIRECT, asked of the kernel directly.
bool FileSystemTakesDirectIO(const std::string& dir) {
    const std::string probe = dir + "/direct-probe";
    const int fd = ::open(probe.c_str(), O_CREAT | O_RDWR | O_DIRECT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    }
    ::unlink(probe.c_str());
    return fd >= 0;
}

// A native source that says when it is destroyed.
class WatchedSource : public NativeFileSourcePosix {
  public:
    WatchedSource(const char* path, std::atomic<bool>* destroyed)
        : NativeFileSourcePosix(path, NativeIOEngine::GetEngine()), destroyed(destroyed) {}

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

TEST(NativeFileSourcePosixDirectIOTest, DirectIOIsUsedWhereTheFileSystemTakesIt) {
    for (const std::string& base : {testing::TempDir(), std::string("/dev/shm")}) {
        if (!std::filesystem::is_directory(base)) {
            continue;
        }
        std::random_device random;
        const std::string path = base + "/tarvos-direct-" + std::to_string(random());
        auto* source = new NativeFileSourcePosix(path.c_str(), NativeIOEngine::GetEngine());
        ASSERT_TRUE(source->Open(true, true, true)) << path;
        EXPECT_EQ(source->UsesDirectIO(), FileSystemTakesDirectIO(base)) << base;
        EXPECT_TRUE(source->Delete());
        Release(source);
    }
}

// Devices that cannot bypass a cache: the open falls back to ordinary I/O and still transfers.
TEST(NativeFileSourcePosixDeviceTest, DeviceThatRefusesDirectIOIsOpenedWithoutIt) {
    if (::access("/dev/zero", R_OK) != 0 || ::access("/dev/null", W_OK) != 0) {
        GTEST_SKIP() << "no device here that refuses O_DIRECT";
    }
    {
        const int probe = ::open("/dev/zero", O_RDONLY | O_DIRECT | O_CLOEXEC);
        if (probe >= 0) {
            ::close(probe);
            GTEST_SKIP() << "/dev/zero takes O_DIRECT here";
        }
        ASSERT_EQ(errno, EINVAL);
    }
    std::atomic<bool> destroyed{false};
    auto* zero = new WatchedSource("/dev/zero", &destroyed);
    ASSERT_TRUE(zero->Open(true, false, false));
    EXPECT_FALSE(zero->UsesDirectIO());
    Buffer* buffer = PhysMemInterface::Allocate(2 * PhysMemInterface::GetPageSize());
    std::memset(buffer->GetAddress(), 0xEE, buffer->GetSize());
    uint32_t bytes = 0;
    // A character device may hand back less than asked (seen under load); what it gives must be zeros.
    const CacheSource::Result_t result = zero->Read(0, buffer, &bytes);
    EXPECT_TRUE(result == CacheSource::kResultSuccess || result == CacheSource::kResultPartial) << result;
    EXPECT_GT(bytes, 0u);
    EXPECT_LE(bytes, buffer->GetSize());
    const auto* data = static_cast<uint8_t*>(buffer->GetAddress());
    EXPECT_TRUE(std::all_of(data, data + bytes, [](uint8_t b) { return b == 0; }));
    Release(zero);

    auto* null = new WatchedSource("/dev/null", &destroyed);
    ASSERT_TRUE(null->Open(false, true, false));
    EXPECT_FALSE(null->UsesDirectIO());
    EXPECT_EQ(null->Write(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(bytes, buffer->GetSize());
    Release(null);
    Release(buffer);
}

}  // namespace
