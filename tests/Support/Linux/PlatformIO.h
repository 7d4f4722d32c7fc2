// The platform's side of the engine, native-file and reliability tests: its I/O mechanisms by name,
// its native file source, and the operating-system error numbers the fault injector uses.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Support/BufferChecks.h"

#include "OSServices/Linux/IOMechanismLinux.h"
#include "OSServices/Linux/NativeFileSourcePosix.h"
#include "OSServices/NativeIOEngine.h"

namespace TarvosTest {

// Every mechanism of this platform, for parameterised suites.
inline std::vector<std::string> PlatformMechanismNames() {
    return {"uring", "threads"};
}

// The real mechanism of that name, or null with the reason it cannot run here.
inline std::unique_ptr<Tarvos::IOMechanism> NewPlatformMechanism(const std::string& name,
                                                                 std::string* reason) {
    return name == "uring" ? Tarvos::NewIOMechanismUring(reason) : Tarvos::NewIOMechanismThreads(reason);
}

using PlatformNativeFileSource = Tarvos::NativeFileSourcePosix;

constexpr int kOSErrorIO = EIO;
constexpr int kOSErrorNoSpace = ENOSPC;
constexpr int kOSErrorInterrupted = EINTR;
constexpr int kOSErrorAgain = EAGAIN;

// Temporary files and pipes handed to an engine directly, closed and removed on destruction (write
// ends first, which ends every read still waiting on a pipe).
class PlatformFiles {
  public:
    using Handle = Tarvos::IOFileHandle;

    PlatformFiles() = default;
    PlatformFiles(const PlatformFiles&) = delete;
    PlatformFiles& operator=(const PlatformFiles&) = delete;
    ~PlatformFiles() {
        CloseWriteEnds();
        for (Handle fd : handles) {
            ::close(static_cast<int>(fd));
        }
        for (const std::string& path : paths) {
            ::unlink(path.c_str());
        }
    }
    void CloseWriteEnds() {
        for (Handle fd : writeEnds) {
            ::close(static_cast<int>(fd));
        }
        writeEnds.clear();
    }

    // A temporary file of size bytes holding the pattern of seed, open for reading and writing.
    Handle NewFile(uint32_t size, uint32_t seed = 0) {
        const char* directory = std::getenv("TMPDIR");
        std::string path = std::string(directory != nullptr ? directory : "/tmp") + "/tarvos-io-XXXXXX";
        std::vector<char> name(path.begin(), path.end());
        name.push_back('\0');
        const int made = ::mkstemp(name.data());
        EXPECT_GE(made, 0) << std::strerror(errno);
        paths.emplace_back(name.data());
        std::vector<uint8_t> content(size);
        FillPattern(content.data(), size, 0, seed);
        EXPECT_EQ(::pwrite(made, content.data(), size, 0), static_cast<ssize_t>(size));
        ::close(made);
        return Open(paths.back(), true);
    }
    // The file at path again, open for reading only (or for reading and writing).
    Handle Open(const std::string& path, bool write) {
        const int fd = ::open(path.c_str(), write ? O_RDWR : O_RDONLY);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        handles.push_back(fd);
        return fd;
    }
    const std::string& LastPath() const { return paths.back(); }
    // A pipe whose reads stay in flight until something is written or the write end closes; returns
    // the read end.
    Handle NewPipe(Handle* writeEnd) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::pipe(ends), 0);
        handles.push_back(ends[0]);
        writeEnds.push_back(ends[1]);
        *writeEnd = ends[1];
        return ends[0];
    }
    static bool WriteAll(Handle writeEnd, const void* data, uint32_t size) {
        return ::write(static_cast<int>(writeEnd), data, size) == static_cast<ssize_t>(size);
    }
    void CloseWriteEnd(Handle writeEnd) {
        for (auto it = writeEnds.begin(); it != writeEnds.end(); ++it) {
            if (*it == writeEnd) {
                ::close(static_cast<int>(writeEnd));
                writeEnds.erase(it);
                return;
            }
        }
    }

  private:
    std::vector<Handle> handles;
    std::vector<Handle> writeEnds;
    std::vector<std::string> paths;
};

// The file systems the native-source tests run on, and the directory of each.
inline std::vector<std::string> PlatformFileSystems() {
    return {"disk", "shm"};
}
inline std::string PlatformFileSystemDirectory(const std::string& name) {
    return name == "disk" ? testing::TempDir() : std::string("/dev/shm");
}

// A pipe in dir nobody writes to, for a native source whose reads stay outstanding.
class IdlePipe {
  public:
    explicit IdlePipe(const std::string& dir) : path(dir + "/pipe") {
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
    }
    ~IdlePipe() { ::unlink(path.c_str()); }
    IdlePipe(const IdlePipe&) = delete;
    IdlePipe& operator=(const IdlePipe&) = delete;
    const std::string& GetPath() const { return path; }
    // Read and write: opening a pipe that way does not wait for a peer.
    bool OpenForReading(Tarvos::NativeFileSource* source) { return source->Open(true, true, false); }
    // Why engine cannot run the test, or null: only io_uring cancels reads of a pipe; worker threads
    // stay blocked in the read and keep their slots for good.
    static const char* Unsupported(Tarvos::NativeIOEngine* engine) {
        return std::strcmp(engine->GetMechanismName(), "uring") == 0
                   ? nullptr
                   : "reads of a pipe cannot be cancelled with this mechanism";
    }

  private:
    std::string path;
};

// What a read still waiting on a pipe reports once the write end closes.
constexpr Tarvos::CacheSource::Result_t kResultOfReadAtClosedPipe = Tarvos::CacheSource::kResultEndOfFile;

}  // namespace TarvosTest
