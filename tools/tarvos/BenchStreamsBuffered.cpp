// The streams' buffered method: every reader is a thread with its own descriptor, reading its pieces
// with pread once it has consumed the one before and keeping posix_fadvise(WILLNEED) kStreamAheadPieces
// ahead, and dropping each piece from the page cache once consumed; the random reader is one more
// thread doing pread. The file's pages are dropped from the page
// cache first (fdatasync, then posix_fadvise(DONTNEED)); what stayed resident is counted with mincore
// and said in the note.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchStreams.h"
#include "ToolCommon.h"

namespace TarvosTool {

namespace {

using SteadyClock = StreamSchedule::Clock;

// Pages of [0, span) still in the page cache, or -1 when that cannot be learnt.
int64_t ResidentPages(int fd, uint64_t span) {
    void* map = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        return -1;
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> resident((span + page - 1) / page);
    int64_t count = -1;
    if (::mincore(map, span, resident.data()) == 0) {
        count = 0;
        for (unsigned char flag : resident) {
            count += flag & 1;
        }
    }
    ::munmap(map, span);
    return count;
}

// Drops the file's pages from the page cache; a note when that could not be done completely.
std::string DropPageCache(const std::string& path, uint64_t span) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "the page cache could not be dropped: " + Reason(errno);
    }
    std::string note;
    if (::fdatasync(fd) != 0 || ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0) {
        note = "the page cache could not be dropped: " + Reason(errno);
    } else {
        const int64_t resident = ResidentPages(fd, span);
        const long page = ::sysconf(_SC_PAGESIZE);
        if (resident < 0) {
            note = "page cache dropped; mincore could not confirm it";
        } else if (resident > 0) {
            note = "page cache dropped, but " + std::to_string(resident * page / 1024) +
                   " KiB of the file stayed resident";
        }
    }
    ::close(fd);
    return note;
}

bool ReadFully(int fd, void* memory, uint32_t length, uint64_t offset) {
    uint32_t got = 0;
    while (got < length) {
        const ssize_t n =
            ::pread(fd, static_cast<char*>(memory) + got, length - got, static_cast<off_t>(offset + got));
        if (n <= 0) {
            return false;
        }
        got += static_cast<uint32_t>(n);
    }
    return true;
}

void StreamReader(const StreamsPlan& plan, const StreamSchedule& schedule, uint32_t reader, LateTally* tally,
                  std::string* error) {
    const int fd = ::open(plan.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = plan.path + ": " + Reason(errno);
        return;
    }
    std::vector<uint64_t> memory(kStreamPieceBytes / 8);
    uint64_t asked = 0;  // pieces announced with WILLNEED so far
    for (uint64_t piece = 0; piece < schedule.piecesPerReader && error->empty(); ++piece) {
        std::this_thread::sleep_until(piece == 0 ? schedule.begin : schedule.Due(reader, piece - 1));
        const SteadyClock::time_point now = SteadyClock::now();
        while (schedule.MayAsk(reader, asked, piece, now)) {
            ::posix_fadvise(fd, static_cast<off_t>(schedule.Offset(reader, asked)), kStreamPieceBytes,
                            POSIX_FADV_WILLNEED);
            ++asked;
        }
        const uint64_t offset = schedule.Offset(reader, piece);
        if (!ReadFully(fd, memory.data(), kStreamPieceBytes, offset)) {
            *error = "pread at offset " + std::to_string(offset) + " failed";
            break;
        }
        tally->Add(schedule.Due(reader, piece), SteadyClock::now());
        plan.check(memory.data(), offset, kStreamPieceBytes);
        // Done with it, as a streaming reader is: a region read again comes from the device again, as it
        // does for the other methods, instead of from a page cache that holds the whole file.
        ::posix_fadvise(fd, static_cast<off_t>(offset), kStreamPieceBytes, POSIX_FADV_DONTNEED);
    }
    ::close(fd);
}

void RandomReader(const StreamsPlan& plan, const StreamSchedule& schedule, uint64_t* reads,
                  std::string* error) {
    const int fd = ::open(plan.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = plan.path + ": " + Reason(errno);
        return;
    }
    std::vector<uint64_t> memory(kRandomReadBytes / 8);
    std::mt19937_64 random(20261208);
    const uint64_t blocks = plan.span / kRandomReadBytes;
    while (SteadyClock::now() < schedule.End()) {
        const uint64_t offset = random() % blocks * kRandomReadBytes;
        if (!ReadFully(fd, memory.data(), kRandomReadBytes, offset)) {
            *error = "pread at offset " + std::to_string(offset) + " failed";
            break;
        }
        ++*reads;
        plan.check(memory.data(), offset, kRandomReadBytes);
    }
    ::close(fd);
}

}  // namespace

StreamsFigures RunStreamsBuffered(const StreamsPlan& plan) {
    StreamsFigures figures;
    figures.method = "buffered";
    figures.note = DropPageCache(plan.path, plan.span);
    const int64_t deviceBefore = DeviceReadBytes();
    const StreamSchedule schedule(plan);
    std::vector<LateTally> tallies(kStreamReaders);
    std::vector<std::string> errors(kStreamReaders + 1);
    uint64_t randomReads = 0;
    std::vector<std::thread> threads;
    for (uint32_t r = 0; r < kStreamReaders; ++r) {
        threads.emplace_back(StreamReader, std::cref(plan), std::cref(schedule), r, &tallies[r], &errors[r]);
    }
    threads.emplace_back(RandomReader, std::cref(plan), std::cref(schedule), &randomReads,
                         &errors[kStreamReaders]);
    for (std::thread& thread : threads) {
        thread.join();
    }
    FillStreamsFigures(&figures, schedule, tallies, errors, randomReads, deviceBefore);
    return figures;
}

}  // namespace TarvosTool
