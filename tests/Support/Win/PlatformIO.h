// The platform's side of the engine, native-file and reliability tests: its I/O mechanism by name,
// its native file source, and the operating-system error numbers the fault injector uses.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "OSServices/NativeIOEngine.h"
#include "OSServices/Win/IOMechanismWin.h"
#include "OSServices/Win/NativeFileSourceWin.h"
#include "OSServices/Win/WinHeaders.h"
#include "Support/BufferChecks.h"

namespace TarvosTest {

// Every mechanism of this platform, for parameterised suites.
inline std::vector<std::string> PlatformMechanismNames() {
    return {"overlapped"};
}

// The real mechanism of that name, or null with the reason it cannot run here.
inline std::unique_ptr<Tarvos::IOMechanism> NewPlatformMechanism(const std::string&, std::string* reason) {
    return Tarvos::NewIOMechanismOverlapped(reason);
}

using PlatformNativeFileSource = Tarvos::NativeFileSourceWin;

constexpr int kOSErrorIO = ERROR_IO_DEVICE;
constexpr int kOSErrorNoSpace = ERROR_DISK_FULL;
constexpr int kOSErrorInterrupted = ERROR_NOT_ENOUGH_QUOTA;
constexpr int kOSErrorAgain = ERROR_INVALID_USER_BUFFER;

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
        for (Handle handle : handles) {
            CloseHandle(reinterpret_cast<HANDLE>(handle));
        }
        for (const std::string& path : paths) {
            DeleteFileA(path.c_str());
        }
    }
    void CloseWriteEnds() {
        for (Handle handle : writeEnds) {
            CloseHandle(reinterpret_cast<HANDLE>(handle));
        }
        writeEnds.clear();
    }

    // A temporary file of size bytes holding the pattern of seed, opened for overlapped, unbuffered
    // transfers as the native file source opens it.
    Handle NewFile(uint32_t size, uint32_t seed = 0) {
        const std::string path = testing::TempDir() + UniqueName("tarvos-io-");
        paths.push_back(path);
        std::vector<uint8_t> content(size);
        FillPattern(content.data(), size, 0, seed);
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(content.data()), size);
            EXPECT_TRUE(out.good());
        }
        return Open(path, true);
    }
    // The file at path again, open for reading only (or for reading and writing).
    Handle Open(const std::string& path, bool write) {
        const DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
        HANDLE handle =
            CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
        handles.push_back(reinterpret_cast<Handle>(handle));
        return reinterpret_cast<Handle>(handle);
    }
    const std::string& LastPath() const { return paths.back(); }
    // A named pipe whose overlapped reads stay in flight until something is written or the write end
    // closes; returns the read end.
    Handle NewPipe(Handle* writeEnd) {
        const std::string name = "\\\\.\\pipe\\" + UniqueName("tarvos-test-");
        HANDLE readEnd = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 1 << 20,
                                          1 << 20, 0, nullptr);
        EXPECT_NE(readEnd, INVALID_HANDLE_VALUE) << GetLastError();
        HANDLE write = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(write, INVALID_HANDLE_VALUE) << GetLastError();
        handles.push_back(reinterpret_cast<Handle>(readEnd));
        writeEnds.push_back(reinterpret_cast<Handle>(write));
        *writeEnd = reinterpret_cast<Handle>(write);
        return reinterpret_cast<Handle>(readEnd);
    }
    static bool WriteAll(Handle writeEnd, const void* data, uint32_t size) {
        DWORD written = 0;
        return WriteFile(reinterpret_cast<HANDLE>(writeEnd), data, size, &written, nullptr) &&
               written == size;
    }
    void CloseWriteEnd(Handle writeEnd) {
        for (auto it = writeEnds.begin(); it != writeEnds.end(); ++it) {
            if (*it == writeEnd) {
                CloseHandle(reinterpret_cast<HANDLE>(writeEnd));
                writeEnds.erase(it);
                return;
            }
        }
    }

  private:
    static std::string UniqueName(const char* stem) {
        static std::atomic<int> counter{0};
        std::random_device random;
        return std::string(stem) + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) +
               "-" + std::to_string(random());
    }

    std::vector<Handle> handles;
    std::vector<Handle> writeEnds;
    std::vector<std::string> paths;
};

// The file systems the native-source tests run on, and the directory of each.
inline std::vector<std::string> PlatformFileSystems() {
    return {"disk"};
}
inline std::string PlatformFileSystemDirectory(const std::string&) {
    return testing::TempDir();
}

// A named pipe nobody writes to, for a native source whose reads stay outstanding.
class IdlePipe {
  public:
    explicit IdlePipe(const std::string&) {
        std::random_device random;
        path = "\\\\.\\pipe\\tarvos-source-" + std::to_string(random());
        server = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 16, 1 << 16, 0, nullptr);
        EXPECT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    }
    ~IdlePipe() {
        if (server != INVALID_HANDLE_VALUE) {
            CloseHandle(server);
        }
    }
    IdlePipe(const IdlePipe&) = delete;
    IdlePipe& operator=(const IdlePipe&) = delete;
    const std::string& GetPath() const { return path; }
    bool OpenForReading(Tarvos::NativeFileSource* source) { return source->Open(true, false, false); }
    static const char* Unsupported(Tarvos::NativeIOEngine*) { return nullptr; }

  private:
    std::string path;
    HANDLE server = INVALID_HANDLE_VALUE;
};

// What a read still waiting on a pipe reports once the write end closes (a broken pipe is an error).
constexpr Tarvos::CacheSource::Result_t kResultOfReadAtClosedPipe = Tarvos::CacheSource::kResultFailed;

}  // namespace TarvosTest
