// tarvos cat and tarvos cp. A regular file is read through a cache, by a source that reads ahead on its
// own while the reads follow each other: cat with synchronous cached reads, cp with several cached reads
// and direct writes in flight over the file's data (holes are skipped, so they stay holes), writing a partial
// last block as a zero-padded whole page and cutting the copy back to size afterwards. Both read on to the
// real end of the file, past the size it had when opened. Anything else (standard input, pipes, devices,
// files whose size says nothing, like those of /proc) is copied with plain read and write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/Cache.h"
#include "Tarvos/NativeFileSource.h"
#include "Tarvos/PhysMemInterface.h"
#include "ToolCommon.h"

namespace TarvosTool {

namespace {

constexpr uint32_t kBlockSize = 64 * 1024;               // cache block
constexpr uint32_t kCacheBlocks = 256;                   // 16 MiB of cache
constexpr uint32_t kChunk = 1024 * 1024;                 // one read or write
constexpr uint32_t kReadAheadMaximum = 8 * 1024 * 1024;  // the cache bounds it further
constexpr uint32_t kCopySlots = 8;                       // operations in flight during a copy
constexpr size_t kPlainChunk = 128 * 1024;

const char* const kStandardInput = "standard input";
const char* const kStandardOutput = "standard output";

// Writes all of data, at offset with pwrite or, for a negative offset, at the file's position.
void WriteAll(int fd, const std::string& name, const uint8_t* data, size_t length, int64_t offset) {
    while (length > 0) {
        const ssize_t written =
            offset < 0 ? ::write(fd, data, length) : ::pwrite(fd, data, length, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(name + ": " + Reason(errno));
        }
        data += written;
        length -= static_cast<size_t>(written);
        if (offset >= 0) {
            offset += written;
        }
    }
}

// Copies from in until its end (a read of 0 bytes) to out. A negative offset reads or writes at the
// file's position; otherwise pread and pwrite start there. Returns the bytes copied.
uint64_t CopyRest(int in, const std::string& inName, int64_t inOffset, int out, const std::string& outName,
                  int64_t outOffset, Progress& progress) {
    std::vector<uint8_t> buffer(kPlainChunk);
    uint64_t copied = 0;
    for (;;) {
        const ssize_t got = inOffset < 0
                                ? ::read(in, buffer.data(), buffer.size())
                                : ::pread(in, buffer.data(), buffer.size(),
                                          static_cast<off_t>(inOffset + static_cast<int64_t>(copied)));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(inName + ": " + Reason(errno));
        }
        if (got == 0) {
            return copied;
        }
        WriteAll(out, outName, buffer.data(), static_cast<size_t>(got),
                 outOffset < 0 ? -1 : outOffset + static_cast<int64_t>(copied));
        copied += static_cast<uint64_t>(got);
        progress.Add(static_cast<uint64_t>(got));
    }
}

// Every message about a failed library transfer comes from here. The operating system's reason is the
// one the source recorded for its last failed transfer at this offset; when it recorded none (a short
// write, a refusal), the same transfer is made once with pread or pwrite, which fails the same way.
std::string TransferFailure(const Tarvos::NativeFileSource* source, bool write, const std::string& path,
                            int fd, uint64_t offset, void* data, uint32_t length, Result_t result,
                            uint32_t transferred) {
    std::string message = path + ": " + (write ? "write" : "read") + " of " + std::to_string(length) +
                          " bytes at offset " + std::to_string(offset) + " failed";
    if (result == Tarvos::CacheSource::kResultSuccess || result == Tarvos::CacheSource::kResultPartial) {
        message += " after " + std::to_string(transferred) + " bytes";
    }
    uint64_t failedAt = 0;
    bool failedWriting = false;
    const int32_t recorded = source != nullptr ? source->GetLastOSError(&failedAt, &failedWriting) : 0;
    if (recorded != 0 && failedWriting == write && failedAt >= offset && failedAt < offset + length) {
        return message + ": " + Reason(recorded);
    }
    uint32_t done = 0;
    while (fd >= 0 && data != nullptr && done < length) {
        const ssize_t n = write ? ::pwrite(fd, static_cast<uint8_t*>(data) + done, length - done,
                                           static_cast<off_t>(offset + done))
                                : ::pread(fd, static_cast<uint8_t*>(data) + done, length - done,
                                          static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return message + ": " + Reason(errno);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<uint32_t>(n);
    }
    return message + ": " + DescribeResult(result);
}

int OpenForReading(const std::string& path, struct stat* info) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Fail(path + ": " + Reason(errno));
    }
    if (::fstat(fd, info) != 0) {
        const int saved = errno;
        ::close(fd);
        Fail(path + ": " + Reason(saved));
    }
    if (S_ISDIR(info->st_mode)) {
        ::close(fd);
        Fail(path + ": " + Reason(EISDIR));
    }
    return fd;
}

// A file the library reads: a regular file whose size says it holds something.
bool ThroughLibrary(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_size > 0;
}

// Writes a regular file to standard output through the cache, then whatever lies past the end the
// library saw.
void CatThroughLibrary(const std::string& path, int fd, Tarvos::Cache* cache, Tarvos::Buffer* buffer,
                       Progress& progress) {
    Tarvos::NativeFileSource* source = OpenSource(path, true, false, cache);
    source->SetReadAheadMaximum(kReadAheadMaximum);
    source->SetReadAhead(true);
    uint64_t offset = 0;
    try {
        for (;;) {
            uint32_t bytes = 0;
            const Result_t result = source->Read(offset, buffer, &bytes);
            if (result == Tarvos::CacheSource::kResultEndOfFile) {
                break;
            }
            if (result != Tarvos::CacheSource::kResultSuccess &&
                result != Tarvos::CacheSource::kResultPartial) {
                Fail(TransferFailure(source, false, path, fd, offset, buffer->GetAddress(), buffer->GetSize(),
                                     result, bytes));
            }
            if (bytes == 0) {
                break;
            }
            WriteAll(STDOUT_FILENO, kStandardOutput, static_cast<const uint8_t*>(buffer->GetAddress()), bytes,
                     -1);
            progress.Add(bytes);
            offset += bytes;
        }
    } catch (...) {
        CloseSource(source);
        throw;
    }
    CloseSource(source);
    CopyRest(fd, path, static_cast<int64_t>(offset), STDOUT_FILENO, kStandardOutput, -1, progress);
}

void CatOne(const std::string& path, Tarvos::Cache* cache, Tarvos::Buffer* buffer, bool showProgress) {
    if (path == "-") {
        Progress progress(showProgress, 0);
        CopyRest(STDIN_FILENO, kStandardInput, -1, STDOUT_FILENO, kStandardOutput, -1, progress);
        return;
    }
    struct stat info {};
    const int fd = OpenForReading(path, &info);
    try {
        Progress progress(showProgress, S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0);
        if (ThroughLibrary(info)) {
            CatThroughLibrary(path, fd, cache, buffer, progress);
        } else {
            CopyRest(fd, path, -1, STDOUT_FILENO, kStandardOutput, -1, progress);
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

}  // namespace

int RunCat(const CatOptions& options) {
    std::vector<std::string> files = options.files;
    if (files.empty()) {
        files.emplace_back("-");
    }
    // The progress line shares the terminal with the output only when asked for outright.
    const bool showProgress =
        WantProgress(options.progress) && (options.progress == 1 || ::isatty(STDOUT_FILENO) != 1);
    StartLibrary();
    Tarvos::BufferFactory* factory = nullptr;
    Tarvos::Cache* cache = NewCache(kBlockSize, kCacheBlocks, &factory);
    Tarvos::Buffer* buffer = nullptr;
    int status = 0;
    try {
        buffer = NewPageBuffer(kChunk);
        // Like cat(1): a file that fails is reported, and the rest are still written.
        for (const std::string& file : files) {
            try {
                CatOne(file, cache, buffer, showProgress);
            } catch (const ToolError& error) {
                std::fprintf(stderr, "tarvos cat: %s\n", error.message.c_str());
                status = 1;
            }
        }
    } catch (...) {
        Release(buffer);
        ReleaseCache(cache, factory);
        throw;
    }
    Release(buffer);
    ReleaseCache(cache, factory);
    return status;
}

namespace {

enum SlotKind { kReading = 0, kWriting = 1 };

struct CopySlot {
    Tarvos::Buffer* buffer = nullptr;  // one reference
    Tarvos::Buffer* window = nullptr;  // the part being written when not the whole buffer, one reference
    SlotCallback* readDone = nullptr;
    SlotCallback* writeDone = nullptr;
    uint64_t offset = 0;
    uint32_t length = 0;  // bytes asked of the file in this chunk
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

// The ranges of [0, size) that hold data, in whole pages (the last one ends at size). Where the file
// system cannot say (no SEEK_DATA), the whole file.
std::vector<std::pair<uint64_t, uint64_t>> DataRanges(int fd, uint64_t size, uint32_t page) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    uint64_t position = 0;
    while (position < size) {
        const off_t data = ::lseek(fd, static_cast<off_t>(position), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // only a hole from here to the end
            }
            return {{0, size}};
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) {
            hole = static_cast<off_t>(size);
        }
        const uint64_t start = static_cast<uint64_t>(data) / page * page;
        const uint64_t end = std::min<uint64_t>(size, (static_cast<uint64_t>(hole) + page - 1) / page * page);
        if (start >= end) {
            break;
        }
        if (!ranges.empty() && ranges.back().second >= start) {
            ranges.back().second = end;
        } else {
            ranges.emplace_back(start, end);
        }
        position = end;
    }
    return ranges;
}

// Copies the data ranges of a regular file of size bytes through the library; returns where the file
// ended (size, or earlier when a read found it shorter). The destination is empty when this starts.
uint64_t CopyThroughLibrary(const std::string& src, int srcFd, uint64_t size, const std::string& dst,
                            int dstFd, int progressMode) {
    const uint32_t page = Tarvos::PhysMemInterface::GetPageSize();
    const std::vector<std::pair<uint64_t, uint64_t>> ranges = DataRanges(srcFd, size, page);
    uint64_t dataBytes = 0;
    for (const auto& range : ranges) {
        dataBytes += range.second - range.first;
    }
    Progress progress(WantProgress(progressMode), dataBytes);
    uint64_t end = size;  // where the file ends, as far as the reads found

    Copy copy;
    copy.cache = NewCache(kBlockSize, kCacheBlocks, &copy.factory);
    copy.from = OpenSource(src, true, false, copy.cache);
    copy.from->SetReadAheadMaximum(kReadAheadMaximum);
    copy.from->SetReadAhead(true);
    copy.to = OpenSource(dst, false, true, nullptr);
    copy.slots.resize(kCopySlots);
    for (uint32_t i = 0; i < kCopySlots; ++i) {
        copy.slots[i].buffer = NewPageBuffer(kChunk);
        copy.slots[i].readDone = new SlotCallback(&copy.queue, i, kReading);
        copy.slots[i].writeDone = new SlotCallback(&copy.queue, i, kWriting);
    }
    size_t range = 0;
    uint64_t next = ranges.empty() ? 0 : ranges[0].first;
    uint32_t busy = 0;
    auto startRead = [&](CopySlot& slot) -> bool {
        if (range >= ranges.size() || next >= end) {
            return false;
        }
        slot.offset = next;
        slot.length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, ranges[range].second - next));
        next += slot.length;
        if (next == ranges[range].second && ++range < ranges.size()) {
            next = ranges[range].first;
        }
        // A chunk shorter than the buffer is read into a window of whole pages onto it.
        Tarvos::Buffer* in = slot.buffer;
        const uint32_t pages = (slot.length + page - 1) / page * page;
        if (pages != slot.buffer->GetSize()) {
            slot.window = new Tarvos::BufferPartOfBuffer(slot.buffer->GetAddress(), pages, slot.buffer);
            in = slot.window;
        }
        const Result_t result = StartWithRetry(
            [&] { return copy.from->ReadAsync(slot.offset, in, slot.readDone, Tarvos::Cache::kDueASAP); });
        if (result != Tarvos::CacheSource::kResultPending) {
            Fail(TransferFailure(copy.from, false, src, srcFd, slot.offset, slot.buffer->GetAddress(),
                                 slot.length, result, 0));
        }
        ++busy;
        return true;
    };
    for (CopySlot& slot : copy.slots) {
        startRead(slot);
    }
    while (busy > 0) {
        Completion done;
        if (!copy.queue.Pop(&done)) {
            Fail("no read or write finished within 30 seconds");
        }
        CopySlot& slot = copy.slots[done.slot];
        --busy;
        if (done.kind == kReading) {
            const bool read = done.result == Tarvos::CacheSource::kResultSuccess ||
                              done.result == Tarvos::CacheSource::kResultPartial ||
                              done.result == Tarvos::CacheSource::kResultEndOfFile;
            if (!read) {
                Fail(TransferFailure(copy.from, false, src, srcFd, slot.offset, slot.buffer->GetAddress(),
                                     slot.length, done.result, done.bytes));
            }
            const uint32_t bytes =
                done.result == Tarvos::CacheSource::kResultEndOfFile ? 0 : std::min(done.bytes, slot.length);
            if (bytes < slot.length) {
                end = std::min(end, slot.offset + bytes);  // the file is shorter than it was
            }
            Release(slot.window);
            slot.window = nullptr;
            if (bytes == 0 || slot.offset >= end) {
                startRead(slot);
                continue;
            }
            // Whole pages: a partial last page goes out zero-padded and is cut off afterwards.
            const uint32_t padded = (bytes + page - 1) / page * page;
            std::memset(static_cast<uint8_t*>(slot.buffer->GetAddress()) + bytes, 0, padded - bytes);
            Tarvos::Buffer* out = slot.buffer;
            if (padded != slot.buffer->GetSize()) {
                slot.window = new Tarvos::BufferPartOfBuffer(slot.buffer->GetAddress(), padded, slot.buffer);
                out = slot.window;
            }
            slot.length = bytes;
            const Result_t result = StartWithRetry([&] {
                return copy.to->WriteAsync(slot.offset, out, slot.writeDone, Tarvos::Cache::kDueASAP);
            });
            if (result != Tarvos::CacheSource::kResultPending) {
                Fail(TransferFailure(copy.to, true, dst, dstFd, slot.offset, out->GetAddress(),
                                     out->GetSize(), result, 0));
            }
            ++busy;
        } else {
            Tarvos::Buffer* out = slot.window != nullptr ? slot.window : slot.buffer;
            if (done.result != Tarvos::CacheSource::kResultSuccess || done.bytes != out->GetSize()) {
                Fail(TransferFailure(copy.to, true, dst, dstFd, slot.offset, out->GetAddress(),
                                     out->GetSize(), done.result, done.bytes));
            }
            progress.Add(slot.length);
            Release(slot.window);
            slot.window = nullptr;
            startRead(slot);
        }
    }
    return end;
}

std::string BaseName(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

int RunCp(const CpOptions& options) {
    const std::string& src = options.source;
    std::string dst = options.destination;
    if (dst == "-") {
        CatOptions cat;
        cat.files.push_back(src);
        cat.progress = options.progress;
        return RunCat(cat);
    }
    struct stat dstInfo {};
    bool dstExists = ::stat(dst.c_str(), &dstInfo) == 0;
    if (dstExists && S_ISDIR(dstInfo.st_mode)) {
        if (src == "-") {
            FailUsage("standard input has no name to copy into the directory " + dst);
        }
        dst += (dst.back() == '/' ? "" : "/") + BaseName(src);
        dstExists = ::stat(dst.c_str(), &dstInfo) == 0;
        if (dstExists && S_ISDIR(dstInfo.st_mode)) {
            Fail(dst + ": " + Reason(EISDIR));
        }
    }
    struct stat srcInfo {};
    int srcFd = STDIN_FILENO;
    if (src == "-") {
        if (::fstat(srcFd, &srcInfo) != 0) {
            Fail(std::string(kStandardInput) + ": " + Reason(errno));
        }
    } else {
        srcFd = OpenForReading(src, &srcInfo);
    }
    const std::string srcName = src == "-" ? kStandardInput : src;
    auto closeSource = [&] {
        if (srcFd != STDIN_FILENO) {
            ::close(srcFd);
        }
    };
    if (dstExists && srcInfo.st_dev == dstInfo.st_dev && srcInfo.st_ino == dstInfo.st_ino) {
        closeSource();
        Fail("'" + srcName + "' and '" + dst + "' are the same file");
    }
    // A new file gets the source's permissions (less the umask), as with cp(1); an existing one keeps its
    // own.
    const mode_t mode = src == "-" ? 0666 : (srcInfo.st_mode & 0777);
    int dstFd = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (dstFd < 0) {
        const int saved = errno;
        closeSource();
        Fail(dst + ": " + Reason(saved));
    }
    RemoveOnSignal(dst);
    try {
        if (src != "-" && ThroughLibrary(srcInfo)) {
            StartLibrary();
            const uint64_t end = CopyThroughLibrary(src, srcFd, static_cast<uint64_t>(srcInfo.st_size), dst,
                                                    dstFd, options.progress);
            // Every write has reached the file (both sources are closed): cut the padding and keep the
            // trailing hole, then copy whatever lies past the end the library saw.
            if (::ftruncate(dstFd, static_cast<off_t>(end)) != 0) {
                Fail(dst + ": " + Reason(errno));
            }
            Progress progress(WantProgress(options.progress), 0);
            CopyRest(srcFd, src, static_cast<int64_t>(end), dstFd, dst, static_cast<int64_t>(end), progress);
        } else {
            Progress progress(WantProgress(options.progress), 0);
            CopyRest(srcFd, srcName, -1, dstFd, dst, -1, progress);
        }
        const int closed = ::close(dstFd);
        dstFd = -1;
        if (closed != 0) {
            Fail(dst + ": " + Reason(errno));
        }
    } catch (...) {
        if (dstFd >= 0) {
            ::close(dstFd);
        }
        closeSource();
        const bool removed = ::unlink(dst.c_str()) == 0;
        KeepOnSignal();
        try {
            throw;
        } catch (const ToolError& error) {
            Fail(error.message + (removed ? "; removed the partial " : "; could not remove the partial ") +
                 dst);
        }
    }
    closeSource();
    KeepOnSignal();
    return 0;
}

}  // namespace TarvosTool
