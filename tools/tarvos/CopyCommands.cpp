// tarvos cat and tarvos cp: streaming through a cache. cat reads each file with synchronous cached
// reads while pre-reads keep a window of blocks coming ahead of it; cp keeps several cached reads and
// direct writes in flight, writing the last partial block as a zero-padded whole page and cutting the
// copy back to the source's size afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/Cache.h"
#include "Tarvos/NativeFileSource.h"
#include "Tarvos/PhysMemInterface.h"
#include "ToolCommon.h"

namespace TarvosTool {

namespace {

constexpr uint32_t kBlockSize = 64 * 1024;  // cache block
constexpr uint32_t kCacheBlocks = 256;      // 16 MiB of cache
constexpr uint32_t kChunk = 1024 * 1024;    // one read or write
constexpr uint32_t kPreReadWindow = 8 * 1024 * 1024;
constexpr uint32_t kCopySlots = 8;  // operations in flight during a copy

const char* const kCatUsage =
    "usage: tarvos cat FILE...\n"
    "Writes each FILE to standard output, read through a 16 MiB block cache with pre-reads ahead of\n"
    "the reader (direct I/O where the file system takes it).\n";

const char* const kCpUsage =
    "usage: tarvos cp SRC DST\n"
    "Copies SRC to DST (created or replaced) with asynchronous cached reads and asynchronous direct\n"
    "writes, eight 1 MiB operations in flight, and checks the copy's size.\n";

void WriteAll(int fd, const uint8_t* data, uint32_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(std::string("standard output: ") + std::strerror(errno));
        }
        data += written;
        length -= static_cast<uint32_t>(written);
    }
}

void CatOne(const std::string& path, Tarvos::Cache* cache, Tarvos::Buffer* buffer) {
    const uint64_t size = CheckReadableFile(path);
    Tarvos::NativeFileSource* source = OpenSource(path, true, false, cache);
    uint64_t offset = 0;
    uint64_t preReadUntil = 0;
    try {
        while (offset < size) {
            // Keep the window ahead of the reader full.
            const uint64_t want = std::min<uint64_t>(size, offset + kPreReadWindow);
            if (preReadUntil < want) {
                source->PreRead(preReadUntil, static_cast<uint32_t>(want - preReadUntil),
                                Tarvos::Cache::kDueASAP);
                preReadUntil = want;
            }
            uint32_t bytes = 0;
            const Result_t result = source->Read(offset, buffer, &bytes);
            if (result == Tarvos::CacheSource::kResultEndOfFile && bytes == 0) {
                break;
            }
            if (result != Tarvos::CacheSource::kResultSuccess &&
                result != Tarvos::CacheSource::kResultPartial) {
                Fail(path + ": read at offset " + std::to_string(offset) + " " + ResultName(result));
            }
            if (bytes == 0) {
                break;
            }
            WriteAll(STDOUT_FILENO, static_cast<const uint8_t*>(buffer->GetAddress()), bytes);
            offset += bytes;
        }
        if (offset != size) {
            Fail(path + ": read " + std::to_string(offset) + " of " + std::to_string(size) + " bytes");
        }
    } catch (...) {
        CloseSource(source);
        throw;
    }
    CloseSource(source);
}

}  // namespace

int RunCat(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kCatUsage, stdout);
            return 0;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            Fail("unknown option '" + arg + "' (try 'tarvos cat --help')");
        }
        files.push_back(arg);
    }
    if (files.empty()) {
        Fail("no FILE given (try 'tarvos cat --help')");
    }
    StartLibrary();
    Tarvos::BufferFactory* factory = nullptr;
    Tarvos::Cache* cache = NewCache(kBlockSize, kCacheBlocks, &factory);
    Tarvos::Buffer* buffer = NewPageBuffer(kChunk);
    try {
        for (const std::string& file : files) {
            CatOne(file, cache, buffer);
        }
    } catch (...) {
        Release(buffer);
        ReleaseCache(cache, factory);
        throw;
    }
    Release(buffer);
    ReleaseCache(cache, factory);
    return 0;
}

namespace {

enum SlotKind { kReading = 0, kWriting = 1 };

struct CopySlot {
    Tarvos::Buffer* buffer = nullptr;  // one reference
    Tarvos::Buffer* window = nullptr;  // the padded tail being written, one reference, or null
    SlotCallback* readDone = nullptr;
    SlotCallback* writeDone = nullptr;
    uint64_t offset = 0;
    uint32_t length = 0;  // bytes of the file in this chunk
    bool busy = false;
};

// Owns everything of one copy; the destructor closes both sources first, so every outstanding
// operation has reported into the queue before the slots and the queue go.
struct Copy {
    CompletionQueue queue;
    std::vector<CopySlot> slots;
    Tarvos::BufferFactory* factory = nullptr;
    Tarvos::Cache* cache = nullptr;
    Tarvos::NativeFileSource* from = nullptr;
    Tarvos::NativeFileSource* to = nullptr;

    ~Copy() {
        CloseSource(from);
        CloseSource(to);
        for (CopySlot& slot : slots) {
            Release(slot.window);
            Release(slot.buffer);
            Release(slot.readDone);
            Release(slot.writeDone);
        }
        if (cache != nullptr) {
            ReleaseCache(cache, factory);
        }
    }
};

// Starts an operation, waiting out a full engine (kResultBusy) for a bounded time.
template <typename Start>
Result_t StartWithRetry(Start start) {
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const Result_t result = start();
        if (result != Tarvos::CacheSource::kResultBusy) {
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Tarvos::CacheSource::kResultBusy;
}

}  // namespace

int RunCp(int argc, char** argv) {
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kCpUsage, stdout);
            return 0;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            Fail("unknown option '" + arg + "' (try 'tarvos cp --help')");
        }
        paths.push_back(arg);
    }
    if (paths.size() != 2) {
        Fail("needs SRC and DST (try 'tarvos cp --help')");
    }
    const std::string& src = paths[0];
    const std::string& dst = paths[1];
    const uint64_t size = CheckReadableFile(src);
    struct stat srcInfo {};
    struct stat dstInfo {};
    if (::stat(src.c_str(), &srcInfo) == 0 && ::stat(dst.c_str(), &dstInfo) == 0 &&
        srcInfo.st_dev == dstInfo.st_dev && srcInfo.st_ino == dstInfo.st_ino) {
        Fail(dst + ": is the same file as " + src);
    }
    if (::stat(dst.c_str(), &dstInfo) == 0 && S_ISDIR(dstInfo.st_mode)) {
        Fail(dst + ": Is a directory");
    }
    // Create or empty the destination with the usual permissions before the library opens it.
    {
        const int fd = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            Fail(dst + ": " + std::strerror(errno));
        }
        ::close(fd);
    }

    StartLibrary();
    const uint32_t page = Tarvos::PhysMemInterface::GetPageSize();
    {
        Copy copy;
        copy.cache = NewCache(kBlockSize, kCacheBlocks, &copy.factory);
        copy.from = OpenSource(src, true, false, copy.cache);
        copy.to = OpenSource(dst, false, true, nullptr);
        copy.slots.resize(kCopySlots);
        for (uint32_t i = 0; i < kCopySlots; ++i) {
            copy.slots[i].buffer = NewPageBuffer(kChunk);
            copy.slots[i].readDone = new SlotCallback(&copy.queue, i, kReading);
            copy.slots[i].writeDone = new SlotCallback(&copy.queue, i, kWriting);
        }
        uint64_t next = 0;
        uint32_t busy = 0;
        auto startRead = [&](CopySlot& slot) {
            slot.offset = next;
            slot.length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, size - next));
            next += slot.length;
            const Result_t result = StartWithRetry([&] {
                return copy.from->ReadAsync(slot.offset, slot.buffer, slot.readDone, Tarvos::Cache::kDueASAP);
            });
            if (result != Tarvos::CacheSource::kResultPending) {
                Fail(src + ": read at offset " + std::to_string(slot.offset) + " " + ResultName(result));
            }
            slot.busy = true;
            ++busy;
        };
        for (CopySlot& slot : copy.slots) {
            if (next < size) {
                startRead(slot);
            }
        }
        while (busy > 0) {
            Completion done;
            if (!copy.queue.Pop(&done)) {
                Fail("no operation finished within 30 seconds");
            }
            CopySlot& slot = copy.slots[done.slot];
            if (done.kind == kReading) {
                if ((done.result != Tarvos::CacheSource::kResultSuccess &&
                     done.result != Tarvos::CacheSource::kResultPartial) ||
                    done.bytes != slot.length) {
                    --busy;
                    slot.busy = false;
                    Fail(src + ": read at offset " + std::to_string(slot.offset) + " " +
                         ResultName(done.result) + " with " + std::to_string(done.bytes) + " of " +
                         std::to_string(slot.length) + " bytes");
                }
                Tarvos::Buffer* out = slot.buffer;
                if (slot.length < kChunk) {
                    // The tail: whole pages, the bytes past the end zeroed; cut off after the copy.
                    const uint32_t padded = (slot.length + page - 1) / page * page;
                    std::memset(static_cast<uint8_t*>(slot.buffer->GetAddress()) + slot.length, 0,
                                padded - slot.length);
                    slot.window =
                        new Tarvos::BufferPartOfBuffer(slot.buffer->GetAddress(), padded, slot.buffer);
                    out = slot.window;
                }
                const Result_t result = StartWithRetry([&] {
                    return copy.to->WriteAsync(slot.offset, out, slot.writeDone, Tarvos::Cache::kDueASAP);
                });
                if (result != Tarvos::CacheSource::kResultPending) {
                    --busy;
                    slot.busy = false;
                    Fail(dst + ": write at offset " + std::to_string(slot.offset) + " " + ResultName(result));
                }
            } else {
                const uint32_t expected = slot.window != nullptr ? slot.window->GetSize() : kChunk;
                --busy;
                slot.busy = false;
                if (done.result != Tarvos::CacheSource::kResultSuccess || done.bytes != expected) {
                    Fail(dst + ": write at offset " + std::to_string(slot.offset) + " " +
                         ResultName(done.result) + " with " + std::to_string(done.bytes) + " of " +
                         std::to_string(expected) + " bytes");
                }
                Release(slot.window);
                slot.window = nullptr;
                if (next < size) {
                    startRead(slot);
                }
            }
        }
    }
    // Both sources are closed (every write has reached the file): cut off the tail's padding.
    if (::truncate(dst.c_str(), static_cast<off_t>(size)) != 0) {
        Fail(dst + ": " + std::strerror(errno));
    }
    struct stat copied {};
    if (::stat(dst.c_str(), &copied) != 0 || static_cast<uint64_t>(copied.st_size) != size) {
        Fail(dst + ": the copy has " + std::to_string(copied.st_size) + " bytes, not " +
             std::to_string(size));
    }
    return 0;
}

}  // namespace TarvosTool
